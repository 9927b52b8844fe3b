#include "FuzzSupport.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace pw::fuzz {

namespace {

std::string* gScratch = nullptr;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    ::remove(path);
    return 0;
}

void RemoveScratch()
{
    if (gScratch != nullptr) ::nftw(gScratch->c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

const std::string& ScratchFolder()
{
    if (gScratch == nullptr) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                              "/pw-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        gScratch = new std::string(pattern + "/");
        std::atexit(RemoveScratch);
    }
    return *gScratch;
}

void WriteFile(const std::string& path, std::string_view content)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::perror(path.c_str());
        std::abort();
    }
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::perror(path.c_str());
            std::abort();
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

}  // namespace pw::fuzz
