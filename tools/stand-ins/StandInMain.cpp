// Entry point of the stand-in httpd.exe and mysqld-nt.exe; the flavour is a compile definition.
#include "ListeningStandIn.h"
#include "ServiceHost.h"
#include "StandInConfig.h"

#include "Files.h"

#include <windows.h>

using quor::standin::Flavour;

namespace {

#if defined(QUOR_STANDIN_APACHE)
constexpr Flavour kFlavour = Flavour::Apache;
constexpr const wchar_t* kDefaultServiceName = L"QUOR_Apache";
#elif defined(QUOR_STANDIN_MYSQL)
constexpr Flavour kFlavour = Flavour::MySql;
constexpr const wchar_t* kDefaultServiceName = L"QUOR_MySQL";
#else
#error "Define QUOR_STANDIN_APACHE or QUOR_STANDIN_MYSQL"
#endif

} // namespace

int wmain(int, wchar_t**) {
    // The C runtime's argv splits an unquoted program path with spaces, as the service manager
    // may pass it, so the arguments are taken from the raw command line.
    const std::wstring program = quor::ModulePath();
    const std::vector<std::wstring> arguments =
        quor::standin::ArgumentsAfterProgram(GetCommandLineW(), program);
    const std::wstring root = quor::standin::InstallationRootOf(program);
    quor::standin::ListeningStandIn server(kFlavour, root);
    if (quor::standin::WantsConsole(arguments)) {
        return quor::standin::RunInConsole(server);
    }
    std::wstring name = quor::standin::ServiceNameFrom(kFlavour, arguments);
    return quor::standin::RunAsService(server, name.empty() ? kDefaultServiceName : name);
}
