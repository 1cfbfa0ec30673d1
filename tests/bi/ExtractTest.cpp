// Extraction in-process: what it leaves on disk when it succeeds, and that a failure part way
// takes back everything the run created.
#include "BiTestUtil.h"
#include "Extractor.h"
#include "Files.h"

#include <gtest/gtest.h>

namespace bi {
namespace {

using namespace test;
using namespace quor::test;

class BiExtractTest : public ::testing::Test {
protected:
    Status Extract(const std::string& archive) {
        EXPECT_TRUE(WriteBytes(m_dir / L"archive.rar", archive));
        return ExtractArchive(m_dir / L"archive.rar", m_dest, nullptr);
    }

    TempDir m_dir;
    std::wstring m_dest = m_dir / L"dest";
};

// A folder listed before its files still ends with its own time, read-only content is
// written before the attribute makes it unchangeable, and for Unix-host entries the write
// bits decide READONLY while the file type bits decide nothing.
TEST_F(BiExtractTest, SetsTimesAfterContentAndAttributesLast) {
    const std::uint64_t t = FileTimeOf(2020, 9, 13, 12, 26, 40); // Unix time 1600000000
    const Status status = Extract(Archive(
        EntryBlock({.name = "D", .directory = true, .attributes = 0x10, .unixTime = 1600000001}) +
        EntryBlock({.name = "D/ro", .content = "r", .attributes = 0x21, .unixTime = 1600000002}) +
        EntryBlock({.name = "D/s/h", .content = "h", .attributes = 0x22, .unixTime = 1600000003}) +
        EntryBlock({.name = "ro", .content = "a", .host = 1, .attributes = 0x8124}) +
        EntryBlock({.name = "rw", .content = "b", .host = 1, .attributes = 0x81A4}) +
        EntryBlock({.name = "dir", .directory = true, .host = 1, .attributes = 0x41ED})));
    ASSERT_TRUE(status.ok()) << Narrow(status.Describe());

    const auto items = Snapshot(m_dest);
    ASSERT_EQ(7u, items.size());
    EXPECT_EQ((Item{true, "", t + 10000000, 0}), items.at(L"D"));
    EXPECT_EQ((Item{false, "r", t + 20000000, FILE_ATTRIBUTE_READONLY}), items.at(L"D\\ro"));
    EXPECT_EQ((Item{false, "h", t + 30000000, FILE_ATTRIBUTE_HIDDEN}), items.at(L"D\\s\\h"));
    EXPECT_TRUE(items.at(L"D\\s").directory); // made on demand, no time of its own
    EXPECT_EQ(FILE_ATTRIBUTE_READONLY, items.at(L"ro").attributes);
    EXPECT_EQ(0u, items.at(L"rw").attributes);
    EXPECT_TRUE(items.at(L"dir").directory);
}

TEST_F(BiExtractTest, OverwritesExistingFilesWhateverTheirAttributes) {
    ASSERT_TRUE(MakeDirs(m_dest + L"\\Data"));
    const std::wstring existing = m_dest + L"\\Data\\a.txt";
    ASSERT_TRUE(WriteBytes(existing, "old and longer"));
    ASSERT_TRUE(
        SetFileAttributesW(existing.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    const Status status = Extract(ExampleArchive());
    ASSERT_TRUE(status.ok()) << Narrow(status.Describe());
    const auto items = Snapshot(m_dest);
    EXPECT_EQ((Item{false, "hello", kExampleTime, 0}), items.at(L"Data\\a.txt"));
    EXPECT_EQ(kExampleTime, items.at(L"Data").modified);
}

// An entry that cannot be created (its parent is a file, or a folder stands in its place)
// undoes the run: what it added goes, what it replaced comes back, and a destination the run
// made disappears.
TEST_F(BiExtractTest, RemovesWhatItCreatedWhenAnEntryCannotBeWritten) {
    Status status = Extract(Archive(EntryBlock({.name = "x/a.txt", .content = "1"}) +
                                    EntryBlock({.name = "x/a.txt/b", .content = "2"})));
    EXPECT_EQ(Failure::CreateOutput, status.failure());
    EXPECT_EQ(ExitCode::Create, status.exitCode());
    EXPECT_FALSE(quor::PathExists(m_dest));

    ASSERT_TRUE(MakeDirs(m_dest + L"\\keep"));
    ASSERT_TRUE(WriteBytes(m_dest + L"\\keep\\mine.txt", "mine"));
    ASSERT_TRUE(MakeDirs(m_dest + L"\\taken"));
    status = Extract(Archive(EntryBlock({.name = "keep/new.txt", .content = "new"}) +
                             EntryBlock({.name = "keep/mine.txt", .content = "theirs"}) +
                             EntryBlock({.name = "fresh/deep/f.txt", .content = "f"}) +
                             EntryBlock({.name = "taken", .content = "file"})));
    EXPECT_EQ(Failure::CreateOutput, status.failure());
    const auto items = Snapshot(m_dest);
    EXPECT_EQ(3u, items.size());
    EXPECT_EQ("mine", items.at(L"keep\\mine.txt").content);
    EXPECT_TRUE(items.at(L"taken").directory);
}

// Names are compared as Windows compares them: a later entry that differs only in case
// replaces the earlier one, a failed run puts a user's file back whatever the case of the
// entry that replaced it, and a file set aside never takes a name the archive itself holds.
TEST_F(BiExtractTest, ReplacedFilesComeBackWhateverTheCaseOfTheirNames) {
    const std::string failing = Archive(EntryBlock({.name = "A.txt", .content = "first"}) +
                                        EntryBlock({.name = "a.txt", .content = "second"}) +
                                        EntryBlock({.name = "a.txt/b", .content = "fails"}));
    EXPECT_EQ(Failure::CreateOutput, Extract(failing).failure());
    EXPECT_FALSE(quor::PathExists(m_dest));

    ASSERT_TRUE(MakeDirs(m_dest));
    ASSERT_TRUE(WriteBytes(m_dest + L"\\a.txt", "user data"));
    EXPECT_EQ(Failure::CreateOutput, Extract(failing).failure());
    auto items = Snapshot(m_dest);
    EXPECT_EQ(1u, items.size());
    EXPECT_EQ("user data", items.at(L"a.txt").content);

    const Status status = Extract(Archive(EntryBlock({.name = "a.txt", .content = "new"}) +
                                          EntryBlock({.name = "a.txt.bi-old", .content = "kept"})));
    ASSERT_TRUE(status.ok()) << Narrow(status.Describe());
    items = Snapshot(m_dest);
    EXPECT_EQ(2u, items.size());
    EXPECT_EQ("new", items.at(L"a.txt").content);
    EXPECT_EQ("kept", items.at(L"a.txt.bi-old").content);
}

// Content that does not match its CRC is caught as it is written, and the run is undone.
TEST_F(BiExtractTest, ChecksContentAgainWhileCopying) {
    ASSERT_TRUE(WriteBytes(m_dir / L"example.rar", ExampleArchive()));
    ArchiveInput input;
    ASSERT_TRUE(input.Open(m_dir / L"example.rar").ok());
    Catalog catalog;
    ASSERT_TRUE(ReadCatalog(input, catalog).ok());
    catalog.entries[1].crc ^= 1;
    EXPECT_EQ(Failure::DataCrc, ExtractCatalog(input, catalog, m_dest, nullptr).failure());
    EXPECT_FALSE(quor::PathExists(m_dest));
}

} // namespace
} // namespace bi
