// The one-thread message loop: handler objects with a handle ("hidden
// windows"), posted messages, socket readiness with the Windows event bits,
// asynchronous host lookup, timers, dispatch-once, PumpMessages and Run.
//
// Everything here is called on the loop's thread, except
// PostMessageFromThread. main() owns the loop; nothing here is global.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pw {

using Handle = std::uintptr_t;  // 0 = none

// Message numbers below MsgUser are the loop's own.
constexpr std::uint32_t MsgTimer = 0x0113;  // wParam = timer id
constexpr std::uint32_t MsgUser = 0x0400;

// Socket event bits, as Windows numbers them. lParam of a socket message is
// bits | (error << 16), the error being a Winsock number (SocketErrors.h).
constexpr std::uint32_t FdRead = 1;
constexpr std::uint32_t FdWrite = 2;
constexpr std::uint32_t FdAccept = 8;
constexpr std::uint32_t FdConnect = 16;
constexpr std::uint32_t FdClose = 32;

// Linux errno values and getaddrinfo results as Winsock numbers (the table is
// in MessageLoop.cpp; net/SocketErrors.h gives the texts).
int WinsockFromErrno(int errnoValue);
int WinsockFromGai(int gaiResult, int systemErrno);

struct MessageHandler {
    virtual ~MessageHandler();
    virtual void HandleMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) = 0;
};

class MessageLoop {
public:
    MessageLoop();  // throws pw::Exception when epoll/eventfd/timerfd cannot be had
    ~MessageLoop();
    MessageLoop(const MessageLoop&) = delete;
    MessageLoop& operator=(const MessageLoop&) = delete;

    // --- handles -----------------------------------------------------------
    // A new handle whose messages go to owner->HandleMessage. Never 0.
    Handle CreateHandle(MessageHandler* owner);
    // Forgets the handle, its timers and every message still queued for it.
    // False for an unknown handle.
    bool DestroyHandle(Handle h);
    bool IsHandle(Handle h) const;

    // Queues a message; it runs after the current handler has returned, in
    // posting order. False (nothing queued) for an unknown handle. Loop
    // thread only.
    bool PostMessage(Handle h, std::uint32_t msg, std::uintptr_t wParam = 0, std::intptr_t lParam = 0);
    // Same, from any thread; the handle is checked when the message is
    // dispatched.
    void PostMessageFromThread(Handle h, std::uint32_t msg, std::uintptr_t wParam = 0,
                               std::intptr_t lParam = 0);

    // --- sockets (WSAAsyncSelect stand-in) ---------------------------------
    // Reports readiness of the non-blocking socket fd to h as
    // (msg, fd, bits | error << 16) for the selected event bits:
    //  - FdConnect once, with the result of a Connect made through this loop;
    //  - FdWrite once the connection is made, then again only after a Send
    //    through this loop took fewer bytes than offered or would block;
    //  - FdRead when data is waiting, then again only after a Recv;
    //  - FdClose once, after the data that preceded the close has been read
    //    (error 0 for an orderly close, 10054 for a reset).
    //    A read handler that reads nothing does not hold the close back.
    // Call it before Connect. events == 0 stops reporting; calling it again
    // replaces h/msg/events. Messages still queued for a socket that was
    // closed, or whose number came back for a new socket after a close()
    // behind the loop's back, are dropped. Returns 0 or a Winsock error
    // number (10038 for a bad or unpollable descriptor).
    int AsyncSelect(int fd, Handle h, std::uint32_t msg, std::uint32_t events);
    // Starts a connection. Like a non-blocking Winsock connect: 0 or -1 with
    // *error 10035 when the result will come as FdConnect (refusals and
    // unreachable networks included); -1 with another error otherwise.
    int Connect(int fd, const sockaddr* addr, socklen_t length, int* error = nullptr);
    // recv/send that keep the re-enabling rules above. n, 0 at end of stream
    // (Recv), or -1 with *error set to a Winsock number (10035 = would block).
    // Like a socket buffer, Send may take bytes into the loop's own buffer
    // (up to 64 KiB per socket) while a dispatch runs; they reach the kernel
    // before the loop next waits or returns, in order, and a failure to
    // deliver them fails every later Send on that socket.
    long Recv(int fd, void* buffer, std::size_t length, int* error = nullptr);
    long Send(int fd, const void* data, std::size_t length, int* error = nullptr);
    // shutdown() after the loop's buffered bytes; 0 or a Winsock number.
    int Shutdown(int fd, int how);
    // Posts a socket message for fd as if the loop had seen the event (bits,
    // error): it goes to the handle given to AsyncSelect and is dropped if
    // the socket is closed or replaced before it comes up. False when fd is
    // not selected.
    bool PostSocketEvent(int fd, std::uint32_t bits, int error = 0);
    // Stops reporting and closes fd, after one last try to hand buffered
    // bytes to the kernel. 0, or a Winsock error number.
    int CloseSocket(int fd);

