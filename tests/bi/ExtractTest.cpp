// Extraction in-process: what it leaves on disk when it succeeds, and that a failure part way
// takes back everything the run created.
#include "ArchiveReader.h"
#include "BiTestUtil.h"
#include "Extractor.h"
#include "Files.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace bi {
namespace {

using quor::test::MakeDirs;
using quor::test::ReadBytes;
using quor::test::TempDir;
using quor::test::WriteBytes;

constexpr DWORD kReadOnly = FILE_ATTRIBUTE_READONLY;
constexpr DWORD kHidden = FILE_ATTRIBUTE_HIDDEN;

class BiExtractTest : public ::testing::Test {
protected:
    std::wstring WriteArchive(const std::string& blocks) {
        const std::wstring path = m_dir / L"archive.rar";
        EXPECT_TRUE(WriteBytes(path, test::Archive(blocks)));
        return path;
    }
    Status Extract(const std::string& blocks) {
        return ExtractArchive(WriteArchive(blocks), m_dest, nullptr);
    }

    TempDir m_dir;
    std::wstring m_dest = m_dir / L"dest";
};

// A folder listed before its files still ends with its own time, and read-only content is
// written before the attribute makes it unchangeable.
TEST_F(BiExtractTest, SetsTimesAfterContentAndAttributesLast) {
    const std::uint64_t t1 = test::FileTimeOf(2020, 1, 1, 0, 0, 1);
    const std::uint64_t t2 = test::FileTimeOf(2021, 2, 2, 0, 0, 2);
    const std::uint64_t t3 = test::FileTimeOf(2022, 3, 3, 0, 0, 3);
    test::RawEntry folder{.name = "D", .directory = true, .attributes = 0x10};
    folder.extra = test::FileTimeRecord(t1);
    test::RawEntry readOnly{.name = "D/ro.txt", .content = "read only", .attributes = 0x21};
    readOnly.extra = test::FileTimeRecord(t2);
    test::RawEntry hidden{.name = "D/sub/h.txt", .content = "hidden", .attributes = 0x22};
    hidden.extra = test::FileTimeRecord(t3);
    const Status status =
        Extract(test::EntryBlock(folder) + test::EntryBlock(readOnly) + test::EntryBlock(hidden));
    ASSERT_TRUE(status.ok()) << test::Narrow(status.Describe());

    const auto items = test::Snapshot(m_dest);
    ASSERT_EQ(4u, items.size());
    EXPECT_EQ((test::Item{true, "", t1, 0}), items.at(L"D"));
    EXPECT_EQ((test::Item{false, "read only", t2, kReadOnly}), items.at(L"D\\ro.txt"));
    EXPECT_EQ((test::Item{false, "hidden", t3, kHidden}), items.at(L"D\\sub\\h.txt"));
    EXPECT_TRUE(items.at(L"D\\sub").directory); // made on demand, no time of its own
}

// Unix-host entries: write bits decide READONLY; the file type bits decide nothing.
TEST_F(BiExtractTest, MapsUnixModesToWindowsAttributes) {
    const Status status = Extract(
        test::EntryBlock({.name = "ro", .content = "a", .host = 1, .attributes = 0x8124}) +
        test::EntryBlock({.name = "rw", .content = "b", .host = 1, .attributes = 0x81A4}) +
        test::EntryBlock({.name = "dir", .directory = true, .host = 1, .attributes = 0x41ED}));
    ASSERT_TRUE(status.ok()) << test::Narrow(status.Describe());
    const auto items = test::Snapshot(m_dest);
    EXPECT_EQ(kReadOnly, items.at(L"ro").attributes);
    EXPECT_EQ(0u, items.at(L"rw").attributes);
    EXPECT_TRUE(items.at(L"dir").directory);
}

TEST_F(BiExtractTest, OverwritesExistingFilesWhateverTheirAttributes) {
    ASSERT_TRUE(MakeDirs(m_dest + L"\\Data"));
    const std::wstring existing = m_dest + L"\\Data\\a.txt";
    ASSERT_TRUE(WriteBytes(existing, "old and longer"));
    ASSERT_TRUE(SetFileAttributesW(existing.c_str(), kReadOnly | kHidden));

    ASSERT_TRUE(WriteBytes(m_dir / L"example.rar", test::ExampleArchive()));
    const Status status = ExtractArchive(m_dir / L"example.rar", m_dest, nullptr);
    ASSERT_TRUE(status.ok()) << test::Narrow(status.Describe());
    const auto items = test::Snapshot(m_dest);
    EXPECT_EQ((test::Item{false, "hello", test::kExampleTime, 0}), items.at(L"Data\\a.txt"));
    EXPECT_EQ(test::kExampleTime, items.at(L"Data").modified);
}

// The second entry cannot be created (its parent is a file): the destination, made by this
// run, disappears again with everything in it.
TEST_F(BiExtractTest, RemovesWhatItCreatedWhenAnEntryCannotBeWritten) {
    const Status status = Extract(test::EntryBlock({.name = "x/a.txt", .content = "first"}) +
                                  test::EntryBlock({.name = "x/a.txt/b", .content = "second"}));
    EXPECT_EQ(Failure::CreateOutput, status.failure());
    EXPECT_EQ(ExitCode::Create, status.exitCode());
    EXPECT_FALSE(quor::PathExists(m_dest));
}

// What was there before stays; only what this run added goes.
TEST_F(BiExtractTest, KeepsWhatExistedBeforeWhenRollingBack) {
    ASSERT_TRUE(MakeDirs(m_dest + L"\\keep"));
    ASSERT_TRUE(WriteBytes(m_dest + L"\\keep\\mine.txt", "mine"));
    ASSERT_TRUE(MakeDirs(m_dest + L"\\taken"));
    const Status status =
        Extract(test::EntryBlock({.name = "keep/new.txt", .content = "new"}) +
                test::EntryBlock({.name = "fresh/deep/f.txt", .content = "f"}) +
                test::EntryBlock({.name = "taken", .content = "a file where a folder is"}));
    EXPECT_EQ(Failure::CreateOutput, status.failure());
    const auto items = test::Snapshot(m_dest);
    EXPECT_EQ(3u, items.size());
    EXPECT_EQ("mine", items.at(L"keep\\mine.txt").content);
    EXPECT_TRUE(items.at(L"taken").directory);
}

// Content that no longer matches its CRC when it is copied (the archive changed after the
// check) is caught on the second pass, and the run is undone.
TEST_F(BiExtractTest, ChecksContentAgainWhileCopying) {
    ASSERT_TRUE(WriteBytes(m_dir / L"example.rar", test::ExampleArchive()));
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
