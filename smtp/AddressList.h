#pragma once
// Addresses as people type them (RFC 5322, 3.4): lists separated by ";" or
// ",", each entry an address, "<address>", or a display name followed by
// "<address>" ("John Smith <js@example.org>", "\"Smith, John\" <js@example.org>").
// The header keeps the display name (quoted or encoded as needed); the SMTP
// envelope carries only "<address>" (RFC 5321, 4.1.2).

#include <string>
#include <string_view>
#include <vector>

namespace pw {

struct RMailbox {
    std::string DisplayName;  // the name as text (quotes and escapes taken off); empty when none
    std::string Phrase;       // the name as written, trimmed; empty when none
    std::string Address;      // the addr-spec, without angle brackets
    bool Angled = false;      // written in angle brackets
};

// Cuts `text` at every ";" and "," that stands outside a quoted string, angle
// brackets and a comment; each piece is trimmed, empty pieces are dropped.
// False, with a reason in `error`, for an unbalanced quote, bracket or
// parenthesis; `pieces` then holds nothing.
bool SplitAddressList(std::string_view text, std::vector<std::string>& pieces, std::string& error);

// Reads one entry of a list. A comment, when there is no other name, becomes
// the display name ("a@x (Ann)"). False, with a reason in `error`, when there
// is no address, text follows the closing ">", or the address is no address:
// blanks or control characters outside quotes, non-ASCII characters (they
// would need SMTPUTF8), an empty part before or after "@".
bool ParseMailbox(std::string_view entry, RMailbox& mailbox, std::string& error);

// "<address>" for MAIL FROM and RCPT TO, from an entry as typed. An empty
// entry gives "<>" (the null sender). False when the entry cannot be read.
bool EnvelopePath(std::string_view entry, std::string& path);

// The whole header field `name` for a list: entries separated by ", ", each
// display name as written when it is a valid ASCII phrase, else quoted, or as
// encoded-words when it holds other characters; folded between words. A
// value that is not valid UTF-8 is read as Windows-1252. False when the list
// is empty or cannot be read; `field` is then left alone.
bool AddressField(std::string_view name, std::string_view value, std::string& field);

// The part after the last "@" of the address of `entry`; empty when there is
// none or the entry cannot be read.
std::string AddressDomain(std::string_view entry);

}  // namespace pw
