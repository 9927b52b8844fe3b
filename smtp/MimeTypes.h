#pragma once
// The type of an attachment from its file name, by the glob patterns of the
// freedesktop shared MIME database (the globs2 files that shared-mime-info's
// update-mime-database writes): "weight:type:pattern[:flags]" per line.
//
// Matching follows the shared MIME database's own rules: patterns are compared
// without letter case unless flagged "cs"; a literal name wins over patterns
// with wildcards; among the rest the highest weight, then the longest pattern,
// then the file read last (the user's own), then the earlier line.

#include <string>
#include <string_view>
#include <vector>

namespace pw {

class TMimeGlobs {
public:
    // Adds the rules of one globs2 file. A file loaded later takes precedence;
    // its "__NOGLOBS__" lines drop what earlier files said of that type.
    // Lines that cannot be read, and types that are no plain "type/subtype"
    // token, are skipped.
    void Load(std::string_view text);
    // Loads the file at `path`; false when it cannot be read.
    bool LoadFile(const std::string& path);

    // The type of `fileName` (a name without folder); empty when nothing matches.
    std::string TypeOf(std::string_view fileName) const;

    std::size_t RuleCount() const { return rules_.size(); }

private:
    struct TRule {
        int Weight;
        std::string Type;
        std::string Pattern;  // lower case unless CaseSensitive
        bool CaseSensitive;
        bool Literal;         // no wildcard at all
        int File;             // order of the file that gave it
        int Line;
    };
    std::vector<TRule> rules_;
    int files_ = 0;
};

// The globs2 files of the XDG data folders, the user's own last:
// $XDG_DATA_DIRS (default /usr/local/share:/usr/share) in reverse, then
// $XDG_DATA_HOME (default ~/.local/share), each with "/mime/globs2".
std::vector<std::string> MimeGlobFiles();

// The type for an attachment's file name from the database above (read once
// per process); "application/octet-stream" when no pattern matches or no
// database is installed.
std::string MimeTypeForFileName(std::string_view fileName);

}  // namespace pw
