#pragma once
// Private-profile (INI) files: the Win32 GetPrivateProfile*/WritePrivateProfile*
// calls the program is written against, carried onto Linux.
//
// File form, as read:
//   - Lines end in CR LF, LF or a lone CR; a UTF-8 byte-order mark at the start is
//     skipped (and written back). Text is bytes; a NUL byte ends a returned value.
//   - A section header is a line whose text, blanks (space, tab) trimmed, starts with
//     "[" and ends with "]"; the name is the text between them, blanks trimmed.
//     Lines before the first header belong to no section.
//   - Inside a section, a line whose trimmed text starts with ";" is a comment. Any
//     other line holding "=" is a key line: the key is the text before the first
//     "=", the value the text after it, both trimmed of blanks. A line without "="
//     is kept but is no key.
//   - Section and key names are compared without ASCII letter case. When a section
//     or key appears more than once, the first one is read and written.
//   - Values are returned as stored, apart from the trimming: quotes are not
//     removed.
//
// Writes keep every other line (comments, blank lines, order, the spelling of
// headers and keys) and write all line ends as CR LF. A write replaces the whole
// file atomically: a temporary file beside it is written, flushed with fsync and
// renamed over the old one, so either the old or the new file is on disk. A file
// that exists but cannot be read is never replaced (its content would be lost).
// Symbolic links are followed: the file they point at is replaced.
//
// Reads never throw and never fail: a missing or unreadable file, section or key
// gives the default.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pw {

// The buffer sizes the program reads through: a string comes back cut to
// kProfileStringBuffer - 1 characters, a section to what fits a
// kProfileSectionBuffer-byte double-NUL-terminated list (see ReadSection).
inline constexpr std::size_t kProfileStringBuffer = 4096;
inline constexpr std::size_t kProfileSectionBuffer = 32767;

// The mode argument of the writes that keeps what the file has.
inline constexpr int KeepFileMode = -1;

// One INI file, read once into memory. Reads answer from memory; writes change
// memory only until Save. Use it to read or write many keys with one file access;
// the free functions below load a fresh TIniFile for every call.
class TIniFile {
public:
    // Loads `path` at once. A missing file gives an empty profile; a file that
    // exists but cannot be read (no permission, a folder, an I/O error) also reads
    // as empty, and Save then refuses to replace it.
    explicit TIniFile(std::string path);

    const std::string& Path() const { return path_; }
    // True when `path` named a regular file (or a link to one) at load time.
    bool Exists() const { return exists_; }
    // The reason the existing file could not be read; empty when it was read or
    // did not exist.
    const std::string& LoadError() const { return loadError_; }

    bool HasSection(std::string_view section) const;

    // The key's value, or `def` when the section or key is missing; either is cut
    // to bufferSize - 1 characters (nothing when bufferSize is 0).
    std::string ReadString(std::string_view section, std::string_view key, std::string_view def,
                           std::size_t bufferSize = kProfileStringBuffer) const;

    // The decimal number at the start of the value: optional "+" or "-", then
    // digits; reading stops at the first other character. A value without digits
    // reads 0; a missing key, or one with an empty value, gives `def`. Values past
    // the 32-bit range are clamped to it.
    std::int32_t ReadInteger(std::string_view section, std::string_view key,
                             std::int32_t def) const;

    // The section's lines, raw, in file order: every line of the section that is
    // not blank, without its line end and otherwise as stored (key lines come back
    // as written, e.g. "Host = mail", comment lines too). A missing section gives
    // no lines.
    // The result models GetPrivateProfileSectionA with a buffer of `bufferSize`
    // bytes, where each line takes its length plus one NUL and the list ends with
    // one more NUL:
    //   - when sum(length + 1) + 1 <= bufferSize, all lines are returned;
    //   - otherwise the result holds the lines whose running total of
    //     (length + 1) stays within bufferSize - 2, then the line that crosses that
    //     total cut so that it ends exactly there (dropped if no character of it
    //     fits), and nothing after it. With 32,767 bytes the lines, counted with one
    //     separator byte each, thus total at most 32,765 bytes when cut.
    std::vector<std::string> ReadSection(std::string_view section,
                                         std::size_t bufferSize = kProfileSectionBuffer) const;

