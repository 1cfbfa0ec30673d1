// The real QuorPorts.exe copied into an installation root: silent exit, window, -install box.
#include "TestSupport.h"
#include "Text.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ(WaitExit(missing), 0u);
    EXPECT_EQ(WaitForWindow(missing.id, nullptr, L"QUOR服务端口配置", 200), nullptr);

    ASSERT_TRUE(WriteBytes(m_root / L"MySQL\\bin\\mysqld-nt.exe", "stand-in"));
    Started window = Start(m_program, L"-INSTALL");
    HWND main = WaitForWindow(window.id, nullptr, L"QUOR服务端口配置");
    ASSERT_NE(main, nullptr);
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitExit(window), 0u);
}

TEST_F(QuorPortsProgramTest, InstallShowsTheLoginAddress) {
    ASSERT_TRUE(WriteBytes(m_root / L"MySQL\\bin\\mysqld-nt.exe", "stand-in"));
    // A port that fits the 16-bit port type.
    const int port = 20000 + static_cast<int>(GetCurrentProcessId() % 10000);
    ASSERT_TRUE(WriteBytes(m_root / L"settings.ini",
                           "[QuorKAV]\r\nApachePort=" + std::to_string(port) + "\r\n"));
    Started install = Start(m_program, L"\"-install\"");
    HWND box = WaitForWindow(install.id, L"#32770", L"信息");
    ASSERT_NE(box, nullptr);
    const MessageBoxView view = ReadMessageBox(box);
    EXPECT_EQ(view.text.rfind(L"QUOR服务配置成功，您的登录网址为\r\nhttp://", 0), 0u)
        << quor::ToUtf8(view.text);
    EXPECT_EQ(view.text.substr(view.text.size() - std::to_wstring(port).size() - 2),
              L":" + std::to_wstring(port) + L"/");
    EXPECT_TRUE(view.hasOk && view.hasIcon);
    PressButton(box, IDOK);
    EXPECT_EQ(WaitExit(install), 0u);
}
