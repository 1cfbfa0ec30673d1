// The real QuorPorts.exe in an installation root whose services are the stand-in servers: a
// person types ports into the window, presses 确定 and answers the boxes.
#include "StandInService.h"
#include "TestSupport.h"
#include "Text.h"

#include <gtest/gtest.h>
#include <winsock2.h>

#include <string>
#include <vector>

using namespace quor::test;

namespace {

constexpr wchar_t kCaption[] = L"QUOR服务端口配置";

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> children;
    EnumChildWindows(
        parent,
        [](HWND child, LPARAM list) {
            reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&children));
    return children;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = L"";
    GetClassNameW(window, name, 64);
    return name;
}

class QuorPortsWindowProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_apache.Install());
        ASSERT_TRUE(m_mysql.Install());
        ASSERT_TRUE(m_apache.Start());
        ASSERT_TRUE(m_mysql.Start());
        ASSERT_TRUE(WriteBytes(m_root / L"settings.ini",
                               "[QuorKAV]\r\nApachePort=" + std::to_string(m_apache.Port()) +
                                   "\r\nMysqlPort=" + std::to_string(m_mysql.Port()) + "\r\n"));
        ASSERT_TRUE(CopyInto(BinProgram(L"QuorPorts.exe"), m_program));
    }
    void TearDown() override {
        if (m_run.process) {
            TerminateProcess(m_run.process.get(), 1);
        }
    }

    // Starts the program and finds the window's two port boxes (the first two EDIT controls
    // in creation order) and its 确定 button.
    void Open() {
        m_run = Start(m_program, L"");
        m_window = WaitForWindow(m_run.id, nullptr, kCaption);
        ASSERT_NE(m_window, nullptr);
        std::vector<HWND> edits;
        for (HWND child : Children(m_window)) {
            if (ClassOf(child) == L"Edit") {
                edits.push_back(child);
            } else if (TextOf(child) == L"确定") {
                m_ok = child;
            }
        }
        ASSERT_GE(edits.size(), 2u);
        ASSERT_NE(m_ok, nullptr);
        m_apacheBox = edits[0];
        m_mysqlBox = edits[1];
        EXPECT_EQ(TextOf(m_apacheBox), std::to_wstring(m_apache.Port()));
        EXPECT_EQ(TextOf(m_mysqlBox), std::to_wstring(m_mysql.Port()));
    }

    // Types the texts over the boxes' contents, key by key, and presses 确定.
    void Submit(const std::wstring& apache, const std::wstring& mysql) {
        Type(m_apacheBox, apache);
        Type(m_mysqlBox, mysql);
        PostMessageW(m_ok, BM_CLICK, 0, 0);
    }
    static void Type(HWND box, const std::wstring& text) {
        SendMessageW(box, EM_SETSEL, 0, -1);
        SendMessageW(box, WM_CHAR, VK_BACK, 0);
        for (wchar_t c : text) {
            SendMessageW(box, WM_CHAR, c, 0);
        }
        EXPECT_EQ(TextOf(box), text);
    }

    // The next message box of the program, read and answered with the given button.
    MessageBoxView Answer(const wchar_t* title, int button) {
        HWND box = WaitForWindow(m_run.id, L"#32770", title, 60000);
        if (!box) {
            ADD_FAILURE() << "no box titled " << quor::ToUtf8(title);
            return {};
        }
        MessageBoxView view = ReadMessageBox(box);
        PressButton(box, button);
        return view;
    }

    std::string File(const wchar_t* relative) { return ReadBytes(m_root / relative).value_or(""); }

    static bool Contains(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }

    TempDir m_root{L"Quor 端口 程序"};
    StandInApache m_apache{m_root.path(), NextSmallPort()};
    StandInMySql m_mysql{m_root.path(), NextSmallPort()};
    std::wstring m_program = m_root / L"QuorPorts.exe";
    Started m_run;
    HWND m_window = nullptr, m_apacheBox = nullptr, m_mysqlBox = nullptr, m_ok = nullptr;
};

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
    SOCKET holder = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    unsigned short busy = 0;
    do {
        busy = NextSmallPort();
        address.sin_port = htons(busy);
    } while (bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0);
    ASSERT_EQ(listen(holder, 4), 0);

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
    closesocket(holder);
    WSACleanup();
}
