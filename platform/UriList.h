#pragma once
// The file names in a "text/uri-list" (RFC 2483), what a desktop hands over
// when files are dropped: one URI per line, CR LF between lines, lines that
// begin with "#" are comments. A file name's bytes travel percent-encoded
// (RFC 8089), so they come back exactly as they are on the disk, whatever
// their encoding.

#include <string>
#include <string_view>
#include <vector>

namespace pw {

// The local paths of the "file:" URIs in `data`, in order, percent-decoded to
// their bytes: "file:///path", "file:/path", and "file://host/path" when the
// host is empty, "localhost" or `localHost`. Other schemes, other hosts,
// relative or empty paths, and paths that would hold a NUL byte are skipped.
// A "?" or "#" ends the path (query and fragment).
std::vector<std::string> LocalFilesOfUriList(std::string_view data, std::string_view localHost);

}  // namespace pw
