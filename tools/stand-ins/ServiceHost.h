// Runs a stand-in the two ways it can be started: by the service manager, or from a console.
#pragma once

#include "StandInConfig.h"

#include <string>

namespace quor::standin {

// Hands the process to the service control dispatcher under serviceName. The service listens
// on the configured port and reports RUNNING, or reports STOPPED with ERROR_SERVICE_SPECIFIC_ERROR
// and the Winsock error as its service-specific code when the port cannot be listened on.
// Returns the process exit code: 0, or 1 when the process was not started as a service.
int RunAsService(Flavour flavour, const std::wstring& serviceName, const std::wstring& root);

// Listens in the foreground until Ctrl+C or Ctrl+Break. Returns 0, or 1 when the port cannot
// be listened on.
int RunInConsole(Flavour flavour, const std::wstring& root);

} // namespace quor::standin
