#include "full/driver/write_errors.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

std::string whyNotWritable(const std::string& output) {
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
    return prefix + "the disk is full, or the folder not writable";
}
