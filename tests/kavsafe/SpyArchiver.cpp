// Stands in the archiver's place for the backup tests: records the state of QUOR_MySQL and
// its own argument text in spy.txt beside itself, then runs bi-real.exe from the same folder
// with the same arguments. With QUOR_SPY_FAIL=1 it leaves a partial archive (or, unpacking,
// a partial Data folder) and exits 2.
// QUOR_SPY_EXIT=N runs the real archiver and then exits with N instead of its exit code.
// QUOR_SPY_PROGRESS_STEPS=N first moves the progress counters named by QUOR_PROGRESS to their
// total in N steps 300 ms apart (a total of N when none is set), a slow job to watch.
// "--wait-event NAME" instead waits up to 60 s for the named event: exit 0 when it was set.
// "--hold PATH" holds PATH open the way another program might (a file without any sharing,
// a folder without delete sharing), sets the event QuorSpyHeld and keeps it open until the
// event QuorSpyRelease is set (at most 60 s); "--hold-job" holds KavSafe's job lock so.
#include "Files.h"
#include "Process.h"
#include "Text.h"
#include "UniqueHandle.h"

#include <windows.h>

#include <string>

namespace {

DWORD ServiceState() {
    quor::ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    quor::ScHandle service(
        manager ? OpenServiceW(manager.get(), L"QUOR_MySQL", SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS status{};
    return service && QueryServiceStatus(service.get(), &status) ? status.dwCurrentState : 0;
}

std::wstring Arguments() {
    const wchar_t* p = GetCommandLineW();
    if (*p == L'"') {
        p = wcschr(p + 1, L'"');
        p = p ? p + 1 : L"";
    } else {
        while (*p && *p != L' ') {
            ++p;
        }
    }
    return *p == L' ' ? p + 1 : p;
}

void Append(const std::wstring& path, const std::string& text) {
    quor::FileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file) {
        WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
}

void StepProgress(int steps) {
    wchar_t name[256] = L"";
    if (steps <= 0 || GetEnvironmentVariableW(L"QUOR_PROGRESS", name, 256) == 0) {
        return;
    }
    quor::KernelHandle mapping(OpenFileMappingW(FILE_MAP_WRITE, FALSE, name));
    auto* counters =
        mapping
            ? static_cast<volatile LONG64*>(MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, 16))
            : nullptr;
    if (!counters) {
        return;
    }
    if (counters[1] == 0) {
        counters[1] = steps;
    }
    for (int step = 1; step <= steps; ++step) {
        Sleep(300);
        counters[0] = counters[1] * step / steps;
    }
    UnmapViewOfFile(const_cast<LONG64*>(counters));
}

} // namespace

int wmain() {
    const std::wstring folder = quor::ModuleDirectory();
    const std::wstring arguments = Arguments();
    const std::wstring holdSwitch = L"--hold ";
    if (arguments.rfind(holdSwitch, 0) == 0 || arguments == L"--hold-job") {
        quor::FileHandle file;
        quor::KernelHandle job;
        if (arguments == L"--hold-job") {
            job.reset(CreateMutexW(nullptr, TRUE, L"Global\\QuorKavSafeJob"));
        } else {
            const std::wstring path = arguments.substr(holdSwitch.size());
            const bool folder = quor::DirectoryExists(path);
            file.reset(CreateFileW(path.c_str(), GENERIC_READ,
                                   folder ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        }
        quor::KernelHandle heldEvent(CreateEventW(nullptr, TRUE, FALSE, L"QuorSpyHeld"));
        quor::KernelHandle release(CreateEventW(nullptr, TRUE, FALSE, L"QuorSpyRelease"));
        if ((!file && !job) || !heldEvent || !release) {
            return 1;
        }
        SetEvent(heldEvent.get());
        return WaitForSingleObject(release.get(), 60000) == WAIT_OBJECT_0 ? 0 : 1;
    }
    const std::wstring waitSwitch = L"--wait-event ";
    if (arguments.rfind(waitSwitch, 0) == 0) {
        quor::KernelHandle event(
            OpenEventW(SYNCHRONIZE, FALSE, arguments.substr(waitSwitch.size()).c_str()));
        return event && WaitForSingleObject(event.get(), 60000) == WAIT_OBJECT_0 ? 0 : 1;
    }
    Append(folder + L"\\spy.txt", "service=" + std::to_string(ServiceState()) +
                                      "\nargs=" + quor::ToUtf8(arguments) + "\n");

    wchar_t mode[8] = L"";
    GetEnvironmentVariableW(L"QUOR_SPY_FAIL", mode, 8);
    if (std::wstring(mode) == L"1") {
        // The target is the first quoted argument; an unpack leaves part of a Data folder
        // in the destination, the second quoted argument.
        const size_t open = arguments.find(L'"');
        const size_t close = arguments.find(L'"', open + 1);
        if (arguments.rfind(L"x ", 0) == 0) {
            const size_t destOpen = arguments.find(L'"', close + 1);
            const size_t destClose = arguments.find(L'"', destOpen + 1);
            const std::wstring data =
                arguments.substr(destOpen + 1, destClose - destOpen - 1) + L"\\Data";
            CreateDirectoryW(data.c_str(), nullptr);
            quor::FileHandle part(CreateFileW((data + L"\\ibdata1").c_str(), GENERIC_WRITE, 0,
                                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                              nullptr));
            return 2;
        }
        quor::FileHandle partial(CreateFileW(arguments.substr(open + 1, close - open - 1).c_str(),
                                             GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        WriteFile(partial.get(), "Rar!\x1a\x07\x01\x00", 8, &written, nullptr);
        return 2;
    }

    wchar_t steps[8] = L"";
    if (GetEnvironmentVariableW(L"QUOR_SPY_PROGRESS_STEPS", steps, 8) > 0) {
        StepProgress(_wtoi(steps));
    }
    quor::KernelHandle real = quor::StartHidden(folder + L"\\bi-real.exe", arguments);
    if (!real) {
        return 2;
    }
    WaitForSingleObject(real.get(), INFINITE);
    wchar_t exitCode[8] = L"";
    if (GetEnvironmentVariableW(L"QUOR_SPY_EXIT", exitCode, 8) > 0) {
        return _wtoi(exitCode);
    }
    return static_cast<int>(quor::ExitCodeOf(real.get()).value_or(2));
}
