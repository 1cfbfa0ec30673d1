// bi.exe as the backup manager runs it: exact command lines, exit codes, messages, and a
// full round trip of a data folder.
#include "ArchiveReader.h"
#include "BiTestUtil.h"
#include "Files.h"
#include "TestSupport.h"
#include "UniqueHandle.h"

#include <gtest/gtest.h>

namespace bi {
namespace {

using quor::test::MakeDirs;
using quor::test::ReadBytes;
using quor::test::RunResult;
using quor::test::TempDir;
using quor::test::WriteBytes;

RunResult RunBi(const std::wstring& arguments) {
    return quor::test::Run(quor::test::BinProgram(L"bi.exe"), arguments);
}

std::wstring Quoted(const std::wstring& path) {
    return L"\"" + path + L"\"";
}

std::string Pattern(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::uint32_t x = seed;
    for (char& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<char>(x >> 24);
    }
    return bytes;
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
// time and attribute. The large file crosses the 1 MiB read size and the 8 MiB buffer.
TEST_F(BiProgramTest, RestoresExactlyWhatItPacked) {
    struct File {
        std::wstring path;
        std::string content;
        DWORD attributes;
    };
    const std::vector<File> files = {
        {L"empty.txt", "", 0},
        {L"medium.bin", Pattern((64u << 10) + 7, 1), 0},
        {L"large.bin", Pattern((9u << 20) + 13, 2), 0},
        {L"nested\\deeper\\deepest\\f.txt", "deep", 0},
        {L"中文目录\\数据.txt", "中文内容", 0},
        {L"\U0001F600 emoji \U00020000.txt", "outside the BMP", 0},
        {L"readonly.txt", "cannot change", FILE_ATTRIBUTE_READONLY},
        {L"hidden.txt", "not shown", FILE_ATTRIBUTE_HIDDEN},
    };
    ASSERT_TRUE(MakeDirs(m_data + L"\\empty folder"));
    ASSERT_TRUE(MakeDirs(m_data + L"\\nested\\deeper\\deepest"));
    ASSERT_TRUE(MakeDirs(m_data + L"\\中文目录"));
    std::uint64_t time = test::FileTimeOf(2023, 5, 6, 7, 8, 9) + 1234567;
    for (const File& file : files) {
        const std::wstring path = m_data + L"\\" + file.path;
        ASSERT_TRUE(WriteBytes(path, file.content));
        ASSERT_TRUE(test::SetModified(path, time += 10000000ull * 3601));
        if (file.attributes) {
            ASSERT_TRUE(SetFileAttributesW(path.c_str(), file.attributes));
        }
    }
    // Folders last, deepest first: adding to a folder changes its time.
    for (const wchar_t* folder : {L"nested\\deeper\\deepest", L"nested\\deeper", L"nested",
                                  L"empty folder", L"中文目录", L""}) {
        const std::wstring path = *folder ? m_data + L"\\" + folder : m_data;
        ASSERT_TRUE(test::SetModified(path, time += 10000000ull * 86400));
    }

    RunResult packed = RunBi(L"a -ep1 -inul -m2 " + Quoted(m_archive) + L" " + Quoted(m_data));
    ASSERT_TRUE(packed.finished);
    ASSERT_EQ(0u, packed.exitCode) << packed.output;
    EXPECT_EQ("", packed.output);
    EXPECT_FALSE(quor::PathExists(m_archive + L".partial"));

    TempDir install(L"恢复");
    const std::wstring tmp = install / L"Tmp";
    ASSERT_TRUE(MakeDirs(tmp));
    const std::wstring restoreArchive = tmp + L"\\.quordbrestore.tmp";
    ASSERT_TRUE(quor::test::CopyInto(m_archive, restoreArchive));
    const RunResult extracted = RunBi(L"x -v -inul " + Quoted(restoreArchive) + L" " + tmp);
    ASSERT_TRUE(extracted.finished);
    ASSERT_EQ(0u, extracted.exitCode) << extracted.output;
    EXPECT_EQ("", extracted.output);

    auto restored = test::Snapshot(tmp);
    restored.erase(L".quordbrestore.tmp");
    std::map<std::wstring, test::Item> original;
    for (const auto& [path, item] : test::Snapshot(m_root / L"src")) {
        original[path] = item;
    }
    EXPECT_EQ(original.size(), restored.size());
    for (const auto& [path, item] : original) {
        SCOPED_TRACE(test::Narrow(path));
        const auto found = restored.find(path);
        ASSERT_NE(restored.end(), found);
        EXPECT_EQ(item.directory, found->second.directory);
        EXPECT_TRUE(item.content == found->second.content);
        EXPECT_EQ(item.modified, found->second.modified);
        EXPECT_EQ(item.attributes, found->second.attributes);
    }
}

// The exact bytes of the worked example come out of the program too.
TEST_F(BiProgramTest, PacksTheWorkedExampleExactly) {
    ASSERT_TRUE(MakeDirs(m_data));
    ASSERT_TRUE(WriteBytes(m_data + L"\\a.txt", "hello"));
    ASSERT_TRUE(test::SetModified(m_data + L"\\a.txt", test::kExampleTime));
    ASSERT_TRUE(test::SetModified(m_data, test::kExampleTime));
    const RunResult result =
        RunBi(L"a -ep1 -inul -m2 " + Quoted(m_archive) + L" " + Quoted(m_data));
    ASSERT_EQ(0u, result.exitCode) << result.output;
    EXPECT_EQ(test::ExampleArchive(), ReadBytes(m_archive).value_or(""));
}

// Listing and testing print names as UTF-8 when the output is a file.
TEST_F(BiProgramTest, ListsAndTestsWithMessages) {
    ASSERT_TRUE(MakeDirs(m_data + L"\\中文"));
    ASSERT_TRUE(WriteBytes(m_data + L"\\中文\\\U0001F600.txt", "12345"));
    ASSERT_EQ(0u, RunBi(L"a -ep1 " + Quoted(m_archive) + L" " + Quoted(m_data)).exitCode);

    const RunResult listed = RunBi(L"l " + Quoted(m_archive));
    EXPECT_EQ(0u, listed.exitCode);
    EXPECT_NE(std::string::npos, listed.output.find("Data/中文/\xF0\x9F\x98\x80.txt"))
        << listed.output;
    EXPECT_NE(std::string::npos, listed.output.find("1 file(s), 2 folder(s)")) << listed.output;

    const RunResult tested = RunBi(L"t " + Quoted(m_archive));
    EXPECT_EQ(0u, tested.exitCode);
    EXPECT_NE(std::string::npos, tested.output.find("All OK")) << tested.output;
    EXPECT_EQ("", RunBi(L"t -inul " + Quoted(m_archive)).output);
}

TEST_F(BiProgramTest, AnswersCommandLineErrorsWithCodeSeven) {
    ASSERT_TRUE(MakeDirs(m_data));
    const std::wstring data = Quoted(m_data);
    const std::wstring archive = Quoted(m_archive);
    struct Case {
        std::wstring arguments;
        const char* message;
    };
    const std::vector<Case> cases = {
        {L"q " + archive, "unknown command"},
        {L"a -zz " + archive + L" " + data, "unknown switch -zz"},
        {L"a -m9 " + archive + L" " + data, "unknown switch -m9"},
        {L"a -v " + archive + L" " + data, "volumes"},
        {L"a", "no archive name"},
        {L"a " + archive, "no files or folders"},
        {L"x " + archive + L" two words", "destination folder with spaces must be quoted"},
        {L"l " + archive + L" name", "selecting entries"},
    };
    for (const Case& c : cases) {
        const RunResult result = RunBi(c.arguments);
        EXPECT_EQ(7u, result.exitCode) << test::Narrow(c.arguments);
        EXPECT_NE(std::string::npos, result.output.find(c.message))
            << test::Narrow(c.arguments) << ": " << result.output;
        // -inul silences the complaint, wherever it stands.
        const RunResult quiet = RunBi(c.arguments + L" -inul");
        EXPECT_EQ(7u, quiet.exitCode) << test::Narrow(c.arguments);
        EXPECT_EQ("", quiet.output) << test::Narrow(c.arguments);
    }
    EXPECT_FALSE(quor::PathExists(m_archive));

    const RunResult usage = RunBi(L"");
    EXPECT_EQ(0u, usage.exitCode);
    EXPECT_NE(std::string::npos, usage.output.find("Usage")) << usage.output;
}

// Switches after the archive name and in upper case, as RAR accepts them; ".rar" added to a
// name without an extension.
TEST_F(BiProgramTest, AcceptsRarSwitchPlacementAndDefaultExtension) {
    ASSERT_TRUE(MakeDirs(m_data));
    ASSERT_TRUE(WriteBytes(m_data + L"\\f.txt", "f"));
    const std::wstring bare = m_root / L"bare";
    ASSERT_EQ(0u, RunBi(L"A " + Quoted(bare) + L" -EP1 -INUL " + Quoted(m_data)).exitCode);
    ArchiveInput input;
    ASSERT_TRUE(input.Open(bare + L".rar").ok());
    Catalog catalog;
    ASSERT_TRUE(ReadCatalog(input, catalog).ok());
    ASSERT_EQ(2u, catalog.entries.size());
    EXPECT_EQ("Data/f.txt", catalog.entries[1].name);
    EXPECT_EQ(0u, RunBi(L"t -inul " + Quoted(bare)).exitCode);
}

TEST_F(BiProgramTest, RefusesAnExistingArchiveAndMissingSources) {
    ASSERT_TRUE(MakeDirs(m_data));
    ASSERT_TRUE(WriteBytes(m_archive, "older backup"));
    EXPECT_EQ(7u, RunBi(L"a -ep1 -inul " + Quoted(m_archive) + L" " + Quoted(m_data)).exitCode);
    EXPECT_EQ("older backup", ReadBytes(m_archive).value_or(""));

    const std::wstring other = m_root / L"other.rar";
    EXPECT_EQ(
        10u, RunBi(L"a -ep1 -inul " + Quoted(other) + L" " + Quoted(m_root / L"nothing")).exitCode);
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

// Exit codes of refusals and damage, with nothing written to the (quoted, spaced) folder.
TEST_F(BiProgramTest, ExtractsSamplesOrRefusesThemWithRarExitCodes) {
    const std::wstring samples = test::SampleFolder();
    ASSERT_TRUE(WriteBytes(m_root / L"flipped.rar", [] {
        std::string bytes = test::ExampleArchive();
        bytes[0x57] ^= 0x20; // inside "hello"
        return bytes;
    }()));
    ASSERT_TRUE(WriteBytes(m_root / L"cut.rar", test::ExampleArchive().substr(0, 91)));
    struct Case {
        std::wstring archive;
        DWORD exitCode;
    };
    const std::vector<Case> cases = {
        {samples + L"\\test_read_format_rar5_stored.rar", 0},
        {samples + L"\\test_read_format_rar5_zip_in_rar.rar", 0},
        {samples + L"\\test_read_format_rar5_compressed.rar", 2},
        {samples + L"\\test_read_format_rar5_encrypted.rar", 2},
        {samples + L"\\test_read_format_rar5_encrypted_filenames.rar", 2},
        {samples + L"\\test_read_format_rar5_solid.rar", 2},
        {samples + L"\\test_read_format_rar5_multiarchive.part01.rar", 2},
        {samples + L"\\test_read_format_rar5_symlink.rar", 2},
        {samples + L"\\test_read_format_rar.rar", 2},
        {m_root / L"flipped.rar", 3},
        {m_root / L"cut.rar", 3},
        {m_root / L"missing.rar", 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(test::Narrow(c.archive));
        const std::wstring dest = m_root / L"out folder";
        const RunResult result = RunBi(L"x -y " + Quoted(c.archive) + L" " + Quoted(dest));
        EXPECT_EQ(c.exitCode, result.exitCode) << result.output;
        EXPECT_EQ(c.exitCode == 0, !test::IsEmptyOrMissing(dest)) << result.output;
        const RunResult tested = RunBi(L"t -inul " + Quoted(c.archive));
        EXPECT_EQ(c.exitCode, tested.exitCode);
        quor::DeleteTree(dest);
    }
}

} // namespace
} // namespace bi
