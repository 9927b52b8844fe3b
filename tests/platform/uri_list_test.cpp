// The file names of a dropped "text/uri-list", as bytes: a table of lists.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/UriList.h"

namespace pw {
namespace {

TEST(UriList, LocalFilesAsTheirBytes)
{
    struct Row {
        const char* what;
        std::string data;
        std::vector<std::string> paths;
    };
    const Row rows[] = {
        {"one file", "file:///tmp/a.txt\r\n", {"/tmp/a.txt"}},
        {"no line end at the end", "file:///tmp/a.txt", {"/tmp/a.txt"}},
        {"bare LF between lines", "file:///a\nfile:///b\n", {"/a", "/b"}},
        {"blanks percent-encoded", "file:///tmp/a%20b.txt\r\n", {"/tmp/a b.txt"}},
        {"Windows-1252 bytes", "file:///tmp/caf%E9.txt\r\n", {"/tmp/caf\xe9.txt"}},
        {"UTF-8 bytes", "file:///tmp/%C3%84pfel.txt\r\n", {"/tmp/Äpfel.txt"}},
        {"lower-case hex", "file:///tmp/%c3%a4\r\n", {"/tmp/ä"}},
        {"a stray percent stays", "file:///tmp/100%\r\nfile:///tmp/%zz\r\n", {"/tmp/100%", "/tmp/%zz"}},
        {"localhost and this host", "file://localhost/a\r\nfile://thishost/b\r\nFILE://LocalHost/c\r\n", {"/a", "/b", "/c"}},
        {"another host is no local file", "file://elsewhere/a\r\n", {}},
        {"short form", "file:/a/b\r\n", {"/a/b"}},
        {"comments and other schemes", "# a comment\r\nhttp://example.org/a\r\nsmb://server/share\r\nfile:///x\r\n", {"/x"}},
        {"query and fragment end the path", "file:///a?b\r\nfile:///c#d\r\nfile:///e%23f\r\n", {"/a", "/c", "/e#f"}},
        {"relative or empty paths", "file:relative\r\nfile://\r\nfile:///\r\nfile:\r\n", {"/"}},
        {"a NUL would cut the name", "file:///a%00b\r\nfile:///ok\r\n", {"/ok"}},
        {"blank lines and blanks around", "\r\n  file:///a  \r\n\t\r\n", {"/a"}},
        {"empty", "", {}},
    };
    for (const auto& r : rows)
        EXPECT_EQ(LocalFilesOfUriList(r.data, "thishost"), r.paths) << r.what;
}

}  // namespace
}  // namespace pw
