// The pieces of the real MySQL server that decide what it is started with and how it is
// recognised: argument quoting for Linux programs, the data directory rule, the socket path,
// pid files and the server's greeting. The service itself is tested by realserver.sh.
#include "RealServerConfig.h"
#include "ServerGreeting.h"
#include "UnixSide.h"

#include "TestSupport.h"
#include "Text.h"

#include <gtest/gtest.h>

#include <shellapi.h>

namespace quor::standin {
namespace {

// Wine splits a Linux program's command line as CommandLineToArgvW does, so every argument
// must come back from it unchanged, whatever quotes, blanks and backslashes it holds.
TEST(RealServerTest, QuotedArgumentsSplitBackExactly) {
    const std::vector<std::wstring> arguments = {L"--datadir=/root/QUOR 真 root/库 data",
                                                 L"",
                                                 L"plain",
                                                 L"a\"b",
                                                 L"tail\\",
                                                 L"tail \\",
                                                 L"\\\\server\\share\\",
                                                 L"x\\\"y",
                                                 L"echo $$ >\"$0\" && exec \"$@\"",
                                                 L"\t"};
    std::wstring commandLine = L"sh";
    for (const std::wstring& argument : arguments) {
        commandLine += L" " + QuoteArgument(argument);
    }
    int count = 0;
    wchar_t** split = CommandLineToArgvW(commandLine.c_str(), &count);
    ASSERT_NE(split, nullptr);
    ASSERT_EQ(count, static_cast<int>(arguments.size()) + 1) << commandLine;
    for (size_t i = 0; i < arguments.size(); ++i) {
        EXPECT_EQ(split[i + 1], arguments[i]) << commandLine;
    }
    LocalFree(split);
    EXPECT_EQ(QuoteArgument(L"--port=3306"), L"--port=3306");
}

// settings.ini's DataPath (section name in any case, ANSI text) wins over the folders; an
// empty value does not count; then <root>\Data, then <root>\MySQL\Data.
TEST(RealServerTest, FindsTheDataDirectoryAsTheBackupDoes) {
    test::TempDir root(L" 安装 root");
    EXPECT_EQ(DataDirectoryOf(root.path()), root / L"MySQL\\Data");
    ASSERT_TRUE(test::MakeDirs(root / L"Data"));
    EXPECT_EQ(DataDirectoryOf(root.path()), root / L"Data");
    ASSERT_TRUE(test::WriteBytes(root / L"settings.ini", "[QuorKAV]\r\nDataPath=\r\n"));
    EXPECT_EQ(DataDirectoryOf(root.path()), root / L"Data");
    ASSERT_TRUE(test::WriteBytes(root / L"settings.ini",
                                 "[quorkav]\r\nDataPath=" + ToAnsi(L"D:\\数据 库") + "\r\n"));
    EXPECT_EQ(DataDirectoryOf(root.path()), L"D:\\数据 库");
}

// The socket stays in the run folder while its UTF-8 path fits a socket address (107 bytes),
// counted in bytes, not characters.
TEST(RealServerTest, PutsTheSocketInAShortFolderWhenTheRunFolderIsTooLong) {
    const std::wstring suffix = L"/mysqld.sock";
    const std::wstring fits(kMaxSocketPath - suffix.size(), L'a');
    EXPECT_EQ(SocketPathFor(fits, 3306), fits + suffix);
    EXPECT_EQ(SocketPathFor(fits + L"a", 3306), L"/tmp/quor-mysqld-3306/mysqld.sock");
    const std::wstring chinese(kMaxSocketPath / 3, L'库'); // 3 bytes each in UTF-8
    EXPECT_EQ(SocketPathFor(chinese, 23306), L"/tmp/quor-mysqld-23306/mysqld.sock");
}

// A pid file counts only once its line is complete.
TEST(RealServerTest, ReadsPidLines) {
    EXPECT_EQ(ParsePidLine("4194304\n"), 4194304u);
    for (const char* text : {"", "\n", "123", "12a\n", "0\n", "-5\n", "12345678\n", " 12\n"}) {
        EXPECT_EQ(ParsePidLine(text), std::nullopt) << text;
    }
}

// The greeting of protocol 10 is recognised from its first bytes on; the start of another
// program's answer, an error packet or a later packet is not taken for it.
TEST(RealServerTest, RecognisesTheServersGreeting) {
    std::string payload = std::string("\x0A") + "10.11.19-MariaDB" + '\0' +
                          std::string("\x05\x00\x00\x00", 4) + "salt1234" + '\0';
    const std::string greeting =
        std::string{static_cast<char>(payload.size()), '\0', '\0', '\0'} + payload;
    EXPECT_EQ(ClassifyGreeting(greeting), Greeting::Valid);
    EXPECT_EQ(ClassifyGreeting(greeting + "more"), Greeting::Valid);
    for (const size_t cut : {size_t(0), size_t(3), size_t(5), greeting.size() - 1}) {
        EXPECT_EQ(ClassifyGreeting(greeting.substr(0, cut)), Greeting::Incomplete) << cut;
    }
    std::string later = greeting;
    later[3] = 1;
    std::string error = greeting;
    error[4] = '\xFF';
    const std::string noVersionEnd = std::string("\x03\x00\x00\x00\x0A"
                                                 "10",
                                                 7);
    for (const std::string& bytes :
         {later, error.substr(0, 6), noVersionEnd, std::string("HTTP/1.0 200 OK\r\n")}) {
        EXPECT_EQ(ClassifyGreeting(bytes), Greeting::Invalid) << bytes;
    }
}

} // namespace
} // namespace quor::standin
