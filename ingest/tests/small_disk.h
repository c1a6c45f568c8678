#pragma once
// A disk of its own under a folder for the life of the object (a tmpfs of a few
// megabytes): the folder's content is copied onto it and the original comes back
// afterwards. It can be filled and made read-only, which stops root too. Needs the
// right to mount (mounted() says).
#include <sys/mount.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace corva::ingest::test {

class SmallDisk {
public:
    SmallDisk(const std::filesystem::path& folder, std::size_t bytes)
        : folder_(folder), original_(folder.string() + ".disk"), options_("size=" + std::to_string(bytes))
    {
        namespace fs = std::filesystem;
        fs::rename(folder_, original_);
        fs::create_directory(folder_);
        mounted_ = ::mount("tmpfs", folder_.c_str(), "tmpfs", 0, options_.c_str()) == 0;
        if (mounted_) {
            fs::copy(original_, folder_, fs::copy_options::recursive);
        } else {
            fs::remove(folder_);
            fs::rename(original_, folder_);
        }
    }
    ~SmallDisk()
    {
        if (!mounted_)
            return;
        ::umount2(folder_.c_str(), MNT_DETACH);
        std::error_code ec;
        std::filesystem::remove(folder_, ec);
        std::filesystem::rename(original_, folder_, ec);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    bool mounted() const { return mounted_; }

    // Takes every free block.
    void fill()
    {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen((folder_ / "filler").c_str(), "wb"), std::fclose);
        if (!f)
            return;
        std::setvbuf(f.get(), nullptr, _IONBF, 0);
        const std::vector<char> block(4096, 'x');
        while (std::fwrite(block.data(), 1, block.size(), f.get()) == block.size()) {
        }
        // The last few bytes of the last block too.
        while (std::fwrite("x", 1, 1, f.get()) == 1) {
        }
    }
    void free() { std::filesystem::remove(folder_ / "filler"); }

    // Read-only and back: true when the remount worked.
    bool setReadOnly(bool readOnly)
    {
        const unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0UL);
        return ::mount("tmpfs", folder_.c_str(), "tmpfs", flags, options_.c_str()) == 0;
    }

private:
    std::filesystem::path folder_;
    std::filesystem::path original_;
    std::string options_;
    bool mounted_ = false;
};

}  // namespace corva::ingest::test
