// The port routines on real files in a temporary installation root, and the probe socket on
// real loopback ports. Texts are code page 936 bytes (the tests run with LANG=zh_CN.UTF-8).
#include <winsock2.h>
#include <ws2tcpip.h>

#include "PortSettings.h"

#include "Files.h"
#include "TestSupport.h"
#include "Text.h"
#include "UniqueHandle.h"

#include <gtest/gtest.h>

using namespace quorports;
using quor::test::MakeDirs;
using quor::test::ReadBytes;
using quor::test::Snapshot;
using quor::test::TempDir;
using quor::test::WriteBytes;

namespace {

// Writes a file below root, creating its folders.
void Put(const TempDir& root, const std::wstring& relative, const std::string& bytes) {
    ASSERT_TRUE(MakeDirs(quor::ParentPath(root / relative)));
    ASSERT_TRUE(WriteBytes(root / relative, bytes));
}

std::string Get(const TempDir& root, const std::wstring& relative) {
    return ReadBytes(root / relative).value_or("<missing>");
}

// Sets the last-write time to a fixed day in 2001, so an unchanged time proves no rewrite.
void BackDate(const std::wstring& path) {
    const FILETIME old{0xD53E8000, 0x01C0A1A3};
    quor::FileHandle file(
        CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file && SetFileTime(file.get(), nullptr, nullptr, &old));
}

} // namespace

TEST(ReplaceInFileTest, MatchingRules) {
    const struct {
        const char* what;
        std::string before;
        const wchar_t* find;
        const wchar_t* replacement;
        std::string after;
    } cases[] = {
        {"letters in any case, every occurrence", "PORT=3306\r\n[client]\r\nPort=3306",
         L"port=3306", L"port=3316", "port=3316\r\n[client]\r\nport=3316"},
        {"inserted text not scanned again", "aAa", L"a", L"aa", "aaaaaa"},
        {"no match from the second byte of a two-byte character",
         "\xb0Listen 80\r\n\xb0\xa1Listen 80\r\n", L"Listen 80\r\n", L"Listen 90\r\n",
         "\xb0Listen 80\r\n\xb0\xa1Listen 90\r\n"},
        {"replacement in the ANSI code page", "Root \"{APPPATH}/htdocs\" {apppath}", L"{APPPATH}",
         L"D:\\服务器",
         "Root \"D:\\\xb7\xfe\xce\xf1\xc6\xf7/htdocs\" D:\\\xb7\xfe\xce\xf1\xc6\xf7"},
        {"two-byte find text", "\xb6\xcb\xbf\xda=1 \xb6\xcb", L"端口", L"port", "port=1 \xb6\xcb"},
        {"bytes that are no text in the code page stay as they were",
         "; 端口 UTF-8 注释\r\n; \xb6\xcb\xbf\xda\r\n\x80\xff mysqli.default_port=3306\r\n\xb0",
         L"mysqli.default_port=3306", L"mysqli.default_port=3316",
         "; 端口 UTF-8 注释\r\n; \xb6\xcb\xbf\xda\r\n\x80\xff mysqli.default_port=3316\r\n\xb0"},
    };
    TempDir dir;
    const std::wstring path = dir / L"file.ini";
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteBytes(path, c.before));
        // Wine keeps neither attribute (it reports ARCHIVE for every file); Windows keeps both.
        SetFileAttributesW(path.c_str(),
                           FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
        const DWORD attributes = GetFileAttributesW(path.c_str());
        ReplaceInFile(path, c.find, c.replacement);
        EXPECT_EQ(ReadBytes(path).value_or(""), c.after) << c.what;
        EXPECT_EQ(GetFileAttributesW(path.c_str()), attributes) << c.what;
    }
    EXPECT_EQ(Snapshot(dir.path()).size(), 1u) << "a temporary file was left behind";
}

