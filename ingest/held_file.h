#pragma once
// While the service works on an input file it holds the file under a second name of its
// own, <name>.held (a hard link). Whatever replaces or removes the input name meanwhile
// (a resend of the same image), the file read is the file filed, and the other one
// keeps its place and waits for its own turn. The input name goes only while it still
// names the file that was filed.
#include <filesystem>
#include <optional>
#include <string>

#include "core/file_identity.h"

namespace corva::ingest {

class HeldFile {
public:
    HeldFile(std::filesystem::path inputFolder, std::string name);
    // Gives the file back unless it was filed or dropped (see release()).
    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    // Takes hold of the input file; false when it has gone. Where the file system has no
    // hard links the input name itself is used. Throws filesystem_error on a disk fault.
    bool take();
    // The path to read and move: the hold, or the input file itself.
    const std::filesystem::path& path() const { return path_; }
    // True while the held file is the one taken (same device, inode, size, modification time).
    bool unchanged() const;
    // The held file has been moved into the store (it is no longer at path()).
    void moved() { moved_ = gone_ = true; }
    // The held file is done with: the hold goes without being given back.
    void drop();
    // Removes the input name when it still names the held file; true when it did (or
    // the input name has gone already).
    bool removeInputName();
    // A repaired copy takes the input name's place (in one step) while it names the
    // held file; otherwise the copy gets a free name beside it. The hold goes.
    void replaceInputName(const std::filesystem::path& copy);

    // The name of the hold of an input file.
    static std::string holdName(const std::string& name) { return name + ".held"; }
    // Puts a hold or a half-finished removal left by an ended run back: when another
    // name keeps the file (the input name, the store) the leftover goes; otherwise the
    // file takes its input name when that is free, else a free name beside it.
    static void restoreLeftover(const std::filesystem::path& leftover, const std::filesystem::path& input);

private:
    void release();

    std::filesystem::path input_;
    std::filesystem::path hold_;
    std::filesystem::path path_;
    std::optional<FileIdentity> identity_;
    bool linked_ = false;
    bool gone_ = false;   // the hold is no more (filed, dropped or given back)
    bool moved_ = false;  // the file read went into the store or aside
};

}  // namespace corva::ingest
