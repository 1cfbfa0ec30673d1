// The stand-ins as real services of Wine's service manager, in a root whose path has spaces
// and Chinese characters and is registered unquoted, as the configurator registers it.
#include "StandInService.h"

#include "Process.h"
#include "SocketHandle.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <optional>

namespace quor::test {
namespace {

// A socket on 127.0.0.1:port, listening or connected; an empty handle when that fails.
SocketHandle Socket(unsigned short port, bool listening) {
    SocketHandle s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const auto* a = reinterpret_cast<const sockaddr*>(&address);
    const bool done =
        s && (listening ? bind(s.get(), a, sizeof(address)) == 0 && listen(s.get(), 1) == 0
                        : connect(s.get(), a, sizeof(address)) == 0);
    return done ? std::move(s) : SocketHandle();
}

// Sends request and returns everything received until the server closes (10 s at most).
std::string HttpExchange(unsigned short port, const std::string& request) {
    const SocketHandle s = Socket(port, false);
    const DWORD timeoutMs = 10000;
    std::string received;
    char buffer[4096];
    if (s &&
        setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
                   sizeof(timeoutMs)) == 0 &&
        send(s.get(), request.data(), static_cast<int>(request.size()), 0) ==
            static_cast<int>(request.size())) {
        for (int got = 0; (got = recv(s.get(), buffer, sizeof(buffer), 0)) > 0;) {
            received.append(buffer, static_cast<std::size_t>(got));
        }
    }
    return received;
}

// A fresh root and a fresh free port for each case; Install() also deletes a service of the
// same name left by a crashed run, and the destructor removes the service.
class StandInServiceTest : public ::testing::Test {
protected:
    bool Install(StandInService::Kind kind) {
        m_service.emplace(kind, m_root.path(), FreePort());
        return m_winsock.Error() == 0 && m_service->Port() != 0 && m_service->Install();
    }
    std::string Log(const wchar_t* name) const {
        return ReadBytes(m_service->LogFolder() + L"\\" + name).value_or("<missing>");
    }

    WinsockSession m_winsock;
    TempDir m_root{L" 安装 root"}; // declared before the service so that it outlives it
    std::optional<StandInService> m_service;
};

// The backup runs "net stop QUOR_MySQL", packs, then "net start QUOR_MySQL"; the configurator
// stops it and then probes the port. Wine's net returns as soon as the service manager has
// taken the request, without waiting for RUNNING; a stop is complete by then because the
// stand-in stops inside its control handler.
TEST_F(StandInServiceTest, MySqlStartsAndStopsThroughTheServiceManagerAndNet) {
    ASSERT_TRUE(Install(StandInService::Kind::MySql));
    const unsigned short port = m_service->Port();
    ASSERT_TRUE(m_service->Start());
    EXPECT_TRUE(Listening(port));
    EXPECT_FALSE(Socket(port, true)); // it listens on all addresses, so loopback is taken too
    ASSERT_TRUE(m_service->Stop());
    EXPECT_EQ(m_service->Status().dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));

    EXPECT_EQ(test::Run(SystemProgram(L"net.exe"), L"start QUOR_MySQL", 60000).exitCode, 0u);
    ASSERT_TRUE(m_service->WaitForState(SERVICE_RUNNING));
    EXPECT_TRUE(Listening(port));
    EXPECT_EQ(test::Run(SystemProgram(L"net.exe"), L"stop QUOR_MySQL", 60000).exitCode, 0u);
    EXPECT_TRUE(Socket(port, true)) << "port still taken right after net stop";
    EXPECT_EQ(m_service->State(), static_cast<DWORD>(SERVICE_STOPPED));
    const std::string run = "started port " + std::to_string(port) + "\r\nstopped\r\n";
    EXPECT_EQ(Log(L"standin.log"), run + run);
}

TEST_F(StandInServiceTest, MySqlStartFailsOnABusyPortUntilItIsFree) {
    ASSERT_TRUE(Install(StandInService::Kind::MySql));
    SocketHandle holder = Socket(m_service->Port(), true);
    ASSERT_TRUE(holder);
    EXPECT_FALSE(m_service->Start());
    const SERVICE_STATUS failed = m_service->Status();
    EXPECT_EQ(failed.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(failed.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(failed.dwServiceSpecificExitCode, static_cast<DWORD>(WSAEADDRINUSE));
    EXPECT_EQ(Log(L"standin.log"),
              "cannot listen on port " + std::to_string(m_service->Port()) + " (error 10048)\r\n");
    holder.reset();
    ASSERT_TRUE(m_service->Start());
    EXPECT_TRUE(Listening(m_service->Port()));
}

// Each request is answered 200 with its request line as the whole body, and that line is
// recorded; a body and LF line ends are no part of the record.
TEST_F(StandInServiceTest, ApacheAnswersEachRequestAndRecordsTheLastRequestLine) {
    ASSERT_TRUE(Install(StandInService::Kind::Apache));
    ASSERT_TRUE(m_service->Start());
    EXPECT_EQ(Log(L"last-request.txt"), "<missing>");
    const std::pair<std::string, std::string> requests[] = {
        {"GET /quor/login.php?user=%E5%AE%89 HTTP/1.1", "\r\nHost: 127.0.0.1\r\n\r\n"},
        {"POST /x HTTP/1.0", "\nContent-Length: 5\n\nhello"}};
    for (const auto& [line, rest] : requests) {
        const std::string answer = HttpExchange(m_service->Port(), line + rest);
        EXPECT_TRUE(answer.starts_with("HTTP/1.0 200 OK\r\n")) << answer;
        EXPECT_NE(answer.find("\r\nContent-Length: " + std::to_string(line.size()) + "\r\n"),
                  std::string::npos)
            << answer;
        EXPECT_TRUE(answer.ends_with("\r\n\r\n" + line)) << answer;
        EXPECT_EQ(Log(L"last-request.txt"), line);
    }
    ASSERT_TRUE(m_service->Stop());
    EXPECT_EQ(Log(L"standin.log"),
              "started port " + std::to_string(m_service->Port()) + "\r\nstopped\r\n");
}

} // namespace
} // namespace quor::test