TEST(ReplaceInFileTest, FilesNotRewrittenStayByteForByte) {
    TempDir dir;
    const std::wstring path = dir / L"my.ini";
    ASSERT_TRUE(WriteBytes(path, "; 中文 UTF-8\r\n\xb6\xcb\xbf\xda\x80 port=3306"));
    ASSERT_TRUE(CreateDirectoryW((dir / L"folder.ini").c_str(), nullptr));
    BackDate(path);
    const auto before = Snapshot(dir.path()); // content, write time, attributes, no extra file

    ReplaceInFile(path, L"port=3307", L"port=3316");
    EXPECT_EQ(Snapshot(dir.path()), before) << "nothing matched";
    ReplaceInFile(dir / L"missing.ini", L"a", L"b");
    ReplaceInFile(dir / L"folder.ini", L"a", L"b");
    EXPECT_EQ(Snapshot(dir.path()), before) << "no file";

    // The routine itself refuses read-only files: under Wine as root the attribute alone
    // would not stop a write.
    for (const DWORD attribute :
         {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM}) {
        ASSERT_TRUE(SetFileAttributesW(path.c_str(), attribute));
        const auto marked = Snapshot(dir.path());
        ReplaceInFile(path, L"port=3306", L"port=3316");
        EXPECT_EQ(Snapshot(dir.path()), marked) << attribute;
        ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL));
    }

    // Held open by another: without sharing it cannot be read; with read sharing it can be
    // read but not replaced, and the finished copy beside it is removed again.
    for (const DWORD share : {0UL, static_cast<DWORD>(FILE_SHARE_READ)}) {
        quor::FileHandle holder(
            CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        ReplaceInFile(path, L"port=3306", L"port=3316");
        holder.reset();
        EXPECT_EQ(Snapshot(dir.path()), before) << share;
    }
}

TEST(ChangeMysqlPortTest, RewritesEachFileByItsRule) {
    TempDir root;
    Put(root, L"MySQL\\my.ini",
        "[mysqld]\r\nport=3306\r\n[client]\r\nPORT=33060\r\nport = 3306\r\n");
    Put(root, L"MySQL\\bin\\insdb.bat", "mysql -P3306 -uroot\r\nmysql -p3306\r\nmysql -P 3306\r\n");
    Put(root, L"Php\\php.ini", "mysqli.default_port=3306\r\nmysql.default_port=3306\r\n");
    Put(root, L"htdocs\\config.php", "$port = 3306; $id = 13306;");
    Put(root, L"htdocs\\account\\config.php", "'localhost:3306'");
    ChangeMysqlPort(root.path(), 3306, 3316);
    EXPECT_EQ(Get(root, L"MySQL\\my.ini"),
              "[mysqld]\r\nport=3316\r\n[client]\r\nport=33160\r\nport = 3306\r\n");
    EXPECT_EQ(Get(root, L"MySQL\\bin\\insdb.bat"),
              "mysql -P3316 -uroot\r\nmysql -P3316\r\nmysql -P 3306\r\n");
    EXPECT_EQ(Get(root, L"Php\\php.ini"),
              "mysqli.default_port=3316\r\nmysql.default_port=3306\r\n");
    EXPECT_EQ(Get(root, L"htdocs\\config.php"), "$port = 3316; $id = 13316;");
    EXPECT_EQ(Get(root, L"htdocs\\account\\config.php"), "'localhost:3316'");
}

TEST(ChangeMysqlPortTest, SamePortTouchesNoFile) {
    TempDir root;
    Put(root, L"MySQL\\my.ini", "port=3306");
    Put(root, L"Apache\\conf\\httpd.conf", "Listen 80\r\n");
    Put(root, L"a.url", "URL=http://localhost/");
    for (const auto& [name, item] : Snapshot(root.path())) {
        if (!item.directory) {
            BackDate(root / name);
        }
    }
    const auto before = Snapshot(root.path());
    ChangeMysqlPort(root.path(), 3306, 3306);
    ChangeApachePort(root.path(), 80, 80, false);
    EXPECT_EQ(Snapshot(root.path()), before);
}

TEST(ChangeApachePortTest, HttpdConfNeedsTheLineBreakAfterThePort) {
    TempDir root;
    const std::wstring conf = L"Apache\\conf\\httpd.conf";
    const std::string text = "Listen 80\r\n#Listen 80\r\nlisten 80\r\nListen 8080\r\n"
                             "ServerName *:80\r\nServerName localhost:80\r\nListen 80";
    Put(root, conf, text);
    ChangeApachePort(root.path(), 80, 8000, true);
    EXPECT_EQ(Get(root, conf), text) << "skip flag";
    ChangeApachePort(root.path(), 80, 8000, false);
    EXPECT_EQ(Get(root, conf), "Listen 8000\r\n#Listen 8000\r\nListen 8000\r\nListen 8080\r\n"
                               "ServerName *:8000\r\nServerName localhost:80\r\nListen 80");

    const std::string lfOnly = "Listen 80\nServerName *:80\n";
    Put(root, conf, lfOnly);
    ChangeApachePort(root.path(), 80, 8000, false);
    EXPECT_EQ(Get(root, conf), lfOnly);
}

