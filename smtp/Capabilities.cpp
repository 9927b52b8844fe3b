#include "smtp/Capabilities.h"

#include <limits>

#include "platform/AsciiCase.h"

namespace pw {

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// The words of `text`, split at blanks (and at the "=" of the old AUTH= form).
std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
        std::size_t end = at;
        while (end < text.size() && text[end] != ' ' && text[end] != '\t') ++end;
        if (end > at) words.push_back(text.substr(at, end - at));
        at = end;
    }
    if (!words.empty()) {
        const std::size_t eq = words.front().find('=');
        if (eq != std::string_view::npos && EqualNoCase(words.front().substr(0, eq), "AUTH")) {
            const std::string_view rest = words.front().substr(eq + 1);
            words.front() = "AUTH";
            if (!rest.empty()) words.insert(words.begin() + 1, rest);
        }
    }
    return words;
}

// A plain decimal number; false when there is none or it does not fit.
bool ParseSize(std::string_view text, std::uint64_t& value) {
    if (text.empty()) return false;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (v > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
        v = v * 10 + digit;
    }
    value = v;
    return true;
}

}  // namespace

bool RSmtpCapabilities::OffersAuth(std::string_view mechanism) const {
    for (const std::string& m : AuthMechanisms)
        if (EqualNoCase(m, mechanism)) return true;
    return false;
}

void NoteEhloLine(RSmtpCapabilities& caps, std::string_view line, bool first) {
    // "250-KEYWORD params" or "250 KEYWORD params" (the last line).
    if (first || line.size() < 4 || line.compare(0, 3, "250") != 0 || (line[3] != '-' && line[3] != ' '))
        return;
    const std::vector<std::string_view> words = Words(line.substr(4));
    if (words.empty()) return;
    const std::string_view keyword = words.front();
    if (EqualNoCase(keyword, "STARTTLS")) {
        caps.StartTls = true;
    } else if (EqualNoCase(keyword, "DSN")) {
        caps.Dsn = true;
    } else if (EqualNoCase(keyword, "8BITMIME")) {
        caps.EightBitMime = true;
    } else if (EqualNoCase(keyword, "SMTPUTF8")) {
        caps.SmtpUtf8 = true;
    } else if (EqualNoCase(keyword, "SIZE")) {
        caps.Size = true;
        std::uint64_t limit = 0;
        caps.SizeLimit = words.size() > 1 && ParseSize(words[1], limit) ? limit : 0;
    } else if (EqualNoCase(keyword, "AUTH")) {
        for (std::size_t i = 1; i < words.size(); ++i) {
            std::string mechanism(words[i]);
            for (char& c : mechanism) c = Upper(c);
            if (!caps.OffersAuth(mechanism)) caps.AuthMechanisms.push_back(mechanism);
        }
    }
}

}  // namespace pw