    // --- writers that gather ------------------------------------------------
    // Delivers (msg, wParam, lParam) to h once, just before the loop next
    // looks for readiness, and ahead of the write-behind flush: lParam is 1
    // when the loop is about to wait (or to return to an outer event loop),
    // 0 at a poll between messages. A writer that gathers small writes into
    // bigger units (the TLS layer's records) hands them on then, so nothing
    // it holds waits for an event that needs those bytes first. Asking again
    // before the call came changes nothing. False, and nothing is asked,
    // when no dispatch is running: nobody would come round, so the caller
    // hands its bytes on at once.
    bool CallBeforeWait(Handle h, std::uint32_t msg, std::uintptr_t wParam = 0);
    // True while Run, PumpMessages or DispatchPending is on the stack.
    bool Dispatching() const { return depth_ > 0; }

    // --- host lookup (WSAAsyncGetHostByName stand-in) ----------------------
    // Looks up IPv4 addresses of name on a worker thread. Returns a non-zero
    // request handle; the completion arrives later as
    // (msg, request, error << 16) with error 0 or 11001..11004. Returns 0
    // (and *error) when the lookup could not be started.
    Handle AsyncGetHostByName(Handle h, std::uint32_t msg, const std::string& name, int* error = nullptr);
    // The addresses (network order, resolver order) of a request; valid while
    // its completion message is being handled. False otherwise.
    bool LookupAddresses(Handle request, std::vector<std::uint32_t>& out) const;
    // 0 when the request was pending (no completion follows), else 10022.
    int CancelAsyncRequest(Handle request);

    // --- timers --------------------------------------------------------------
    // Every ms milliseconds (at least 1) posts (MsgTimer, id, 0) to h, never
    // more than one at a time; setting the same (h, id) again restarts it.
    bool SetTimer(Handle h, std::uintptr_t id, unsigned ms);
    bool KillTimer(Handle h, std::uintptr_t id);

    // --- running -------------------------------------------------------------
    // Dispatches what is pending now (posted messages, readiness, timers and
    // lookups that are due), without blocking. Messages posted meanwhile wait
    // for the next call. With budgetMs > 0 it goes on with what arrives
    // meanwhile until the queue is empty or the budget is spent - what an
    // outer event loop (Qt) should call, so that a handler chain such as the
    // SMTP line pump does not pay one outer-loop round per message.
    // Returns the number dispatched.
    int DispatchPending(unsigned budgetMs = 0);
    // Dispatches messages until the queue is empty and at least ms
    // milliseconds have passed; ends at once when Quit has been called.
    // Waits on the descriptor instead of spinning.
    void PumpMessages(unsigned ms);
    // Dispatches until Quit; returns its code (at once if already quit).
    int Run();
    // Asks Run and PumpMessages to end. It stays set, so loops nested inside
    // a handler end as well as the outer one.
    void Quit(int code);
    // Clears a quit, for work that must still pump after Run has returned.
    void ResetQuit() { quit_ = false; }
    bool QuitRequested() const { return quit_; }
    int ExitCode() const { return exitCode_; }