TEST(ChangeApachePortTest, ShortcutsDirectlyInTheRootFollowTheMove) {
    TempDir root;
    Put(root, L"a.url", "[InternetShortcut]\r\nURL=http://localhost:8080/index.php\r\n");
    Put(root, L"B.URL", "URL=http://localhost/\r\n");
    const std::string untouched = "URL=http://localhost:8080/\r\n";
    Put(root, L"sub\\c.url", untouched);
    Put(root, L"hidden.url", untouched);
    ASSERT_TRUE(SetFileAttributesW((root / L"hidden.url").c_str(), FILE_ATTRIBUTE_HIDDEN));

    // Between two other ports, shortcuts on the default address move as well.
    ChangeApachePort(root.path(), 8080, 9000, false);
    EXPECT_EQ(Get(root, L"a.url"), "[InternetShortcut]\r\nURL=http://localhost:9000/index.php\r\n");
    EXPECT_EQ(Get(root, L"B.URL"), "URL=http://localhost:9000/\r\n");
    for (const wchar_t* name : {L"sub\\c.url", L"hidden.url"}) {
        EXPECT_EQ(Get(root, name), untouched);
    }

    // Onto 80 or away from it, only the old address is searched: the default address written
    // in capitals stays as it is.
    Put(root, L"d.url", "URL=HTTP://LOCALHOST/x\r\n");
    ChangeApachePort(root.path(), 9000, 80, false);
    EXPECT_EQ(Get(root, L"a.url"), "[InternetShortcut]\r\nURL=http://localhost/index.php\r\n");
    EXPECT_EQ(Get(root, L"d.url"), "URL=HTTP://LOCALHOST/x\r\n");
    ChangeApachePort(root.path(), 80, 8080, false);
    EXPECT_EQ(Get(root, L"B.URL"), "URL=http://localhost:8080/\r\n");
    EXPECT_EQ(Get(root, L"d.url"), "URL=http://localhost:8080/x\r\n");
}

class ProbeSocketTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &m_data), 0); }
    void TearDown() override { WSACleanup(); }

    // A socket of the test listening on 127.0.0.1:port (0: a free port the system picks), or
    // INVALID_SOCKET when the port is taken.
    static SOCKET Listen(int port, BOOL reuse = FALSE) {
        const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{AF_INET, htons(static_cast<u_short>(port)), {}, {}};
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
                   sizeof(reuse));
        if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
            listen(s, 1) != 0) {
            closesocket(s);
            return INVALID_SOCKET;
        }
        return s;
    }
    static int PortOf(SOCKET s) {
        sockaddr_in address{};
        int length = sizeof(address);
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    }
    // Whether the test could listen on the port (the socket is closed again at once).
    static bool CanListen(int port) { return closesocket(Listen(port)) == 0; }
    static int FreePort() {
        const SOCKET s = Listen(0);
        const int port = PortOf(s);
        closesocket(s);
        return port;
    }

    WSADATA m_data{};
};

TEST_F(ProbeSocketTest, FreePortStaysHeldUntilTheNextProbe) {
    ProbeSocket probe;
    const int first = FreePort();
    const int second = FreePort();
    ASSERT_TRUE(probe.PortFree(first));
    EXPECT_FALSE(CanListen(first));
    ASSERT_TRUE(probe.PortFree(second));
    EXPECT_TRUE(CanListen(first));
    EXPECT_FALSE(CanListen(second));
    EXPECT_FALSE(probe.PortFree(0)); // a failed probe also releases the port held before
    EXPECT_TRUE(CanListen(second));
}

TEST_F(ProbeSocketTest, TakenAndOutOfRangePortsAreNotFree) {
    ProbeSocket probe;
    const SOCKET other = Listen(0, TRUE);
    ASSERT_NE(other, INVALID_SOCKET);
    EXPECT_FALSE(probe.PortFree(PortOf(other)));
    closesocket(other);

    // 65536 + a free port would wrap onto that port if the number were cut to 16 bits.
    const int free = FreePort();
    for (const int port : {0, -1, 65536, 70000, 65536 + free, -65536 + free}) {
        EXPECT_FALSE(probe.PortFree(port)) << port;
    }

    in_addr parsed{};
    EXPECT_EQ(inet_pton(AF_INET, quor::ToUtf8(probe.LocalIp()).c_str(), &parsed), 1);
}
