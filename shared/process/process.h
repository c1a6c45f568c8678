#pragma once
// Process control on Linux through /proc and POSIX signals.
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace corva::process {

// Ids of running processes whose executable name contains `name` (case-insensitive),
// this process excluded.
std::vector<int> findByName(const std::string& name);
// Ids of running processes started from the program file `program` (its path, as
// /proc/<pid>/exe names it; a file replaced since the start still counts), this process
// excluded. Copies of the same program in other folders are not found.
std::vector<int> findByExecutable(const std::filesystem::path& program);
bool isAlive(int pid);
// Starts a program detached (own session, no terminal, stdio on /dev/null) with the
// given working folder. Returns its process id, or -1 when it could not start.
int startDetached(const std::filesystem::path& program, const std::vector<std::string>& args = {},
                  const std::filesystem::path& workingFolder = {});
// SIGTERM, then SIGKILL when it has not ended within `grace`. pid <= 0 does nothing.
// Returns true when the process is gone afterwards.
bool stop(int pid, std::chrono::milliseconds grace = std::chrono::seconds(3));

// Who a single-instance lock keeps out: other copies of the same user (the station, one
// per operator), or every copy on the folder whoever runs it (a service: two ingest
// services of two users on one program folder would both take its input).
enum class LockScope { User, Folder };

// A lock held for the life of the object: flock on a file in the user's runtime folder
// (XDG_RUNTIME_DIR), else in `fallbackFolder` (the program folder by default); under
// LockScope::Folder always in that folder, under a name without the user's id and open
// to the group. The file is removed when the lock ends, so none are left behind. `key`
// names what is locked (a program name, plus a folder for services).
class SingleInstanceLock {
public:
    explicit SingleInstanceLock(const std::string& key, const std::filesystem::path& fallbackFolder = {},
                                LockScope scope = LockScope::User);
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;
    bool acquired() const { return fd_ >= 0; }
    const std::filesystem::path& file() const { return file_; }

private:
    int fd_ = -1;
    std::filesystem::path file_;
};

}  // namespace corva::process
