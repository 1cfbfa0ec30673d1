// The port change that the configuration window's OK button applies.
#pragma once

#include "modPublic.h"

#include <functional>
#include <string>

namespace quorports {

enum class PortChangeResult { KeepOpen, Close };

// Runs "net stop NAME" or "net start NAME" with a hidden window and waits for it.
using NetCommand = std::function<void(const std::wstring& verb, const wchar_t* service)>;
void RunNetAndWait(const std::wstring& verb, const wchar_t* service);

// True for a text the number test accepts: blanks around an optional sign, digits with an
// optional decimal point, an optional exponent.
bool IsNumber(const std::wstring& text);

// Checks the two port texts, asks, and applies each changed port: stop the service, probe the
// new port, store it, rewrite the configuration files, start the service. Reports the result
// in one message; a port that is taken is reported with its holder when findHolder names one.
// Close when the window is to close (nothing changed, or all applied).
PortChangeResult ApplyPortChange(AppState& state, ProbeSocket& probe, quor::Dialogs& dialogs,
                                 HWND owner, const std::wstring& apacheText,
                                 const std::wstring& mysqlText,
                                 const NetCommand& net = RunNetAndWait,
                                 const HolderLookup& findHolder = FindPortHolder);

} // namespace quorports
