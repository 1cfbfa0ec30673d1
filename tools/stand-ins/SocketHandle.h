// Owners for Winsock resources: sockets and the per-process Winsock start-up.
#pragma once

// winsock2.h must precede windows.h; WIN32_LEAN_AND_MEAN keeps windows.h from pulling in
// the older winsock.h.
#include <winsock2.h>

#include "UniqueHandle.h"

namespace quor {

struct SocketTraits {
    static SOCKET invalid() { return INVALID_SOCKET; }
    static void close(SOCKET s) { closesocket(s); }
};
using SocketHandle = Unique<SocketTraits>;

// Holds one WSAStartup reference for its lifetime; Winsock counts the references.
class WinsockSession {
public:
    WinsockSession() {
        WSADATA data;
        m_error = WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockSession() {
        if (m_error == 0) {
            WSACleanup();
        }
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;

    // 0 when Winsock is usable, else the WSAStartup error.
    int Error() const { return m_error; }

private:
    int m_error = 0;
};

} // namespace quor
