// The text report of the configured ports ("-ports") and its way to the caller.
#pragma once

#include "PortHolders.h"
#include "modPublic.h"

#include <string>

namespace quorports {

// One line per service, CR LF after each: "Apache 80：空闲", "Apache 80：被 httpd.exe（PID 1234）
// 占用" or "Apache 80：已被占用（占用程序未知）", then the same for MySQL. A port is free when the
// probe can listen on it; the probe holds no port afterwards.
std::wstring PortReport(const AppState& state, ProbeSocket& probe, const HolderLookup& findHolder);

// Writes text to the standard output the caller gave: a console in UTF-16, a file or pipe in
// the ANSI code page. Without one it writes to the parent's console, if there is one.
void WriteToCaller(const std::wstring& text);

} // namespace quorports
