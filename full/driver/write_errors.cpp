#include "full/driver/write_errors.hpp"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

std::string kibText(std::int64_t bytes) {
    return std::to_string((bytes + 1023) / 1024) + " KiB";
}

}  // namespace

std::string noRoomReason(std::int64_t needed, std::int64_t available) {
    std::string reason = "the disk is full";
    if (needed > 0) reason += ": the program needs " + kibText(needed);
    if (available >= 0) reason += (needed > 0 ? ", " : ": ") + kibText(available) + " are free";
    return reason;
}

std::string whyNotWritable(const std::string& output, int writeError, std::int64_t needed) {
    namespace fs = std::filesystem;
    const std::string prefix = "cannot write " + output + ": ";
    fs::path folder = fs::path(output).parent_path();
    if (folder.empty()) folder = ".";
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0)
        return prefix + "the folder " + folder.string() + " does not exist";
    if (!S_ISDIR(st.st_mode)) return prefix + folder.string() + " is a file, not a folder";
    if (::stat(output.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return prefix + "a folder of that name is in the way";
        if (!S_ISREG(st.st_mode)) return prefix + "something other than a file is in the way";
        if (::access(output.c_str(), W_OK) != 0)
            return prefix + "the program there is read-only (this user may not replace it)";
    }
    // The program is written beside its place under another name, then renamed.
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return prefix + "this user may not write into the folder " + folder.string();
    // The folder takes files: the write itself failed. Its room, as the user may use it.
    struct statvfs disk;
    const std::int64_t available =
        ::statvfs(folder.c_str(), &disk) == 0 ? std::int64_t(disk.f_bavail) * disk.f_frsize : -1;
    if (writeError == ENOSPC || (writeError == 0 && available >= 0 && needed > available))
        return prefix + noRoomReason(needed, available);
    if (writeError == EDQUOT)
        return prefix + "this user's disk quota is used up (the program needs " + kibText(needed) +
               ")";
    if (writeError == EFBIG)
        return prefix + "the program (" + kibText(needed) +
               ") is larger than this process may write (ulimit -f)";
    if (writeError != 0) return prefix + std::strerror(writeError);
    return prefix + "the disk is full, or the folder not writable";
}
