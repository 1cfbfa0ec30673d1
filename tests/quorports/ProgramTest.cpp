// The real QuorPorts.exe copied into an installation root: silent exit, window, -install box.
#include "TestSupport.h"
#include "Text.h"

#include <gtest/gtest.h>
#include <winsock2.h>

using namespace quor::test;

namespace {

class QuorPortsProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_root.path().empty());
        ASSERT_TRUE(CopyInto(BinProgram(L"QuorPorts.exe"), m_program));
        ASSERT_TRUE(MakeDirs(m_root / L"Apache\\bin"));
        ASSERT_TRUE(MakeDirs(m_root / L"MySQL\\bin"));
        ASSERT_TRUE(WriteBytes(m_root / L"Apache\\bin\\httpd.exe", "stand-in"));
    }

    TempDir m_root{L" 端口 root"};
    std::wstring m_program = m_root / L"QuorPorts.exe";
};

} // namespace

TEST_F(QuorPortsProgramTest, WindowOnlyWithBothServerPrograms) {
    // mysqld-nt.exe missing: the program ends at once, whatever the command line.
    Started missing = Start(m_program, L"");
    EXPECT_EQ(WaitExit(missing), 1u);
    EXPECT_EQ(WaitForWindow(missing.id, nullptr, L"QUOR服务端口配置", 200), nullptr);

    ASSERT_TRUE(WriteBytes(m_root / L"MySQL\\bin\\mysqld-nt.exe", "stand-in"));
    Started window = Start(m_program, L"-INSTALL");
    HWND main = WaitForWindow(window.id, nullptr, L"QUOR服务端口配置");
    ASSERT_NE(main, nullptr);
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitExit(window), 0u);
}

TEST_F(QuorPortsProgramTest, InstallMovesApacheOffAPortAnotherProcessHolds) {
    ASSERT_TRUE(WriteBytes(m_root / L"MySQL\\bin\\mysqld-nt.exe", "stand-in"));
    // This test process holds the configured port, allowing address reuse as some servers
    // do; QuorPorts must still see it taken and move to the first free port from 8000 on.
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET holder = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const BOOL reuse = TRUE;
    setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
               sizeof(reuse));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    int port = 20000 + static_cast<int>(GetCurrentProcessId() % 10000);
    for (;; ++port) {
        address.sin_port = htons(static_cast<u_short>(port));
        if (bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            break;
        }
    }
    ASSERT_EQ(listen(holder, 4), 0);
    int candidate = 8000;
    for (; candidate < 8010; ++candidate) {
        SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        address.sin_port = htons(static_cast<u_short>(candidate));
        const bool free = bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        closesocket(probe);
        if (free) {
            break;
        }
    }
    ASSERT_LT(candidate, 8010);
    ASSERT_TRUE(WriteBytes(m_root / L"settings.ini",
                           "[QuorKAV]\r\nApachePort=" + std::to_string(port) + "\r\n"));

    Started install = Start(m_program, L"\"-install\"");
    HWND box = WaitForWindow(install.id, L"#32770", L"信息");
    ASSERT_NE(box, nullptr);
    const MessageBoxView view = ReadMessageBox(box);
    EXPECT_EQ(view.text.rfind(L"QUOR服务配置成功，您的登录网址为\r\nhttp://", 0), 0u)
        << quor::ToUtf8(view.text);
    const std::wstring tail = L":" + std::to_wstring(candidate) + L"/";
    EXPECT_EQ(view.text.substr(view.text.size() - tail.size()), tail);
    EXPECT_TRUE(view.hasOk && view.hasIcon);
    PressButton(box, IDOK);
    EXPECT_EQ(WaitExit(install), 0u);
    EXPECT_NE(ReadBytes(m_root / L"settings.ini")
                  .value_or("")
                  .find("ApachePort=" + std::to_string(candidate)),
              std::string::npos);

    // A MySQL port that cannot be used: its failure box, then Apache's success, and the
    // configuration counts as failed.
    ASSERT_TRUE(WriteBytes(m_root / L"settings.ini",
                           "[QuorKAV]\r\nApachePort=" + std::to_string(candidate) +
                               "\r\nMysqlPort=40000\r\n"));
    Started unsettled = Start(m_program, L"-install");
    box = WaitForWindow(unsettled.id, L"#32770", L"配置服务失败");
    ASSERT_NE(box, nullptr);
    PressButton(box, IDOK);
    box = WaitForWindow(unsettled.id, L"#32770", L"信息");
    ASSERT_NE(box, nullptr);
    PressButton(box, IDOK);
    EXPECT_EQ(WaitExit(unsettled), 1u);
    closesocket(holder);
    WSACleanup();
}

TEST_F(QuorPortsProgramTest, PortsPrintsEachPortsStateToTheCallersOutput) {
    // Without mysqld-nt.exe the program ends first, printing nothing.
    RunResult missing = quor::test::Run(m_program, L"-ports", 30000);
    EXPECT_EQ(missing.exitCode, 1u);
    EXPECT_EQ(missing.output, "");

    ASSERT_TRUE(WriteBytes(m_root / L"MySQL\\bin\\mysqld-nt.exe", "stand-in"));
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    // This test holds one port; a second one it opened and closed again is free.
    SOCKET holder = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    int length = sizeof(address);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(holder, 4), 0);
    getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    const int held = ntohs(address.sin_port);
    SOCKET other = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    address.sin_port = 0;
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    getsockname(other, reinterpret_cast<sockaddr*>(&address), &length);
    const int free = ntohs(address.sin_port);
    closesocket(other);
    ASSERT_TRUE(
        WriteBytes(m_root / L"settings.ini", "[QuorKAV]\r\nApachePort=" + std::to_string(free) +
                                                 "\r\nMysqlPort=" + std::to_string(held) + "\r\n"));

    const RunResult run = quor::test::Run(m_program, L"-ports", 30000);
    closesocket(holder);
    WSACleanup();
    EXPECT_EQ(run.exitCode, 0u);
    // The text comes in the ANSI code page. Wine reports no owning process for a listener,
    // so the holder is unknown there; Windows names this test program.
    const std::wstring apache = L"Apache " + std::to_wstring(free) + L"：空闲\r\n";
    const std::wstring mysql = L"MySQL " + std::to_wstring(held);
    const std::string unknown = quor::ToAnsi(apache + mysql + L"：已被占用（占用程序未知）\r\n");
    const std::string named = quor::ToAnsi(apache + mysql + L"：被 QuorPortsProgramTest.exe（PID " +
                                           std::to_wstring(GetCurrentProcessId()) + L"）占用\r\n");
    EXPECT_TRUE(run.output == unknown || run.output == named) << run.output;
}
