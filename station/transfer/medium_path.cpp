#include "transfer/medium_path.h"

#include <algorithm>
#include <cctype>
#include <system_error>
#include <vector>

#include "core/error.h"

namespace corva::station::transfer {

namespace fs = std::filesystem;

std::string mediumNameKey(const std::string& name)
{
    std::string key = name;
    // "IM000001;1": ISO 9660 file version.
    if (const auto semi = key.rfind(';'); semi != std::string::npos && semi + 1 < key.size() &&
                                          std::all_of(key.begin() + semi + 1, key.end(),
                                                      [](unsigned char c) { return std::isdigit(c) != 0; }))
        key.erase(semi);
    // "IM000001." : ISO 9660 names without extension keep their dot.
    if (key.size() > 1 && key.back() == '.')
        key.pop_back();
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c); });
    return key;
}

namespace {

// The entries of `folder` that may stand for `component`: the exact name first, then
// those whose key matches, by name. Two folders "images" and "IMAGES" may both be there.
std::vector<fs::path> candidates(const fs::path& folder, const std::string& component)
{
    std::vector<fs::path> out;
    std::error_code ec;
    if (fs::exists(folder / component, ec))
        out.push_back(folder / component);
    const std::string key = mediumNameKey(component);
    std::vector<std::string> names;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name != component && mediumNameKey(name) == key)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names)
        out.push_back(folder / name);
    return out;
}

// The first file that the components from `index` on lead to below `folder`; empty when none.
fs::path search(const fs::path& folder, const std::vector<std::string>& components, std::size_t index)
{
    std::error_code ec;
    const bool last = index + 1 == components.size();
    for (const auto& candidate : candidates(folder, components[index])) {
        if (last) {
            if (fs::is_regular_file(candidate, ec))
                return candidate;
        } else if (fs::is_directory(candidate, ec)) {
            if (fs::path found = search(candidate, components, index + 1); !found.empty())
                return found;
        }
    }
    return {};
}

}  // namespace

fs::path resolveFileId(const fs::path& dicomDirFolder, const std::string& fileId)
{
    if (!fileId.empty() && (fileId.front() == '/' || fileId.front() == '\\'))
        throw Error(errc::InvalidName, "Absolute file reference \"" + fileId + "\" refused", "import");
    std::vector<std::string> components;
    std::size_t start = 0;
    while (start <= fileId.size()) {
        const std::size_t end = std::min(fileId.find_first_of("/\\", start), fileId.size());
        std::string part = fileId.substr(start, end - start);
        start = end + 1;
        if (part.empty())
            continue;
        if (part == "." || part == "..")
            throw Error(errc::InvalidName, "File reference \"" + fileId + "\" leaves the medium's folder", "import");
        // "C:" names a drive, not a folder of the medium.
        if (components.empty() && part.size() >= 2 && part[1] == ':')
            throw Error(errc::InvalidName, "Absolute file reference \"" + fileId + "\" refused", "import");
        components.push_back(std::move(part));
    }
    if (components.empty())
        throw Error(errc::NotFound, "The record names no file", "import");
    fs::path found = search(dicomDirFolder, components, 0);
    if (found.empty())
        throw Error(errc::NotFound, "File not found: " + fileId, "import");
    // A symbolic link on the medium must not lead the import elsewhere.
    std::error_code ec;
    const fs::path real = fs::weakly_canonical(found, ec);
    const fs::path base = fs::weakly_canonical(dicomDirFolder, ec);
    const auto rel = real.lexically_relative(base);
    if (ec || rel.empty() || *rel.begin() == "..")
        throw Error(errc::InvalidName, "File reference \"" + fileId + "\" leaves the medium's folder", "import");
    return found;
}

}  // namespace corva::station::transfer
