#include "smtp/AddressList.h"

#include <cstring>

#include "smtp/HeaderText.h"
#include "smtp/MimeMessage.h"
#include "smtp/Utf8.h"

namespace pw {

namespace {

// Encoded display names stay short enough to follow any field name of this
// program on the field's first line.
constexpr std::size_t MaxPhraseWord = 66;

// RFC 5322, 3.2.3.
bool IsAtext(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9'))
        return true;
    return u < 0x80 && u != 0 && std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr;
}

bool IsWsp(char c)
{
    return c == ' ' || c == '\t';
}

std::string Quote(const char* what)
{
    return std::string("\"") + what + "\"";
}

// Removes comments (outside quoted strings); their text, joined by blanks, goes
// to `comments`. The text is known to be balanced.
std::string WithoutComments(std::string_view text, std::string& comments)
{
    std::string out;
    bool quoted = false;
    int depth = 0;
    std::string comment;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (depth > 0) {
            if (c == '\\' && i + 1 < text.size()) {
                comment += text[++i];
            } else if (c == '(') {
                ++depth;
                comment += c;
            } else if (c == ')') {
                if (--depth == 0) {
                    if (!comments.empty() && !comment.empty())
                        comments += ' ';
                    comments += TrimControls(comment);
                    comment.clear();
                    out += ' ';
                } else {
                    comment += c;
                }
            } else {
                comment += c;
            }
            continue;
        }
        if (quoted) {
            if (c == '\\' && i + 1 < text.size()) {
                out += c;
                out += text[++i];
                continue;
            }
            if (c == '"')
                quoted = false;
            out += c;
            continue;
        }
        if (c == '"')
            quoted = true;
        if (c == '(') {
            depth = 1;
            continue;
        }
        out += c;
    }
    return out;
}

bool IsQuotedString(std::string_view text)
{
    if (text.size() < 2 || text.front() != '"' || text.back() != '"')
        return false;
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        if (text[i] == '\\') {
            if (++i + 1 >= text.size())
                return false;  // the escape would take the closing quote
        } else if (text[i] == '"') {
            return false;
        }
    }
    return true;
}

// Where `wanted` stands outside quoted strings: its first place, or with
// `last` its last one; npos when it does not.
std::size_t FindUnquoted(std::string_view text, char wanted, bool last)
{
    std::size_t found = std::string_view::npos;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (quoted && text[i] == '\\') {
            ++i;
        } else if (text[i] == '"') {
            quoted = !quoted;
        } else if (!quoted && text[i] == wanted) {
            found = i;
            if (!last)
                break;
        }
    }
    return found;
}

// RFC 5321, 4.1.2 (Mailbox), read with RFC 5322's atext: a dot-atom or quoted
// local part, then optionally "@" and a dot-atom or a [literal] domain. ASCII
// only: other characters would need SMTPUTF8.
bool IsAddress(std::string_view address, std::string& why)
{
    for (char c : address) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80) {
            why = "holds characters that are not plain ASCII";
            return false;
        }
        if (u < 0x20 || u == 0x7F) {
            why = "holds control characters";
            return false;
        }
    }
    const std::size_t at = FindUnquoted(address, '@', true);
    const std::string_view local = address.substr(0, at);
    const auto dotAtom = [](std::string_view part) {
        if (part.empty() || part.front() == '.' || part.back() == '.' || part.find("..") != std::string_view::npos)
            return false;
        for (char c : part)
            if (c != '.' && !IsAtext(c))
                return false;
        return true;
    };
    if (!(dotAtom(local) || IsQuotedString(local))) {
        why = "is no address";
        return false;
    }
    if (at == std::string_view::npos)
        return true;  // a local name alone ("postmaster")
    const std::string_view domain = address.substr(at + 1);
    if (domain.size() >= 2 && domain.front() == '[' && domain.back() == ']') {
        for (char c : domain.substr(1, domain.size() - 2))
            if (c == '[' || c == ']' || c == '\\' || c == ' ') {
                why = "is no address";
                return false;
            }
        return true;
    }
    if (!dotAtom(domain)) {
        why = "is no address";
        return false;
    }
    return true;
}

// The words of a display name as written (atoms and quoted strings split at
// blanks outside quotes), and whether it is a valid ASCII phrase as it stands.
std::vector<std::string> PhraseWords(std::string_view phrase, bool& valid)
{
    std::vector<std::string> words;
    valid = true;
    std::size_t i = 0;
    while (i < phrase.size()) {
        while (i < phrase.size() && IsWsp(phrase[i]))
            ++i;
        if (i >= phrase.size())
            break;
        std::string word;
        bool quoted = false;
        bool quotedWord = phrase[i] == '"';
        while (i < phrase.size() && (quoted || !IsWsp(phrase[i]))) {
            const char c = phrase[i];
            if (quoted && c == '\\' && i + 1 < phrase.size()) {
                word += c;
                word += phrase[i + 1];
                i += 2;
                continue;
            }
            if (c == '"')
                quoted = !quoted;
            word += c;
            ++i;
        }
        if (quotedWord) {
            valid = valid && IsQuotedString(word);
        } else {
            for (char c : word)
                valid = valid && IsAtext(c);
        }
        words.push_back(std::move(word));
    }
    return words;
}

// The display name as text: quotes and their escapes taken off.
std::string PhraseText(std::string_view phrase)
{
    std::string text;
    bool quoted = false;
    for (std::size_t i = 0; i < phrase.size(); ++i) {
        const char c = phrase[i];
        if (quoted && c == '\\' && i + 1 < phrase.size()) {
            text += phrase[++i];
        } else if (c == '"') {
            quoted = !quoted;
        } else {
            text += c;
        }
    }
    return text;
}

