// Port routines of QuorPorts: the probe socket and the rewrite of the configuration files that
// name the Apache or the MySQL port.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "PortSettings.h"

#include "Layout.h"
#include "Text.h"
#include "UniqueHandle.h"

#include <windows.h>

#include <array>
#include <string_view>
#include <vector>

namespace quorports {

namespace {

struct SocketTraits {
    static SOCKET invalid() { return INVALID_SOCKET; }
    static void close(SOCKET s) { closesocket(s); }
};
using SocketHandle = quor::Unique<SocketTraits>;

// The files that name the MySQL port, in the order they are rewritten, and the text in front
// of the port number in each (the two scripts hold the bare digits).
struct MysqlRule {
    const wchar_t* file;
    const wchar_t* prefix;
};
constexpr MysqlRule kMysqlRules[] = {
    {quor::layout::kMyIni, L"port="},
    {L"\\MySQL\\bin\\insdb.bat", L"-P"},
    {L"\\Php\\php.ini", L"mysqli.default_port="},
    {L"\\htdocs\\config.php", L""},
    {L"\\htdocs\\account\\config.php", L""},
};

// Configuration files are a few kilobytes; anything beyond this is not one of them and is
// left alone rather than read whole into memory.
constexpr LONGLONG kMaxFileSize = 64LL * 1024 * 1024;

// Files that are missing, folders, and hidden or system files are not ours to rewrite; a
// read-only file keeps its content because someone protected it on purpose.
constexpr DWORD kSkippedAttributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN |
                                     FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY;

// The ANSI form of a find text, or false when a character has no form in the code page: such
// a text cannot occur in an ANSI file, and a best-fit look-alike or the default char would
// match something else.
bool FindTextToAnsi(std::wstring_view text, std::string& out) {
    const UINT codePage = GetACP();
    if (codePage == CP_UTF8) {
        return quor::ToUtf8(text, out); // UTF-8 has every character but takes no default-char flag
    }
    out = quor::ToAnsi(text);
    BOOL usedDefault = FALSE;
    const int length =
        WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text.data(),
                            static_cast<int>(text.size()), nullptr, 0, nullptr, &usedDefault);
    return length > 0 && !usedDefault;
}

// Matching works on the file's bytes, never on a decoded copy of them: decoding and encoding
// again would turn bytes that are not valid text in the ANSI code page (a UTF-8 comment, a
// stray byte) into other bytes. The scan walks the text character by character the way the
// code page's decoder reads it: a lead byte followed by a byte of the trail range (0x40 and
// above, except 0x7F) is one two-byte character and is stepped over as a unit, so a match
// never starts on its second byte. Within a match, single-byte characters compare with ASCII
// letters folded to one case; two-byte characters, and every other byte, compare exactly. The
// find texts of the rewrite rules are ASCII, for which this is the case-insensitive compare.
class AnsiScanner {
public:
    AnsiScanner() {
        const UINT codePage = GetACP();
        for (int b = 0; b < 256; ++b) {
            m_lead[b] = IsDBCSLeadByteEx(codePage, static_cast<BYTE>(b)) != FALSE;
        }
    }

    // Length in bytes of the character that starts at text[at].
    size_t CharLength(std::string_view text, size_t at) const {
        if (m_lead[Byte(text[at])] && at + 1 < text.size()) {
            const unsigned char trail = Byte(text[at + 1]);
            if (trail >= 0x40 && trail != 0x7F) {
                return 2;
            }
        }
        return 1;
    }

    bool MatchesAt(std::string_view text, size_t at, std::string_view find) const {
        if (text.size() - at < find.size()) {
            return false;
        }
        for (size_t k = 0; k < find.size();) {
            const size_t length = CharLength(find, k);
            if (length == 1 ? Fold(text[at + k]) != Fold(find[k])
                            : text.compare(at + k, length, find.substr(k, length)) != 0) {
                return false;
            }
            k += length;
        }
        return true;
    }

    // Text with every occurrence of find replaced, left to right, the inserted replacement
    // not scanned again; false when nothing matched.
    bool Replace(std::string_view text, std::string_view find, std::string_view replacement,
                 std::string& out) const {
        bool matched = false;
        out.clear();
        out.reserve(text.size());
        for (size_t at = 0; at < text.size();) {
            if (MatchesAt(text, at, find)) {
                out.append(replacement);
                at += find.size();
                matched = true;
            } else {
                const size_t length = CharLength(text, at);
                out.append(text.substr(at, length));
                at += length;
            }
        }
        return matched;
    }

private:
    static unsigned char Byte(char c) { return static_cast<unsigned char>(c); }
    static char Fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

    std::array<bool, 256> m_lead{};
};

bool ReadWhole(const std::wstring& path, std::string& bytes) {
    quor::FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > kMaxFileSize) {
        return false;
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    return bytes.empty() ||
           (ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) &&
            got == bytes.size());
}

// Creates a file beside path that no one else uses and writes bytes into it; its name, or
// empty on failure (nothing is then left behind).
std::wstring WriteTemporaryBeside(const std::wstring& path, const std::string& bytes) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::wstring temporary = path + L".~qp" + std::to_wstring(attempt);
        quor::FileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            if (GetLastError() == ERROR_FILE_EXISTS) {
                continue;
            }
            return {};
        }
        DWORD written = 0;
        const bool ok =
            bytes.empty() || (WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                        &written, nullptr) &&
                              written == bytes.size() && FlushFileBuffers(file.get()));
        file.reset();
        if (ok) {
            return temporary;
        }
        DeleteFileW(temporary.c_str());
        return {};
    }
    return {};
}

