// The real QuorPorts.exe in an installation root whose two services run: a person opens the
// window, types ports into its boxes, presses 确定 and answers the boxes. The MySQL service is
// the stand-in server unless a suite installs another program in its place.
#pragma once

#include "StandInService.h"
#include "TestSupport.h"
#include "Text.h"

#include <gtest/gtest.h>
#include <winsock2.h>

#include <string>
#include <vector>

namespace quor::test {

inline constexpr wchar_t kPortsCaption[] = L"QUOR服务端口配置";

inline std::vector<HWND> Children(HWND parent) {
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

inline std::wstring ClassOf(HWND window) {
    wchar_t name[64] = L"";
    GetClassNameW(window, name, 64);
    return name;
}

// A socket of this process listening on a free four-digit port of 127.0.0.1, as another
// program holding the port would; closed with the object. Winsock must be started.
class PortHolder {
public:
    PortHolder() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        do {
            m_port = NextSmallPort();
            address.sin_port = htons(m_port);
        } while (bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0);
        m_listening = listen(m_socket, 4) == 0;
    }
    ~PortHolder() { closesocket(m_socket); }
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;

    unsigned short Port() const { return m_port; }
    bool Listening() const { return m_listening; }

private:
    SOCKET m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    unsigned short m_port = 0;
    bool m_listening = false;
};

class PortsWindowTest : public ::testing::Test {
protected:
    // mysqlProgram: the built program that runs as QUOR_MySQL (default: the stand-in).
    explicit PortsWindowTest(const wchar_t* mysqlProgram = nullptr)
        : m_mysql(m_root.path(), NextSmallPort(), mysqlProgram) {}

    void SetUp() override {
        PrepareRoot();
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
    // What the root needs before the services start.
    virtual void PrepareRoot() {}

    // Starts the program and finds the window's two port boxes (the first two EDIT controls
    // in creation order) and its 确定 button.
    void Open() {
        m_run = Start(m_program, L"");
        m_window = WaitForWindow(m_run.id, nullptr, kPortsCaption);
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
    StandInMySql m_mysql;
    std::wstring m_program = m_root / L"QuorPorts.exe";
    Started m_run;
    HWND m_window = nullptr, m_apacheBox = nullptr, m_mysqlBox = nullptr, m_ok = nullptr;
};

} // namespace quor::test
