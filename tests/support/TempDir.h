#pragma once
// A temporary folder for one test, removed with everything in it at the end.

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace pw::test {

class TempDir {
public:
    explicit TempDir(const std::string& prefix = "pw-test") {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

}  // namespace pw::test
