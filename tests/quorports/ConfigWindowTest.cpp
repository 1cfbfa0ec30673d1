// The configuration window in the test process: layout, texts, keyboard, and the service rows
// against Wine's service manager with the stand-in servers as QUOR_Apache and QUOR_MySQL.
// Needs a display (Xvfb under scripts/test.sh) and Wine's default 96 DPI.
#include "frmConfig.h"

#include "FakeDialogs.h"
#include "StandInService.h"
#include "TestSupport.h"
#include "Text.h"
#include "UniqueHandle.h"
#include "modService.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace quorports {
namespace {

using namespace quor::test;
using Control = frmConfig::Control;

constexpr wchar_t kApache[] = L"QUOR_Apache";
constexpr wchar_t kMySql[] = L"QUOR_MySQL";

// True once the running service takes the stop control; a service that has only just reported
// RUNNING may not yet, and the SCM then refuses the stop.
bool AcceptsStop(const wchar_t* name) {
    const quor::ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const quor::ScHandle service(manager ? OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS)
                                         : nullptr);
    SERVICE_STATUS status{};
    return service && QueryServiceStatus(service.get(), &status) &&
           status.dwCurrentState == SERVICE_RUNNING &&
           (status.dwControlsAccepted & SERVICE_ACCEPT_STOP) != 0;
}

// Each case starts and ends with neither service registered; the stand-ins live in a root
// whose path holds a space and Chinese characters.
class ConfigWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(RemoveService(kApache));
        ASSERT_TRUE(RemoveService(kMySql));
        m_state.AppDir = m_root.path();
        m_state.ApacheExePath = m_root / L"Apache\\bin\\httpd.exe";
        m_state.MysqlExePath = m_root / L"MySQL\\bin\\mysqld-nt.exe";
        m_state.CurrentApachePort = 8081;
        m_state.CurrentMysqlPort = 3307;
    }
    void TearDown() override {
        m_window.reset();
        // Destroying the window posts the quit message meant for the program's loop.
        MSG msg;
        while (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
        EXPECT_TRUE(RemoveService(kApache));
        EXPECT_TRUE(RemoveService(kMySql));
    }

    frmConfig& Open() {
        m_window = std::make_unique<frmConfig>(m_state, m_dialogs, m_probe, m_http);
        EXPECT_TRUE(m_window->Create(GetModuleHandleW(nullptr)));
        return *m_window;
    }

    HWND Item(Control control) const { return m_window->Item(control); }
    std::wstring Text(Control control) const { return TextOf(Item(control)); }
    bool Enabled(Control control) const { return IsWindowEnabled(Item(control)) != FALSE; }

    // The four hidden buttons of a row, as (start/stop caption, enabled, install caption, enabled).
    void ExpectRow(int row, const wchar_t* service, bool serviceEnabled, const wchar_t* install,
                   bool installEnabled) const {
        const Control s = row == 0 ? Control::Service0 : Control::Service1;
        const Control i = row == 0 ? Control::Install0 : Control::Install1;
        EXPECT_EQ(Text(s), service) << "row " << row;
        EXPECT_EQ(Enabled(s), serviceEnabled) << "row " << row;
        EXPECT_EQ(Text(i), install) << "row " << row;
        EXPECT_EQ(Enabled(i), installEnabled) << "row " << row;
        EXPECT_FALSE(IsWindowVisible(Item(s)));
        EXPECT_FALSE(IsWindowVisible(Item(i)));
    }

    TempDir m_root{L"Quor 端口"};
    AppState m_state;
    FakeDialogs m_dialogs;
    ProbeSocket m_probe;
    HttpClient m_http;
    std::unique_ptr<frmConfig> m_window;
};

