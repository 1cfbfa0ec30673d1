// Where the real MySQL server of an installation root finds its data, keeps its run files,
// and the command line it is started with.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quor::standin {

// The Linux server program, started through drive Z:.
inline constexpr wchar_t kServerProgram[] = L"/usr/sbin/mariadbd";

// Unix sockets take a path of at most this many bytes (sun_path holds 108 with its zero).
inline constexpr size_t kMaxSocketPath = 107;

// The data directory: DataPath of section QuorKAV of <root>\settings.ini when it is set,
// else <root>\Data when that exists, else <root>\MySQL\Data (KavSafe's rule).
std::wstring DataDirectoryOf(const std::wstring& root);

// <root>\MySQL\run: the server's socket, pid files, temporary files and error log.
std::wstring RunFolderOf(const std::wstring& root);

// The Windows paths of the run files in runFolder.
struct RunFiles {
    std::wstring errorLog;   // mysqld.err: the server's error log, and this program's lines
    std::wstring pidFile;    // mysqld.pid: written by the server once it listens
    std::wstring launchFile; // launch.pid: the process id, written before the server starts
};
RunFiles RunFilesIn(const std::wstring& runFolder);

// The socket path: mysqld.sock in the run folder when its UTF-8 form fits a Unix socket
// address, else mysqld.sock in /tmp/quor-mysqld-<port>, a folder short enough for any root.
std::wstring SocketPathFor(std::wstring_view unixRunFolder, unsigned short port);

// What the server's command line names, all in Unix form.
struct ServerSetup {
    std::wstring user;
    std::wstring dataDir;
    std::wstring socket;
    std::wstring pidFile;
    std::wstring errorLog;
    unsigned short port = 0;
};

// The server's arguments: no option files, the given user, data directory, 127.0.0.1:port,
// run files, utf8mb4 with utf8mb4_unicode_ci, a modest buffer pool. The temporary folder
// (the run folder) is added by the launching shell, which resolves its path.
std::vector<std::wstring> ServerArguments(const ServerSetup& setup);

} // namespace quor::standin
