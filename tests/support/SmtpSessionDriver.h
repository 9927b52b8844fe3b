#pragma once
// Test helpers for driving TSmtpClient on the test's own message loop:
// RunLoopUntil (every wait bounded); SmtpSessionDriver, which walks one
// message's dialogue the way the program's send job does: Connect, Helo or
// Ehlo, optionally Auth, MailFrom, RcptTo, Data, Quit, each issued from the
// previous request's completion, stopping at the first error; ClientFor and
// RunSession, which aim a client at a scripted server and play it through.
//
// Header-only, so that pw_testsupport itself needs no project library.

#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/MessageLoop.h"
#include "smtp/SmtpClient.h"
#include "support/ScriptedSmtpServer.h"

namespace pw {

// What only tests may change in a client.
struct TEngineTestAccess {
    // The least wait for the reply to the final "." (600 s for users).
    static void SetFinalReplyFloor(TSmtpEngine& client, int seconds) { client.finalReplyFloor_ = seconds; }
};

}  // namespace pw

namespace pw::test {

// Dispatches messages until pred() holds or `limit` passes; true when it held.
template <class Pred>
bool RunLoopUntil(MessageLoop& loop, Pred pred, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        loop.PumpMessages(2);
    }
    return true;
}

// Dispatches messages for `time`, whatever happens.
inline void RunLoopFor(MessageLoop& loop, std::chrono::milliseconds time)
{
    const auto deadline = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < deadline)
        loop.PumpMessages(2);
}

struct RequestRecord {
    TSmtpRequest type;
    std::uint16_t error;
    std::string lastReply;
    bool operator==(const RequestRecord& o) const { return type == o.type && error == o.error; }
};

// For readable test failures.
inline void PrintTo(const RequestRecord& r, std::ostream* os)
{
    *os << SmtpRequestName(r.type) << "=" << r.error;
}

inline std::string Describe(const std::vector<RequestRecord>& records)
{
    std::string s;
    for (const auto& r : records)
        s += std::string(SmtpRequestName(r.type)) + "=" + std::to_string(r.error) + " [" + r.lastReply + "] ";
    return s;
}

class SmtpSessionDriver {
public:
    struct Plan {
        bool ehlo = false;  // EHLO instead of HELO
        bool auth = false;  // Auth after EHLO
    };

    SmtpSessionDriver(TSmtpEngine& client, Plan plan) : client_(client), plan_(plan)
    {
        client_.OnRequestDone = [this](TSmtpEngine&, TSmtpRequest type, std::uint16_t error) {
            Done(type, error);
        };
        client_.OnTrace = [this](TSmtpEngine&, const std::string& text) {
            if (keepTrace)
                trace.push_back(text);
        };
    }

    void Start() { client_.Connect(); }
    bool Finished() const { return finished_; }
    // The last request completed with 0 and it was Quit.
    bool Succeeded() const
    {
        return finished_ && !records.empty() && records.back().type == TSmtpRequest::Quit &&
               records.back().error == 0;
    }

    std::vector<RequestRecord> records;
    std::vector<std::string> trace;
    bool keepTrace = true;

private:
    void Done(TSmtpRequest type, std::uint16_t error)
    {
        records.push_back({type, error, client_.LastReply()});
        if (error != 0) {
            finished_ = true;
            client_.Abort();
            return;
        }
        switch (type) {
        case TSmtpRequest::Connect:
            plan_.ehlo ? client_.Ehlo() : client_.Helo();
            break;
        case TSmtpRequest::Helo:
            client_.MailFrom();
            break;
        case TSmtpRequest::Ehlo:
            plan_.auth ? client_.Auth() : client_.MailFrom();
            break;
        case TSmtpRequest::Auth:
            client_.MailFrom();
            break;
        case TSmtpRequest::MailFrom:
            client_.RcptTo();
            break;
        case TSmtpRequest::RcptTo:
            client_.Data();
            break;
        case TSmtpRequest::Data:
            client_.Quit();
            break;
        default:
            finished_ = true;
            break;
        }
    }

    TSmtpEngine& client_;
    Plan plan_;
    bool finished_ = false;
};

// A client aimed at a scripted server, with the settings the scripts of the
// tests expect: HELO/EHLO name "client.test", sender "a@x", one recipient
// "b@y", a time-out of five seconds, also for the reply to the final ".".
inline std::unique_ptr<TSmtpClient> ClientFor(MessageLoop& loop, const ScriptedSmtpServer& server)
{
    auto c = std::make_unique<TSmtpClient>(loop);
    c->Host = "127.0.0.1";
    c->Port = std::to_string(server.Port());
    c->SignOn = "client.test";
    c->FromName = "a@x";
    c->RcptName = {"b@y"};
    c->TimeOut = 5;
    // The scripts answer at once; a silent server must not hold a test for ten minutes.
    TEngineTestAccess::SetFinalReplyFloor(*c, 5);
    return c;
}

// A scripted server and a client for it, made afresh for each row of a table.
struct ClientServerPair {
    ScriptedSmtpServer server;
    std::unique_ptr<TSmtpClient> client;
};

// The records of a session in which every request succeeded: Connect, Ehlo
// (or Helo), Auth when `auth`, MailFrom, RcptTo, Data, Quit.
inline std::vector<RequestRecord> SuccessRecords(bool ehlo, bool auth)
{
    std::vector<RequestRecord> r = {{TSmtpRequest::Connect, 0, ""},
                                    {ehlo ? TSmtpRequest::Ehlo : TSmtpRequest::Helo, 0, ""}};
    if (auth)
        r.push_back({TSmtpRequest::Auth, 0, ""});
    for (TSmtpRequest t : {TSmtpRequest::MailFrom, TSmtpRequest::RcptTo, TSmtpRequest::Data, TSmtpRequest::Quit})
        r.push_back({t, 0, ""});
    return r;
}

struct SessionResult {
    bool finished = false;
    bool succeeded = false;
    std::vector<RequestRecord> records;
    std::vector<std::string> trace;
};

// Starts the server, plays one session with a driver and waits (bounded) for
// its end. Handlers the caller installed on the client other than
// OnRequestDone and OnTrace stay in place; an OnTrace of the caller still
// receives every line.
inline SessionResult RunSession(MessageLoop& loop, ScriptedSmtpServer& server, TSmtpEngine& client,
                                SmtpSessionDriver::Plan plan = {}, bool keepTrace = true,
                                std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    auto callerTrace = client.OnTrace;
    SmtpSessionDriver driver(client, plan);
    driver.keepTrace = keepTrace;
    if (callerTrace) {
        auto driverTrace = client.OnTrace;
        client.OnTrace = [callerTrace, driverTrace](TSmtpEngine& c, const std::string& t) {
            driverTrace(c, t);
            callerTrace(c, t);
        };
    }
    server.Start();
    driver.Start();
    SessionResult r;
    r.finished = RunLoopUntil(loop, [&] { return driver.Finished(); }, limit);
    r.succeeded = driver.Succeeded();
    r.records = driver.records;
    r.trace = driver.trace;
    client.OnRequestDone = nullptr;
    client.OnTrace = callerTrace;
    return r;
}

}  // namespace pw::test
