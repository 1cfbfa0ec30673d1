// Entry point of mysqld-real.exe, installed as <root>\MySQL\bin\mysqld-nt.exe where a real
// MariaDB server should stand behind the MySQL service.
#include "RealMySqlServer.h"
#include "ServiceHost.h"
#include "StandInConfig.h"

#include "Files.h"
#include "Layout.h"

#include <windows.h>

int wmain(int, wchar_t**) {
    using namespace quor::standin;
    // The C runtime's argv splits an unquoted program path with spaces, as the service manager
    // may pass it, so the arguments are taken from the raw command line.
    const std::wstring program = quor::ModulePath();
    const std::vector<std::wstring> arguments = ArgumentsAfterProgram(GetCommandLineW(), program);
    RealMySqlServer server(InstallationRootOf(program));
    if (WantsConsole(arguments)) {
        return RunInConsole(server);
    }
    const std::wstring name = ServiceNameFrom(Flavour::MySql, arguments);
    return RunAsService(server, name.empty() ? quor::layout::kMysqlService : name);
}
