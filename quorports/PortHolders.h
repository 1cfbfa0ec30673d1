// Who holds a TCP port: the listening rows of the system's TCP tables with their owning
// processes, and those processes' image names.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorports {

// A running process that listens on a port.
struct PortHolder {
    std::wstring imageName; // file name only, such as httpd.exe
    DWORD processId = 0;
};

// Names the holder of a TCP port; nullopt when none can be named.
using HolderLookup = std::function<std::optional<PortHolder>(int port)>;

// One listening socket of the TCP tables, its port in host byte order.
struct TcpListener {
    int port = 0;
    DWORD processId = 0;

    bool operator==(const TcpListener&) const = default;
};

// The rows of an IPv4 or IPv6 owner table that are in the listening state.
std::vector<TcpListener> ListenersIn(const MIB_TCPTABLE_OWNER_PID& table);
std::vector<TcpListener> ListenersIn(const MIB_TCP6TABLE_OWNER_PID& table);

// The IPv4 listeners followed by the IPv6 listeners, as the system reports them now; a table
// that cannot be read contributes nothing.
std::vector<TcpListener> SystemListeners();

// The image file name of a running process; empty for process id 0, a process that has
// ended or does not exist, or one whose name cannot be read.
std::wstring ProcessImageName(DWORD processId);

// The first listener on port, in the given order, whose process can be named.
std::optional<PortHolder> HolderOf(int port, const std::vector<TcpListener>& listeners);

// HolderOf the system's listeners now.
std::optional<PortHolder> FindPortHolder(int port);

// "httpd.exe（PID 1234）".
std::wstring HolderName(const PortHolder& holder);

// text, followed by "\r\n占用程序：" and the holder's name when findHolder names one for port;
// otherwise text unchanged. Ports outside 1..65535 are not looked up.
std::wstring WithHolderLine(const std::wstring& text, int port, const HolderLookup& findHolder);

} // namespace quorports
