#include "platform/PrivateProfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/AsciiCase.h"

namespace pw {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// A line as a reader of C strings sees it: up to its first NUL. Cut before
// trimming, so that blanks before a NUL are trimmed too.
std::string_view UpToNul(std::string_view s) { return s.substr(0, s.find('\0')); }

bool HasLineBreakOrNul(std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// The name between the brackets when `line` is a section header.
bool ParseHeader(std::string_view line, std::string_view& name) {
    const std::string_view t = Trim(UpToNul(line));
    if (t.size() < 2 || t.front() != '[' || t.back() != ']') return false;
    name = Trim(t.substr(1, t.size() - 2));
    return true;
}

// Splits a key line; false for comments and lines without "=".
bool ParseKeyLine(std::string_view line, std::string_view& key, std::string_view& value) {
    const std::string_view t = Trim(UpToNul(line));
    if (!t.empty() && t.front() == ';') return false;
    const std::size_t eq = t.find('=');
    if (eq == std::string_view::npos) return false;
    key = Trim(t.substr(0, eq));
    value = Trim(t.substr(eq + 1));
    return true;
}

// What a C caller would see of `s` through a buffer of `bufferSize` bytes.
std::string CutToBuffer(std::string_view s, std::size_t bufferSize) {
    s = s.substr(0, s.find('\0'));
    if (bufferSize == 0) return {};
    return std::string(s.substr(0, bufferSize - 1));
}

bool ValidSectionName(std::string_view section) {
    const std::string_view t = Trim(section);
    return !t.empty() && t.size() == section.size() && !HasLineBreakOrNul(section) &&
           section.find_first_of("[]") == std::string_view::npos;
}

bool ValidKeyName(std::string_view key) {
    const std::string_view t = Trim(key);
    return !t.empty() && t.size() == key.size() && !HasLineBreakOrNul(key) &&
           key.find('=') == std::string_view::npos && key.front() != '[' && key.front() != ';';
}

std::string ErrnoText(int err) { return std::strerror(err); }

bool ReadWholeFile(const std::string& path, std::string& out, int& err) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return false;
    }
    out.clear();
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            err = errno;   // EISDIR for a folder, EIO, ...
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    return true;
}

bool WriteAll(int fd, std::string_view data, int& err) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The file a write must replace: the target of a symbolic link, else `path`.
std::string ResolveTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            std::string resolved(real);
            std::free(real);
            return resolved;
        }
    }
    return path;
}

}  // namespace

// ---- TIniFile ---------------------------------------------------------------

TIniFile::TIniFile(std::string path) : path_(std::move(path)) {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) loadError_ = ErrnoText(errno);
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        loadError_ = ErrnoText(EISDIR);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        // A fifo or a device: opening could block, and it is not ours to replace.
        loadError_ = "Not a regular file";
        return;
    }
    exists_ = true;
    std::string text;
    int err = 0;
    if (!ReadWholeFile(path_, text, err)) {
        loadError_ = ErrnoText(err);
        return;
    }
    Parse(text);
}

void TIniFile::Parse(std::string_view text) {
    if (text.substr(0, kBom.size()) == kBom) {
        bom_ = true;
        text.remove_prefix(kBom.size());
    }
    RSection* current = nullptr;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of("\r\n");
        const std::string_view line = text.substr(0, end);
        if (end == std::string_view::npos) {
            text = {};
        } else {
            const std::size_t next =
                (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? end + 2
                                                                                          : end + 1;
            text.remove_prefix(next);
        }
        std::string_view name;
        if (ParseHeader(line, name)) {
            sections_.push_back(RSection{std::string(name), std::string(line), {}});
            current = &sections_.back();
        } else if (current != nullptr) {
            current->lines.emplace_back(line);
        } else {
            preamble_.emplace_back(line);
        }
    }
}

const TIniFile::RSection* TIniFile::FindSection(std::string_view name) const {
    const std::string_view wanted = Trim(name);
    for (const RSection& s : sections_)
        if (EqualNoCase(s.name, wanted)) return &s;
    return nullptr;
}

TIniFile::RSection* TIniFile::FindSection(std::string_view name) {
    return const_cast<RSection*>(std::as_const(*this).FindSection(name));
}

