// How the stand-ins read their port, root and service name.
#include "StandInConfig.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace quor::standin {
namespace {

using Args = std::vector<std::wstring>;

TEST(StandInListenPortTest, FirstActiveListenLineWins) {
    // Comments and the look-alike ListenBacklog directive come first and must be passed over.
    EXPECT_EQ(ParseListenPort("#Listen 1\r\n  # Listen 2\r\nListenBacklog 511\r\n"
                              "  listen 8000\r\nListen 8001\r\n"),
              8000);
    EXPECT_EQ(ParseListenPort("LISTEN\t8080"), 8080);
    EXPECT_EQ(ParseListenPort("Listen 0.0.0.0:8081 http\n"), 8081);
    EXPECT_EQ(ParseListenPort("Listen [::]:8082\n"), 8082);
}

TEST(StandInListenPortTest, LinesWithoutAValidPortDoNotCount) {
    EXPECT_EQ(ParseListenPort("Listen\r\nListen abc\r\nListen 0\r\nListen 65536\r\nListen 81\r\n"),
              81);
    EXPECT_EQ(ParseListenPort("ServerName *:80\r\nDocumentRoot \"C:/htdocs\"\r\n"), 0);
    EXPECT_EQ(ParseListenPort(""), 0);
}

TEST(StandInMysqlPortTest, FirstPortLineWinsWithBlanksAroundTheSign) {
    EXPECT_EQ(ParseMysqlPort("[client]\r\nport = 3307\r\n[mysqld]\r\nport=3308\r\n"), 3307);
    EXPECT_EQ(ParseMysqlPort("#port=1\n;port=2\nmysqlx_port=33060\nport_open_timeout=5\n"
                             "  PORT\t=\t3309  \n"),
              3309);
    EXPECT_EQ(ParseMysqlPort("\xEF\xBB\xBFport=3310"), 3310);
}

TEST(StandInMysqlPortTest, LinesWithoutAValidPortDoNotCount) {
    EXPECT_EQ(ParseMysqlPort("port=\nport=x1\nport=70000\nport=3311\n"), 3311);
    EXPECT_EQ(ParseMysqlPort("[mysqld]\r\nbasedir=C:/MySQL\r\n"), 0);
}

TEST(StandInReadPortTest, ReadsTheConfigurationUnderTheRootOrFallsBackToTheDefault) {
    test::TempDir root(L" 安装 root");
    EXPECT_EQ(ReadPort(root.path(), Flavour::Apache), 80);
    EXPECT_EQ(ReadPort(root.path(), Flavour::MySql), 3306);

    ASSERT_TRUE(test::MakeDirs(root / L"Apache\\conf"));
    ASSERT_TRUE(test::MakeDirs(root / L"MySQL"));
    // ANSI files of the installation: a GBK comment line ("端口") before the setting.
    ASSERT_TRUE(test::WriteBytes(root / L"Apache\\conf\\httpd.conf",
                                 "# \xB6\xCB\xBF\xDA\r\nListen 8123\r\n"));
    ASSERT_TRUE(test::WriteBytes(root / L"MySQL\\my.ini", "# \xB6\xCB\xBF\xDA\r\nport=3399\r\n"));
    EXPECT_EQ(ReadPort(root.path(), Flavour::Apache), 8123);
    EXPECT_EQ(ReadPort(root.path(), Flavour::MySql), 3399);
}

TEST(StandInLayoutTest, RootIsTwoFoldersAboveTheProgram) {
    EXPECT_EQ(InstallationRootOf(L"C:\\Quor 安装\\MySQL\\bin\\mysqld-nt.exe"), L"C:\\Quor 安装");
    EXPECT_EQ(ConfigPath(L"C:\\Q", Flavour::Apache), L"C:\\Q\\Apache\\conf\\httpd.conf");
    EXPECT_EQ(ConfigPath(L"C:\\Q", Flavour::MySql), L"C:\\Q\\MySQL\\my.ini");
    EXPECT_EQ(LogFolder(L"C:\\Q", Flavour::MySql), L"C:\\Q\\MySQL\\logs");
}

TEST(StandInCommandLineTest, UnquotedProgramPathWithSpacesIsNotSplit) {
    // The service manager passes the registered line as it is: no quotes around the path.
    const std::wstring program = L"C:\\Quor 安装 root\\Apache\\bin\\httpd.exe";
    const Args apache = ArgumentsAfterProgram(program + L" -k runservice -n QUOR_Apache", program);
    EXPECT_EQ(apache, (Args{L"-k", L"runservice", L"-n", L"QUOR_Apache"}));
    EXPECT_EQ(ServiceNameFrom(Flavour::Apache, apache), L"QUOR_Apache");

    // The path may differ in case from the one the module reports.
    const std::wstring mysqld = L"C:\\Quor 安装 root\\MySQL\\bin\\mysqld-nt.exe";
    const Args mysql =
        ArgumentsAfterProgram(L"c:\\quor 安装 ROOT\\mysql\\bin\\mysqld-nt.exe QUOR_MySQL", mysqld);
    EXPECT_EQ(mysql, Args{L"QUOR_MySQL"});
    EXPECT_EQ(ServiceNameFrom(Flavour::MySql, mysql), L"QUOR_MySQL");
}

TEST(StandInCommandLineTest, QuotedOrForeignProgramPathIsSkippedAsOneWord) {
    const std::wstring program = L"C:\\Quor root\\MySQL\\bin\\mysqld-nt.exe";
    EXPECT_EQ(ArgumentsAfterProgram(L"\"" + program + L"\"  QUOR_MySQL  ", program),
              Args{L"QUOR_MySQL"});
    EXPECT_EQ(ArgumentsAfterProgram(L"mysqld-nt \"my service\" x", program),
              (Args{L"my service", L"x"}));
    EXPECT_EQ(ArgumentsAfterProgram(L"\"" + program + L"\"", program), Args{});
}

TEST(StandInCommandLineTest, ServiceNameAndConsoleSwitch) {
    EXPECT_EQ(ServiceNameFrom(Flavour::Apache, {L"-k", L"runservice"}), L"");
    EXPECT_EQ(ServiceNameFrom(Flavour::Apache, {L"-k", L"runservice", L"-n"}), L"");
    EXPECT_EQ(ServiceNameFrom(Flavour::MySql, {}), L"");
    EXPECT_EQ(ServiceNameFrom(Flavour::MySql, {L"--console"}), L"");
    EXPECT_TRUE(WantsConsole({L"--console"}));
    EXPECT_TRUE(WantsConsole({L"-k", L"-Console"}));
    EXPECT_FALSE(WantsConsole({L"QUOR_MySQL"}));
}

} // namespace
} // namespace quor::standin
