// Winsock error numbers, their texts, and the mapping of Linux errors onto them.
#pragma once

#include <string>

namespace pw {

// Winsock numbers used by the transport's own code.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// The text shown for a Winsock number; "Not a WinSock error" for any number
// not in the table (negative ones included). No side effects.
std::string SocketErrorText(int code);

// A Linux errno value as the Winsock number the program shows. 0 stays 0;
// values without a Winsock counterpart give 10022 (invalid argument) unless
// listed otherwise in the source.
int WinsockErrorFromErrno(int errnoValue);

// A getaddrinfo() result (EAI_*) as a Winsock number; systemErrno is used
// for EAI_SYSTEM. 0 stays 0.
int WinsockErrorFromGai(int gaiResult, int systemErrno = 0);

// "Error " + code + " in function " + op + CR LF + SocketErrorText(code).
std::string SocketErrorMessage(int code, const std::string& op);

}  // namespace pw
