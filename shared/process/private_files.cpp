#include "process/private_files.h"

#include <sys/stat.h>

namespace corva::process {

void usePrivateFileModes()
{
    ::umask(PrivateUmask);
}

bool makePrivate(const std::filesystem::path& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode))
        return false;
    if ((st.st_mode & S_IRWXO) == 0)
        return true;
    return ::chmod(path.c_str(), st.st_mode & 07770 & ~static_cast<mode_t>(S_IRWXO)) == 0;
}

}  // namespace corva::process
