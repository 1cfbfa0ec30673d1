// The writer and the add command in-process: exact bytes, streaming of large files, and the
// refusal that keeps a file that changed while packing from looking complete.
#include "ArchiveWriter.h"
#include "BiTestUtil.h"
#include "Packer.h"

#include <gtest/gtest.h>

namespace bi {
namespace {

using namespace test;
using namespace quor::test;

quor::FileHandle OpenForReading(const std::wstring& path) {
    return quor::FileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
}

// Field order, flag values and CRC coverage, byte for byte against the worked example, from
// a folder packed as the backup job packs it; an archive inside the folder is left out.
TEST(BiPackTest, PacksTheWorkedExampleExactly) {
    TempDir dir;
    ASSERT_TRUE(MakeDirs(dir / L"Data"));
    ASSERT_TRUE(WriteBytes(dir / L"Data\\a.txt", "hello"));
    ASSERT_TRUE(SetModified(dir / L"Data\\a.txt", kExampleTime));
    ASSERT_TRUE(SetModified(dir / L"Data", kExampleTime));
    ASSERT_TRUE(Pack({dir / L"out.rar", {dir / L"Data"}, true}, nullptr).ok());
    EXPECT_EQ(ExampleArchive(), ReadBytes(dir / L"out.rar").value_or(""));

    const std::wstring inside = dir / L"Data\\self.rar";
    ASSERT_TRUE(Pack({inside, {dir / L"Data"}, true}, nullptr).ok());
    Catalog catalog;
    ASSERT_TRUE(ReadBack(inside, catalog).ok());
    ASSERT_EQ(2u, catalog.entries.size());
    EXPECT_EQ("Data/a.txt", catalog.entries[1].name);
}

// A file larger than the buffer: its header leaves the buffer before the content's CRC is
// known and must be completed in place on disk.
TEST(BiArchiveWriterTest, CompletesHeadersThatAreAlreadyOnDisk) {
    TempDir dir;
    const std::string big = Pattern((5u << 20) + 123, 1);
    const std::string small = Pattern(70000, 2);
    ASSERT_TRUE(WriteBytes(dir / L"big", big));
    ASSERT_TRUE(WriteBytes(dir / L"small", small));
    quor::FileHandle bigSource = OpenForReading(dir / L"big");
    quor::FileHandle smallSource = OpenForReading(dir / L"small");

    ArchiveWriter writer(1); // as small as the writer allows: the largest header plus a little
    ASSERT_TRUE(writer.Create(dir / L"out.rar").ok());
    ASSERT_TRUE(writer.AddFile({"small", 0x20, 1}, smallSource.get(), small.size(), L"s").ok());
    ASSERT_TRUE(writer.AddFile({"big", 0x21, 2}, bigSource.get(), big.size(), L"b").ok());
    ASSERT_TRUE(writer.AddDirectory({"after", 0x10, 3}).ok());
    ASSERT_TRUE(writer.Finish().ok());

    Catalog catalog;
    const Status status = ReadBack(dir / L"out.rar", catalog);
    ASSERT_TRUE(status.ok()) << Narrow(status.Describe());
    ASSERT_EQ(3u, catalog.entries.size());
    EXPECT_EQ("big", catalog.entries[1].name);
    EXPECT_EQ(0x21u, catalog.entries[1].attributes);
    EXPECT_EQ(2u, catalog.entries[1].fileTime);
    EXPECT_EQ("after", catalog.entries[2].name);
    // The content sits right after its header, byte for byte.
    const std::string archive = ReadBytes(dir / L"out.rar").value_or("");
    EXPECT_EQ(big, archive.substr(static_cast<size_t>(catalog.entries[1].dataOffset), big.size()));
}

// Content that ends early or goes on is a file that changed while it was archived.
TEST(BiArchiveWriterTest, RefusesContentOfAnotherSizeAndLeavesNoFile) {
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"five", "12345"));
    for (const std::uint64_t claimed : {std::uint64_t{3}, std::uint64_t{6}}) {
        quor::FileHandle source = OpenForReading(dir / L"five");
        ArchiveWriter writer;
        ASSERT_TRUE(writer.Create(dir / L"out.rar").ok());
        const Status status = writer.AddFile({"five", 0x20, 0}, source.get(), claimed, L"five");
        EXPECT_EQ(Failure::SourceChanged, status.failure()) << claimed;
        writer.Abandon();
        EXPECT_FALSE(ReadBytes(dir / L"out.rar").has_value());
    }
}

} // namespace
} // namespace bi
