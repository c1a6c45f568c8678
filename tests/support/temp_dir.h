#pragma once
// A temporary folder removed with everything in it when the object goes.
#include <filesystem>
#include <string>

namespace corva::test {

class TempDir {
public:
    explicit TempDir(const std::string& prefix = "corva");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int freePort();

// The program folder of the build tree (executables, Data/QADef.dat, Data/QAUser.dat).
std::filesystem::path buildProgramFolder();

// Writes a whole file; reads a whole file.
void writeFile(const std::filesystem::path& file, const std::string& bytes);
std::string readFile(const std::filesystem::path& file);

}  // namespace corva::test
