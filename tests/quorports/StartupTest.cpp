// QuorPorts' start-up in-process: the command-line grammar, the first-run configuration with
// real files and real busy ports, the page address, the one HTTP request and the port report.
#include "FakeDialogs.h"
#include "TestSupport.h"
#include "Text.h"
#include "modPublic.h"

#include <gtest/gtest.h>
#include <winsock2.h>

#include <map>
#include <memory>
#include <thread>

using namespace quorports;
using namespace quor::test;

namespace {

// A TCP listener of the test, standing for another program that holds a port.
class Occupant {
public:
    explicit Occupant(int port) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port));
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        m_listening = bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                      listen(m_socket, 4) == 0;
    }
    ~Occupant() {
        closesocket(m_socket);
        WSACleanup();
    }
    bool Listening() const { return m_listening; }
    SOCKET Socket() const { return m_socket; }

private:
    SOCKET m_socket = INVALID_SOCKET;
    bool m_listening = false;
};

// True when nothing listens on port just now.
bool PortIsFree(int port) {
    return Occupant(port).Listening();
}

// A free port that fits the 16-bit port type (the system's own ephemeral ports do not).
int FreeSmallPort() {
    for (int port = 20000 + static_cast<int>(GetCurrentProcessId() % 5000); port < 32767; ++port) {
        if (PortIsFree(port)) {
            return port;
        }
    }
    return 0;
}

// A low port p with p and p + 10 free (for the MySQL fallback, which must stay below 3396).
int FreeLowPortPair() {
    for (int port = 3100; port < 3380; ++port) {
        if (PortIsFree(port) && PortIsFree(port + 10)) {
            return port;
        }
    }
    return 0;
}

class QuorPortsStartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_root.path().empty());
        for (const wchar_t* folder :
             {L"Apache\\bin", L"Apache\\conf", L"MySQL\\bin", L"Php", L"htdocs\\account"}) {
            ASSERT_TRUE(MakeDirs(m_root / folder));
        }
        ASSERT_TRUE(WriteBytes(m_root / L"Apache\\bin\\httpd.exe", "stand-in"));
        ASSERT_TRUE(WriteBytes(m_root / L"MySQL\\bin\\mysqld-nt.exe", "stand-in"));
    }

    void Settings(const std::string& keys) {
        ASSERT_TRUE(WriteBytes(m_root / L"settings.ini", "[QuorKAV]\r\n" + keys));
    }
    std::string File(const std::wstring& relative) {
        return ReadBytes(m_root / relative).value_or("<missing>");
    }

    StartupResult Start(const std::wstring& arguments) {
        m_state = AppState();
        const StartupContext context{
            m_root.path(),
            arguments,
            m_dialogs,
            m_probe,
            m_http,
            [this](const std::wstring& address) { m_opened.push_back(address); },
            [this](DWORD ms) {
                m_slept = ms;
                // Give the request its time to arrive, as the real wait does.
                for (int i = 0; i < 100 && m_http.Busy(); ++i) {
                    Sleep(50);
                }
            },
            m_findHolder,
            [this](const std::wstring& text) { m_printed += text; }};
        return Main(m_state, context);
    }

    // Stands in for the system's port holders: names holders for the given ports only.
    void NameHolders(std::map<int, PortHolder> holders) {
        m_findHolder = [holders](int port) -> std::optional<PortHolder> {
            const auto found = holders.find(port);
            return found == holders.end() ? std::nullopt : std::optional(found->second);
        };
    }

    TempDir m_root{L" 端口 root"};
    FakeDialogs m_dialogs;
    ProbeSocket m_probe;
    HttpClient m_http;
    AppState m_state;
    std::vector<std::wstring> m_opened;
    DWORD m_slept = 0;
    // The real lookup unless a test names holders itself; Wine names none.
    HolderLookup m_findHolder = FindPortHolder;
    std::wstring m_printed;
};

} // namespace

