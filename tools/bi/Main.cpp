// bi.exe: the installation's console archiver with RAR command syntax.
#include "CommandLine.h"
#include "Commands.h"
#include "Console.h"
#include "SharedProgress.h"

#include <windows.h>
#include <shellapi.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

struct LocalFreeDeleter {
    void operator()(wchar_t** p) const { LocalFree(p); }
};

// The arguments split exactly as CommandLineToArgvW splits them (the runtime's own splitting
// differs in corner cases of quotes and backslashes), without the program name.
std::vector<std::wstring> Arguments() {
    int count = 0;
    std::unique_ptr<wchar_t*, LocalFreeDeleter> argv(CommandLineToArgvW(GetCommandLineW(), &count));
    std::vector<std::wstring> arguments;
    for (int i = 1; argv && i < count; ++i) {
        arguments.emplace_back(argv.get()[i]);
    }
    return arguments;
}

} // namespace

int wmain(int, wchar_t**) {
    try {
        bi::CommandLine commandLine;
        const bi::Status parsed = bi::ParseCommandLine(Arguments(), commandLine);
        const bi::Console console(commandLine.quiet);
        if (!parsed.ok()) {
            console.Error(parsed.Describe());
            return static_cast<int>(parsed.exitCode());
        }
        bi::progress::Open();
        return static_cast<int>(bi::RunCommand(commandLine, console));
    } catch (const std::bad_alloc&) {
        return static_cast<int>(bi::ExitCode::OutOfMemory);
    }
}
