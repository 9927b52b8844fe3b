#pragma once
// A file's bytes read or written in one go, for tests that set up and inspect files.

#include <fstream>
#include <sstream>
#include <string>

namespace pw::test {

// The whole file; empty when it cannot be read.
inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Replaces the file's content with `bytes`.
inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

}  // namespace pw::test
