// QuorPorts' entry point: start-up serves the command line; the window runs until closed.
#include "Files.h"
#include "PortChange.h"
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
                                            [](DWORD ms) { Sleep(ms); }};

    if (quorports::Main(state, context) != quorports::StartupResult::ShowWindow) {
        return 0;
    }
    quorports::frmConfig window(state, dialogs, probe, http);
    window.SetApplyPorts([&](quorports::frmConfig& form) {
        if (quorports::ApplyPortChange(state, probe, dialogs, form.Window(), form.ApacheText(),
                                       form.MysqlText()) == quorports::PortChangeResult::Close) {
            form.Close();
        }
    });
    if (!window.Show(instance, showCommand)) {
        return 0;
    }
    quor::RunMessageLoop();
    return 0;
}