TEST_F(ConfigWindowTest, LayoutFollowsTheTwipTableAtTheScreenDpi) {
    frmConfig& window = Open();
    ASSERT_EQ(window.Dpi(), 96);

    RECT client{};
    GetClientRect(window.Window(), &client);
    EXPECT_EQ(client.right, 206);
    EXPECT_EQ(client.bottom, 129);

    // Fixed frame with a close box only, centred on the screen.
    EXPECT_TRUE(FixedAndCentred(window.Window()));

    // Port boxes start where both labels end; the service buttons lie past the right edge.
    EXPECT_TRUE(SameRect(RectInParent(Item(Control::ApacheBox)), {140, 34, 187, 56}));
    EXPECT_EQ(RectInParent(Item(Control::ApacheLabel)).right, 141);
    EXPECT_EQ(RectInParent(Item(Control::MysqlLabel)).right, 141);
    EXPECT_TRUE(SameRect(RectInParent(Item(Control::Close)), {108, 96, 183, 119}));
    EXPECT_TRUE(SameRect(RectInParent(Item(Control::Install1)), {298, 56, 353, 79}));
    EXPECT_GT(RectInParent(Item(Control::Service0)).left, client.right);

    // Every control draws with the 11.25 pt SimSun of the window.
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(Item(Control::Ok), WM_GETFONT, 0, 0)),
               sizeof(font), &font);
    EXPECT_EQ(font.lfHeight, -15);
    EXPECT_EQ(font.lfCharSet, GB2312_CHARSET);
    EXPECT_STREQ(font.lfFaceName, L"宋体");
    for (int i = 0; i < static_cast<int>(Control::Count); ++i) {
        EXPECT_EQ(SendMessageW(Item(static_cast<Control>(i)), WM_GETFONT, 0, 0),
                  SendMessageW(Item(Control::Ok), WM_GETFONT, 0, 0));
    }
}

// The scaling alone, at a DPI the test machine does not have.
TEST(ConfigWindowLayoutTest, ScalingAt144Dpi) {
    EXPECT_EQ(frmConfig::ClientSize(144).cx, 309);
    EXPECT_EQ(frmConfig::ClientSize(144).cy, 194); // 193.5 rounds up
    EXPECT_TRUE(SameRect(frmConfig::ControlRect(Control::MysqlBox, 144), {210, 99, 281, 132}));
    EXPECT_EQ(quor::FontHeight(1125, 144), -23);
}

TEST_F(ConfigWindowTest, TextsAndLoadedValues) {
    Open();
    EXPECT_EQ(TextOf(m_window->Window()), L"QUOR服务端口配置");
    EXPECT_EQ(Text(Control::IpLabel), L"本机IP：");
    EXPECT_EQ(Text(Control::ApacheLabel), L"Apache服务端口：");
    EXPECT_EQ(Text(Control::MysqlLabel), L"MySQL服务端口：");
    EXPECT_EQ(Text(Control::Ok), L"确定");
    EXPECT_EQ(Text(Control::Close), L"关闭");
    EXPECT_EQ(m_window->ApacheText(), L"8081");
    EXPECT_EQ(m_window->MysqlText(), L"3307");
    EXPECT_EQ(Text(Control::IpBox), m_probe.LocalIp());
    EXPECT_FALSE(GetWindowLongW(Item(Control::Ok), GWL_STYLE) & BS_DEFPUSHBUTTON);
}

TEST_F(ConfigWindowTest, PortBoxesTakeAtMostFourCharacters) {
    Open();
    for (const Control box : {Control::ApacheBox, Control::MysqlBox}) {
        SendMessageW(Item(box), EM_SETSEL, 0, -1);
        for (const wchar_t c : std::wstring(L"123456")) {
            SendMessageW(Item(box), WM_CHAR, c, 0);
        }
        EXPECT_EQ(Text(box), L"1234");
    }
}

