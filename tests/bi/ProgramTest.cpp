// bi.exe as the backup manager runs it: exact command lines, exit codes, messages, and a
// full round trip of a data folder.
#include "BiTestUtil.h"
#include "Files.h"

#include <gtest/gtest.h>

namespace bi {
namespace {

using namespace test;
using namespace quor::test;

RunResult RunBi(const std::wstring& arguments) {
    return Run(BinProgram(L"bi.exe"), arguments);
}

std::wstring Quoted(const std::wstring& path) {
    return L"\"" + path + L"\"";
}

class BiProgramTest : public ::testing::Test {
protected:
    // Source and archive live below a folder with a space and Chinese characters; both are
    // quoted on the command line, as the backup job quotes them.
    TempDir m_root{L" 备份 测试"};
    std::wstring m_data = m_root / L"src\\Data";
    std::wstring m_archive = m_root / L"Data-20240102-030405.quordb";
};

// The whole backup and restore path: pack with the backup job's command line, extract with
// the restore job's (unquoted destination, archive inside it), compare every name, byte,
// time and attribute. The large files span several chunks; the text compresses, the rest
// does not.
TEST_F(BiProgramTest, RestoresExactlyWhatItPacked) {
    std::string text;
    for (int row = 0; text.size() < (3u << 20); ++row) {
        text += std::to_string(row * 7919 % 100003) + "\t订单\tshipped\r\n";
    }
    const std::pair<const wchar_t*, std::string> files[] = {
        {L"text.txt", text},
        {L"empty.txt", ""},
        {L"medium.bin", Pattern((64u << 10) + 7, 1)},
        {L"large.bin", Pattern((9u << 20) + 13, 2)},
        {L"nested\\deeper\\deepest\\f.txt", "deep"},
        {L"中文目录\\数据.txt", "中文内容"},
        {L"\U0001F600 emoji \U00020000.txt", "outside the BMP"},
        {L"readonly.txt", "cannot change"},
        {L"hidden.txt", "not shown"},
    };
    ASSERT_TRUE(MakeDirs(m_data + L"\\empty folder"));
    ASSERT_TRUE(MakeDirs(m_data + L"\\nested\\deeper\\deepest"));
    ASSERT_TRUE(MakeDirs(m_data + L"\\中文目录"));
    std::uint64_t time = FileTimeOf(2023, 5, 6, 7, 8, 9) + 1234567;
    for (const auto& [name, content] : files) {
        ASSERT_TRUE(WriteBytes(m_data + L"\\" + name, content));
        ASSERT_TRUE(SetModified(m_data + L"\\" + name, time += 10000000ull * 3601));
    }
    ASSERT_TRUE(SetFileAttributesW((m_data + L"\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW((m_data + L"\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN));
    // Folders last, deepest first: adding to a folder changes its time.
    for (const wchar_t* folder : {L"\\nested\\deeper\\deepest", L"\\nested\\deeper", L"\\nested",
                                  L"\\empty folder", L"\\中文目录", L""}) {
        ASSERT_TRUE(SetModified(m_data + folder, time += 10000000ull * 86400));
    }

    RunResult packed = RunBi(L"a -ep1 -inul -m2 " + Quoted(m_archive) + L" " + Quoted(m_data));
    ASSERT_EQ(0u, packed.exitCode) << packed.output;
    EXPECT_EQ("", packed.output);
    EXPECT_FALSE(quor::PathExists(m_archive + L".partial"));

    TempDir install(L"恢复");
    const std::wstring tmp = install / L"Tmp";
    ASSERT_TRUE(MakeDirs(tmp));
    ASSERT_TRUE(CopyInto(m_archive, tmp + L"\\.quordbrestore.tmp"));
    const RunResult extracted =
        RunBi(L"x -v -inul " + Quoted(tmp + L"\\.quordbrestore.tmp") + L" " + tmp);
    ASSERT_EQ(0u, extracted.exitCode) << extracted.output;
    EXPECT_EQ("", extracted.output);

    auto restored = Snapshot(tmp);
    restored.erase(L".quordbrestore.tmp");
    const auto original = Snapshot(m_root / L"src");
    EXPECT_EQ(original.size(), restored.size());
    for (const auto& [path, item] : original) {
        // Kind, content, time and attributes at once: a 9 MiB mismatch is not printed.
        EXPECT_TRUE(restored.contains(path) && restored.at(path) == item) << Narrow(path);
    }
}

// Switches after the archive name and in upper case, as RAR accepts them, and ".rar" added
// to a name without one; listing and testing print names as UTF-8 when the output is a file.
TEST_F(BiProgramTest, ListsAndTestsWithMessages) {
    ASSERT_TRUE(MakeDirs(m_data + L"\\中文"));
    ASSERT_TRUE(WriteBytes(m_data + L"\\中文\\\U0001F600.txt", "12345"));
    const std::wstring bare = Quoted(m_root / L"bare");
    ASSERT_EQ(0u, RunBi(L"A " + bare + L" -EP1 -INUL " + Quoted(m_data)).exitCode);
    EXPECT_TRUE(quor::PathExists(m_root / L"bare.rar"));

    const RunResult listed = RunBi(L"l " + bare);
    EXPECT_EQ(0u, listed.exitCode);
    EXPECT_NE(std::string::npos, listed.output.find("Data/中文/\xF0\x9F\x98\x80.txt"))
        << listed.output;
    EXPECT_NE(std::string::npos, listed.output.find("1 file(s), 2 folder(s)")) << listed.output;
    const RunResult tested = RunBi(L"t " + bare);
    EXPECT_EQ(0u, tested.exitCode);
    EXPECT_NE(std::string::npos, tested.output.find("All OK")) << tested.output;
    EXPECT_EQ("", RunBi(L"t -inul " + bare).output);
}

// Compressed archives of both formats: the listing names method, dictionary and solidity;
// extraction leaves links out with RAR's warning code and one line saying so.
TEST_F(BiProgramTest, ListsTestsAndExtractsCompressedArchives) {
    const std::wstring samples = Env(L"QUOR_TESTDATA") + L"\\";
    const RunResult best =
        RunBi(L"l " + Quoted(samples + L"test_read_format_rar_compress_best.rar"));
    EXPECT_EQ(0u, best.exitCode);
    EXPECT_NE(std::string::npos, best.output.find("Format: RAR 2.9-4.x, not solid")) << best.output;
    EXPECT_NE(std::string::npos, best.output.find("PPMd")) << best.output;
    EXPECT_NE(std::string::npos, best.output.find("Link ")) << best.output;
    const RunResult solid = RunBi(L"l " + Quoted(samples + L"test_read_format_rar5_solid.rar"));
    EXPECT_NE(std::string::npos, solid.output.find("Format: RAR 5.0, solid")) << solid.output;
    EXPECT_NE(std::string::npos, solid.output.find("m5           1 MiB")) << solid.output;

    EXPECT_EQ(
        0u,
        RunBi(L"t -inul " + Quoted(samples + L"test_read_format_rar_compress_best.rar")).exitCode);
    const std::wstring dest = m_root / L"out";
    const RunResult extracted =
        RunBi(L"x " + Quoted(samples + L"test_read_format_rar_compress_normal.rar") + L" " +
              Quoted(dest));
    EXPECT_EQ(1u, extracted.exitCode);
    EXPECT_NE(std::string::npos, extracted.output.find("1 link(s) not created"))
        << extracted.output;
    EXPECT_EQ(20111u, ReadBytes(dest + L"\\LibarchiveAddingTest.html").value_or("").size());
    EXPECT_FALSE(quor::PathExists(dest + L"\\testlink"));
}

TEST_F(BiProgramTest, AnswersCommandLineErrorsWithCodeSeven) {
    ASSERT_TRUE(MakeDirs(m_data));
    const std::wstring data = Quoted(m_data);
    const std::wstring archive = Quoted(m_archive);
    const std::pair<std::wstring, const char*> cases[] = {
        {L"q " + archive, "unknown command"},
        {L"a -zz " + archive + L" " + data, "unknown switch -zz"},
        {L"a -m9 " + archive + L" " + data, "unknown switch -m9"},
        {L"a -ma3 " + archive + L" " + data, "unknown switch -ma3"},
        {L"a -v " + archive + L" " + data, "volumes"},
        {L"a", "no archive name"},
        {L"a " + archive, "no files or folders"},
        {L"x " + archive + L" two words", "destination folder with spaces must be quoted"},
        {L"l " + archive + L" name", "selecting entries"},
    };
    for (const auto& [arguments, message] : cases) {
        const RunResult result = RunBi(arguments);
        EXPECT_EQ(7u, result.exitCode) << Narrow(arguments);
        EXPECT_NE(std::string::npos, result.output.find(message))
            << Narrow(arguments) << ": " << result.output;
        // -inul silences the complaint, wherever it stands.
        const RunResult quiet = RunBi(arguments + L" -inul");
        EXPECT_EQ(7u, quiet.exitCode) << Narrow(arguments);
        EXPECT_EQ("", quiet.output) << Narrow(arguments);
    }
    EXPECT_FALSE(quor::PathExists(m_archive));
}

// Exit codes of refusals, damage and missing files, with nothing written to the (quoted,
// spaced) folder; an existing archive is left alone, and nothing is made from nothing.
TEST_F(BiProgramTest, AnswersWithRarExitCodes) {
    std::string flipped = ExampleArchive();
    flipped[0x57] ^= 0x20; // inside "hello"
    ASSERT_TRUE(WriteBytes(m_root / L"flipped.rar", flipped));
    ASSERT_TRUE(WriteBytes(m_root / L"cut.rar", ExampleArchive().substr(0, 91)));
    const std::pair<std::wstring, DWORD> cases[] = {
        {Env(L"QUOR_TESTDATA") + L"\\test_read_format_rar5_encrypted.rar", 2},
        {Env(L"QUOR_TESTDATA") + L"\\test_read_format_rar5_bad_tables.rar", 3},
        {m_root / L"flipped.rar", 3},
        {m_root / L"cut.rar", 3},
        {m_root / L"missing.rar", 6},
    };
    const std::wstring dest = m_root / L"out folder";
    for (const auto& [archive, exitCode] : cases) {
        EXPECT_EQ(exitCode, RunBi(L"x -y -inul " + Quoted(archive) + L" " + Quoted(dest)).exitCode)
            << Narrow(archive);
        EXPECT_TRUE(IsEmptyOrMissing(dest)) << Narrow(archive);
        EXPECT_EQ(exitCode, RunBi(L"t -inul " + Quoted(archive)).exitCode) << Narrow(archive);
    }

    ASSERT_TRUE(MakeDirs(m_data));
    ASSERT_TRUE(WriteBytes(m_archive, "older backup"));
    EXPECT_EQ(7u, RunBi(L"a -ep1 -inul " + Quoted(m_archive) + L" " + Quoted(m_data)).exitCode);
    EXPECT_EQ("older backup", ReadBytes(m_archive).value_or(""));
    const std::wstring other = m_root / L"other.rar";
    EXPECT_EQ(10u, RunBi(L"a -inul " + Quoted(other) + L" " + Quoted(m_root / L"none")).exitCode);
    EXPECT_FALSE(quor::PathExists(other));
}

// A data file held open exclusively by another program (as a running database holds its
// files) fails the backup, and no archive is left that could pass for one.
TEST_F(BiProgramTest, FailsWhenAFileCannotBeRead) {
    ASSERT_TRUE(MakeDirs(m_data + L"\\db"));
    ASSERT_TRUE(WriteBytes(m_data + L"\\a.txt", "before"));
    ASSERT_TRUE(WriteBytes(m_data + L"\\db\\ibdata1", "in use"));
    quor::FileHandle locked(CreateFileW((m_data + L"\\db\\ibdata1").c_str(), GENERIC_READ, 0,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(locked);
    const RunResult result = RunBi(L"a -ep1 -m2 " + Quoted(m_archive) + L" " + Quoted(m_data));
    EXPECT_EQ(6u, result.exitCode);
    EXPECT_NE(std::string::npos, result.output.find("ibdata1")) << result.output;
    EXPECT_FALSE(quor::PathExists(m_archive));
    EXPECT_FALSE(quor::PathExists(m_archive + L".partial"));
}

} // namespace
} // namespace bi
