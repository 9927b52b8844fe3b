#pragma once
// The argument of HELO and EHLO (RFC 5321, 4.1.1.1 and 4.1.3): the client's
// fully qualified domain name, or an address literal when it has none.
// Servers refuse a name with blanks, and many one without a dot.

#include <sys/socket.h>

#include <functional>
#include <string>
#include <string_view>

namespace pw {

// True for a domain name with at least one dot (labels of letters, digits and
// "-", none empty, none starting or ending with "-"), and for an address
// literal: "[" IPv4 "]" or "[IPv6:" IPv6 "]".
bool IsUsableHeloName(std::string_view name);

// "[192.0.2.7]" or "[IPv6:2001:db8::1]" for a socket address (an IPv4 address
// mapped into IPv6 is written as IPv4); empty for other families.
std::string AddressLiteral(const sockaddr* address, socklen_t length);

// The argument to send: `signOn` when usable; else `machineName` when it has a
// dot; else `localLiteral` (the connection's local address).
std::string HeloArgument(std::string_view signOn, std::string_view machineName, std::string_view localLiteral);

// This machine's fully qualified name, looked up once per process on a
// thread of its own (the resolver may take seconds), never on the message
// loop. StartMachineNameLookup starts it if it has not been started;
// MachineNameReady tells whether it has ended and gives the name ("" when the
// lookup found no name with a dot).
void StartMachineNameLookup();
bool MachineNameReady(std::string& name);

// For tests: the lookup runs `source` instead of asking the resolver, and
// runs again at the next start. An empty function restores the resolver.
void SetMachineNameSource(std::function<std::string()> source);

}  // namespace pw
