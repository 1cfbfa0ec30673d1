// Service control layer of QuorPorts: the configurator's only way to the Service Control Manager.
// Every call opens the local SCM and the service, does one thing, closes both and reports a
// number: 0 for success, otherwise the Windows error code of the call that failed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace quorports {

// The service's current state (SERVICE_STOPPED 1 ... SERVICE_PAUSED 7); 0 when it cannot be read,
// for example because the service is not installed.
std::int32_t GetSvcState(const std::wstring& name);

// 0 when the service's configuration can be read, i.e. it is installed; else the error code
// (ERROR_SERVICE_DOES_NOT_EXIST for a service that is not installed).
std::int32_t CheckSvcConfig(const std::wstring& name);

// Registers an auto-start own-process service with the command line exactly as given (no quotes
// are added) under the account NormaliseAccount makes of account, then sets the description
// best-effort. 0 or the error code of the SCM open or of CreateServiceW.
std::int32_t InstallSvc(const std::wstring& name, const std::wstring& displayName,
                        const std::wstring& commandLine, const std::wstring& description,
                        const std::wstring& account, const std::wstring& password);

// Sends the stop control (its outcome ignored) and deletes the service without waiting for it to
// stop. 0 or the error code of the open or of the delete.
std::int32_t RemoveSvc(const std::wstring& name);

// Asks the SCM to start the service without arguments; 0 once the request is accepted.
std::int32_t StartSvc(const std::wstring& name);

// Sends the stop control; 0 once the control is accepted.
std::int32_t StopSvc(const std::wstring& name);

// The current user's logon domain; empty when it cannot be read.
std::wstring GetLogonDomain();

// The account a service is installed under: empty means "LocalSystem"; "LocalSystem" (exactly
// that case) and names holding a backslash stay as they are; any other name is qualified as
// domain\name with the domain logonDomain() returns, or "." when that is empty. logonDomain is
// called only for names that need qualifying.
std::wstring NormaliseAccount(const std::wstring& account,
                              const std::function<std::wstring()>& logonDomain);

} // namespace quorports
