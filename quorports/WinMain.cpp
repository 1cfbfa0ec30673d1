// QuorPorts' entry point: start-up serves the command line; the window runs until closed.
#include "Files.h"
#include "PortChange.h"
#include "PortReport.h"
#include "Process.h"
#include "frmConfig.h"
#include "modPublic.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    quor::SystemDialogs dialogs;
    // The probe socket and the HTTP client are the program's single instances; the window
    // shares them with the command-line paths.
    quorports::ProbeSocket probe;
    quorports::HttpClient http;
    quorports::AppState state;
    const quorports::StartupContext context{quor::ModuleDirectory(),
                                            quor::ArgumentPart(GetCommandLineW()),
                                            dialogs,
                                            probe,
                                            http,
                                            quorports::OpenInBrowser,
                                            [](DWORD ms) { Sleep(ms); },
                                            quorports::FindPortHolder,
                                            quorports::WriteToCaller};

    const quorports::StartupResult result = quorports::Main(state, context);
    if (result != quorports::StartupResult::ShowWindow) {
        return quorports::ExitCode(result);
    }
    quorports::frmConfig window(state, dialogs, probe, http);
    window.SetApplyPorts([&](quorports::frmConfig& form) {
        if (quorports::ApplyPortChange(state, probe, dialogs, form.Window(), form.ApacheText(),
                                       form.MysqlText()) == quorports::PortChangeResult::Close) {
            form.Close();
        }
    });
    if (!window.Show(instance, showCommand)) {
        return 1;
    }
    quor::RunMessageLoop();
    return 0;
}
