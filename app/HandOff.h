#pragma once
// One running instance per user, and the hand-off of a later start's argument
// to it.
//
// The running instance holds the instance lock (a per-user lock file held with
// flock; it stands for the named mutex "Parcelwing by Tamberly Group"), keeps
// the shared-memory block "pcwmap_file" of HandOffBlockSize bytes, and listens
// on a per-user Unix datagram socket that carries the registered messages:
//   - "Parcelwing": the wake-up sent after a later start has filled the block;
//   - "Message.Parcelwing by Tamberly Group" + NUL + a command line: the second
//     guard, for a later start that found the lock held but no block.
//
//   - "Parcelwing.Activate" + NUL + an activation token (may be empty): a later
//     start asks the running instance to show its window in front, after its
//     hand-off, or alone when it had no argument.
//
// Block layout: byte 0 is the state (0 free, 2 a later start is writing, 3 text
// ready, 1 the running instance is taking it); from byte 1 the handed-over
// argument, NUL-terminated. A later start claims the block with an atomic
// compare-and-set 0 -> 2, so two later starts never write at once.
//
// A block left behind by a crashed instance is told from a live one by the lock:
// with no live holder, the starting program is the first instance and makes the
// block anew.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace pw {

inline constexpr std::size_t HandOffBlockSize = 65537;
inline constexpr const char* HandOffBlockName = "pcwmap_file";
inline constexpr const char* HandOffMessageName = "Parcelwing";
inline constexpr const char* GuardMutexName = "Parcelwing by Tamberly Group";
inline constexpr const char* GuardMessageName = "Message.Parcelwing by Tamberly Group";
inline constexpr const char* ActivateMessageName = "Parcelwing.Activate";

enum THandOffState : unsigned char {
    HandOffFree = 0,
    HandOffTaking = 1,
    HandOffWriting = 2,
    HandOffReady = 3,
};

// Where the instance lock, the block and the socket live. Every name carries
// the user id; tests give their own folder and tag so they meet nothing else.
struct RHandOffNames {
    std::string BlockName;   // POSIX shared-memory name ("/...", no other "/")
    std::string LockPath;    // the instance lock file
    std::string SocketPath;  // the datagram socket of the running instance
    // Why no private folder for the lock and the socket could be had; empty
    // when the names are usable. With a problem, Start runs the program alone.
    std::string Problem;
};

// Names in `folder` (the lock and socket) with `tag` mixed into every name.
RHandOffNames HandOffNamesIn(const std::string& folder, const std::string& tag, unsigned uid);

// Whether only this user can make files in `folder`: an existing folder (not a
// link) that belongs to the user and that group and others may not write. When
// not, `why` (when given) says what is wrong.
bool IsPrivateFolder(const std::string& folder, std::string* why = nullptr);

// The folder for the instance lock and the socket, private to the user so that
// no other user can block or spoof them: $XDG_RUNTIME_DIR when it is private,
// else "parcelwing" below $XDG_CACHE_HOME (default ~/.cache), else
// /tmp/parcelwing-<uid>; the last two are made with mode 0700 when missing.
// Empty, with the reasons in `why`, when none of them can be used.
std::string PrivateRuntimeFolder(std::string* why = nullptr);

// The program's names in PrivateRuntimeFolder(); with Problem set when there is
// none.
RHandOffNames DefaultHandOffNames();

// What Start made of this process.
enum class TStartResult {
    Running,          // the first instance: it holds the lock and listens
    HandedOver,       // a later start: the argument is in the block, the wake-up sent
    NothingToHand,    // a later start with no argument or with two or more
    GuardSent,        // a later start that reached the running instance by the second guard
    TooLong,          // a later start whose argument does not fit the block
    Unreachable,      // a later start that could not reach the running instance
};

class THandOff {
public:
    // Waits between two looks at the block; the argument is in milliseconds.
    using TPump = std::function<void(int)>;
    using TEntryHandler = std::function<void(const std::string&)>;

    explicit THandOff(RHandOffNames names);
    // The running instance removes the block and the socket and releases the
    // lock; a later start only lets go of what it opened.
    ~THandOff();
    THandOff(const THandOff&) = delete;
    THandOff& operator=(const THandOff&) = delete;

    // Program entry. `args` are the process's arguments 1..n, `programPath` its
    // argument 0. A later start waits while the block is taken (calling `pump`,
    // by default a 10 ms sleep, between looks; without limit while the running
    // instance lives), then, with exactly one argument, writes it and wakes the
    // running instance. When the running instance ends while a later start
    // waits, that later start becomes the first instance. Relative names of
    // existing files and folders are made absolute before they are handed over,
    // as the running instance may work in another folder.
    // Start may be called again after a hand-over, for a further argument.
    TStartResult Start(const std::vector<std::string>& args, const std::string& programPath = {},
                       const TPump& pump = {});

    // Called once this start knows it is the first instance, before anything a
    // later start could find (block, socket) is made.
    std::function<void()> OnBecomingFirst;

    bool IsFirstInstance() const { return isFirst_; }
    // Why this start runs alone: the instance lock could not be used (no
    // private folder, a lock file it cannot open or that is not the user's).
    // Empty when the lock is held, or was held by another instance.
    const std::string& LockProblem() const { return lockProblem_; }
    // True when the running instance has its block and its socket.
    bool Receiving() const { return block_ != nullptr && socketFd_ >= 0; }

    // Receives what later starts hand over: one call per argument, as the
    // program's AddEntry. Never starts a send job by itself.
    void SetEntryHandler(TEntryHandler handler) { onEntry_ = std::move(handler); }

    // A later start that handed an argument over, or had none to hand, then
    // asks the running instance to bring its window to the front, passing
    // this token along (the desktop's proof that the user started it, e.g.
    // XDG_ACTIVATION_TOKEN on Wayland). Set before Start.
    void SetActivationToken(std::string token) { activationToken_ = std::move(token); }
    // The running instance hears of such a request here, with the token.
    void SetActivateHandler(TEntryHandler handler) { onActivate_ = std::move(handler); }

    // The socket to watch for readability; -1 when not receiving.
    int Descriptor() const { return socketFd_; }
    // Call when Descriptor() is readable (or at any time): handles every
    // datagram waiting, without blocking. Datagrams from other users are dropped.
    void OnReadable();

    // The block's state byte; HandOffFree when there is no block.
    unsigned char State() const;

private:
    enum class TStep { Done, Again };

    bool TryLock();
    bool BecomeFirst();
    TStep HandOver(int fd, const std::vector<std::string>& args, const std::string& programPath,
                   const TPump& pump, TStartResult& result);
    TStep SendGuard(const std::vector<std::string>& args, const std::string& programPath, const TPump& pump,
                    TStartResult& result);
    bool SendDatagram(const std::string& payload, const TPump& pump);
    void SendActivation(const TPump& pump);
    void ReceiveHandOff();
    void CloseBlock();

    RHandOffNames names_;
    bool isFirst_ = false;
    int lockFd_ = -1;     // open and locked: this is the running instance
    int lockProbe_ = -1;  // open, not locked (a later start watching the holder)
    int blockFd_ = -1;
    unsigned char* block_ = nullptr;
    int socketFd_ = -1;
    TEntryHandler onEntry_;
    std::string lockProblem_;
    TEntryHandler onActivate_;
    std::string activationToken_;
};

// An argument as handed to another process: relative names of existing files,
// folders and wildcard patterns made absolute; anything else unchanged.
std::string AbsoluteIfExisting(const std::string& arg);

}  // namespace pw
