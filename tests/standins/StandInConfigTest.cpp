// How the stand-ins read their port from the configuration under their root and their
// service name from the command line the service manager gives them.
#include "StandInConfig.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <tuple>

namespace quor::standin {
namespace {

using enum Flavour;

// The first active setting with a valid port wins, after comments, look-alike keys and
// invalid ports; without one, or without the file, the server's default port applies.
TEST(StandInConfigTest, ReadsThePortFromTheConfigurationUnderTheRoot) {
    const std::tuple<Flavour, const char*, unsigned short> cases[] = {
        {Apache, nullptr, 80},
        {Apache,
         "#Listen 1\r\n # Listen 2\r\nListenBacklog 511\r\nListen\r\nListen abc\r\n"
         "Listen 0\r\nListen 65536\r\n LISTEN\t8000\r\nListen 81\r\n",
         8000},
        {Apache, "Listen 0.0.0.0:8081 http\n", 8081},
        {Apache, "Listen [::]:8082\n", 8082},
        {Apache, "# \xB6\xCB\xBF\xDA\r\nListen 8123\r\n", 8123}, // a GBK comment line
        {Apache, "ServerName *:84\r\n", 80},
        {MySql, nullptr, 3306},
        {MySql, "[client]\r\nport = 3307\r\n[mysqld]\r\nport=3308\r\n", 3307},
        {MySql,
         "#port=1\n;port=2\nmysqlx_port=33060\nport_open_timeout=5\nport=\nport=x1\n"
         "port=70000\n PORT\t=\t3309 \n",
         3309},
        {MySql, "\xEF\xBB\xBFport=3310", 3310},
        {MySql, "# \xB6\xCB\xBF\xDA\r\nport=3399\r\n", 3399},
        {MySql, "[mysqld]\r\nbasedir=C:/MySQL\r\n", 3306},
    };
    for (const auto& [flavour, text, port] : cases) {
        test::TempDir root(L" 安装 root");
        ASSERT_TRUE(test::MakeDirs(root / L"Apache\\conf") && test::MakeDirs(root / L"MySQL"));
        const wchar_t* file = flavour == Apache ? L"Apache\\conf\\httpd.conf" : L"MySQL\\my.ini";
        ASSERT_TRUE(!text || test::WriteBytes(root / file, text));
        EXPECT_EQ(ReadPort(root.path(), flavour), port) << (text ? text : "no file");
    }
}

// The service manager passes the registered line as it is: an unquoted program path with
// spaces (in any case) is skipped whole, a quoted or foreign one as one word; Apache takes
// the name after "-n", MySQL its first argument unless that is a switch.
TEST(StandInConfigTest, FindsTheServiceNameAfterTheProgramPath) {
    const std::wstring apache = L"C:\\Quor 安装 root\\Apache\\bin\\httpd.exe";
    const std::wstring mysql = L"C:\\Quor 安装 root\\MySQL\\bin\\mysqld-nt.exe";
    const std::tuple<Flavour, std::wstring, std::wstring> cases[] = {
        {Apache, apache + L" -k runservice -n QUOR_Apache", L"QUOR_Apache"},
        {Apache, apache + L" -k runservice -n", L""},
        {MySql, L"c:\\quor 安装 ROOT\\mysql\\bin\\mysqld-nt.exe QUOR_MySQL", L"QUOR_MySQL"},
        {MySql, L"\"" + mysql + L"\"  QUOR_MySQL  ", L"QUOR_MySQL"},
        {MySql, L"mysqld-nt \"my service\" x", L"my service"},
        {MySql, mysql + L" --console", L""},
    };
    for (const auto& [flavour, line, name] : cases) {
        EXPECT_EQ(ServiceNameFrom(flavour,
                                  ArgumentsAfterProgram(line, flavour == Apache ? apache : mysql)),
                  name)
            << line;
    }
}

} // namespace
} // namespace quor::standin
