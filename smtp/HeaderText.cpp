#include "smtp/HeaderText.h"

#include <algorithm>

#include "codecs/Base64.h"
#include "smtp/MimeMessage.h"
#include "smtp/Utf8.h"

namespace pw {

namespace {

constexpr std::string_view WordStart = "=?UTF-8?B?";
constexpr std::string_view WordEnd = "?=";

std::size_t EncodedLength(std::size_t bytes)
{
    return WordStart.size() + (bytes + 2) / 3 * 4 + WordEnd.size();
}

bool IsWsp(char c)
{
    return c == ' ' || c == '\t';
}

// Folds `line` (a whole field on one line, ASCII) before blanks or tabs that
// follow a visible character, none before `firstCut`, so that no line passes
// MaxHeaderLine. False when some stretch cannot be cut short enough that way.
bool FoldAtBlanks(const std::string& line, std::size_t firstCut, std::string& out)
{
    out.clear();
    // No line may be made of blanks alone (RFC 5322, 3.2.2): nothing is cut
    // off the blanks at the end.
    std::size_t lastVisible = line.size();
    while (lastVisible > 0 && IsWsp(line[lastVisible - 1]))
        --lastVisible;
    std::size_t start = 0;
    while (line.size() - start > MaxHeaderLine) {
        // The last usable break within reach: a blank after a visible character.
        std::size_t cut = 0;
        for (std::size_t i = std::max(start + 1, firstCut); i <= start + MaxHeaderLine && i < lastVisible; ++i) {
            if (IsWsp(line[i]) && !IsWsp(line[i - 1]))
                cut = i;
        }
        if (cut == 0)
            return false;
        out.append(line, start, cut - start);
        out += "\r\n";
        start = cut;  // the blank opens the next line
    }
    out.append(line, start, std::string::npos);
    return true;
}

}  // namespace

bool IsControlByte(unsigned char c)
{
    return (c < 0x20 && c != '\t') || c == 0x7F;
}

std::vector<std::string> EncodeWords(std::string_view utf8, std::size_t firstMax, std::size_t restMax)
{
    std::vector<std::string> words;
    const std::size_t smallest = EncodedLength(4);  // room for any one character
    if (restMax < smallest)
        restMax = smallest;
    std::size_t max = firstMax < smallest ? restMax : firstMax;
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        std::size_t end = pos;
        while (end < utf8.size()) {
            std::size_t next = end + Utf8SequenceLength(static_cast<unsigned char>(utf8[end]));
            if (next > utf8.size())
                next = utf8.size();
            if (EncodedLength(next - pos) > max)
                break;
            end = next;
        }
        std::string word(WordStart);
        word += Base64Encode(utf8.substr(pos, end - pos));
        word += WordEnd;
        words.push_back(std::move(word));
        pos = end;
        max = restMax;
    }
    return words;
}

std::string UnstructuredField(std::string_view name, std::string_view value)
{
    const std::string text = AsUtf8(FlattenLineBreaks(value));
    std::string prefix(name);
    prefix += ": ";
    bool plain = IsAscii(text) && text.find("=?") == std::string::npos;
    for (char c : text)
        plain = plain && !IsControlByte(static_cast<unsigned char>(c));
    if (plain) {
        std::string folded;
        if (FoldAtBlanks(prefix + text, prefix.size() + 1, folded))
            return folded;
    }
    const std::size_t room = MaxHeaderLine > prefix.size() ? MaxHeaderLine - prefix.size() : 0;
    std::string field = prefix;
    bool first = true;
    for (const std::string& word : EncodeWords(text, room, MaxEncodedWord)) {
        if (!first)
            field += "\r\n ";
        field += word;
        first = false;
    }
    return field;
}

std::string FoldTokens(std::string_view name, const std::vector<std::string>& tokens)
{
    std::string field(name);
    std::size_t lineLength = field.size();
    bool first = true;
    for (const std::string& token : tokens) {
        if (!first && lineLength + 1 + token.size() > MaxHeaderLine) {
            field += "\r\n ";
            lineLength = 1;
        } else {
            field += ' ';
            ++lineLength;
        }
        field += token;
        lineLength += token.size();
        first = false;
    }
    return field;
}

std::string QuotedString(std::string_view text)
{
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

}  // namespace pw
