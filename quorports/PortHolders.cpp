// Who holds a TCP port: the listening rows of the system's TCP tables with their owning
// processes, and those processes' image names.
#include "PortHolders.h"

#include "UniqueHandle.h"

#include <tlhelp32.h>

namespace quorports {

namespace {

constexpr int kMaxTcpPort = 65535;
// Long enough for any path the platform can report, long-path prefix included.
constexpr DWORD kMaxImagePath = 32768;

// Both owner-table rows keep the port in network byte order in the low 16 bits.
int HostPort(DWORD tablePort) {
    return ntohs(static_cast<u_short>(tablePort & 0xFFFF));
}

template <typename Table> std::vector<TcpListener> Listeners(const Table& table) {
    std::vector<TcpListener> listeners;
    for (DWORD i = 0; i < table.dwNumEntries; ++i) {
        const auto& row = table.table[i];
        if (row.dwState == MIB_TCP_STATE_LISTEN) {
            listeners.push_back({HostPort(row.dwLocalPort), row.dwOwningPid});
        }
    }
    return listeners;
}

template <typename Table> std::vector<TcpListener> ReadTable(ULONG family) {
    // DWORD elements give the buffer the alignment of the table's rows.
    std::vector<DWORD> buffer;
    DWORD size = 0;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    // The table can grow between the size query and the read; a few tries settle it.
    for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buffer.resize(size / sizeof(DWORD) + 1);
        size = static_cast<DWORD>(buffer.size() * sizeof(DWORD));
        result = GetExtendedTcpTable(buffer.data(), &size, FALSE, family,
                                     TCP_TABLE_OWNER_PID_LISTENER, 0);
    }
    if (result != NO_ERROR) {
        return {};
    }
    return ListenersIn(*reinterpret_cast<const Table*>(buffer.data()));
}

std::wstring FileNameOf(const std::wstring& path) {
    const size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

// The process list names every running process without opening it.
std::wstring SnapshotName(DWORD processId) {
    // A snapshot, like a file, fails with INVALID_HANDLE_VALUE and is closed with CloseHandle.
    quor::FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return {};
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == processId) {
            return FileNameOf(entry.szExeFile);
        }
    }
    return {};
}

} // namespace

std::vector<TcpListener> ListenersIn(const MIB_TCPTABLE_OWNER_PID& table) {
    return Listeners(table);
}

std::vector<TcpListener> ListenersIn(const MIB_TCP6TABLE_OWNER_PID& table) {
    return Listeners(table);
}

std::vector<TcpListener> SystemListeners() {
    std::vector<TcpListener> listeners = ReadTable<MIB_TCPTABLE_OWNER_PID>(AF_INET);
    const std::vector<TcpListener> v6 = ReadTable<MIB_TCP6TABLE_OWNER_PID>(AF_INET6);
    listeners.insert(listeners.end(), v6.begin(), v6.end());
    return listeners;
}

std::wstring ProcessImageName(DWORD processId) {
    // Id 0 is the idle process, never a holder; Wine reports it for every listener.
    if (processId == 0) {
        return {};
    }
    quor::KernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (process) {
        // An open handle elsewhere keeps an ended process's id alive; it holds no port.
        DWORD exitCode = 0;
        if (!GetExitCodeProcess(process.get(), &exitCode) || exitCode != STILL_ACTIVE) {
            return {};
        }
        std::wstring path(kMaxImagePath, L'\0');
        DWORD size = kMaxImagePath;
        if (QueryFullProcessImageNameW(process.get(), 0, path.data(), &size)) {
            path.resize(size);
            return FileNameOf(path);
        }
    }
    // Processes that may not be opened, such as the System process that owns the ports of
    // the kernel's HTTP server, are still named by the process list.
    return SnapshotName(processId);
}

std::optional<PortHolder> HolderOf(int port, const std::vector<TcpListener>& listeners) {
    for (const TcpListener& listener : listeners) {
        if (listener.port != port) {
            continue;
        }
        std::wstring name = ProcessImageName(listener.processId);
        if (!name.empty()) {
            return PortHolder{std::move(name), listener.processId};
        }
    }
    return std::nullopt;
}

std::optional<PortHolder> FindPortHolder(int port) {
    return HolderOf(port, SystemListeners());
}

std::wstring HolderName(const PortHolder& holder) {
    return holder.imageName + L"（PID " + std::to_wstring(holder.processId) + L"）";
}

std::wstring WithHolderLine(const std::wstring& text, int port, const HolderLookup& findHolder) {
    if (!findHolder || port < 1 || port > kMaxTcpPort) {
        return text;
    }
    const std::optional<PortHolder> holder = findHolder(port);
    return holder ? text + L"\r\n占用程序：" + HolderName(*holder) : text;
}

} // namespace quorports