TEST_F(ConfigWindowTest, TabCyclesThroughVisibleControlsOnly) {
    frmConfig& window = Open();
    ShowWindow(window.Window(), SW_SHOW);
    SetForegroundWindow(window.Window());
    SetFocus(Item(Control::ApacheBox));
    ASSERT_EQ(GetFocus(), Item(Control::ApacheBox));

    const std::vector<Control> expected = {Control::MysqlBox, Control::Ok, Control::Close,
                                           Control::IpBox, Control::ApacheBox};
    for (const Control next : expected) {
        SendMessageW(GetFocus(), WM_KEYDOWN, VK_TAB, 0);
        EXPECT_EQ(GetFocus(), Item(next)) << "expected control " << static_cast<int>(next);
    }
    for (const Control hidden :
         {Control::Service0, Control::Service1, Control::Install0, Control::Install1}) {
        EXPECT_FALSE(IsWindowVisible(Item(hidden)));
    }
}

TEST_F(ConfigWindowTest, LoadShowsEachServiceSituation) {
    // Neither installed: start/stop disabled, both captions the install ones.
    Open();
    ExpectRow(0, L"启动", false, L"安装", true);
    ExpectRow(1, L"启动", false, L"安装", true);
    m_window.reset();

    StandInApache apache(m_root.path(), FreePort());
    StandInMySql mysql(m_root.path(), FreePort());
    ASSERT_TRUE(apache.Install());
    ASSERT_TRUE(mysql.Install());

    // Apache running, MySQL installed but stopped.
    ASSERT_TRUE(apache.Start());
    Open();
    ExpectRow(0, L"停止", true, L"卸载", false);
    ExpectRow(1, L"启动", true, L"卸载", true);
    m_window.reset();

    // And the other way round.
    ASSERT_TRUE(apache.Stop());
    ASSERT_TRUE(mysql.Start());
    Open();
    ExpectRow(0, L"启动", true, L"卸载", true);
    ExpectRow(1, L"停止", true, L"卸载", false);
    ASSERT_TRUE(mysql.Stop());
    EXPECT_TRUE(m_dialogs.shown.empty());
}

TEST_F(ConfigWindowTest, StartAndStopFollowTheLiveState) {
    StandInApache apache(m_root.path(), FreePort());
    ASSERT_TRUE(apache.Install());
    Open();
    ExpectRow(0, L"启动", true, L"卸载", true);

    m_window->cmdService_Click(0);
    ExpectRow(0, L"停止", true, L"卸载", false);
    EXPECT_TRUE(Eventually([] { return AcceptsStop(kApache); }));

    m_window->cmdService_Click(0);
    ExpectRow(0, L"启动", true, L"卸载", true);
    EXPECT_TRUE(apache.WaitForState(SERVICE_STOPPED));

    // Started from outside after the window loaded: the caption is stale, the click stops it.
    ASSERT_TRUE(apache.Start());
    ASSERT_TRUE(Eventually([] { return AcceptsStop(kApache); }));
    m_window->cmdService_Click(0);
    ExpectRow(0, L"启动", true, L"卸载", true);
    EXPECT_TRUE(apache.WaitForState(SERVICE_STOPPED));
    for (const ShownMessage& shown : m_dialogs.shown) {
        ADD_FAILURE() << "unexpected message: " << quor::ToUtf8(shown.text);
    }
}

