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

// Failures the program makes itself, in a range of their own (clear of the
// SMTP reply codes 0-599 and of the Winsock numbers 10004-11004), reported on
// the request where they happen.
constexpr int PWE_TLS_HANDSHAKE = 12001;        // the TLS handshake failed
constexpr int PWE_TLS_UNTRUSTED = 12002;        // certificate chain not trusted
constexpr int PWE_TLS_EXPIRED = 12003;          // certificate expired or not yet valid
constexpr int PWE_TLS_NAME = 12004;             // certificate not made out for the host
constexpr int PWE_STARTTLS_NOT_OFFERED = 12005; // STARTTLS asked for, server does not offer it
constexpr int PWE_TLS_NOT_ACTIVE = 12006;       // TLS asked for, but the connection is not encrypted
constexpr int PWE_AUTH_IMPOSSIBLE = 12010;      // no login method that may be used here
constexpr int PWE_AUTH_NO_SECRET = 12011;       // login enabled without password or command
constexpr int PWE_AUTH_COMMAND = 12012;         // the password or token command failed
constexpr int PWE_AUTH_COMMAND_REFUSED = 12013; // commands refused: the INI file is not the user's own
constexpr int PWE_ATTACHMENT_UNREADABLE = 12020;// an attachment could not be read to its end

// The text shown for a Winsock number or one of the program's own numbers; "Not a WinSock error" for any number
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