TIniFile::RSection& TIniFile::SectionForWrite(std::string_view name) {
    if (RSection* s = FindSection(name)) return *s;
    std::string header = "[" + std::string(name) + "]";
    sections_.push_back(RSection{std::string(name), std::move(header), {}});
    return sections_.back();
}

bool TIniFile::HasSection(std::string_view section) const { return FindSection(section) != nullptr; }

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view def, std::size_t bufferSize) const {
    const std::string_view wanted = Trim(key);
    if (const RSection* s = FindSection(section); s != nullptr && !wanted.empty()) {
        for (const std::string& line : s->lines) {
            std::string_view k, v;
            if (ParseKeyLine(line, k, v) && EqualNoCase(k, wanted)) return CutToBuffer(v, bufferSize);
        }
    }
    return CutToBuffer(def, bufferSize);
}

std::int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key,
                                   std::int32_t def) const {
    const std::string v = ReadString(section, key, "");
    if (v.empty()) return def;
    std::size_t i = 0;
    bool negative = false;
    if (v[i] == '+' || v[i] == '-') negative = v[i++] == '-';
    std::int64_t n = 0;
    for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i) {
        n = n * 10 + (v[i] - '0');
        if (n > std::int64_t{INT32_MAX} + 1) n = std::int64_t{INT32_MAX} + 1;   // clamp, no overflow
    }
    if (negative) n = -n;
    if (n > INT32_MAX) n = INT32_MAX;
    return static_cast<std::int32_t>(n);
}

std::vector<std::string> TIniFile::ReadSection(std::string_view section,
                                               std::size_t bufferSize) const {
    std::vector<std::string> out;
    const RSection* s = FindSection(section);
    if (s == nullptr) return out;
    for (const std::string& line : s->lines) {
        const std::string_view seen = UpToNul(line);
        if (Trim(seen).empty()) continue;
        out.emplace_back(seen);
    }
    std::size_t total = 1;   // the list's final NUL
    for (const std::string& line : out) total += line.size() + 1;
    if (total <= bufferSize) return out;

    // Does not fit: keep what fits in bufferSize - 2 bytes, the crossing line cut.
    const std::size_t room = bufferSize >= 2 ? bufferSize - 2 : 0;
    std::size_t used = 0;
    std::size_t i = 0;
    for (; i < out.size(); ++i) {
        const std::size_t need = out[i].size() + 1;
        if (used + need <= room) {
            used += need;
            continue;
        }
        const std::size_t chars = room - used > 0 ? room - used - 1 : 0;
        if (chars > 0) {
            out[i].resize(chars);
            ++i;
        }
        break;
    }
    out.resize(i);
    return out;
}

bool TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    if (!ValidSectionName(section) || !ValidKeyName(key) || HasLineBreakOrNul(value)) return false;
    RSection& s = SectionForWrite(section);
    for (std::string& line : s.lines) {
        std::string_view k, v;
        if (ParseKeyLine(line, k, v) && EqualNoCase(k, key)) {
            line = std::string(k) + "=" + std::string(value);
            return true;
        }
    }
    std::size_t at = s.lines.size();
    while (at > 0 && Trim(s.lines[at - 1]).empty()) --at;
    s.lines.insert(s.lines.begin() + static_cast<std::ptrdiff_t>(at),
                   std::string(key) + "=" + std::string(value));
    return true;
}

bool TIniFile::WriteSection(std::string_view section, const std::vector<std::string>& lines) {
    if (!ValidSectionName(section)) return false;
    for (const std::string& line : lines) {
        std::string_view name;
        if (HasLineBreakOrNul(line) || ParseHeader(line, name)) return false;
    }
    RSection& s = SectionForWrite(section);
    // Keep one blank line before the next section when there was one. Only
    // one: blank lines written as part of `lines` look the same on the next
    // write, and keeping them all would grow the file by a line each time.
    const bool separated = !s.lines.empty() && Trim(s.lines.back()).empty();
    s.lines = lines;
    if (separated) s.lines.emplace_back();
    return true;
}