TEST_F(ConfigWindowTest, InstallRegistersQuotedCommandLinesThatRun) {
    // The stand-ins put their programs and configuration into the root; their own
    // registration is dropped so that the window installs the services.
    StandInApache apache(m_root.path(), FreePort());
    StandInMySql mysql(m_root.path(), FreePort());
    ASSERT_TRUE(apache.Install() && mysql.Install());
    ASSERT_TRUE(RemoveService(kApache) && RemoveService(kMySql));
    Open();

    struct Row {
        int index;
        const wchar_t* name;
        StandInService& standIn;
        std::wstring commandLine;
        const wchar_t* description;
    };
    const Row rows[] = {
        {0, kApache, apache, L"\"" + m_state.ApacheExePath + L"\" -k runservice -n QUOR_Apache",
         L"Quor Apache"},
        {1, kMySql, mysql, L"\"" + m_state.MysqlExePath + L"\" QUOR_MySQL", L"Quor MySQL"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.index);
        m_window->cmdInstall_Click(row.index);
        ExpectRow(row.index, L"启动", true, L"卸载", true);
        const Registration registration = ReadRegistration(row.name).value_or(Registration{});
        EXPECT_EQ(registration.binary, row.commandLine);
        EXPECT_EQ(registration.display, row.name);
        EXPECT_EQ(registration.account, L"LocalSystem");
        EXPECT_EQ(registration.description, row.description);

        // The quoted path starts the right program from a root with a space.
        m_window->cmdService_Click(row.index);
        ExpectRow(row.index, L"停止", true, L"卸载", false);
        EXPECT_TRUE(row.standIn.WaitForState(SERVICE_RUNNING));
        EXPECT_TRUE(Eventually([&] { return Listening(row.standIn.Port()); }));

        // Uninstalling a running service removes it; the start/stop caption is left as it was.
        m_window->cmdInstall_Click(row.index);
        ExpectRow(row.index, L"停止", false, L"安装",
                  false); // only start and stop touch the install button
        EXPECT_TRUE(Eventually([&] { return CheckSvcConfig(row.name) != 0; }));
    }
    for (const ShownMessage& shown : m_dialogs.shown) {
        ADD_FAILURE() << "unexpected message: " << quor::ToUtf8(shown.text);
    }
}

TEST_F(ConfigWindowTest, InstallDecisionComesFromTheLiveRegistration) {
    Open();
    ExpectRow(1, L"启动", false, L"安装", true);
    StandInMySql mysql(m_root.path(), FreePort());
    ASSERT_TRUE(mysql.Install());

    // Caption still "安装", but the service now exists: the click removes it.
    m_window->cmdInstall_Click(1);
    ExpectRow(1, L"启动", false, L"安装", true);
    EXPECT_TRUE(Eventually([] { return CheckSvcConfig(kMySql) != 0; }));
    EXPECT_TRUE(m_dialogs.shown.empty());
}

TEST_F(ConfigWindowTest, FailedStartShowsItsMessageAndChangesNothing) {
    // Registered by the window but with no program behind the paths.
    Open();
    m_window->cmdInstall_Click(0);
    m_window->cmdInstall_Click(7); // any index but 0 is MySQL
    ASSERT_EQ(CheckSvcConfig(kApache), 0);
    ASSERT_EQ(CheckSvcConfig(kMySql), 0);

    m_window->cmdService_Click(0);
    m_window->cmdService_Click(1);
    ASSERT_EQ(m_dialogs.shown.size(), 2u);
    EXPECT_EQ(m_dialogs.shown[0].text, L"启动Apache服务失败！");
    EXPECT_EQ(m_dialogs.shown[1].text, L"启动MySQL服务失败！");
    for (const ShownMessage& shown : m_dialogs.shown) {
        EXPECT_EQ(shown.title, L"信息");
        EXPECT_EQ(shown.type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    }
    ExpectRow(0, L"启动", true, L"卸载", true);
    ExpectRow(1, L"启动", true, L"卸载", true);
}

TEST_F(ConfigWindowTest, OkHandsTheWindowToThePortChangeAndCloseEndsIt) {
    frmConfig& window = Open();
    std::wstring seen;
    window.SetApplyPorts([&](frmConfig& w) {
        seen = w.ApacheText() + L"/" + w.MysqlText();
        w.Close();
    });
    SendMessageW(Item(Control::Ok), BM_CLICK, 0, 0);
    EXPECT_EQ(seen, L"8081/3307");
    EXPECT_EQ(window.Window(), nullptr);

    Open();
    SendMessageW(Item(Control::Close), BM_CLICK, 0, 0);
    EXPECT_EQ(m_window->Window(), nullptr);
    Open();
    SendMessageW(m_window->Window(), WM_CLOSE, 0, 0);
    EXPECT_EQ(m_window->Window(), nullptr);
}

} // namespace
} // namespace quorports
