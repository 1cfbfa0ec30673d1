// The real QuorPorts.exe in an installation root whose services are the stand-in servers: a
// person types ports into the window, presses 确定 and answers the boxes.
#include "PortsWindowTest.h"

#include <winsock2.h>

using namespace quor::test;

namespace {

using QuorPortsWindowProgramTest = PortsWindowTest;

} // namespace

TEST_F(QuorPortsWindowProgramTest, BothPortsMoveAndTheServicesServeOnThem) {
    const unsigned short apache = NextSmallPort();
    const unsigned short mysql = NextSmallPort();
    Open();
    Submit(std::to_wstring(apache), std::to_wstring(mysql));

    const MessageBoxView question = Answer(L"修改端口", IDYES);
    EXPECT_EQ(question.text, L"修改端口可能造成服务无法启动，您确定修改？");
    EXPECT_TRUE(question.hasYes && question.hasNo && question.hasIcon);

    const MessageBoxView result = Answer(L"信息", IDOK);
    const std::wstring tail = L":" + std::to_wstring(apache) + L"/";
    EXPECT_EQ(result.text.rfind(L"设置成功，新地址为：\r\nhttp://", 0), 0u)
        << quor::ToUtf8(result.text);
    ASSERT_GT(result.text.size(), tail.size());
    EXPECT_EQ(result.text.substr(result.text.size() - tail.size()), tail);
    EXPECT_TRUE(result.hasOk && result.hasIcon);

    // Success closes the window, which ends the program.
    EXPECT_EQ(WaitExit(m_run), 0u);

    EXPECT_TRUE(m_apache.WaitForState(SERVICE_RUNNING));
    EXPECT_TRUE(m_mysql.WaitForState(SERVICE_RUNNING));
    EXPECT_TRUE(Listening(apache));
    EXPECT_TRUE(Listening(mysql));
    EXPECT_FALSE(Listening(m_apache.Port()));
    EXPECT_FALSE(Listening(m_mysql.Port()));
    const std::string settings = File(L"settings.ini");
    EXPECT_TRUE(Contains(settings, "ApachePort=" + std::to_string(apache))) << settings;
    EXPECT_TRUE(Contains(settings, "MysqlPort=" + std::to_string(mysql))) << settings;
    EXPECT_TRUE(Contains(File(L"Apache\\conf\\httpd.conf"), "Listen " + std::to_string(apache)));
    EXPECT_TRUE(Contains(File(L"MySQL\\my.ini"), "port=" + std::to_string(mysql)));
}

TEST_F(QuorPortsWindowProgramTest, BadTextsAndUnchangedPortsChangeNothing) {
    Open();
    const std::wstring apache = std::to_wstring(m_apache.Port());
    const std::wstring mysql = std::to_wstring(m_mysql.Port());

    Submit(L"80a", mysql);
    MessageBoxView shown = Answer(L"信息", IDOK);
    EXPECT_EQ(shown.text, L"Apache端口号错误，请重新输入");
    EXPECT_TRUE(shown.hasOk && shown.hasIcon);
    Submit(apache, L"");
    EXPECT_EQ(Answer(L"信息", IDOK).text, L"MySQL端口号错误，请重新输入");

    // A number outside the port type is refused before anything is stored.
    Submit(L"4e4", mysql);
    EXPECT_EQ(Answer(L"修改端口", IDYES).text, L"修改端口可能造成服务无法启动，您确定修改？");
    EXPECT_EQ(Answer(L"信息", IDOK).text, L"端口号4e4已被占用!");
    EXPECT_TRUE(IsWindow(m_window));

    // The texts the window loaded: no box, the window closes and the program ends.
    Submit(apache, mysql);
    EXPECT_EQ(WaitExit(m_run), 0u);

    EXPECT_EQ(m_apache.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(m_mysql.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(Listening(m_apache.Port()));
    const std::string settings = File(L"settings.ini");
    EXPECT_TRUE(Contains(settings, "ApachePort=" + quor::ToUtf8(apache))) << settings;
    EXPECT_FALSE(Contains(File(L"Apache\\conf\\httpd.conf"), "40000"));
}

TEST_F(QuorPortsWindowProgramTest, ABusyPortLeavesApacheServingOnItsOldPort) {
    // This test process listens on the new port.
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    const PortHolder holder;
    ASSERT_TRUE(holder.Listening());
    const unsigned short busy = holder.Port();

    Open();
    Submit(std::to_wstring(busy), std::to_wstring(m_mysql.Port()));
    Answer(L"修改端口", IDYES);
    const MessageBoxView shown = Answer(L"信息", IDOK);
    EXPECT_EQ(shown.text, L"端口号" + std::to_wstring(busy) + L"已被占用!");
    EXPECT_TRUE(shown.hasOk && shown.hasIcon);

    // The window stays open; Apache was stopped for the probe and runs again on its old port.
    EXPECT_TRUE(IsWindow(m_window));
    EXPECT_TRUE(m_apache.WaitForState(SERVICE_RUNNING));
    EXPECT_TRUE(Listening(m_apache.Port()));
    const std::string settings = File(L"settings.ini");
    EXPECT_TRUE(Contains(settings, "ApachePort=" + std::to_string(m_apache.Port()))) << settings;
    EXPECT_TRUE(
        Contains(File(L"Apache\\conf\\httpd.conf"), "Listen " + std::to_string(m_apache.Port())));
    PostMessageW(m_window, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitExit(m_run), 0u);
}
