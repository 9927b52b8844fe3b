// Conversion of host, port and protocol texts into numbers. Synchronous (the
// host and service look-ups may block); failures throw pw::Exception with the
// texts the user is shown.
#pragma once

#include <cstdint>
#include <string>

namespace pw {

// True for four dot-separated decimal parts of at most 255 each, with blanks
// allowed around the text ("1.2.3.4", " 1.2.3.4 "); false for "1.2.3",
// "1..2.3", ".1.2.3", "1.2.3.256", "1.2.3.4x".
bool IsDottedAddress(const std::string& text);

// IPv4 address of host in network byte order. A dotted text is converted
// without a lookup; a name is looked up (may block). Throws
// "WSocketResolveHost: '<host>' Invalid Hostname." (empty or > 256 chars),
// "WSocketResolveHost: '<host>' Invalid IP address.", or
// "WSocketResolveHost: Cannot convert host address '<host>', Error #<code>".
std::uint32_t WSocketResolveHost(const std::string& host);

// Port number in host order (callers keep the low 16 bits). A text starting
// with a digit is read as decimal ("2x" gives 2, "70000" gives 70000);
// otherwise the services database is asked. Throws
// "WSocketResolvePort: Invalid Port.", "WSocketResolvePort: Invalid Proto.",
// "WSocketResolvePort: Cannot convert port '<port>', Error #<code>".
int WSocketResolvePort(const std::string& port, const std::string& proto);

// Protocol number ("tcp" 6, "17" 17). Throws
// "WSocketResolveProto: Invalid Protocol." or
// "WSocketResolveProto: Cannot convert protocol '<proto>', Error #<code>".
int WSocketResolveProto(const std::string& proto);

// The host name of this machine. Throws "Winsock.GetHostName failed".
std::string LocalMachineName();

// Dotted text of an IPv4 address in network order.
std::string DottedAddress(std::uint32_t networkOrder);

// Removes every leading and trailing byte of value 0x20 or less.
std::string TrimBlanks(const std::string& text);

}  // namespace pw