TEST_F(QuorPortsStartupTest, EndsSilentlyWithoutTheServerPrograms) {
    ASSERT_TRUE(DeleteFileW((m_root / L"MySQL\\bin\\mysqld-nt.exe").c_str()));
    EXPECT_EQ(Start(L"-lurl"), StartupResult::Failed);
    EXPECT_EQ(Start(L""), StartupResult::Failed);
    EXPECT_EQ(Start(L"-ports"), StartupResult::Failed);
    EXPECT_TRUE(m_printed.empty());
    EXPECT_TRUE(m_opened.empty());
    EXPECT_TRUE(m_dialogs.shown.empty());
}

TEST_F(QuorPortsStartupTest, GrammarAndPageAddresses) {
    Settings("ApachePort=8080\r\nMysqlPort=3307\r\n");
    EXPECT_EQ(Start(L""), StartupResult::ShowWindow);
    EXPECT_EQ(m_state.ApacheExePath, m_root / L"Apache\\bin\\httpd.exe");
    EXPECT_EQ(m_state.MysqlExePath, m_root / L"MySQL\\bin\\mysqld-nt.exe");
    EXPECT_EQ(m_state.CurrentApachePort, 8080);
    EXPECT_EQ(m_state.CurrentMysqlPort, 3307);
    EXPECT_EQ(Start(L"-INSTALL"), StartupResult::ShowWindow);
    EXPECT_TRUE(m_dialogs.shown.empty());

    // Quotes vanish everywhere; the page is trimmed of blanks; "-lurlx" is the page "x".
    EXPECT_EQ(Start(L"-lurl"), StartupResult::Done);
    EXPECT_EQ(Start(L"\"-lurl\"   admin/index.php  "), StartupResult::Done);
    EXPECT_EQ(Start(L"-lurlx"), StartupResult::Done);
    Settings("ApachePort=80\r\n");
    Start(L"-lurl a.php");
    const std::vector<std::wstring> expected = {
        L"http://localhost:8080/", L"http://localhost:8080/admin/index.php",
        L"http://localhost:8080/x", L"http://localhost/a.php"};
    EXPECT_EQ(m_opened, expected);
}

TEST_F(QuorPortsStartupTest, SendsOneRequestAndWaitsTenSeconds) {
    // A local server that records what arrives.
    Occupant server(0);
    ASSERT_TRUE(server.Listening());
    sockaddr_in bound{};
    int length = sizeof(bound);
    getsockname(server.Socket(), reinterpret_cast<sockaddr*>(&bound), &length);
    const int port = ntohs(bound.sin_port);
    std::string received;
    std::thread accept([&] {
        for (int requests = 0; requests < 2; ++requests) {
            // A request that never comes must not hang the test.
            fd_set ready;
            FD_ZERO(&ready);
            FD_SET(server.Socket(), &ready);
            timeval limit{20, 0};
            if (select(0, &ready, nullptr, nullptr, &limit) != 1) {
                return;
            }
            SOCKET client = ::accept(server.Socket(), nullptr, nullptr);
            if (client == INVALID_SOCKET) {
                return;
            }
            char buffer[4096];
            int got = recv(client, buffer, sizeof(buffer), 0);
            std::string request(buffer, got > 0 ? got : 0);
            // The body may follow the header in a second packet.
            if (request.find("a=1&b=2") == std::string::npos && request.find("POST") == 0) {
                got = recv(client, buffer, sizeof(buffer), 0);
                request.append(buffer, got > 0 ? got : 0);
            }
            received += request + "\n----\n";
            const char answer[] = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
            send(client, answer, sizeof(answer) - 1, 0);
            closesocket(client);
        }
    });
    const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(port) + L"/api/put.php";

    // Five fields: nothing is sent and there is no wait.
    EXPECT_EQ(Start(L"-rurl " + url + L" post a=1 b=2"), StartupResult::Done);
    EXPECT_EQ(m_slept, 0u);
    // "post" in lower case is a POST with the body; any other word a GET.
    Start(L"-rurl " + url + L" post a=1&b=2");
    EXPECT_EQ(m_slept, 10000u);
    Start(L"-rurl \"" + url + L"?x=1\" POST q=2");
    accept.join();

    EXPECT_EQ(received.find("POST /api/put.php HTTP/1.1\r\n"), 0u) << received;
    EXPECT_NE(received.find("Content-Type: application/x-www-form-urlencoded\r\n"),
              std::string::npos);
    EXPECT_NE(received.find("\r\n\r\na=1&b=2\n----\n"), std::string::npos) << received;
    // The GET carries the same header line and its data too.
    const size_t get = received.find("\n----\nGET /api/put.php?x=1 HTTP/1.1\r\n");
    ASSERT_NE(get, std::string::npos) << received;
    EXPECT_NE(received.find("Content-Type: application/x-www-form-urlencoded\r\n", get),
              std::string::npos);
    EXPECT_NE(received.find("\r\n\r\nq=2\n----\n", get), std::string::npos) << received;
}

