#pragma once
// A lock shared by every process that writes the files of one folder: the INI
// file (replaced by rename) and the log (appended to, and renamed when it is
// cut back). The lock is an flock on the folder itself, so it stays the same
// however often the files in it are replaced, and leaves no file behind.
//
// The lock is advisory and bounded: when it cannot be had within the wait (a
// folder that cannot be opened, a holder that does not let go) the holder goes
// on without it rather than hanging. Locks are per open folder, so one process
// must not nest two locks on the same folder (the inner one would wait out its
// time and go on unlocked).

#include <chrono>
#include <string>

namespace pw {

class TFolderLock {
public:
    static constexpr std::chrono::milliseconds DefaultWait{5000};

    // Locks the folder that holds `file` (its part up to the last "/"; the
    // current folder when it has none).
    explicit TFolderLock(const std::string& file, std::chrono::milliseconds wait = DefaultWait);
    ~TFolderLock();
    TFolderLock(const TFolderLock&) = delete;
    TFolderLock& operator=(const TFolderLock&) = delete;

    // True when the lock is held.
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace pw
