// Whether a MySQL server answers on a port: its first packet, the greeting (the initial
// handshake of protocol version 10).
#pragma once

#include <windows.h>

#include <string_view>

namespace quor::standin {

// How a received byte sequence compares with a whole greeting packet.
enum class Greeting { Incomplete, Valid, Invalid };

// Judges the bytes received first on a connection: a packet header (3-byte little-endian
// payload length, sequence number 0) and a payload that starts with protocol version 10
// and the server's version text ended by a zero byte.
Greeting ClassifyGreeting(std::string_view received);

// Connects to 127.0.0.1:port and reads the first packet, for at most timeoutMs. True when
// it is a valid greeting.
bool ServerGreets(unsigned short port, DWORD timeoutMs);

} // namespace quor::standin
