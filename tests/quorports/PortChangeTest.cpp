// The port change against the stand-in services: validation, the question, and each port
// really moved (service stopped, files and settings changed, service listening again).
#include "FakeDialogs.h"
#include "PortChange.h"
#include "StandInService.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <winsock2.h>

using namespace quorports;
using namespace quor::test;

namespace {

class PortChangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_apache.Install());
        ASSERT_TRUE(m_mysql.Install());
        ASSERT_TRUE(m_apache.Start());
        ASSERT_TRUE(m_mysql.Start());
        m_state.AppDir = m_root.path();
        m_state.Settings.IniName(m_root.path() + L"/settings.ini");
        m_state.CurrentApachePort = m_apache.Port();
        m_state.CurrentMysqlPort = m_mysql.Port();
        m_dialogs.answer = IDYES;
    }

    // Applies the texts; the real holder lookup names no holder under Wine.
    PortChangeResult Apply(const std::wstring& apache, const std::wstring& mysql,
                           const HolderLookup& findHolder = FindPortHolder) {
        return ApplyPortChange(
            m_state, m_probe, m_dialogs, nullptr, apache, mysql,
            [this](const std::wstring& verb, const wchar_t* service) {
                m_net.push_back(verb + L" " + service);
                RunNetAndWait(verb, service);
            },
            findHolder);
    }

    std::string File(const wchar_t* relative) { return ReadBytes(m_root / relative).value_or(""); }
    static std::wstring Text(int port) { return std::to_wstring(port); }

    // The service runs again and answers on port.
    static void ExpectServing(StandInService& service, int port) {
        EXPECT_TRUE(service.WaitForState(SERVICE_RUNNING));
        EXPECT_TRUE(Listening(static_cast<unsigned short>(port)));
    }

    TempDir m_root{L" 端口 root"};
    StandInApache m_apache{m_root.path(), NextSmallPort()};
    StandInMySql m_mysql{m_root.path(), NextSmallPort()};
    AppState m_state;
    ProbeSocket m_probe;
    FakeDialogs m_dialogs;
    std::vector<std::wstring> m_net;
};

} // namespace

