#pragma once
// A temporary folder laid out like an installation: Temp, Images, Data (with the
// template and configuration databases of the build), Logs. Optionally holds copies
// of the executables, so that a program started from here takes it as its program
// folder (copies, not symlinks: /proc/self/exe would resolve a symlink to the build).
#include <filesystem>
#include <string>

#include "core/paths.h"
#include "temp_dir.h"

namespace corva::test {

class ProgramFolder {
public:
    struct Options {
        bool imageDatabase = true;  // create Data/QAData.dat from the template
        bool executables = false;   // copy Ingrado, Recvora and Corvalight
        bool logo = false;          // copy CorvaLogo.bmp
    };

    ProgramFolder();
    explicit ProgramFolder(const Options& options);
    ~ProgramFolder();
    ProgramFolder(const ProgramFolder&) = delete;
    ProgramFolder& operator=(const ProgramFolder&) = delete;

    const std::filesystem::path& path() const { return dir_.path(); }
    std::filesystem::path temp() const { return path() / corva::folder::Temp; }
    std::filesystem::path images() const { return path() / corva::folder::Images; }
    std::filesystem::path data() const { return path() / corva::folder::Data; }
    std::filesystem::path logs() const { return path() / corva::folder::Logs; }
    std::filesystem::path imageDatabase() const { return data() / "QAData.dat"; }
    std::filesystem::path templateDatabase() const { return data() / "QADef.dat"; }
    std::filesystem::path userDatabase() const { return data() / "QAUser.dat"; }

    // Copies one executable of the build's program folder here; returns its path here.
    std::filesystem::path copyExecutable(const std::string& name);
    // The path of an executable in this folder (copied or not).
    std::filesystem::path executable(const std::string& name) const { return path() / name; }

    // Makes corva::programFolder() of this process return this folder until destruction.
    void activate();

private:
    TempDir dir_;
    bool active_ = false;
};

}  // namespace corva::test