std::string TIniFile::Text() const {
    std::string out;
    if (bom_) out += kBom;
    auto put = [&out](const std::string& line) {
        out += line;
        out += "\r\n";
    };
    for (const std::string& line : preamble_) put(line);
    for (const RSection& s : sections_) {
        put(s.header);
        for (const std::string& line : s.lines) put(line);
    }
    return out;
}

bool TIniFile::Save(std::string* error, int mode) const {
    if (!loadError_.empty()) {
        // Writing now would replace content we never saw.
        if (error) *error = loadError_;
        return false;
    }
    return ReplaceFileAtomically(path_, Text(), error, mode);
}

// ---- atomic replacement -----------------------------------------------------

bool ReplaceFileAtomically(const std::string& path, std::string_view content, std::string* error, int mode) {
    auto fail = [error](int err) {
        if (error) *error = ErrnoText(err);
        return false;
    };
    if (path.empty()) return fail(ENOENT);
    const std::string target = ResolveTarget(path);

    struct stat old {};
    const bool hadOld = ::stat(target.c_str(), &old) == 0;
    if (hadOld && S_ISDIR(old.st_mode)) return fail(EISDIR);
    // A file the user may not write stays as it is, even though the folder
    // would let a rename replace it; so does one made read-only for everyone.
    if (hadOld && (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0 || (old.st_mode & 0222) == 0))
        return fail(EACCES);

    const std::size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);

    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = (slash == std::string::npos ? std::string() : folder) + "." + base + ".tmp" +
               std::to_string(::getpid()) + "-" + std::to_string(counter++);
        // Private until its mode is set, so nothing is readable on the way.
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode == KeepFileMode ? 0666 : 0600);
        if (fd < 0 && errno != EEXIST) return fail(errno);
    }
    if (fd < 0) return fail(EEXIST);

    int err = 0;
    bool ok = true;
    if (hadOld && ::geteuid() == 0 && (old.st_uid != 0 || old.st_gid != 0) &&
        ::fchown(fd, old.st_uid, old.st_gid) != 0) {
        // Root must not leave a file of its own where the user's was.
        err = errno;
        ok = false;
    } else if (hadOld && ::geteuid() != 0 && old.st_gid != ::getegid()) {
        // The group goes along where the user may give it (a group folder).
        [[maybe_unused]] const int kept = ::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    }
    const bool setMode = mode != KeepFileMode || hadOld;
    const mode_t wanted = mode != KeepFileMode ? static_cast<mode_t>(mode) & 07777 : old.st_mode & 07777;
    if (ok && setMode && ::fchmod(fd, wanted) != 0) {
        err = errno;
        ok = false;
    }
    ok = ok && WriteAll(fd, content, err);
    if (ok && ::fsync(fd) != 0) {
        err = errno;
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        err = errno;
        ok = false;
    }
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
        err = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return fail(err);
    }
    // Make the rename itself durable; the file is already complete either way.
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

// ---- the Win32 calls --------------------------------------------------------

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view def, const std::string& file,
                                    std::size_t bufferSize) {
    return TIniFile(file).ReadString(section, key, def, bufferSize);
}

std::int32_t GetPrivateProfileInt(std::string_view section, std::string_view key,
                                  std::int32_t def, const std::string& file) {
    return TIniFile(file).ReadInteger(section, key, def);
}

std::vector<std::string> GetPrivateProfileSection(std::string_view section,
                                                  const std::string& file,
                                                  std::size_t bufferSize) {
    return TIniFile(file).ReadSection(section, bufferSize);
}

bool WritePrivateProfileString(std::string_view section, std::string_view key,
                               std::string_view value, const std::string& file,
                               std::string* error) {
    TIniFile ini(file);
    if (!ini.WriteString(section, key, value)) {
        if (error) *error = "Invalid section, key or value text";
        return false;
    }
    return ini.Save(error);
}

bool WritePrivateProfileSection(std::string_view section, const std::vector<std::string>& lines,
                                const std::string& file, std::string* error) {
    TIniFile ini(file);
    if (!ini.WriteSection(section, lines)) {
        if (error) *error = "Invalid section name or line text";
        return false;
    }
    return ini.Save(error);
}

}  // namespace pw