    // For a front end with its own event loop (Qt): this descriptor becomes
    // readable whenever work is pending (messages posted from outside a
    // dispatch included); then call DispatchPending(a few ms).
    int Descriptor() const { return epollFd_; }

    // An exception escaping a handler is caught at the dispatch boundary and
    // handed here; the loop goes on. Default: one line on standard error.
    void SetExceptionHandler(std::function<void(std::exception_ptr)> handler);

    // Iterations of the internal wait (epoll_wait calls) and send() system
    // calls made, for measurements.
    std::uint64_t WaitCount() const { return waits_; }
    std::uint64_t SendCallCount() const { return sendCalls_; }

private:
    enum class Kind : std::uint8_t { Posted, Socket, Lookup, Timer };
    struct Entry {
        std::uint64_t seq;
        Handle handle;
        std::uint32_t msg;
        std::uintptr_t wParam;
        std::intptr_t lParam;
        Kind kind;
        std::uint64_t cookie;  // socket generation, lookup request or timer id
    };
    using Handler = MessageHandler;
    struct Slot;
    struct Socket;
    struct Timer;
    struct Lookup;
    struct Shared;

    void Collect(int timeoutMs);
    bool PollDue() const;
    void DispatchBatch();
    void DispatchOne();
    void Deliver(Handle h, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam);
    void DeliverSocket(const Entry& e);
    void DeliverLookup(const Entry& e);
    void DeliverTimer(const Entry& e);
    void Enqueue(Handle h, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam, Kind kind,
                 std::uint64_t cookie);
    void SignalSelf();
    void DrainInbox();
    void SocketEvents(Socket& s, std::uint32_t events);
    void ConnectResult(Socket& s, int err);
    void PostSocket(Socket& s, std::uint32_t bit, int error);
    void PostRead(Socket& s);
    void MaybeReportClose(Socket& s);
    void Flush(Socket& s);
    void FlushAll();
    void RunBeforeWait(bool waiting);
    void LeaveOutermost();
    void PeerClosed(Socket& s, int winsockError);
    Socket* Find(int fd);
    Socket* FindCookie(std::uint64_t cookie);
    Socket* Register(int fd, int* error);
    void Unregister(int fd);
    void FireTimers();
    void ReportException(const std::exception_ptr& e);
    Handler* OwnerOf(Handle h) const;

    int epollFd_ = -1;
    int eventFd_ = -1;
    int timerFd_ = -1;
    bool selfSignalled_ = false;
    int depth_ = 0;  // nesting of Run/PumpMessages/DispatchPending
    bool quit_ = false;
    int exitCode_ = 0;
    std::uint64_t nextSeq_ = 1;
    std::uint64_t waits_ = 0;
    std::uint64_t sendCalls_ = 0;
    std::int64_t lastPollNs_ = 0;
    unsigned sincePoll_ = 0;  // messages dispatched since the last readiness poll
    std::uint32_t nextGeneration_ = 1;
    std::uintptr_t nextRequest_ = 1;
    std::int64_t armedDeadline_ = -1;

    std::deque<Entry> queue_;
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> freeSlots_;
    std::vector<std::unique_ptr<Socket>> sockets_;  // indexed by fd
    std::vector<Timer> timers_;
    std::vector<std::unique_ptr<Lookup>> lookups_;
    const Lookup* deliveringLookup_ = nullptr;
    std::vector<std::uint64_t> connectChecks_;  // sockets whose connect ended at once
    std::vector<std::uint64_t> dirty_;          // sockets with write-behind bytes
    struct BeforeWait {
        Handle handle;
        std::uint32_t msg;
        std::uintptr_t wParam;
    };
    std::vector<BeforeWait> beforeWait_;  // CallBeforeWait requests not yet delivered
    std::shared_ptr<Shared> shared_;
    std::function<void(std::exception_ptr)> onException_;
};

}  // namespace pw
