// The stand-ins as real services of Wine's service manager, in a root whose path has spaces
// and Chinese characters and is registered unquoted, as the configurator registers it.
#include "StandInService.h"

#include "Process.h"
#include "SocketHandle.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <memory>

namespace quor::test {
namespace {

sockaddr_in Loopback(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A listening socket on 127.0.0.1:port, or an empty handle when the port is taken.
SocketHandle ListenOn(unsigned short port) {
    SocketHandle s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    const sockaddr_in address = Loopback(port);
    if (!s || bind(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(s.get(), 1) != 0) {
        return SocketHandle();
    }
    return s;
}

// Sends request and returns everything received until the server closes (10 s at most).
std::string HttpExchange(unsigned short port, const std::string& request) {
    const SocketHandle s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    const DWORD timeoutMs = 10000;
    const sockaddr_in address = Loopback(port);
    if (!s ||
        setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
                   sizeof(timeoutMs)) != 0 ||
        connect(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        send(s.get(), request.data(), static_cast<int>(request.size()), 0) !=
            static_cast<int>(request.size())) {
        return {};
    }
    std::string received;
    char buffer[4096];
    int got = 0;
    while ((got = recv(s.get(), buffer, sizeof(buffer), 0)) > 0) {
        received.append(buffer, static_cast<size_t>(got));
    }
    return received;
}

RunResult Net(const std::wstring& arguments) {
    return Run(SystemProgram(L"net.exe"), arguments, 60000);
}

// Each case gets a fresh root and a fresh free port; Install() also deletes a service of the
// same name left by a crashed run.
template <typename Service> class StandInFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(m_winsock.Error(), 0);
        ASSERT_FALSE(m_root.path().empty());
        const unsigned short port = FreePort();
        ASSERT_NE(port, 0);
        m_service = std::make_unique<Service>(m_root.path(), port);
        ASSERT_TRUE(m_service->Install());
    }

    void TearDown() override {
        if (m_service) {
            EXPECT_TRUE(m_service->Remove());
            m_service.reset();
        }
    }

    unsigned short Port() const { return m_service->Port(); }
    std::string LogFile(const wchar_t* name) const {
        return ReadBytes(m_service->LogFolder() + L"\\" + name).value_or("<missing>");
    }
    std::string Started() const { return "started port " + std::to_string(Port()) + "\r\n"; }

    WinsockSession m_winsock;
    // Declared before the service so that the folder outlives it.
    TempDir m_root{L" 安装 root"};
    std::unique_ptr<Service> m_service;
};

using StandInMySqlServiceTest = StandInFixture<StandInMySql>;
using StandInApacheServiceTest = StandInFixture<StandInApache>;

TEST_F(StandInMySqlServiceTest, RunsUnderStartServiceAndStopsOnControl) {
    ASSERT_TRUE(m_service->Start());
    EXPECT_EQ(m_service->State(), SERVICE_RUNNING);
    EXPECT_TRUE(Listening(Port()));
    // It listens on all addresses, so the loopback port is taken too.
    EXPECT_FALSE(ListenOn(Port()));
    EXPECT_EQ(LogFile(L"standin.log"), Started());

    ASSERT_TRUE(m_service->Stop());
    EXPECT_EQ(m_service->Status().dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    EXPECT_FALSE(Listening(Port()));
    EXPECT_TRUE(ListenOn(Port()));
    EXPECT_EQ(LogFile(L"standin.log"), Started() + "stopped\r\n");
}

// The backup runs "net stop QUOR_MySQL", packs, then "net start QUOR_MySQL"; the configurator
// runs "net stop" and then probes the port. Wine's net returns as soon as the service manager
// has taken the request, without waiting for RUNNING; a stop is complete by then because the
// stand-in stops inside its control handler.
TEST_F(StandInMySqlServiceTest, NetStopAndStartRestartIt) {
    const RunResult firstStart = Net(L"start QUOR_MySQL");
    ASSERT_TRUE(firstStart.finished);
    EXPECT_EQ(firstStart.exitCode, 0u) << firstStart.output;
    ASSERT_TRUE(m_service->WaitForState(SERVICE_RUNNING));
    EXPECT_TRUE(Listening(Port()));

    const RunResult stop = Net(L"stop QUOR_MySQL");
    ASSERT_TRUE(stop.finished);
    EXPECT_EQ(stop.exitCode, 0u) << stop.output;
    EXPECT_TRUE(ListenOn(Port())) << "port still taken right after net stop";
    EXPECT_EQ(m_service->State(), SERVICE_STOPPED);

    const RunResult secondStart = Net(L"start QUOR_MySQL");
    ASSERT_TRUE(secondStart.finished);
    EXPECT_EQ(secondStart.exitCode, 0u) << secondStart.output;
    ASSERT_TRUE(m_service->WaitForState(SERVICE_RUNNING));
    EXPECT_TRUE(Listening(Port()));
    EXPECT_EQ(LogFile(L"standin.log"), Started() + "stopped\r\n" + Started());
}

TEST_F(StandInMySqlServiceTest, BusyPortMakesTheStartFailUntilItIsFree) {
    SocketHandle holder = ListenOn(Port());
    ASSERT_TRUE(holder);

    EXPECT_FALSE(m_service->Start());
    const SERVICE_STATUS failed = m_service->Status();
    EXPECT_EQ(failed.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(failed.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(failed.dwServiceSpecificExitCode, static_cast<DWORD>(WSAEADDRINUSE));
    EXPECT_EQ(LogFile(L"standin.log"),
              "cannot listen on port " + std::to_string(Port()) + " (error 10048)\r\n");

    holder.reset();
    ASSERT_TRUE(m_service->Start());
    EXPECT_TRUE(Listening(Port()));
}

TEST_F(StandInApacheServiceTest, AnswersEachRequestAndRecordsTheLastRequestLine) {
    ASSERT_TRUE(m_service->Start());
    EXPECT_EQ(LogFile(L"last-request.txt"), "<missing>");

    const std::string line = "GET /quor/login.php?user=%E5%AE%89 HTTP/1.1";
    const std::string answer = HttpExchange(Port(), line + "\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << answer;
    EXPECT_TRUE(answer.ends_with("\r\n\r\n" + line)) << answer;
    EXPECT_EQ(LogFile(L"last-request.txt"), line);

    // A request with a body and LF line ends: the body is not part of the record.
    const std::string post = "POST /x HTTP/1.0";
    const std::string second = HttpExchange(Port(), post + "\nContent-Length: 5\n\nhello");
    EXPECT_TRUE(second.ends_with("\r\n\r\n" + post)) << second;
    EXPECT_EQ(LogFile(L"last-request.txt"), post);

    ASSERT_TRUE(m_service->Stop());
    EXPECT_EQ(LogFile(L"standin.log"), Started() + "stopped\r\n");
}

} // namespace
} // namespace quor::test
