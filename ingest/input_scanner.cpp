#include "input_scanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace corva::ingest {

namespace {

bool endsWithNoCase(const std::string& name, const char* suffix)
{
    const std::string s(suffix);
    if (name.size() < s.size())
        return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = name[name.size() - s.size() + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != s[i])
            return false;
    }
    return true;
}

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

}  // namespace

InputScanner::InputScanner(std::filesystem::path inputFolder) : folder_(std::move(inputFolder)) {}

bool InputScanner::isInputName(const std::string& name)
{
    return endsWithNoCase(name, ".dcm");
}

std::vector<std::string> InputScanner::scan()
{
    std::vector<std::string> work;
    std::map<std::string, Fingerprint> now;
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folder_.c_str()));
    if (!dir) {
        seen_.clear();
        return work;
    }
    const int dfd = ::dirfd(dir.get());
    std::vector<std::string> tryFiles;
    while (dirent* e = ::readdir(dir.get())) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        const bool input = isInputName(name);
        const bool tryFile = !input && endsWithNoCase(name, ".try");
        if (!input && !tryFile)
            continue;
        struct stat st {};
        // Symbolic links and folders are not input files.
        if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (tryFile) {
            tryFiles.push_back(name);
            continue;
        }
        Fingerprint fp{static_cast<std::int64_t>(st.st_size),
                       static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
                       static_cast<std::uint64_t>(st.st_ino)};
        auto old = seen_.find(name);
        if (old != seen_.end() && old->second == fp)
            work.push_back(name);
        now.emplace(name, fp);
    }
    for (const auto& name : tryFiles) {
        const std::string input = name.substr(0, name.size() - 4);
        struct stat st {};
        if (::fstatat(dfd, input.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)
            ::unlinkat(dfd, name.c_str(), 0);
    }
    seen_ = std::move(now);
    return work;
}

}  // namespace corva::ingest
