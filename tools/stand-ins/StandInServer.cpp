// The listening half of a stand-in: a TCP socket on the configured port and its worker.
#include "StandInServer.h"

#include "HttpAnswer.h"
#include "StandInLog.h"

namespace quor::standin {

namespace {

// Bounds on one HTTP exchange, so a silent or endless client cannot hold up a stop.
constexpr DWORD kReceiveTimeoutMs = 5000;
constexpr size_t kMaxRequestHead = 65536;

void SetReceiveTimeout(SOCKET s, DWORD ms) {
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof(ms));
}

bool SendAll(SOCKET s, std::string_view bytes) {
    while (!bytes.empty()) {
        const int sent = send(s, bytes.data(), static_cast<int>(bytes.size()), 0);
        if (sent <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

} // namespace

StandInServer::StandInServer(Flavour flavour, std::wstring root)
    : m_flavour(flavour), m_root(std::move(root)) {}

int StandInServer::Start(unsigned short port) {
    if (m_winsock.Error() != 0) {
        return m_winsock.Error();
    }
    const auto fail = [this](int error) {
        m_listener.reset();
        return error != 0 ? error : WSAEINVAL;
    };
    m_listener.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!m_listener) {
        return fail(WSAGetLastError());
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (bind(m_listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(m_listener.get(), SOMAXCONN) != 0) {
        return fail(WSAGetLastError());
    }
    // The worker waits for a connection or the stop request, whichever comes first; a blocking
    // accept could not be interrupted reliably by closing the socket from another thread.
    m_stopRequested.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_acceptReady.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!m_stopRequested || !m_acceptReady) {
        return fail(static_cast<int>(GetLastError()));
    }
    if (WSAEventSelect(m_listener.get(), m_acceptReady.get(), FD_ACCEPT) != 0) {
        return fail(WSAGetLastError());
    }
    m_worker = std::thread([this] { Serve(); });
    return 0;
}

void StandInServer::Stop() {
    if (m_worker.joinable()) {
        SetEvent(m_stopRequested.get());
        m_worker.join();
    }
    m_listener.reset();
}

void StandInServer::Serve() {
    const HANDLE events[] = {m_stopRequested.get(), m_acceptReady.get()};
    while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        // The event fires once for any number of waiting connections: take them all.
        for (;;) {
            SocketHandle client(accept(m_listener.get(), nullptr, nullptr));
            if (!client) {
                break;
            }
            // An accepted socket inherits the listener's event selection and non-blocking
            // mode; the exchange with one client is plain blocking I/O with a timeout.
            WSAEventSelect(client.get(), nullptr, 0);
            u_long nonBlocking = 0;
            ioctlsocket(client.get(), FIONBIO, &nonBlocking);
            Answer(client.get());
        }
    }
}

void StandInServer::Answer(SOCKET client) {
    if (m_flavour != Flavour::Apache) {
        return;
    }
    SetReceiveTimeout(client, kReceiveTimeoutMs);
    std::string received;
    char buffer[4096];
    while (received.size() < kMaxRequestHead && !RequestHeadComplete(received)) {
        const int got = recv(client, buffer, sizeof(buffer), 0);
        if (got <= 0) {
            break;
        }
        received.append(buffer, static_cast<size_t>(got));
    }
    if (received.empty()) {
        return;
    }
    const std::string_view requestLine = RequestLine(received);
    // The record is written before the answer goes out, so a client that has its answer can
    // rely on finding the record.
    WriteLastRequest(m_root, requestLine);
    SendAll(client, HttpAnswer(requestLine));
    // Closing with unread bytes (a request body) would reset the connection and could lose the
    // answer; end the sending side and let the client close first.
    shutdown(client, SD_SEND);
    SetReceiveTimeout(client, 1000);
    while (recv(client, buffer, sizeof(buffer), 0) > 0) {
    }
}

} // namespace quor::standin
