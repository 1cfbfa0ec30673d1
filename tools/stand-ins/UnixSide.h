// The Linux side of a program run by Wine: Unix paths, Linux programs started through
// /bin/sh, and watching and signalling Linux processes through /proc.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quor::standin {

// The Unix path of a Windows path, through Wine's wine_get_unix_file_name (kernel32). The
// folder holding the last component must exist. nullopt outside Wine or when it fails.
std::optional<std::wstring> UnixPath(const std::wstring& windowsPath);

// The Windows path of a Unix path through drive Z:, Wine's view of "/".
std::wstring ZDrivePath(std::wstring_view unixPath);

// One argument quoted so that the platform's command-line splitting (the rules of
// CommandLineToArgvW, which Wine also applies to a Linux program's argv) gives it back
// exactly: quotes only when needed, backslashes doubled only before a quote.
std::wstring QuoteArgument(std::wstring_view argument);

// Starts "/bin/sh -c script arguments..." (the first argument becomes $0) and lets it run on
// its own. True when the shell was started.
bool StartShell(std::wstring_view script, const std::vector<std::wstring>& arguments);

// True while Linux process pid exists and has not ended; a zombie has ended.
bool UnixProcessAlive(unsigned pid);

// True when Linux process pid lives and one of its command-line arguments is exactly
// argument.
bool UnixProcessHasArgument(unsigned pid, std::wstring_view argument);

// Sends a signal ("TERM", "KILL") to Linux process pid; true when the shell that sends it
// was started.
bool SendSignal(unsigned pid, std::wstring_view signal);

// A process id written as decimal digits and a line break, as shells and servers write pid
// files; nullopt when the text is not (or not yet completely) such a line.
std::optional<unsigned> ParsePidLine(std::string_view text);

// The process id held in a pid file; nullopt when it is missing or incomplete.
std::optional<unsigned> ReadPidFile(const std::wstring& path);

// The Linux user the process runs as, for programs that need it named: the USER variable,
// else "root".
std::wstring UnixUser();

} // namespace quor::standin