TEST_F(QuorPortsStartupTest, InstallFillsTheTemplatesAndKeepsFreePorts) {
    const int mysql = FreeLowPortPair();
    const int apache = FreeSmallPort();
    ASSERT_NE(mysql, 0);
    Settings("ApachePort=" + std::to_string(apache) + "\r\nMysqlPort=" + std::to_string(mysql) +
             "\r\n");
    ASSERT_TRUE(WriteBytes(
        m_root / L"Apache\\conf\\httpd.conf",
        "ServerRoot \"{APPPATH}/Apache\"\r\nListen 80\r\nDocumentRoot {apppath}\\htdocs\r\n"));
    ASSERT_TRUE(WriteBytes(m_root / L"MySQL\\my.ini",
                           "basedir={APPPATH}\\MySQL\r\nport=" + std::to_string(mysql) + "\r\n"));
    ASSERT_TRUE(
        WriteBytes(m_root / L"QUOR.url", "[InternetShortcut]\r\nURL=http://localhost/\r\n"));

    EXPECT_EQ(Start(L"-install"), StartupResult::Done);
    const std::string root = quor::ToAnsi(m_root.path());
    EXPECT_EQ(File(L"Apache\\conf\\httpd.conf"), "ServerRoot \"" + root +
                                                     "/Apache\"\r\nListen 80\r\nDocumentRoot " +
                                                     root + "\\htdocs\r\n");
    EXPECT_EQ(File(L"MySQL\\my.ini"),
              "basedir=" + root + "\\MySQL\r\nport=" + std::to_string(mysql) + "\r\n");
    // The configured Apache port is free: httpd.conf keeps it, the shortcut follows it.
    EXPECT_EQ(File(L"QUOR.url"),
              "[InternetShortcut]\r\nURL=http://localhost:" + std::to_string(apache) + "/\r\n");
    ASSERT_EQ(m_dialogs.shown.size(), 1u);
    EXPECT_EQ(m_dialogs.shown[0].text, L"QUOR服务配置成功，您的登录网址为\r\nhttp://" +
                                           m_probe.LocalIp() + L":" + std::to_wstring(apache) +
                                           L"/");
    EXPECT_EQ(m_dialogs.shown[0].title, L"信息");
    EXPECT_EQ(m_dialogs.shown[0].type, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
}

TEST_F(QuorPortsStartupTest, InstallMovesBusyPortsToTheirFallbacks) {
    const int mysql = FreeLowPortPair();
    const int apache = FreeSmallPort();
    ASSERT_NE(mysql, 0);
    int candidate = 8000;
    while (candidate < 8010 && !PortIsFree(candidate)) {
        ++candidate;
    }
    ASSERT_LT(candidate, 8010) << "one of 8000 to 8009 must be free";
    Settings("ApachePort=" + std::to_string(apache) + "\r\nMysqlPort=" + std::to_string(mysql) +
             "\r\n");
    ASSERT_TRUE(
        WriteBytes(m_root / L"Apache\\conf\\httpd.conf", "Listen 80\r\nServerName *:80\r\n"));
    ASSERT_TRUE(WriteBytes(m_root / L"MySQL\\my.ini", "port=" + std::to_string(mysql) + "\r\n"));
    Occupant apacheBusy(apache);
    Occupant mysqlBusy(mysql);

    EXPECT_EQ(Start(L"-install"), StartupResult::Done);
    const std::string c = std::to_string(candidate);
    EXPECT_EQ(File(L"Apache\\conf\\httpd.conf"), "Listen " + c + "\r\nServerName *:" + c + "\r\n");
    EXPECT_EQ(File(L"MySQL\\my.ini"), "port=" + std::to_string(mysql + 10) + "\r\n");
    const std::string settings = File(L"settings.ini");
    EXPECT_NE(settings.find("ApachePort=" + c), std::string::npos) << settings;
    EXPECT_NE(settings.find("MysqlPort=" + std::to_string(mysql + 10)), std::string::npos);
    ASSERT_EQ(m_dialogs.shown.size(), 1u);
    EXPECT_EQ(m_dialogs.shown[0].text, L"QUOR服务配置成功，您的登录网址为\r\nhttp://" +
                                           m_probe.LocalIp() + L":" + quor::FromAnsi(c) + L"/");
}

TEST_F(QuorPortsStartupTest, InstallReportsPortsThatCannotBeUsed) {
    // The MySQL port and its fallback busy, or a port that does not fit the port type, or a
    // fallback at 3396 or above: the MySQL failure comes first, the Apache part still runs.
    const int mysql = FreeLowPortPair();
    ASSERT_NE(mysql, 0);
    Occupant first(mysql);
    Occupant second(mysql + 10);
    // 3386 busy: its fallback would be 3396, which is not allowed.
    Occupant ceiling(3386);
    ASSERT_TRUE(ceiling.Listening());
    const std::string keys[] = {"MysqlPort=" + std::to_string(mysql) + "\r\n", "MysqlPort=3386\r\n",
                                "MysqlPort=40000\r\nApachePort=70000\r\n", "MysqlPort=-5\r\n"};
    for (const std::string& key : keys) {
        SCOPED_TRACE(key);
        m_dialogs.shown.clear();
        Settings(key + (key.find("Apache") == std::string::npos
                            ? "ApachePort=" + std::to_string(FreeSmallPort()) + "\r\n"
                            : ""));
        // Apache got its port, MySQL did not: the configuration is not settled.
        EXPECT_EQ(Start(L"-install"), StartupResult::Failed);
        ASSERT_EQ(m_dialogs.shown.size(), 2u);
        EXPECT_EQ(m_dialogs.shown[0].text,
                  L"3306端口被其他服务占用，MySQL服务配置失败。\r\n您可以手动配置为其他端口。");
        EXPECT_EQ(m_dialogs.shown[0].title, L"配置服务失败");
        EXPECT_EQ(m_dialogs.shown[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
        EXPECT_EQ(m_dialogs.shown[1].title, L"信息");
    }
    EXPECT_EQ(File(L"settings.ini").find("MysqlPort=" + std::to_string(mysql + 10)),
              std::string::npos);

    // Every Apache candidate busy: the Apache failure.
    std::vector<std::unique_ptr<Occupant>> busy;
    for (int port = 8000; port < 8010; ++port) {
        busy.push_back(std::make_unique<Occupant>(port));
    }
    Occupant apache(FreeSmallPort());
    m_dialogs.shown.clear();
    sockaddr_in bound{};
    int length = sizeof(bound);
    getsockname(apache.Socket(), reinterpret_cast<sockaddr*>(&bound), &length);
    Settings("ApachePort=" + std::to_string(ntohs(bound.sin_port)) +
             "\r\nMysqlPort=" + std::to_string(FreeLowPortPair()) + "\r\n");
    EXPECT_EQ(Start(L"-install"), StartupResult::Failed);
    ASSERT_EQ(m_dialogs.shown.size(), 1u);
    EXPECT_EQ(m_dialogs.shown[0].text,
              L"80端口被其他服务占用，QUOR服务配置失败。\r\n您可以手动配置为其他端口。");
    EXPECT_EQ(m_dialogs.shown[0].title, L"配置服务失败");

    // With holders that can be named, each failure box names the holder of its configured
    // port (not of a fallback) on a third line.
    const int apachePort = ntohs(bound.sin_port);
    Settings("ApachePort=" + std::to_string(apachePort) + "\r\nMysqlPort=" + std::to_string(mysql) +
             "\r\n");
    NameHolders({{apachePort, {L"httpd.exe", 1234}},
                 {mysql, {L"mysqld-nt.exe", 88}},
                 {mysql + 10, {L"other.exe", 5}},
                 {8000, {L"other.exe", 6}}});
    m_dialogs.shown.clear();
    EXPECT_EQ(Start(L"-install"), StartupResult::Failed);
    ASSERT_EQ(m_dialogs.shown.size(), 2u);
    EXPECT_EQ(m_dialogs.shown[0].text,
              L"3306端口被其他服务占用，MySQL服务配置失败。\r\n您可以手动配置为其他端口。\r\n"
              L"占用程序：mysqld-nt.exe（PID 88）");
    EXPECT_EQ(m_dialogs.shown[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(m_dialogs.shown[1].text,
              L"80端口被其他服务占用，QUOR服务配置失败。\r\n您可以手动配置为其他端口。\r\n"
              L"占用程序：httpd.exe（PID 1234）");
    EXPECT_EQ(m_dialogs.shown[1].title, L"配置服务失败");
}

TEST_F(QuorPortsStartupTest, PortsReportsEachConfiguredPort) {
    const int heldPort = FreeSmallPort();
    Occupant held(heldPort);
    ASSERT_TRUE(held.Listening());
    const int free = FreeSmallPort();
    const std::wstring heldText = std::to_wstring(heldPort);
    const std::wstring freeText = std::to_wstring(free);

    // A held port whose holder cannot be named, and a free one; no box, and the probe lets
    // go of the free port again.
    Settings("ApachePort=" + std::to_string(heldPort) + "\r\nMysqlPort=" + std::to_string(free) +
             "\r\n");
    NameHolders({});
    EXPECT_EQ(Start(L"\"-ports\""), StartupResult::Done);
    EXPECT_EQ(m_printed, L"Apache " + heldText + L"：已被占用（占用程序未知）\r\nMySQL " +
                             freeText + L"：空闲\r\n");
    EXPECT_TRUE(m_dialogs.shown.empty());
    EXPECT_TRUE(PortIsFree(free));

    // The other way round, with the holder named; a free port is not looked up.
    Settings("ApachePort=" + std::to_string(free) + "\r\nMysqlPort=" + std::to_string(heldPort) +
             "\r\n");
    NameHolders({{heldPort, {L"mysqld-nt.exe", 3306}}, {free, {L"x.exe", 1}}});
    m_printed.clear();
    EXPECT_EQ(Start(L"-ports"), StartupResult::Done);
    EXPECT_EQ(m_printed, L"Apache " + freeText + L"：空闲\r\nMySQL " + heldText +
                             L"：被 mysqld-nt.exe（PID 3306）占用\r\n");
    EXPECT_TRUE(PortIsFree(free));

    // Only the whole text "-ports" asks for the report.
    m_printed.clear();
    EXPECT_EQ(Start(L"-ports x"), StartupResult::ShowWindow);
    EXPECT_TRUE(m_printed.empty());
}
