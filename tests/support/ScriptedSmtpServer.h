#pragma once
// A scripted SMTP server for tests: listens on 127.0.0.1 (port chosen by the
// system), accepts connections on its own thread and plays a list of steps:
// send bytes or reply lines (whole, in pieces, or as megabytes of junk), expect
// command lines, read a DATA block, pause, go silent, close. It records every
// line it receives and every expectation that failed. Every wait inside it is
// bounded by the step time-out, and the destructor stops the thread.
//
//   ScriptedSmtpServer server;
//   server.Reply("220 hello").Exchange("HELO me", "250 ok").Expect("QUIT")
//         .Reply("221 bye").Close();
//   server.Start();
//   ... run a client against server.Port() ...
//   EXPECT_TRUE(server.WaitFinished(5s));
//   EXPECT_THAT(server.Failures(), IsEmpty());

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pw::test {

class ScriptedSmtpServer {
public:
    using Millis = std::chrono::milliseconds;

    // Binds and listens at once, so Port() is valid before Start().
    explicit ScriptedSmtpServer(Millis stepTimeout = Millis(5000));
    ~ScriptedSmtpServer();
    ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
    ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

    std::uint16_t Port() const { return port_; }

    // --- script steps, played in order on the connection -------------------
    // Raw bytes in one write.
    ScriptedSmtpServer& Send(std::string bytes);
    // One reply line; CR LF is added.
    ScriptedSmtpServer& Reply(const std::string& line);
    // Several reply lines (a multi-line reply) in one write.
    ScriptedSmtpServer& ReplyLines(const std::vector<std::string>& lines);
    // Raw bytes written as separate pieces with a pause between them, so that
    // the client sees them in separate reads.
    ScriptedSmtpServer& SendInPieces(const std::vector<std::string>& pieces, Millis gap = Millis(30));
    // `count` bytes of `fill` with no line end, written as fast as the client reads.
    ScriptedSmtpServer& SendJunk(std::size_t count, char fill = 'x');
    // Reads one line (CR LF or LF ended) and checks it equals `line`.
    ScriptedSmtpServer& Expect(const std::string& line);
    // Reads one line and checks it starts with `prefix`.
    ScriptedSmtpServer& ExpectPrefix(const std::string& prefix);
    // Expect(line), then Reply(reply).
    ScriptedSmtpServer& Exchange(const std::string& line, const std::string& reply);
    // Reads message lines up to the line "." (exclusive) and keeps them as they
    // came (still dot-stuffed).
    ScriptedSmtpServer& ReadData();
    // Reads at least `count` bytes of anything (for drops in the middle of DATA).
    ScriptedSmtpServer& ReadBytes(std::size_t count);
    ScriptedSmtpServer& Pause(Millis time);
    // Closes the connection.
    ScriptedSmtpServer& Close();
    // Sends nothing more but keeps reading until the client closes, Stop(), or
    // `limit` passes.
    ScriptedSmtpServer& Silent(Millis limit = Millis(30000));
    // Ends the current connection (if open) and accepts the next one.
    ScriptedSmtpServer& AcceptNext();
    // Closes the connection with a reset (SO_LINGER 0) instead of an orderly close.
    ScriptedSmtpServer& Reset();
    // Writes `bytes` one byte at a time with `gap` between them; stops early
    // once the client has gone.
    ScriptedSmtpServer& Trickle(std::string bytes, Millis gap = Millis(1000));
    // Writes `text` `count` times in a row, as fast as the client reads; stops
    // early once the client has gone.
    ScriptedSmtpServer& Flood(std::string text, std::size_t count);
    // Runs `action` on the server thread at this point of the script (for
    // changing files while the client is in a known step).
    ScriptedSmtpServer& Do(std::function<void()> action);

    // Starts the server thread. The script runs on the first accepted
    // connection; after the last step the server reads until the client closes
    // (bounded by the step time-out) and then finishes.
    void Start();
    // Waits until the script has finished; false on time-out.
    bool WaitFinished(Millis limit);
    // Stops the thread (closing any connection); idempotent.
    void Stop();

    // --- what happened ----------------------------------------------------
    // Every line received, commands and message lines alike, without line ends.
    std::vector<std::string> ReceivedLines() const;
    // Only the lines read by Expect/ExpectPrefix steps.
    std::vector<std::string> Commands() const;
    // The message lines of each ReadData step, one entry per step.
    std::vector<std::vector<std::string>> DataBlocks() const;
    // Expectations that failed and time-outs, as readable texts.
    std::vector<std::string> Failures() const;
    // Bytes received in total.
    std::size_t BytesReceived() const;
    // Connections accepted so far.
    int Connections() const;
    // The client closed its side while the server was reading.
    bool PeerClosed() const;

private:
    enum class Kind {
        Send, Pieces, Junk, Expect, ExpectPrefix, ReadData, ReadBytes, Pause, Close, Silent, AcceptNext,
        Reset, Trickle, Flood, Do
    };
    struct Step {
        Kind kind;
        std::vector<std::string> texts;
        std::size_t count = 0;
        char fill = 0;
        Millis time{0};
        std::function<void()> action = nullptr;
    };

    ScriptedSmtpServer& Add(Step step);
    void Run();
    bool Accept();
    void CloseConnection();
    bool ReadLine(std::string& line, Millis limit);
    bool FillMore(Millis limit);
    bool WriteAll(const char* data, std::size_t size);
    bool ClientStillThere();
    bool WaitWake(Millis time);
    void Fail(const std::string& text);
    void Record(const std::string& line);

    const Millis stepTimeout_;
    int listenFd_ = -1;
    int connFd_ = -1;
    int wakeFd_ = -1;  // eventfd that tells the thread to stop
    std::uint16_t port_ = 0;
    std::vector<Step> steps_;
    std::string inbox_;
    std::thread thread_;

    mutable std::mutex mutex_;
    std::condition_variable finishedCv_;
    bool finished_ = false;
    bool started_ = false;
    std::vector<std::string> received_;
    std::vector<std::string> commands_;
    std::vector<std::vector<std::string>> data_;
    std::vector<std::string> failures_;
    std::size_t bytes_ = 0;
    int connections_ = 0;
    bool peerClosed_ = false;
};

}  // namespace pw::test
