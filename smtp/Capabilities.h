#pragma once
// What a server offers in its EHLO reply (RFC 5321, 4.1.1.1): one keyword per
// line after the first, with optional parameters. Only the extensions the
// client uses are kept.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pw {

struct RSmtpCapabilities {
    bool StartTls = false;                    // RFC 3207
    bool Dsn = false;                         // RFC 3461
    bool EightBitMime = false;                // RFC 6152
    bool SmtpUtf8 = false;                    // RFC 6531
    bool Size = false;                        // RFC 1870
    std::uint64_t SizeLimit = 0;              // 0: SIZE without a fixed limit (or not offered)
    std::vector<std::string> AuthMechanisms;  // RFC 4954, upper case, in the server's order

    // Whether `mechanism` (any letter case) is among AuthMechanisms.
    bool OffersAuth(std::string_view mechanism) const;
};

// Reads one line of an EHLO reply into `caps`. `first` marks the reply's first
// line, which carries the server's name and no keyword. Keywords are compared
// without letter case; the old "AUTH=" form counts as AUTH. A SIZE whose
// parameter is not a plain decimal number, or one beyond 64 bits, counts as
// SIZE without a limit. Lines that are no reply lines are ignored.
void NoteEhloLine(RSmtpCapabilities& caps, std::string_view line, bool first);

}  // namespace pw
