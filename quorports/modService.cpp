// Service control layer of QuorPorts over the Windows Service Control Manager.
#include "modService.h"

#include "UniqueHandle.h"

#include <lm.h>

#include <vector>

namespace quorports {

namespace {

using quor::ScHandle;

constexpr wchar_t kLocalSystem[] = L"LocalSystem";

// QUERY_SERVICE_CONFIGW's fixed part on 32-bit Windows. The configuration buffer is counted in
// whole records of this size, so the first query is too small for any real configuration and
// the second one gets what the SCM reported as needed, rounded up to the next record.
constexpr DWORD kConfigRecordBytes = 36;

std::int32_t LastError() {
    return static_cast<std::int32_t>(GetLastError());
}

// 0 when the call succeeded, else the error code it left; the code is read before anything else
// can run.
std::int32_t Result(BOOL succeeded) {
    return succeeded ? 0 : LastError();
}

// The frame of every operation on an existing service: open the local SCM and the service,
// run action on the service handle and return its result, or the error code of the open that
// failed. The service owner is declared after the SCM owner, so the service handle is closed
// first; the result is computed before either closes.
template <typename Action>
std::int32_t WithService(const std::wstring& name, DWORD access, Action action) {
    const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return LastError();
    }
    const ScHandle service(OpenServiceW(manager.get(), name.c_str(), access));
    if (!service) {
        return LastError();
    }
    return action(service.get());
}

// A buffer of whole configuration records, aligned for the pointers QUERY_SERVICE_CONFIGW holds.
std::vector<std::uint64_t> ConfigRecords(DWORD records) {
    const std::size_t bytes = std::size_t{records} * kConfigRecordBytes;
    return std::vector<std::uint64_t>((bytes + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
}

std::int32_t QueryConfig(SC_HANDLE service, std::vector<std::uint64_t>& buffer, DWORD records,
                         DWORD& needed) {
    buffer = ConfigRecords(records);
    return Result(QueryServiceConfigW(service,
                                      reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                      records * kConfigRecordBytes, &needed));
}

// Owns a buffer the network management functions allocated.
struct NetBufferTraits {
    static void* invalid() { return nullptr; }
    static void close(void* buffer) { NetApiBufferFree(buffer); }
};
using NetBuffer = quor::Unique<NetBufferTraits>;

} // namespace

std::int32_t GetSvcState(const std::wstring& name) {
    // A service that cannot be opened has no state; the open's error code is not a state.
    std::int32_t state = 0;
    WithService(name, SERVICE_QUERY_STATUS, [&state](SC_HANDLE service) {
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service, &status)) {
            state = static_cast<std::int32_t>(status.dwCurrentState);
        }
        return 0;
    });
    return state;
}

std::int32_t CheckSvcConfig(const std::wstring& name) {
    return WithService(name, SERVICE_QUERY_CONFIG, [](SC_HANDLE service) {
        std::vector<std::uint64_t> buffer;
        DWORD needed = 0;
        const std::int32_t first = QueryConfig(service, buffer, 1, needed);
        if (first != ERROR_INSUFFICIENT_BUFFER) {
            return first;
        }
        return QueryConfig(service, buffer, needed / kConfigRecordBytes + 1, needed);
    });
}

std::int32_t InstallSvc(const std::wstring& name, const std::wstring& displayName,
                        const std::wstring& commandLine, const std::wstring& description,
                        const std::wstring& account, const std::wstring& password) {
    const std::wstring startName = NormaliseAccount(account, GetLogonDomain);
    const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        return LastError();
    }
    // The command line goes in exactly as the caller composed it; quoting is the caller's choice.
    const ScHandle service(CreateServiceW(
        manager.get(), name.c_str(), displayName.c_str(), SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, commandLine.c_str(),
        nullptr, nullptr, nullptr, startName.c_str(), password.c_str()));
    if (!service) {
        return LastError();
    }
    // A service without its description still works, so a failure here is not reported.
    std::wstring text = description;
    SERVICE_DESCRIPTIONW info{text.data()};
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &info);
    return 0;
}

std::int32_t RemoveSvc(const std::wstring& name) {
    return WithService(name, SERVICE_ALL_ACCESS, [](SC_HANDLE service) {
        // A stopped service refuses the control; only the delete decides the result. The SCM
        // drops the service once it has stopped and the last handle to it is closed.
        SERVICE_STATUS status{};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        return Result(DeleteService(service));
    });
}

std::int32_t StartSvc(const std::wstring& name) {
    return WithService(name, SERVICE_START, [](SC_HANDLE service) {
        return Result(StartServiceW(service, 0, nullptr));
    });
}

std::int32_t StopSvc(const std::wstring& name) {
    return WithService(name, SERVICE_STOP, [](SC_HANDLE service) {
        SERVICE_STATUS status{};
        return Result(ControlService(service, SERVICE_CONTROL_STOP, &status));
    });
}

std::wstring GetLogonDomain() {
    NetBuffer buffer;
    if (NetWkstaUserGetInfo(nullptr, 1, reinterpret_cast<LPBYTE*>(buffer.put())) != NERR_Success ||
        !buffer) {
        return {};
    }
    const auto* info = static_cast<const WKSTA_USER_INFO_1*>(buffer.get());
    return info->wkui1_logon_domain ? std::wstring(info->wkui1_logon_domain) : std::wstring();
}

std::wstring NormaliseAccount(const std::wstring& account,
                              const std::function<std::wstring()>& logonDomain) {
    const std::wstring name = account.empty() ? std::wstring(kLocalSystem) : account;
    if (name == kLocalSystem || name.find(L'\\') != std::wstring::npos) {
        return name;
    }
    const std::wstring domain = logonDomain();
    return (domain.empty() ? std::wstring(L".") : domain) + L"\\" + name;
}

} // namespace quorports
