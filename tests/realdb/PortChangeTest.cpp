// The real QuorPorts.exe moves a real MariaDB server, running as QUOR_MySQL on a copy of the
// seeded data directory, to another port: a change refused for a taken port leaves it serving
// on its old port, a change that is applied moves it, and nothing answers on the old one.
#include "PortsWindowTest.h"

#include <winsock2.h>

using namespace quor::test;

namespace {

// The folder seed.sh made; QUOR_REALDB_SEED overrides the one known at build time.
std::wstring SeedFolder() {
    wchar_t value[1024] = L"";
    const DWORD length = GetEnvironmentVariableW(L"QUOR_REALDB_SEED", value, 1024);
    std::wstring folder = length > 0 && length < 1024 ? value : QUOR_REALDB_SEED_DEFAULT;
    for (wchar_t& c : folder) {
        c = c == L'/' ? L'\\' : c;
    }
    return folder;
}

bool CopyTree(const std::wstring& from, const std::wstring& to) {
    if (!CreateDirectoryW(to.c_str(), nullptr)) {
        return false;
    }
    WIN32_FIND_DATAW found;
    const quor::FindHandle find(FindFirstFileW((from + L"\\*").c_str(), &found));
    if (!find) {
        return false;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const bool copied = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                                ? CopyTree(from + L"\\" + name, to + L"\\" + name)
                                : CopyFileW((from + L"\\" + name).c_str(),
                                            (to + L"\\" + name).c_str(), TRUE) != FALSE;
        if (!copied) {
            return false;
        }
    } while (FindNextFileW(find.get(), &found));
    return true;
}

// True when a MariaDB server greets on 127.0.0.1:port: a handshake packet of protocol 10
// whose server version names MariaDB.
bool MariaDbGreets(unsigned short port) {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const DWORD timeoutMs = 5000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
               sizeof(timeoutMs));
    std::string greeting(256, '\0');
    int got = 0;
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        got = recv(s, greeting.data(), static_cast<int>(greeting.size()), 0);
    }
    closesocket(s);
    return got > 5 && greeting[4] == 10 &&
           greeting.substr(5, static_cast<size_t>(got) - 5).find("MariaDB") != std::string::npos;
}

class RealDbPortChangeTest : public PortsWindowTest {
protected:
    RealDbPortChangeTest() : PortsWindowTest(L"mysqld-real.exe") {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~RealDbPortChangeTest() override { WSACleanup(); }
    void PrepareRoot() override {
        ASSERT_TRUE(CopyTree(SeedFolder() + L"\\Data", m_root / L"Data"));
    }
};

} // namespace

TEST_F(RealDbPortChangeTest, TheServerMovesWithAnAppliedChangeAndStaysWhenTheChangeFails) {
    const unsigned short old = m_mysql.Port();
    ASSERT_TRUE(MariaDbGreets(old));

    // A port this test holds: refused, and the server is started again on its old port.
    const PortHolder holder;
    ASSERT_TRUE(holder.Listening());
    const unsigned short busy = holder.Port();
    Open();
    Submit(std::to_wstring(m_apache.Port()), std::to_wstring(busy));
    Answer(L"修改端口", IDYES);
    const std::wstring refusal = Answer(L"信息", IDOK).text;
    EXPECT_EQ(refusal.rfind(L"端口号" + std::to_wstring(busy) + L"已被占用!", 0), 0u)
        << quor::ToUtf8(refusal);
    EXPECT_TRUE(m_mysql.WaitForState(SERVICE_RUNNING));
    EXPECT_TRUE(Eventually([&] { return MariaDbGreets(old); }, 60000));

    // A free port: the server serves there, and no longer on the old one.
    const unsigned short moved = NextSmallPort();
    Submit(std::to_wstring(m_apache.Port()), std::to_wstring(moved));
    Answer(L"修改端口", IDYES);
    EXPECT_EQ(Answer(L"信息", IDOK).text, L"设置成功！");
    EXPECT_EQ(WaitExit(m_run), 0u);
    EXPECT_TRUE(m_mysql.WaitForState(SERVICE_RUNNING));
    EXPECT_TRUE(Eventually([&] { return MariaDbGreets(moved); }, 60000));
    EXPECT_FALSE(Listening(old));
    EXPECT_TRUE(Contains(File(L"MySQL\\my.ini"), "port=" + std::to_string(moved)));
}
