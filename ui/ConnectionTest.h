#pragma once
// The options dialog's "Test": one SMTP session with the dialog's values
// (server, port, connection security, login), ended with QUIT, reported step
// by step in plain words. It runs on the program's message loop like a send
// job, so the dialog stays usable while it runs; destroying the test drops
// the connection.
//
//   TConnectionTest test(loop, options, texts);
//   connect(&test, &TConnectionTest::step, ...);      // one line per step
//   connect(&test, &TConnectionTest::finished, ...);  // passed or not
//   test.Start();

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

#include "config/Options.h"
#include "ui/WindowTexts.h"

namespace pw {

class MessageLoop;
class TSmtpClient;
class TSmtpEngine;
enum class TSmtpRequest : std::uint8_t;

// Seconds a test waits for the server at most, whatever TimeOut says: a
// person is waiting for the answer.
inline constexpr int kTestTimeOutLimit = 30;

class TConnectionTest : public QObject {
    Q_OBJECT

public:
    TConnectionTest(MessageLoop& loop, const ROptions& options, ROptionsExtraTexts texts,
                    QObject* parent = nullptr);
    ~TConnectionTest() override;

    // Starts the session; the steps and the end arrive later, from the loop.
    void Start();
    bool Running() const { return running_; }
    // Every step reported so far, in order.
    const QStringList& Steps() const { return steps_; }
    bool Passed() const { return passed_; }

signals:
    void step(const QString& text);
    void finished(bool passed);

private:
    void RequestDone(TSmtpEngine& sender, TSmtpRequest request, std::uint16_t error);
    void ConnectDone(std::uint16_t error);
    void GreetingDone(std::uint16_t error);
    void LoginDone(std::uint16_t error);
    void SayHello();
    void Report(const QString& text);
    void Finish(bool passed);
    // What the server (or the program, for its own failures) gave as the reason.
    QString Reason(std::uint16_t error) const;
    // Puts the dialog's values onto the client; false with a reported step when
    // something asked for cannot be tested by this program.
    bool Configure();

    MessageLoop& loop_;
    ROptions options_;
    ROptionsExtraTexts texts_;
    std::unique_ptr<TSmtpClient> client_;
    QStringList steps_;
    bool running_ = false;
    bool passed_ = false;
    bool loginFailed_ = false;
    bool helloSaid_ = false;
};

}  // namespace pw