// The header words of a display name.
std::vector<std::string> DisplayNameTokens(const RMailbox& m)
{
    bool valid = false;
    std::vector<std::string> words = PhraseWords(m.Phrase, valid);
    // As written only when it is plain printable ASCII (a quoted string may hold anything).
    for (char c : m.Phrase)
        valid = valid && !IsControlByte(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 0x80;
    if (!m.Phrase.empty() && valid && m.Phrase.find("=?") == std::string::npos)
        return words;
    const std::string& text = m.DisplayName;
    bool plain = IsAscii(text) && text.find("=?") == std::string::npos;
    for (char c : text)
        plain = plain && !IsControlByte(static_cast<unsigned char>(c)) && c != '\t';
    if (plain)
        return {QuotedString(text)};
    return EncodeWords(text, MaxPhraseWord, MaxPhraseWord);
}

}  // namespace

bool SplitAddressList(std::string_view text, std::vector<std::string>& pieces, std::string& error)
{
    pieces.clear();
    std::vector<std::string> found;
    bool quoted = false;
    int angle = 0;
    int comment = 0;
    std::size_t start = 0;
    const auto add = [&](std::size_t end) {
        std::string piece = TrimControls(text.substr(start, end - start));
        if (!piece.empty())
            found.push_back(std::move(piece));
        start = end + 1;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if ((quoted || comment > 0) && c == '\\') {
            ++i;  // the escaped character stands for itself
            continue;
        }
        if (quoted) {
            quoted = c != '"';
            continue;
        }
        if (comment > 0) {
            comment += c == '(' ? 1 : c == ')' ? -1 : 0;
            continue;
        }
        switch (c) {
        case '"': quoted = true; break;
        case '(': comment = 1; break;
        case ')':
            error = "a " + Quote(")") + " without " + Quote("(");
            return false;
        case '<':
            if (angle > 0) {
                error = "a second " + Quote("<") + " before " + Quote(">");
                return false;
            }
            angle = 1;
            break;
        case '>':
            if (angle == 0) {
                error = "a " + Quote(">") + " without " + Quote("<");
                return false;
            }
            angle = 0;
            break;
        case ';':
        case ',':
            if (angle == 0)
                add(i);
            break;
        default: break;
        }
    }
    if (quoted) {
        error = "a " + Quote("\"") + " without its closing " + Quote("\"");
        return false;
    }
    if (angle > 0) {
        error = "a " + Quote("<") + " without " + Quote(">");
        return false;
    }
    if (comment > 0) {
        error = "a " + Quote("(") + " without " + Quote(")");
        return false;
    }
    add(text.size());
    pieces = std::move(found);
    return true;
}

bool ParseMailbox(std::string_view entry, RMailbox& mailbox, std::string& error)
{
    std::vector<std::string> pieces;
    if (!SplitAddressList(entry, pieces, error))
        return false;
    if (pieces.size() != 1) {
        error = pieces.empty() ? "no address" : "more than one address";
        return false;
    }
    std::string comments;
    const std::string text = WithoutComments(pieces.front(), comments);
    RMailbox m;
    // The "<" that opens the address: the first one outside a quoted string.
    const std::size_t open = FindUnquoted(text, '<', false);
    if (open != std::string::npos) {
        std::size_t close = FindUnquoted(std::string_view(text).substr(open + 1), '>', false);
        if (close == std::string_view::npos) {
            error = "a " + Quote("<") + " without " + Quote(">");
            return false;
        }
        close += open + 1;
        m.Angled = true;
        m.Phrase = TrimControls(std::string_view(text).substr(0, open));
        m.Address = TrimControls(std::string_view(text).substr(open + 1, close - open - 1));
        if (!TrimControls(std::string_view(text).substr(close + 1)).empty()) {
            error = "text after the address in \"" + pieces.front() + "\"";
            return false;
        }
    } else {
        m.Address = TrimControls(text);
    }
    m.DisplayName = m.Phrase.empty() ? comments : TrimControls(PhraseText(m.Phrase));
    if (m.Address.empty()) {
        error = "no address in \"" + pieces.front() + "\"";
        return false;
    }
    std::string why;
    if (!IsAddress(m.Address, why)) {
        error = "\"" + m.Address + "\" " + why;
        return false;
    }
    mailbox = std::move(m);
    return true;
}

bool EnvelopePath(std::string_view entry, std::string& path)
{
    const std::string text = TrimControls(entry);
    if (text.empty() || text == "<>") {
        path = "<>";
        return true;
    }
    RMailbox m;
    std::string error;
    if (!ParseMailbox(text, m, error))
        return false;
    path = "<" + m.Address + ">";
    return true;
}

bool AddressField(std::string_view name, std::string_view value, std::string& field)
{
    const std::string text = AsUtf8(FlattenLineBreaks(value));
    std::vector<std::string> pieces;
    std::string error;
    if (!SplitAddressList(text, pieces, error) || pieces.empty())
        return false;
    std::vector<std::string> tokens;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        RMailbox m;
        if (!ParseMailbox(pieces[i], m, error))
            return false;
        if (!m.DisplayName.empty()) {
            for (std::string& word : DisplayNameTokens(m))
                tokens.push_back(std::move(word));
            tokens.push_back("<" + m.Address + ">");
        } else {
            tokens.push_back(m.Angled ? "<" + m.Address + ">" : m.Address);
        }
        if (i + 1 < pieces.size())
            tokens.back() += ',';
    }
    field = FoldTokens(std::string(name) + ":", tokens);
    return true;
}

std::string AddressDomain(std::string_view entry)
{
    RMailbox m;
    std::string error;
    if (!ParseMailbox(entry, m, error))
        return {};
    const std::size_t at = m.Address.rfind('@');
    return at == std::string::npos ? std::string() : m.Address.substr(at + 1);
}

}  // namespace pw
