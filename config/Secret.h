#pragma once
// Protected form of the stored SMTP credentials: Blowfish in 8-bit cipher
// feedback under a fixed key, then Base64, so the INI value is printable.
// This hides the text from a casual look; it is not secure against anyone who
// has the program.

#include <string>
#include <string_view>

namespace pw {

// Clear text (n bytes) to its INI form of 4 * ceil(n / 3) characters; the
// empty string gives the empty string. Same input, same output.
std::string EncodeSecret(std::string_view clear);

// INI form back to clear text. Characters outside the Base64 alphabet
// (blanks, line breaks, "=") are skipped. A damaged value is not detected: it
// decodes to whatever bytes the cipher gives.
std::string DecodeSecret(std::string_view stored);

}  // namespace pw
