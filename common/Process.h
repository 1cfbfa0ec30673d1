// Starting child processes: the one place where a command line is put together.
#pragma once

#include "UniqueHandle.h"

#include <optional>
#include <string>

namespace quor {

// Starts program with a hidden window. The command line is the program path in quotes,
// so that a path with spaces cannot be split, followed by one space and arguments exactly
// as the caller composed them. Returns the process handle, or an empty handle when the
// process could not be started.
KernelHandle StartHidden(const std::wstring& program, const std::wstring& arguments);

// Starts program the way StartHidden does and lets it run on its own. True when it was
// started. Under Wine this also starts Linux programs (a path on drive Z:), for which the
// platform hands back no process handle that follows the program.
bool StartDetached(const std::wstring& program, const std::wstring& arguments);

// Full path of a program in the system folder, such as net.exe.
std::wstring SystemProgram(const std::wstring& fileName);

// The argument part of a full command line: what follows the program name and the blanks
// after it, as the platform delivered it (quotes inside the arguments are kept).
std::wstring ArgumentPart(const wchar_t* commandLine);

// Exit code of a process that has ended; nullopt when it cannot be read.
std::optional<DWORD> ExitCodeOf(HANDLE process);

} // namespace quor
