// Where the real MySQL server finds its data and run files, and its command line.
#include "RealServerConfig.h"

#include "Files.h"
#include "Layout.h"
#include "Text.h"
#include "clsINI.h"

namespace quor::standin {

namespace {

// Room for any Windows path in its ANSI form, as KavSafe reads the same value.
constexpr int32_t kPathValueSize = 65536;

} // namespace

std::wstring DataDirectoryOf(const std::wstring& root) {
    clsINI settings;
    settings.IniName(root + layout::kSettingsFile);
    std::wstring dataDir =
        settings.ReadString(layout::kSettingsSection, L"DataPath", kPathValueSize, L"");
    if (!dataDir.empty()) {
        return dataDir;
    }
    dataDir = root + layout::kDataFolder;
    return PathExists(dataDir) ? dataDir : root + layout::kMysqlDataFolder;
}

std::wstring RunFolderOf(const std::wstring& root) {
    return root + L"\\MySQL\\run";
}

RunFiles RunFilesIn(const std::wstring& runFolder) {
    return {runFolder + L"\\mysqld.err", runFolder + L"\\mysqld.pid", runFolder + L"\\launch.pid"};
}

std::wstring SocketPathFor(std::wstring_view unixRunFolder, unsigned short port) {
    std::wstring socket = std::wstring(unixRunFolder) + L"/mysqld.sock";
    if (ToUtf8(socket).size() <= kMaxSocketPath) {
        return socket;
    }
    return L"/tmp/quor-mysqld-" + std::to_wstring(port) + L"/mysqld.sock";
}

std::vector<std::wstring> ServerArguments(const ServerSetup& setup) {
    // --no-defaults must come first: the server reads no option file, my.ini included.
    return {L"--no-defaults",
            L"--user=" + setup.user,
            L"--datadir=" + setup.dataDir,
            L"--port=" + std::to_wstring(setup.port),
            L"--bind-address=127.0.0.1",
            L"--socket=" + setup.socket,
            L"--pid-file=" + setup.pidFile,
            L"--log-error=" + setup.errorLog,
            L"--innodb-buffer-pool-size=128M",
            L"--character-set-server=utf8mb4",
            L"--collation-server=utf8mb4_unicode_ci"};
}

} // namespace quor::standin
