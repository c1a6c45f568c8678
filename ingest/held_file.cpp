#include "held_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace corva::ingest {

namespace fs = std::filesystem;

namespace {

// Where a file goes when its input name is taken by another: "<stem>.resent-<n>.dcm"
// (no UID holds a '-', so this name never passes for one).
fs::path freeNameBeside(const fs::path& input)
{
    const std::string stem = input.stem().string();
    for (int n = 1;; ++n) {
        fs::path candidate = input.parent_path() / (stem + ".resent-" + std::to_string(n) + input.extension().string());
        std::error_code ec;
        if (!fs::exists(candidate, ec) && !ec)
            return candidate;
        if (n > 100000)
            throw fs::filesystem_error("No free name beside", input, std::make_error_code(std::errc::file_exists));
    }
}

// Gives `file` the input name when it is free, else a free name beside it; the old name
// goes. Never replaces a file.
void placeAsInput(const fs::path& file, const fs::path& input)
{
    fs::path target = input;
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (::link(file.c_str(), target.c_str()) == 0) {
            ::unlink(file.c_str());
            return;
        }
        if (errno != EEXIST)
            throw fs::filesystem_error("Cannot give back", file, target, std::error_code(errno, std::generic_category()));
        target = freeNameBeside(input);
    }
}

bool sameFile(const fs::path& a, const fs::path& b)
{
    struct stat sa {};
    struct stat sb {};
    return ::lstat(a.c_str(), &sa) == 0 && ::lstat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace

HeldFile::HeldFile(fs::path inputFolder, std::string name)
    : input_(inputFolder / name), hold_(inputFolder / holdName(name)), path_(input_)
{
}

HeldFile::~HeldFile()
{
    try {
        release();
    } catch (...) {
        // Left for the next start, which gives it back.
    }
}

bool HeldFile::take()
{
    // A hold left by an ended attempt is given back first. Where no hold can be made (no
    // hard links, a name too long for the suffix) the input name itself is used.
    struct stat st {};
    if (::lstat(hold_.c_str(), &st) == 0) {
        if (S_ISREG(st.st_mode))
            restoreLeftover(hold_, input_);
        else if (!S_ISDIR(st.st_mode))
            ::unlink(hold_.c_str());  // a link or a pipe under the hold's name is no file of ours
    }
    if (::link(input_.c_str(), hold_.c_str()) == 0) {
        linked_ = true;
        path_ = hold_;
    } else if (errno == ENOENT) {
        return false;
    } else if (errno == EEXIST && ::lstat(hold_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        // A folder under the hold's name: the input name itself is used, as without hard links.
    } else if (errno != EPERM && errno != EOPNOTSUPP && errno != EXDEV && errno != ENAMETOOLONG) {
        throw fs::filesystem_error("Cannot hold", input_, hold_, std::error_code(errno, std::generic_category()));
    }
    identity_ = fileIdentity(path_);
    return identity_.has_value();
}

bool HeldFile::unchanged() const
{
    return identity_ && !gone_ && fileIdentity(path_) == identity_;
}

void HeldFile::drop()
{
    // Without a hold the input name is the file: removeInputName() takes it.
    if (!linked_)
        return;
    if (!gone_)
        ::unlink(hold_.c_str());
    gone_ = true;
}

bool HeldFile::removeInputName()
{
    if (!identity_)
        return false;
    std::error_code ec;
    if (!linked_) {
        if (!moved_ && fileIdentity(input_) == identity_)
            fs::remove(input_, ec);
        return !fs::exists(input_, ec);
    }
    // Moved out of the way first and looked at there: a file that took the name
    // meanwhile is given back, never removed.
    const fs::path dropping = input_.string() + ".drop";
    if (::rename(input_.c_str(), dropping.c_str()) != 0)
        return errno == ENOENT;
    const auto now = fileIdentity(dropping);
    if (now && now->inode == identity_->inode && now->device == identity_->device) {
        ::unlink(dropping.c_str());
        return true;
    }
    placeAsInput(dropping, input_);
    return false;
}

void HeldFile::replaceInputName(const fs::path& copy)
{
    if (!linked_) {
        fs::rename(copy, input_);
        moved_ = gone_ = true;
        return;
    }
    // When another file took the input name meanwhile, the copy goes beside it.
    removeInputName();
    placeAsInput(copy, input_);
    drop();
}

void HeldFile::release()
{
    if (!linked_ || gone_)
        return;
    gone_ = true;
    restoreLeftover(hold_, input_);
}

void HeldFile::restoreLeftover(const fs::path& leftover, const fs::path& input)
{
    struct stat st {};
    if (::lstat(leftover.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    if (sameFile(leftover, input) || st.st_nlink > 1) {
        ::unlink(leftover.c_str());
        return;
    }
    placeAsInput(leftover, input);
}

}  // namespace corva::ingest
