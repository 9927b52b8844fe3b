#pragma once
// The 30 charsets the options offer, with the names iconv(3) knows them by
// and the label a converted text part carries, and the conversion itself.

#include <cstddef>
#include <string>
#include <string_view>

namespace pw {

struct RCharset {
    std::string_view Name;   // as the options' table spells it
    std::string_view Iconv;  // iconv's name; empty: text in it cannot travel as text, it goes as UTF-8
    std::string_view Label;  // the MIME charset name of converted text
    bool AsciiCompatible;    // ASCII text reads the same in it
};

// The table entry of `name` (letter case ignored); null for a name outside
// the table.
const RCharset* FindCharset(std::string_view name);

// iconv from UTF-8 to one charset, opened once and used line by line.
class TIconv {
public:
    explicit TIconv(std::string_view to);
    ~TIconv();
    TIconv(const TIconv&) = delete;
    TIconv& operator=(const TIconv&) = delete;

    // False when iconv does not know the charset.
    bool Ok() const;
    // Converts one piece of valid UTF-8 from the initial state (a stateful
    // charset such as UTF-7 is brought back to it at the end). False when a
    // character cannot be held by the charset.
    bool Convert(std::string_view utf8, std::string& out);

private:
    void* cd_;
};

}  // namespace pw
