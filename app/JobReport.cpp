#include "app/JobReport.h"

#include <cctype>

#include "net/SocketErrors.h"

namespace pw {

namespace {

constexpr const char* kNotInTable = "Not a WinSock error";

bool IsWinsockNumber(int code) { return code >= 10000 && code < 12000 && SocketErrorText(code) != kNotInTable; }

// The status a reply line begins with; 0 without one.
int ReplyStatus(const std::string& reply) {
    if (reply.size() < 3) return 0;
    for (int i = 0; i < 3; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(reply[static_cast<std::size_t>(i)]))) return 0;
    }
    return std::stoi(reply.substr(0, 3));
}

bool ContainsNoCase(const std::string& text, std::string_view word) {
    std::string lower;
    for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find(word) != std::string::npos;
}

std::string OneLine(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (!out.empty() && out.back() != ' ') out += ' ';
            continue;
        }
        out += text[i];
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

}  // namespace

std::string EscapeControls(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 32 || b == 127) {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::string FailureReason(const RFailure& f) {
    if (IsWinsockNumber(f.Error)) return SocketErrorText(f.Error);
    const std::string reply = OneLine(f.LastReply);
    if (!reply.empty()) return reply;
    const std::string table = SocketErrorText(f.Error);
    if (table != kNotInTable) return table;
    return "no reply text";
}

std::string FailureHint(const RFailure& f) {
    constexpr int kConnect = 0;
    const bool noGreeting = f.Request == kConnect && (f.Error == 10060 || f.Error == 10004 || f.Error == 10053 ||
                                                      f.Error == 10054);
    if (noGreeting && f.Port == 465 && f.Security != 2)
        return "this port may expect TLS from the first byte: Security=2";
    const int status = IsWinsockNumber(f.Error) ? 0 : ReplyStatus(f.LastReply);
    if (status >= 500 && status < 600 && f.Security == 0 && ContainsNoCase(f.LastReply, "starttls"))
        return "the server wants TLS first: Security=1";
    if (status >= 500 && status < 600 && !f.AuthEnabled && ContainsNoCase(f.LastReply, "auth"))
        return "the server wants a login: SMTP_Auth_Enabled=1 in the INI file, the user name and the password "
               "stored with parcelwing --set-user and --set-password";
    switch (f.Error) {
    case 10004:
        return "the server closed the connection";
    case 10060:
        return "no complete reply came within TimeOut seconds";
    case 11001:
        return "check the Host setting";
    default:
        return {};
    }
}

std::string ReasonText(const RFailure& f) {
    std::string text = EscapeControls(FailureReason(f));
    const std::string hint = FailureHint(f);
    if (!hint.empty()) text += " - " + hint;
    return text;
}

std::string ReasonLine(const RFailure& f) { return "Reason: " + ReasonText(f); }

std::string NotSentLine(const std::string& file) { return NotSentPrefix + EscapeControls(file); }

}  // namespace pw
