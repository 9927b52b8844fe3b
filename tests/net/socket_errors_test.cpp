#include "net/SocketErrors.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>

namespace pw {
namespace {

TEST(SocketErrorText, KnownCodesAndTheGapsBetweenThem) {
    struct Row {
        int code;
        const char* text;
    };
    const Row rows[] = {
        {0, "No Error"},
        {10004, "Interrupted system call"},
        {10009, "Bad file number"},
        {10013, "Permission denied"},
        {10022, "Invalid argument"},
        {10035, "Operation would block"},
        {10047, "Address family not supported by protocol family"},
        {10053, "Connection aborted"},
        {10054, "Connection reset by peer"},
        {10057, "Socket is not connected"},
        {10058, "Can't send after socket shutdown"},
        {10059, "Too many references: can't splice"},
        {10060, "Connection timed out"},
        {10061, "Connection refused"},
        {10069, "Disc quota exceeded"},
        {10071, "Too many levels of remote in path"},
        {10091, "Network sub-system is unusable"},
        {10092, "WinSock DLL cannot support this application"},
        {10093, "WinSock not initialized"},
        {11001, "Host not found"},
        {11002, "Non-authoritative host not found"},
        {11003, "Non-recoverable error"},
        {11004, "No Data"},
        {12001, "TLS handshake failed"},
        {12004, "Server certificate does not match the host name"},
        {12006, "TLS was asked for, but the connection is not encrypted"},
        {12020, "Attachment could not be read to its end"},
        // Not in the table: neighbours of listed ranges, negatives, huge.
        {10000, "Not a WinSock error"},
        {10003, "Not a WinSock error"},
        {10005, "Not a WinSock error"},
        {10072, "Not a WinSock error"},
        {10090, "Not a WinSock error"},
        {10094, "Not a WinSock error"},
        {11000, "Not a WinSock error"},
        {11005, "Not a WinSock error"},
        {12000, "Not a WinSock error"},
        {12007, "Not a WinSock error"},
        {-1, "Not a WinSock error"},
        {-10061, "Not a WinSock error"},
        {1, "Not a WinSock error"},
    };
    for (const Row& r : rows) EXPECT_EQ(SocketErrorText(r.code), r.text) << r.code;
    // Every code of the two listed ranges has its own text.
    for (int code : {10014, 10024, 10036, 10037, 10038, 10039, 10040, 10041, 10042, 10043, 10044, 10045, 10046,
                     10048, 10049, 10050, 10051, 10052, 10055, 10056, 10062, 10063, 10064, 10065, 10066, 10067,
                     10068, 10070})
        EXPECT_NE(SocketErrorText(code), "Not a WinSock error") << code;
}

TEST(SocketErrorText, FramedMessage) {
    EXPECT_EQ(SocketErrorMessage(10053, "TryToSend failed"),
              "Error 10053 in function TryToSend failed\r\nConnection aborted");
    EXPECT_EQ(SocketErrorMessage(10057, "Send"), "Error 10057 in function Send\r\nSocket is not connected");
}

TEST(WinsockErrorFromErrno, LinuxErrorsBecomeTheNumbersShown) {
    struct Row {
        int errnoValue;
        int winsock;
    };
    const Row rows[] = {
        {0, 0},
        {ECONNREFUSED, 10061},
        {ETIMEDOUT, 10060},
        {EHOSTUNREACH, 10065},
        {ENETUNREACH, 10051},
        {ECONNRESET, 10054},
        {ECONNABORTED, 10053},
        {EPIPE, 10053},
        {EWOULDBLOCK, 10035},
        {EAGAIN, 10035},
        {EINPROGRESS, 10035},
        {ENOTCONN, 10057},
        {EINVAL, 10022},
        {EBADF, 10038},
        {ENOTSOCK, 10038},
        {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049},
        {ENETDOWN, 10050},
        {EACCES, 10013},
        {EMFILE, 10024},
    };
    for (const Row& r : rows) EXPECT_EQ(WinsockErrorFromErrno(r.errnoValue), r.winsock) << r.errnoValue;
    // Whatever Linux says, the number shown has a text.
    for (int e = 1; e < 134; ++e) EXPECT_NE(SocketErrorText(WinsockErrorFromErrno(e)), "Not a WinSock error") << e;
}

TEST(WinsockErrorFromGai, ResolverResults) {
    EXPECT_EQ(WinsockErrorFromGai(0), 0);
    EXPECT_EQ(WinsockErrorFromGai(EAI_NONAME), 11001);
    EXPECT_EQ(WinsockErrorFromGai(EAI_AGAIN), 11002);
    EXPECT_EQ(WinsockErrorFromGai(EAI_FAIL), 11003);
#ifdef EAI_NODATA
    EXPECT_EQ(WinsockErrorFromGai(EAI_NODATA), 11004);
#endif
    EXPECT_EQ(WinsockErrorFromGai(EAI_SYSTEM, ECONNREFUSED), 10061);
    EXPECT_EQ(WinsockErrorFromGai(EAI_SYSTEM, 0), 11003);
    EXPECT_EQ(WinsockErrorFromGai(EAI_MEMORY), 10055);
}

}  // namespace
}  // namespace pw
