// KavSafe's entry point: start-up decides the mode; the window runs until it is closed.
#include "Files.h"
#include "Process.h"
#include "InstanceIndicator.h"
#include "frmKavSafe.h"
#include "modPublic.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    const kavsafe::InstanceIndicator instances(quor::ModulePath());
    quor::SystemDialogs dialogs;
    kavsafe::AppState state;
    const kavsafe::StartupContext context{quor::ModuleDirectory(),
                                          quor::ArgumentPart(GetCommandLineW()), dialogs,
                                          [&instances] { return instances.AnotherRunning(); }};

    const kavsafe::StartupResult result = kavsafe::Main(state, context);
    if (result != kavsafe::StartupResult::ShowWindow) {
        return kavsafe::ExitCode(result);
    }
    kavsafe::frmKavSafe window(state, dialogs);
    if (!window.Show(instance, showCommand)) {
        return 1;
    }
    quor::RunMessageLoop(window.Window());
    return 0;
}
