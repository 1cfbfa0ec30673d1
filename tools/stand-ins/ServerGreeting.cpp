// Whether a MySQL server answers on a port: its first packet, the greeting.
#include "ServerGreeting.h"

#include "SocketHandle.h"

#include <string>

namespace quor::standin {

namespace {

constexpr size_t kHeaderSize = 4;
constexpr unsigned char kProtocolVersion = 10;
// A greeting holds a version text, salts and a plugin name: far below this size.
constexpr size_t kMaxGreeting = 1024;

} // namespace

Greeting ClassifyGreeting(std::string_view received) {
    if (received.size() < kHeaderSize) {
        return Greeting::Incomplete;
    }
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(received[i]); };
    const size_t length = byte(0) | byte(1) << 8 | byte(2) << 16;
    if (byte(3) != 0 || length < 2 || length > kMaxGreeting) {
        return Greeting::Invalid;
    }
    if (received.size() < kHeaderSize + length) {
        // The version byte alone already tells a foreign answer apart.
        return received.size() > kHeaderSize && byte(kHeaderSize) != kProtocolVersion
                   ? Greeting::Invalid
                   : Greeting::Incomplete;
    }
    const std::string_view payload = received.substr(kHeaderSize, length);
    return byte(kHeaderSize) == kProtocolVersion && payload.find('\0', 1) != std::string_view::npos
               ? Greeting::Valid
               : Greeting::Invalid;
}

bool ServerGreets(unsigned short port, DWORD timeoutMs) {
    const WinsockSession winsock;
    const SocketHandle s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (winsock.Error() != 0 || !s) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
                   sizeof(timeoutMs)) != 0 ||
        connect(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return false;
    }
    std::string received;
    char buffer[512];
    for (;;) {
        switch (ClassifyGreeting(received)) {
        case Greeting::Valid:
            return true;
        case Greeting::Invalid:
            return false;
        case Greeting::Incomplete:
            break;
        }
        const int got = recv(s.get(), buffer, sizeof(buffer), 0);
        if (got <= 0) {
            return false;
        }
        received.append(buffer, static_cast<size_t>(got));
    }
}

} // namespace quor::standin
