#pragma once
// The log: every line goes to the status box (through a sink the application
// wires to its view) and, with SaveLog and a LogFileName, to the log file. The
// file is cut back by TrimLogFile, keeping the full old file as ".bak".

#include <cstdint>
#include <string>

#include "config/Options.h"

namespace pw {

// Where log lines are shown: the status box's list of entries.
class ILogSink {
public:
    virtual ~ILogSink() = default;
    // Update bracket: no repainting between Begin and End.
    virtual void BeginUpdate() = 0;
    virtual void EndUpdate() = 0;
    virtual int EntryCount() const = 0;
    virtual void RemoveFirstEntry() = 0;
    // Appends an entry and makes it the shown text.
    virtual void AppendEntry(const std::string& text) = 0;
};

// The status box is cut back from more than StatusEntryLimit entries to StatusEntriesKept.
inline constexpr int StatusEntryLimit = 1000;
inline constexpr int StatusEntriesKept = 200;

class TLogFile {
public:
    // `options` is read at every line (SaveLog, LogFileName); `sink` may be null.
    TLogFile(const ROptions& options, ILogSink* sink);

    // The file the lines go to; fixed at start-up from LogFileName.
    void SetLogPath(const std::string& path) { logPath_ = path; }
    const std::string& LogPath() const { return logPath_; }
    void SetSink(ILogSink* sink) { sink_ = sink; }

    // Appends `text` + CR LF to LogPath when SaveLog is set and LogFileName is not
    // empty (the file is opened, appended to and closed each time, under the lock
    // of its folder, platform/FileLock.h, so that another instance cutting the log
    // back loses no line), then to the sink. A failed write never stops anything:
    // the sink gets a LogFileErrorLine after the line, once until a write succeeds
    // again. Never throws.
    void LogLine(const std::string& text) noexcept;

private:
    // 0, or the errno of the failed open or write.
    int AppendToFile(const std::string& line);
    void ShowEntry(const std::string& text);

    const ROptions& options_;
    ILogSink* sink_;
    std::string logPath_;
    bool fileFailing_ = false;
};

// The status entry that says the log file cannot be written, e.g.
// Log file "/var/log/pw.log" can't be written: No space left on device
std::string LogFileErrorLine(const std::string& path, int error);

// A log larger than TrimThreshold bytes is cut back to its lines that lie within
// the last TrimKeep bytes (line ends not counted).
inline constexpr std::uint64_t TrimThreshold = 2048000;
inline constexpr std::uint64_t TrimKeep = 1024000;

enum class TTrimResult {
    NotNeeded,         // no file, or not larger than TrimThreshold
    Trimmed,           // the old log is the ".bak", the log holds its last part
    BackupNotRemoved,  // an earlier ".bak" could not be deleted; nothing changed
    NotMoved,          // the log could not be renamed to the ".bak"; nothing changed
    CopyFailed,        // reading the ".bak" or writing the new log failed; the ".bak" holds everything
};

// The ".bak" name of a log: its extension (after the last "." of the file name
// itself) replaced, or ".bak" appended when it has none.
std::string BackupLogName(const std::string& path);

// Cuts the log at `path` back when it is larger than TrimThreshold bytes: any old
// ".bak" is deleted, the log is renamed to the ".bak", and each line of it is copied
// (with CR LF) to a new log once (size - characters of lines read so far, this line
// included) < TrimKeep. All of it under the lock of the log's folder, so that no
// instance appends meanwhile. Never throws.
TTrimResult TrimLogFile(const std::string& path) noexcept;

}  // namespace pw
