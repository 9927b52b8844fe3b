// Dropped file lists ("text/uri-list") on any bytes. Properties: every path
// found begins with "/" and holds no NUL; writing the paths back as a list of
// fully percent-encoded file URIs and reading that gives the same paths.

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/UriList.h"

using pw::fuzz::Show;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> paths = pw::LocalFilesOfUriList(text, "thishost");
    std::string list;
    for (const std::string& path : paths) {
        PW_FUZZ_CHECK(!path.empty() && path.front() == '/', Show(text) + " gave " + Show(path));
        PW_FUZZ_CHECK(path.find('\0') == std::string::npos, Show(text));
        list += "file://";
        static const char Hex[] = "0123456789ABCDEF";
        for (char c : path) {
            const auto u = static_cast<unsigned char>(c);
            const bool plain = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '/' ||
                               u == '.' || u == '-' || u == '_';
            if (plain) {
                list += c;
            } else {
                list += '%';
                list += Hex[u >> 4];
                list += Hex[u & 15];
            }
        }
        list += "\r\n";
    }
    PW_FUZZ_CHECK(pw::LocalFilesOfUriList(list, "thishost") == paths, Show(text) + " via " + Show(list));
    return 0;
}