TEST_F(PortChangeTest, ValidationQuestionAndNothingChanged) {
    EXPECT_TRUE(IsNumber(L" 8080 ") && IsNumber(L"80.6") && IsNumber(L"4e4") && IsNumber(L"-1"));
    EXPECT_FALSE(IsNumber(L"") || IsNumber(L"abc") || IsNumber(L"0x50") || IsNumber(L"8 0"));

    // Letters in the Apache box: only its message; the MySQL box is not looked at.
    EXPECT_EQ(Apply(L"ab", L"xy"), PortChangeResult::KeepOpen);
    ASSERT_EQ(m_dialogs.shown.size(), 1u);
    EXPECT_EQ(m_dialogs.shown[0].text, L"Apache端口号错误，请重新输入");
    EXPECT_EQ(m_dialogs.shown[0].title, L"信息");
    EXPECT_EQ(m_dialogs.shown[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(Apply(Text(m_apache.Port()), L"xy"), PortChangeResult::KeepOpen);
    EXPECT_EQ(m_dialogs.shown.back().text, L"MySQL端口号错误，请重新输入");

    // Unchanged texts close without a word; No keeps everything as it was.
    m_dialogs.shown.clear();
    EXPECT_EQ(Apply(Text(m_apache.Port()), Text(m_mysql.Port())), PortChangeResult::Close);
    EXPECT_TRUE(m_dialogs.shown.empty());
    m_dialogs.answer = IDNO;
    EXPECT_EQ(Apply(Text(NextSmallPort()), Text(m_mysql.Port())), PortChangeResult::KeepOpen);
    ASSERT_EQ(m_dialogs.shown.size(), 1u);
    EXPECT_EQ(m_dialogs.shown[0].text, L"修改端口可能造成服务无法启动，您确定修改？");
    EXPECT_EQ(m_dialogs.shown[0].title, L"修改端口");
    EXPECT_EQ(m_dialogs.shown[0].type,
              static_cast<UINT>(MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2));
    EXPECT_TRUE(m_net.empty());
    EXPECT_EQ(File(L"settings.ini"), "");
}

TEST_F(PortChangeTest, MovesBothServicesToTheirNewPorts) {
    const int apache = NextSmallPort();
    const int mysql = NextSmallPort();
    EXPECT_EQ(Apply(Text(apache), L" " + Text(mysql) + L" "), PortChangeResult::Close);

    const std::vector<std::wstring> net = {L"stop QUOR_Apache", L"start QUOR_Apache",
                                           L"stop QUOR_MySQL", L"start QUOR_MySQL"};
    EXPECT_EQ(m_net, net);
    const std::string a = std::to_string(apache);
    EXPECT_EQ(File(L"Apache\\conf\\httpd.conf"), "Listen " + a + "\r\nServerName *:" + a + "\r\n");
    EXPECT_EQ(File(L"MySQL\\my.ini"), "[mysqld]\r\nport=" + std::to_string(mysql) + "\r\n");
    const std::string settings = File(L"settings.ini");
    EXPECT_NE(settings.find("ApachePort=" + a), std::string::npos) << settings;
    EXPECT_NE(settings.find("MysqlPort=" + std::to_string(mysql)), std::string::npos);
    // Serving on the new ports also shows that the probe let go of them.
    ExpectServing(m_apache, apache);
    ExpectServing(m_mysql, mysql);
    ASSERT_EQ(m_dialogs.shown.size(), 2u);
    EXPECT_EQ(m_dialogs.shown[1].text,
              L"设置成功，新地址为：\r\nhttp://" + m_probe.LocalIp() + L":" + Text(apache) + L"/");
    EXPECT_EQ(m_dialogs.shown[1].type, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
}

TEST_F(PortChangeTest, OnlyMySqlChangedSaysSoBriefly) {
    const int mysql = NextSmallPort();
    EXPECT_EQ(Apply(Text(m_apache.Port()), Text(mysql)), PortChangeResult::Close);
    const std::vector<std::wstring> net = {L"stop QUOR_MySQL", L"start QUOR_MySQL"};
    EXPECT_EQ(m_net, net);
    EXPECT_EQ(m_dialogs.shown.back().text, L"设置成功！");
    ExpectServing(m_mysql, mysql);
}

TEST_F(PortChangeTest, PortThatCannotBeUsedLeavesTheServiceOnItsOldPort) {
    // A port another program holds, and texts that pass the number test but are no port.
    const int busy = NextSmallPort();
    SOCKET holder = INVALID_SOCKET;
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        holder = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(busy));
        ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ASSERT_EQ(listen(holder, 4), 0);
    }
    const std::string before = File(L"Apache\\conf\\httpd.conf");
    for (const std::wstring& text : {Text(busy), std::wstring(L"4e4"), std::wstring(L"-1")}) {
        m_dialogs.shown.clear();
        EXPECT_EQ(Apply(text, Text(m_mysql.Port())), PortChangeResult::KeepOpen);
        ASSERT_EQ(m_dialogs.shown.size(), 2u);
        EXPECT_EQ(m_dialogs.shown[1].text, L"端口号" + text + L"已被占用!");
        EXPECT_EQ(m_dialogs.shown[1].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
        EXPECT_EQ(File(L"Apache\\conf\\httpd.conf"), before);
        EXPECT_EQ(File(L"settings.ini"), "");
        ExpectServing(m_apache, m_apache.Port());
    }

    // Both changed and the MySQL port taken: Apache's change stands, MySQL stays as it was.
    const int apache = NextSmallPort();
    m_dialogs.shown.clear();
    EXPECT_EQ(Apply(Text(apache), Text(busy)), PortChangeResult::KeepOpen);
    ASSERT_EQ(m_dialogs.shown.size(), 2u);
    EXPECT_EQ(m_dialogs.shown[1].text, L"端口号" + Text(busy) + L"已被占用!");
    ExpectServing(m_apache, apache);
    ExpectServing(m_mysql, m_mysql.Port());
    EXPECT_EQ(File(L"MySQL\\my.ini"),
              "[mysqld]\r\nport=" + std::to_string(m_mysql.Port()) + "\r\n");

    // A holder that can be named goes on a second line; the port asked about is the one typed.
    std::vector<int> asked;
    const HolderLookup named = [&](int port) {
        asked.push_back(port);
        return std::optional(PortHolder{L"httpd.exe", 1234});
    };
    m_dialogs.shown.clear();
    EXPECT_EQ(Apply(L" " + Text(busy), Text(m_mysql.Port()), named), PortChangeResult::KeepOpen);
    ASSERT_EQ(m_dialogs.shown.size(), 2u);
    EXPECT_EQ(m_dialogs.shown[1].text,
              L"端口号" + Text(busy) + L"已被占用!\r\n占用程序：httpd.exe（PID 1234）");
    EXPECT_EQ(m_dialogs.shown[1].title, L"信息");
    EXPECT_EQ(m_dialogs.shown[1].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(asked, std::vector<int>{busy});
    closesocket(holder);
    WSACleanup();
}
