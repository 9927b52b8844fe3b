#include "config/LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/FileLock.h"
#include "platform/ProgramPath.h"

namespace pw {

namespace {

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Keeps the update bracket closed whatever happens between.
class TSinkBracket {
public:
    explicit TSinkBracket(ILogSink* sink) : sink_(sink) {
        if (sink_ != nullptr) sink_->BeginUpdate();
    }
    ~TSinkBracket() {
        if (sink_ == nullptr) return;
        try {
            sink_->EndUpdate();
        } catch (...) {
        }
    }
    TSinkBracket(const TSinkBracket&) = delete;
    TSinkBracket& operator=(const TSinkBracket&) = delete;

private:
    ILogSink* sink_;
};

// Copies the lines of the old log that fall within the last TrimKeep bytes.
class TTrimCopier {
public:
    TTrimCopier(int out, std::uint64_t size) : out_(out), size_(static_cast<std::int64_t>(size)) {}

    void Line(const std::string& line) {
        count_ += static_cast<std::int64_t>(line.size());
        if (size_ - count_ < static_cast<std::int64_t>(TrimKeep)) {
            buffer_ += line;
            buffer_ += "\r\n";
            if (buffer_.size() >= 65536) Flush();
        }
    }

    void Flush() {
        if (!WriteAll(out_, buffer_.data(), buffer_.size())) failed_ = true;
        buffer_.clear();
    }

    bool Failed() const { return failed_; }

private:
    int out_;
    std::int64_t size_;
    std::int64_t count_ = 0;
    std::string buffer_;
    bool failed_ = false;
};

}  // namespace

TLogFile::TLogFile(const ROptions& options, ILogSink* sink) : options_(options), sink_(sink) {}

void TLogFile::LogLine(const std::string& text) noexcept {
    try {
        TSinkBracket bracket(sink_);
        int fileError = -1;  // -1: no file write was due
        if (options_.SaveLog && !options_.LogFileName.empty() && !logPath_.empty()) {
            fileError = AppendToFile(text + "\r\n");
        }
        ShowEntry(text);
        // A log file that cannot be written is said once, in the status box
        // only, and again only after a line has got through in between.
        if (fileError > 0 && !fileFailing_) ShowEntry(LogFileErrorLine(logPath_, fileError));
        if (fileError >= 0) fileFailing_ = fileError > 0;
    } catch (...) {
        // A log line must never take its caller down.
    }
}

int TLogFile::AppendToFile(const std::string& line) {
    // Another instance may be cutting the log back: a line written into the
    // file it is renaming would be lost.
    const TFolderLock lock(logPath_);
    const int fd = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return errno != 0 ? errno : EIO;
    int error = 0;
    struct stat before {};
    const bool regular = ::fstat(fd, &before) == 0 && S_ISREG(before.st_mode);
    if (!WriteAll(fd, line.data(), line.size())) {
        error = errno != 0 ? errno : EIO;
        // A full disk or a size limit: leave no half line behind.
        if (regular) [[maybe_unused]] const int cut = ::ftruncate(fd, before.st_size);
    }
    ::close(fd);
    return error;
}

void TLogFile::ShowEntry(const std::string& text) {
    if (sink_ == nullptr) return;
    if (sink_->EntryCount() > StatusEntryLimit) {
        while (sink_->EntryCount() > StatusEntriesKept) sink_->RemoveFirstEntry();
    }
    sink_->AppendEntry(text);
}

std::string LogFileErrorLine(const std::string& path, int error) {
    return "Log file \"" + path + "\" can't be written: " + std::strerror(error);
}

std::string BackupLogName(const std::string& path) { return ChangeFileExt(path, ".bak"); }

TTrimResult TrimLogFile(const std::string& path) noexcept {
    try {
        struct stat st {};
        if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            return TTrimResult::NotNeeded;
        }
        if (static_cast<std::uint64_t>(st.st_size) <= TrimThreshold) return TTrimResult::NotNeeded;

        // No other instance appends or trims until the new log is complete.
        const TFolderLock lock(path);
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return TTrimResult::NotNeeded;
        const auto size = static_cast<std::uint64_t>(st.st_size);
        if (size <= TrimThreshold) return TTrimResult::NotNeeded;  // trimmed by the other one meanwhile

        const std::string backup = BackupLogName(path);
        if (Exists(backup)) {
            ::unlink(backup.c_str());
            if (Exists(backup)) return TTrimResult::BackupNotRemoved;
        }
        if (::rename(path.c_str(), backup.c_str()) != 0 || Exists(path)) return TTrimResult::NotMoved;

        std::FILE* in = std::fopen(backup.c_str(), "rbe");
        if (in == nullptr) return TTrimResult::CopyFailed;
        const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 0777);
        if (out < 0) {
            std::fclose(in);
            return TTrimResult::CopyFailed;
        }

        // Lines end at CR LF, CR or LF; a line end at the very end starts no line.
        TTrimCopier copier(out, size);
        std::string line;
        bool afterCr = false;
        char buffer[65536];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
            for (std::size_t i = 0; i < n; ++i) {
                const char c = buffer[i];
                if (afterCr && c == '\n') {
                    afterCr = false;
                    continue;
                }
                afterCr = c == '\r';
                if (c == '\r' || c == '\n') {
                    copier.Line(line);
                    line.clear();
                } else {
                    line += c;
                }
            }
        }
        const bool readFailed = std::ferror(in) != 0;
        if (!line.empty()) copier.Line(line);
        copier.Flush();
        std::fclose(in);
        const bool closeFailed = ::close(out) != 0;
        return (readFailed || copier.Failed() || closeFailed) ? TTrimResult::CopyFailed : TTrimResult::Trimmed;
    } catch (...) {
        return TTrimResult::CopyFailed;
    }
}

}  // namespace pw
