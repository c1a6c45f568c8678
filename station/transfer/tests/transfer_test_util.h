#pragma once
// Helpers of the transfer tests: folder listings, pixel comparisons (and the shared shell).
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "dicom/dicom.h"
#include "shell.h"
#include "temp_dir.h"

namespace corva::station::transfer::test {

using corva::test::quoted;
using corva::test::shell;

// Names of the entries of a folder (files and folders, hidden ones too), sorted.
inline std::vector<std::string> entries(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Every regular file below a folder, relative, with '/' separators, sorted.
inline std::vector<std::string> filesBelow(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
        if (e.is_regular_file())
            names.push_back(e.path().lexically_relative(folder).generic_string());
    std::sort(names.begin(), names.end());
    return names;
}

// Writes a whole file, creating its folders.
inline void putFile(const std::filesystem::path& file, const std::string& bytes)
{
    std::filesystem::create_directories(file.parent_path());
    corva::test::writeFile(file, bytes);
}

inline std::string pixels(const std::filesystem::path& file)
{
    return corva::dicom::Image::read(file).attributes().rawBytes({0x7FE0, 0x0010});
}

}  // namespace corva::station::transfer::test
