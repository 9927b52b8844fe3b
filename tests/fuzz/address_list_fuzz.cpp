// Recipient and sender texts as people type them, and free header text, on
// any bytes. Properties:
//   - SplitAddressList either fails with a reason and no pieces, or gives
//     non-empty, trimmed pieces;
//   - every piece ParseMailbox takes has an address of printable ASCII, and
//     EnvelopePath gives exactly "<" + that address + ">";
//   - an AddressField is plain ASCII, its only line breaks are folds, and
//     read back it gives the same addresses in the same order;
//   - an UnstructuredField is plain ASCII with lines of at most 76
//     characters, and unfolded (and its encoded-words decoded) gives the text
//     back, line breaks as blanks and invalid UTF-8 read as Windows-1252.

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "codecs/Base64.h"
#include "smtp/AddressList.h"
#include "smtp/HeaderText.h"
#include "smtp/MimeMessage.h"
#include "smtp/Utf8.h"

using pw::fuzz::Show;

namespace {

void CheckFieldBytes(const std::string& field, const std::string& input)
{
    for (std::size_t i = 0; i < field.size(); ++i) {
        const auto c = static_cast<unsigned char>(field[i]);
        PW_FUZZ_CHECK(c < 0x80, Show(input) + " gave 8-bit bytes: " + Show(field));
        if (c == '\r') {
            // A fold: CR LF, a blank or tab, and more than blanks on that line.
            PW_FUZZ_CHECK(i + 2 < field.size() && field[i + 1] == '\n' && (field[i + 2] == ' ' || field[i + 2] == '\t'),
                          Show(input) + " gave a line break that is no fold: " + Show(field));
            const std::size_t end = std::min(field.find("\r\n", i + 2), field.size());
            PW_FUZZ_CHECK(field.find_first_not_of(" \t", i + 2) < end,
                          Show(input) + " gave a line of blanks alone: " + Show(field));
        } else if (c == '\n') {
            PW_FUZZ_CHECK(i > 0 && field[i - 1] == '\r', Show(input) + " gave a bare LF: " + Show(field));
        } else {
            PW_FUZZ_CHECK(c >= 0x20 || c == '\t', Show(input) + " gave a control byte: " + Show(field));
        }
    }
}

std::string Unfold(std::string field)
{
    for (std::size_t at; (at = field.find("\r\n")) != std::string::npos;)
        field.erase(at, 2);
    return field;
}

std::vector<std::string> AddressesOf(const std::string& list)
{
    std::vector<std::string> pieces, addresses;
    std::string error;
    PW_FUZZ_CHECK(pw::SplitAddressList(list, pieces, error), Show(list) + ": " + error);
    for (const auto& piece : pieces) {
        pw::RMailbox m;
        PW_FUZZ_CHECK(pw::ParseMailbox(piece, m, error), Show(piece) + ": " + error);
        addresses.push_back(m.Address);
    }
    return addresses;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::vector<std::string> pieces{"stale"};
    std::string error;
    const bool split = pw::SplitAddressList(text, pieces, error);
    PW_FUZZ_CHECK(split || (pieces.empty() && !error.empty()), Show(text));
    std::vector<std::string> addresses;
    bool allMailboxes = split && !pieces.empty();
    for (const auto& piece : pieces) {
        PW_FUZZ_CHECK(!piece.empty() && static_cast<unsigned char>(piece.front()) > 0x20 &&
                          static_cast<unsigned char>(piece.back()) > 0x20,
                      Show(text) + " gave the piece " + Show(piece));
        pw::RMailbox m;
        if (!pw::ParseMailbox(piece, m, error)) {
            allMailboxes = false;
            continue;
        }
        for (char c : m.Address)
            PW_FUZZ_CHECK(c > 0x20 || c == ' ', Show(piece) + " gave the address " + Show(m.Address));
        PW_FUZZ_CHECK(pw::IsAscii(m.Address), Show(piece));
        std::string path;
        PW_FUZZ_CHECK(pw::EnvelopePath(piece, path) && path == "<" + m.Address + ">", Show(piece) + " " + Show(path));
        addresses.push_back(m.Address);
    }

    std::string field;
    const bool formatted = pw::AddressField("To", text, field);
    // What cannot be read is not formatted; CR and LF read as blanks may make more readable.
    if (allMailboxes)
        PW_FUZZ_CHECK(formatted, Show(text));
    if (formatted) {
        PW_FUZZ_CHECK(field.rfind("To:", 0) == 0, Show(field));
        CheckFieldBytes(field, text);
        const auto back = AddressesOf(Unfold(field).substr(3));
        if (allMailboxes && text.find_first_of("\r\n") == std::string::npos)
            PW_FUZZ_CHECK(back == addresses, Show(text) + " read back differently from " + Show(field));
    }

    const std::string subject = pw::UnstructuredField("Subject", text);
    CheckFieldBytes(subject, text);
    std::size_t start = 0;
    for (;;) {
        const std::size_t crlf = subject.find("\r\n", start);
        const std::size_t length = (crlf == std::string::npos ? subject.size() : crlf) - start;
        PW_FUZZ_CHECK(length <= pw::MaxHeaderLine, Show(text) + " gave a line of " + std::to_string(length));
        if (crlf == std::string::npos)
            break;
        start = crlf + 2;
    }
    const std::string want = pw::AsUtf8(pw::FlattenLineBreaks(text));
    const std::string unfolded = Unfold(subject);
    if (unfolded != "Subject: " + want) {
        static const std::regex word(R"(=\?UTF-8\?B\?([A-Za-z0-9+/=]*)\?=)");
        std::string decoded;
        for (auto it = std::sregex_iterator(subject.begin(), subject.end(), word); it != std::sregex_iterator(); ++it)
            decoded += pw::Base64DecodeStrict((*it)[1].str());
        PW_FUZZ_CHECK(decoded == want, Show(text) + " came back as " + Show(decoded));
    }
    return 0;
}
