#pragma once
// Message-ID (RFC 5322, 3.6.4): "<left@domain>", unique across messages,
// processes and machines. The left part joins the time in nanoseconds, the
// process id, a count of this process's ids and 64 random bits; the domain is
// the sender's, so that two machines sending for different domains cannot meet.

#include <string>
#include <string_view>

namespace pw {

// A new id in angle brackets. `domain` is used when it is a plain dot-atom or
// an address literal; otherwise this machine's host name stands in (and
// "localhost" when that is no usable name either).
std::string NewMessageId(std::string_view domain);

}  // namespace pw
