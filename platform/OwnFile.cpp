#include "platform/OwnFile.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

namespace pw {

namespace {

std::string Mode(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

}  // namespace

bool IsUsersOwnFile(const std::string& path, std::string& why)
{
    const std::unique_ptr<char, decltype(&::free)> real(::realpath(path.c_str(), nullptr), &::free);
    if (!real) {
        why = path + " cannot be checked: " + ::strerror(errno);
        return false;
    }
    const std::string file = real.get();
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
        why = file + " cannot be checked: " + ::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = file + " is not a regular file";
        return false;
    }
    const uid_t me = ::geteuid();
    if (st.st_uid != me) {
        why = file + " belongs to user " + std::to_string(st.st_uid) + ", not to user " + std::to_string(me);
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = file + " may be written by others (mode " + Mode(st.st_mode) + ")";
        return false;
    }
    // Whoever may write the folder may put another file in its place.
    const std::string folder = file.substr(0, file.rfind('/') == 0 ? 1 : file.rfind('/'));
    struct stat dir {};
    if (::stat(folder.c_str(), &dir) != 0) {
        why = folder + " cannot be checked: " + ::strerror(errno);
        return false;
    }
    if (dir.st_uid != me && dir.st_uid != 0) {
        why = "its folder " + folder + " belongs to user " + std::to_string(dir.st_uid);
        return false;
    }
    if ((dir.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (dir.st_mode & S_ISVTX) == 0) {
        why = "its folder " + folder + " may be written by others (mode " + Mode(dir.st_mode) + ")";
        return false;
    }
    why.clear();
    return true;
}

}  // namespace pw