    // Sets `key` in `section` to `value` in memory: an existing key line is
    // replaced in place as "<key as spelled in the file>=<value>"; a new key goes
    // after the section's last non-blank line; a missing section is added at the
    // end of the file. Returns false (and changes nothing) when the text cannot be
    // stored so that it reads back the same way: an empty section or key name, a
    // section name holding "[" or "]", a key holding "=" or starting with "[" or
    // ";", or any CR, LF or NUL. Blanks around the value are written but, as on
    // Windows, trimmed when read.
    bool WriteString(std::string_view section, std::string_view key, std::string_view value);

    // Replaces every line of `section` with `lines`, written as given (they need not
    // be key=value pairs); blank lines that ended the old section stay after them,
    // to keep the file's layout. An empty `lines` empties the section but keeps its
    // header. A missing section is added at the end of the file. Returns false (and
    // changes nothing) for an invalid section name (as for WriteString) or a line
    // that cannot be stored: one holding CR, LF or NUL, or one that would read back
    // as a section header ("[...]" once trimmed).
    bool WriteSection(std::string_view section, const std::vector<std::string>& lines);

    // Writes the profile to Path() atomically (see the top of this file). On failure
    // returns false, sets `error` (when given) to the reason, e.g. "Permission
    // denied", and leaves the file on disk as it was. `mode` as for
    // ReplaceFileAtomically.
    bool Save(std::string* error = nullptr, int mode = KeepFileMode) const;

    // The file's text as Save writes it (CR LF line ends).
    std::string Text() const;

private:
    struct RSection {
        std::string name;                 // trimmed, as in the file
        std::string header;               // the header line as stored
        std::vector<std::string> lines;   // the body, raw
    };

    RSection* FindSection(std::string_view name);
    const RSection* FindSection(std::string_view name) const;
    RSection& SectionForWrite(std::string_view name);
    void Parse(std::string_view text);

    std::string path_;
    bool exists_ = false;
    std::string loadError_;
    bool bom_ = false;
    std::vector<std::string> preamble_;   // lines before the first section
    std::vector<RSection> sections_;
};

// The Win32 calls. Each reads the file afresh; each write loads, changes and saves
// the file atomically. Writes return false and leave the file as it was when the
// text cannot be stored (see TIniFile) or the file cannot be replaced; `error`, when
// given, then receives the reason.
std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view def, const std::string& file,
                                    std::size_t bufferSize = kProfileStringBuffer);
std::int32_t GetPrivateProfileInt(std::string_view section, std::string_view key,
                                  std::int32_t def, const std::string& file);
std::vector<std::string> GetPrivateProfileSection(std::string_view section,
                                                  const std::string& file,
                                                  std::size_t bufferSize = kProfileSectionBuffer);
bool WritePrivateProfileString(std::string_view section, std::string_view key,
                               std::string_view value, const std::string& file,
                               std::string* error = nullptr);
bool WritePrivateProfileSection(std::string_view section, const std::vector<std::string>& lines,
                                const std::string& file, std::string* error = nullptr);

// Replaces `path` with `content` atomically: temporary file beside it, fsync,
// rename, then fsync of the folder. The new file keeps the old one's permission
// bits, or gets `mode` when that is not KeepFileMode; a new file gets `mode`, or
// 0666 less the umask. When root replaces a file that belongs to someone else,
// the new file keeps the old one's owner and group.
// A file that exists and may not be written is never replaced: one the user
// lacks write permission for, or one with no write permission bit at all (made
// read-only on purpose, which root respects too); the reason is then
// "Permission denied".
// Returns false with the reason in `error` (when given) and leaves the old file
// when any step fails.
bool ReplaceFileAtomically(const std::string& path, std::string_view content,
                           std::string* error = nullptr, int mode = KeepFileMode);

}  // namespace pw
