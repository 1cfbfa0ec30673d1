// The settings store on real files through the platform's profile functions.
#include "TestSupport.h"
#include "Text.h"
#include "clsINI.h"

#include <gtest/gtest.h>

using quor::clsINI;
using quor::test::ReadBytes;
using quor::test::TempDir;
using quor::test::WriteBytes;

namespace {

class IniTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_dir.path().empty());
        m_ini.IniName(m_path);
    }

    // Writes the settings file as ANSI (code page 936) text.
    void WriteIni(const std::wstring& text) { ASSERT_TRUE(WriteBytes(m_path, quor::ToAnsi(text))); }

    TempDir m_dir{L" 设置"};
    std::wstring m_path = m_dir / L"settings.ini";
    clsINI m_ini;
};

} // namespace

TEST(IniNameTest, IsTrimmedOfSpacesAndMissingNameFailsEveryOperation) {
    clsINI ini;
    EXPECT_EQ(ini.IniName(), L"");
    EXPECT_EQ(ini.ErrorMsg, L"");

    // Without a file name nothing is written and a read gives the default untouched.
    EXPECT_FALSE(ini.WriteString(L"QuorKAV", L"DataPath", L"x"));
    EXPECT_EQ(ini.ErrorMsg, L"没有指定 INI 文件");
    ini.ErrorMsg.clear();
    EXPECT_EQ(ini.ReadString(L"QuorKAV", L"DataPath", 100, L"  default  "), L"  default  ");
    EXPECT_EQ(ini.ErrorMsg, L"没有指定 INI 文件");

    // Only spaces are trimmed, on both sides.
    ini.IniName(L"   C:\\some dir\\settings.ini  ");
    EXPECT_EQ(ini.IniName(), L"C:\\some dir\\settings.ini");
    ini.IniName(L"\tC:\\x.ini");
    EXPECT_EQ(ini.IniName(), L"\tC:\\x.ini");
}

TEST_F(IniTest, FirstWriteCreatesAnsiFileAndSectionNamesIgnoreCase) {
    ASSERT_TRUE(m_ini.WriteString(L"QuorKav", L"DataPath", L"C:\\数据 目录\\Data"));
    EXPECT_EQ(m_ini.ErrorMsg, L"");

    // The file holds the section header and the key in code page 936.
    const auto bytes = ReadBytes(m_path);
    ASSERT_TRUE(bytes);
    EXPECT_NE(bytes->find("[QuorKav]"), std::string::npos);
    EXPECT_NE(bytes->find("DataPath=C:\\\xca\xfd\xbe\xdd \xc4\xbf\xc2\xbc\\Data"),
              std::string::npos)
        << *bytes;

    // Section and key are found under another spelling, and a second write replaces.
    EXPECT_EQ(m_ini.ReadString(L"QuorKAV", L"datapath", 100, L""), L"C:\\数据 目录\\Data");
    ASSERT_TRUE(m_ini.WriteString(L"QUORKAV", L"DATAPATH", L"D:\\other"));
    EXPECT_EQ(m_ini.ReadString(L"QuorKAV", L"DataPath", 100, L""), L"D:\\other");
}

TEST_F(IniTest, WriteIntoMissingFolderFails) {
    m_ini.IniName(m_dir / L"no such folder\\settings.ini");
    EXPECT_FALSE(m_ini.WriteString(L"QuorKAV", L"BakPath", L"x"));
    EXPECT_EQ(m_ini.ErrorMsg, L"写入失败");
}

TEST_F(IniTest, ReadStringTrimsAndFallsBackToDefault) {
    WriteIni(L"[QuorKAV]\r\nBakPath=   E:\\备份\\   \r\nEmpty=\r\n");
    EXPECT_EQ(m_ini.ReadString(L"QuorKAV", L"BakPath", 100, L"d"), L"E:\\备份\\");
    EXPECT_EQ(m_ini.ReadString(L"QuorKAV", L"Empty", 100, L"d"), L"");
    // An absent key or file gives the default, trimmed as well.
    EXPECT_EQ(m_ini.ReadString(L"QuorKAV", L"Missing", 100, L"  def  "), L"def");
    m_ini.IniName(m_dir / L"absent.ini");
    EXPECT_EQ(m_ini.ReadString(L"QuorKAV", L"BakPath", 100, L"dflt"), L"dflt");
    EXPECT_EQ(m_ini.ErrorMsg, L"");
}

TEST_F(IniTest, ReadStringCutsTheAnsiFormToTheBufferSize) {
    // 60 Chinese characters are 120 bytes in code page 936.
    const std::wstring chinese(60, L'数');
    WriteIni(L"[QuorKAV]\r\nLong=" + chinese + L"\r\nMixed=a" + chinese + L"\r\n");

    // A 100-byte buffer holds 99 bytes: 49 two-byte characters, never half of one.
    EXPECT_EQ(m_ini.ReadString(L"QuorKAV", L"Long", 100, L""), std::wstring(49, L'数'));
    EXPECT_EQ(m_ini.ReadString(L"QuorKAV", L"Mixed", 100, L""), L"a" + std::wstring(49, L'数'));
    EXPECT_EQ(m_ini.ReadString(L"QuorKAV", L"Long", 4, L""), std::wstring(1, L'数'));
    EXPECT_EQ(m_ini.ReadString(L"QuorKAV", L"Long", 1, L""), L"");

    // A large buffer gives a long path whole.
    const std::wstring longPath = L"C:\\" + std::wstring(300, L'目') + L"\\Data";
    ASSERT_TRUE(m_ini.WriteString(L"QuorKAV", L"DataPath", longPath));
    EXPECT_EQ(m_ini.ReadString(L"QuorKAV", L"DataPath", 65536, L""), longPath);
}

TEST_F(IniTest, ReadIntTellsZeroFromNonNumericFromAbsent) {
    WriteIni(L"[QuorKAV]\r\nApachePort=8080\r\nZero=0\r\nWord=abc\r\nLead=12abc\r\n");
    m_ini.ErrorMsg = L"earlier";

    EXPECT_EQ(m_ini.ReadInt(L"quorkav", L"ApachePort", 80), 8080);
    EXPECT_EQ(m_ini.ReadInt(L"QuorKAV", L"Lead", 80), 12);
    // A stored zero and a value without leading digits both read as 0, leaving ErrorMsg.
    EXPECT_EQ(m_ini.ReadInt(L"QuorKAV", L"Zero", 80), 0);
    EXPECT_EQ(m_ini.ReadInt(L"QuorKAV", L"Word", 80), 0);
    EXPECT_EQ(m_ini.ErrorMsg, L"earlier");

    // An absent key gives the default and says so.
    EXPECT_EQ(m_ini.ReadInt(L"QuorKAV", L"MysqlPort", 3306), 3306);
    EXPECT_EQ(m_ini.ErrorMsg, L"不能读取");
}

TEST_F(IniTest, ChkIniCreatesOnlyAMissingFile) {
    const std::wstring path = m_dir / L"new.ini";
    ASSERT_TRUE(m_ini.chkINI(path, L"[QuorKAV]\r\n端口"));
    EXPECT_EQ(ReadBytes(path).value_or(""), quor::ToAnsi(L"[QuorKAV]\r\n端口"));

    ASSERT_TRUE(m_ini.chkINI(path, L"other text"));
    EXPECT_EQ(ReadBytes(path).value_or(""), quor::ToAnsi(L"[QuorKAV]\r\n端口"));

    EXPECT_FALSE(m_ini.chkINI(m_dir / L"missing\\x.ini", L"x"));
}
