#include "platform/ProgramPath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace pw {

std::string ProgramFileName() {
    std::vector<char> buf(4096);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return {};
        if (static_cast<std::size_t>(n) < buf.size()) {
            std::string name(buf.data(), static_cast<std::size_t>(n));
            constexpr std::string_view kDeleted = " (deleted)";
            struct stat st {};
            if (name.size() > kDeleted.size() && name.ends_with(kDeleted) &&
                ::stat(name.c_str(), &st) != 0)
                name.resize(name.size() - kDeleted.size());
            return name;
        }
        buf.resize(buf.size() * 2);   // may have been cut: try a larger buffer
    }
}

std::string FolderOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

std::string ProgramFolder() { return FolderOf(ProgramFileName()); }

std::string ChangeFileExt(std::string_view path, std::string_view ext) {
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    const bool hasExt = dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash);
    return std::string(hasExt ? path.substr(0, dot) : path) + std::string(ext);
}

std::string ChangeAfterLastDot(std::string_view path, std::string_view ext) {
    const std::size_t dot = path.rfind('.');
    return std::string(dot == std::string_view::npos ? path : path.substr(0, dot)) + std::string(ext);
}

}  // namespace pw
