#pragma once
// Dialogues the program tests play again and again on a ScriptedSmtpServer,
// and what they read back from a DATA block. Header-only.
//
//   ScriptedSmtpServer server;
//   HeloMessage(server);                     // one whole message, then QUIT
//   EndMessage(HeloUpToData(server).Pause(200ms));

#include <cstddef>
#include <string>
#include <vector>

#include "support/ScriptedSmtpServer.h"

namespace pw::test {

// From the greeting to the answer to DATA, with HELO, for the sender
// me@example.org and the one recipient `to`.
inline ScriptedSmtpServer& HeloUpToData(ScriptedSmtpServer& s, const std::string& to = "you@example.org") {
    return s.Reply("220 scripted ready")
        .ExpectPrefix("HELO ")
        .Reply("250 hello")
        .Expect("MAIL FROM:<me@example.org>")
        .Reply("250 ok")
        .Expect("RCPT TO:<" + to + ">")
        .Reply("250 ok")
        .Expect("DATA")
        .Reply("354 go ahead");
}

// The message's data taken, then QUIT and the connection closed.
inline ScriptedSmtpServer& EndMessage(ScriptedSmtpServer& s) {
    return s.ReadData().Reply("250 queued").Expect("QUIT").Reply("221 bye").Close();
}

// One whole message with HELO, as HeloUpToData and EndMessage play it.
inline ScriptedSmtpServer& HeloMessage(ScriptedSmtpServer& s, const std::string& to = "you@example.org") {
    return EndMessage(HeloUpToData(s, to));
}

// The file names attached in one DATA block (the filename="..." parameters),
// in order.
inline std::vector<std::string> AttachedNames(const std::vector<std::string>& data) {
    std::vector<std::string> names;
    for (const auto& line : data) {
        const std::size_t at = line.find("filename=\"");
        if (at != std::string::npos) names.push_back(line.substr(at + 10, line.size() - at - 11));
    }
    return names;
}

}  // namespace pw::test