// Every ordinary *.url file directly in root, in listing order, as full paths.
std::vector<std::wstring> ShortcutFiles(const std::wstring& root) {
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW found;
    quor::FindHandle find(FindFirstFileExW((root + L"\\*.url").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0));
    if (!find) {
        return files;
    }
    do {
        // Windows also matches "*.url" against 8.3 short names, so "a.urlx" can turn up;
        // only names that really end in ".url" are shortcuts.
        const std::wstring_view name = found.cFileName;
        if ((found.dwFileAttributes &
             (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) ||
            name.size() < 4 || !quor::EqualsNoCase(name.substr(name.size() - 4), L".url")) {
            continue;
        }
        files.push_back(root + L"\\" + found.cFileName);
    } while (FindNextFileW(find.get(), &found));
    return files;
}

} // namespace

ProbeSocket::ProbeSocket() : m_socket(INVALID_SOCKET) {
    WSADATA data;
    m_winsockStarted = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

ProbeSocket::~ProbeSocket() {
    Close();
    if (m_winsockStarted) {
        WSACleanup();
    }
}

void ProbeSocket::Close() {
    SocketHandle(static_cast<SOCKET>(m_socket)).reset();
    m_socket = INVALID_SOCKET;
}

bool ProbeSocket::PortFree(int port) {
    Close();
    // Ports outside the TCP range are unusable; casting them would wrap into another port
    // (65536 into 0, which the system answers with any free port).
    if (!m_winsockStarted || port < 1 || port > 65535) {
        return false;
    }
    SocketHandle probe(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!probe) {
        return false;
    }
    // Exclusive use makes the bind fail on a port that another socket holds, also when that
    // socket allowed address reuse; without it such a port would be reported free.
    const BOOL exclusive = TRUE;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<u_short>(port));
    if (setsockopt(probe.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                   reinterpret_cast<const char*>(&exclusive), sizeof(exclusive)) != 0 ||
        bind(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(probe.get(), SOMAXCONN) != 0) {
        return false;
    }
    m_socket = probe.release();
    return true;
}

std::wstring ProbeSocket::LocalIp() const {
    char host[256] = {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    std::wstring ip = L"127.0.0.1";
    if (m_winsockStarted && gethostname(host, sizeof(host)) == 0 &&
        getaddrinfo(host, nullptr, &hints, &found) == 0) {
        char text[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
        if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof(text)) != nullptr) {
            ip = quor::FromAnsi(text);
        }
        freeaddrinfo(found);
    }
    return ip;
}

void ReplaceInFile(const std::wstring& path, const std::wstring& find,
                   const std::wstring& replacement) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    std::string findBytes, text, result;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kSkippedAttributes) ||
        find.empty() || !FindTextToAnsi(find, findBytes) || !ReadWhole(path, text)) {
        return;
    }
    // Characters of the replacement that the code page lacks become its default char.
    if (!AnsiScanner().Replace(text, findBytes, quor::ToAnsi(replacement), result)) {
        return; // nothing matched: the file is not touched at all
    }
    // The original is replaced by a finished copy in one rename, so a failure at any step
    // leaves it as it was. The copy takes the original's attributes before the rename.
    const std::wstring temporary = WriteTemporaryBeside(path, result);
    if (temporary.empty()) {
        return;
    }
    if (!SetFileAttributesW(temporary.c_str(), attributes) ||
        !MoveFileExW(temporary.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temporary.c_str());
    }
}

std::wstring BaseAddress(int port) {
    return port == 80 ? L"http://localhost/" : L"http://localhost:" + std::to_wstring(port) + L"/";
}

void ChangeApachePort(const std::wstring& root, int oldPort, int newPort, bool skipHttpdConf) {
    if (oldPort == newPort) {
        return;
    }
    const std::wstring oldAddress = BaseAddress(oldPort);
    const std::wstring newAddress = BaseAddress(newPort);
    if (!skipHttpdConf) {
        // The line break belongs to the find text: "Listen 80" must not match "Listen 8080".
        const std::wstring conf = root + quor::layout::kHttpdConf;
        const std::wstring oldText = std::to_wstring(oldPort) + L"\r\n";
        const std::wstring newText = std::to_wstring(newPort) + L"\r\n";
        ReplaceInFile(conf, L"Listen " + oldText, L"Listen " + newText);
        ReplaceInFile(conf, L"ServerName *:" + oldText, L"ServerName *:" + newText);
    }
    // The list is complete before the first rewrite: a rewrite renames a new file into the
    // folder, which an enumeration still in progress might report again.
    for (const std::wstring& shortcut : ShortcutFiles(root)) {
        ReplaceInFile(shortcut, oldAddress, newAddress);
        // Shortcuts still on the default address follow a move between two other ports.
        if (oldPort != 80 && newPort != 80) {
            ReplaceInFile(shortcut, BaseAddress(80), newAddress);
        }
    }
}

void ChangeMysqlPort(const std::wstring& root, int oldPort, int newPort) {
    if (oldPort == newPort) {
        return;
    }
    const std::wstring oldText = std::to_wstring(oldPort);
    const std::wstring newText = std::to_wstring(newPort);
    for (const MysqlRule& rule : kMysqlRules) {
        ReplaceInFile(root + rule.file, rule.prefix + oldText, rule.prefix + newText);
    }
}

} // namespace quorports
