#include "platform/UriList.h"

#include "platform/AsciiCase.h"

namespace pw {

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The path of one file URI, decoded; empty when the URI names no local file.
std::string LocalPath(std::string_view uri, std::string_view localHost)
{
    if (uri.size() < 5 || !EqualNoCase(uri.substr(0, 5), "file:"))
        return {};
    std::string_view rest = uri.substr(5);
    if (rest.substr(0, 2) == "//") {
        rest.remove_prefix(2);
        const std::size_t slash = rest.find('/');
        if (slash == std::string_view::npos)
            return {};
        const std::string_view host = rest.substr(0, slash);
        if (!host.empty() && !EqualNoCase(host, "localhost") && !EqualNoCase(host, localHost))
            return {};
        rest.remove_prefix(slash);
    }
    if (rest.empty() || rest.front() != '/')
        return {};
    const std::size_t end = rest.find_first_of("?#");
    if (end != std::string_view::npos)
        rest = rest.substr(0, end);
    std::string path;
    path.reserve(rest.size());
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%' && i + 2 < rest.size() && HexValue(rest[i + 1]) >= 0 && HexValue(rest[i + 2]) >= 0) {
            path += static_cast<char>(HexValue(rest[i + 1]) * 16 + HexValue(rest[i + 2]));
            i += 2;
        } else {
            path += rest[i];
        }
    }
    if (path.find('\0') != std::string::npos)
        return {};
    return path;
}

}  // namespace

std::vector<std::string> LocalFilesOfUriList(std::string_view data, std::string_view localHost)
{
    std::vector<std::string> paths;
    std::size_t start = 0;
    while (start < data.size()) {
        std::size_t end = data.find('\n', start);
        if (end == std::string_view::npos)
            end = data.size();
        std::string_view line = data.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        // Blanks around a URI are no part of it.
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        if (line.empty() || line.front() == '#')
            continue;
        std::string path = LocalPath(line, localHost);
        if (!path.empty())
            paths.push_back(std::move(path));
    }
    return paths;
}

}  // namespace pw
