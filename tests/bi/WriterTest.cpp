// The writer and the add command in-process: exact header bytes of both formats, files cut in
// chunks whose headers are completed after their content, and the refusal that keeps a file
// that changed while packing from looking complete.
#include "BiTestUtil.h"
#include "ChunkEncoder.h"
#include "EntryHeaders.h"
#include "Packer.h"

#include <gtest/gtest.h>

namespace bi {
namespace {

using namespace test;
using namespace quor::test;

// Field order, flag values and CRC coverage, byte for byte against the RAR 5.0 worked example,
// from a folder packed as the backup job packs it; an archive inside the folder is left out.
TEST(BiPackTest, PacksTheWorkedExampleExactly) {
    TempDir dir;
    ASSERT_TRUE(MakeDirs(dir / L"Data"));
    ASSERT_TRUE(WriteBytes(dir / L"Data\\a.txt", "hello"));
    ASSERT_TRUE(SetModified(dir / L"Data\\a.txt", kExampleTime));
    ASSERT_TRUE(SetModified(dir / L"Data", kExampleTime));
    const PackSettings rar5Stored{ArchiveFormat::Rar5, 0};
    ASSERT_TRUE(Pack({dir / L"out.rar", {dir / L"Data"}, true, rar5Stored}, nullptr).ok());
    EXPECT_EQ(ExampleArchive(), ReadBytes(dir / L"out.rar").value_or(""));

    const std::wstring inside = dir / L"Data\\self.rar";
    ASSERT_TRUE(Pack({inside, {dir / L"Data"}, true, {}}, nullptr).ok());
    Catalog catalog;
    ASSERT_TRUE(ReadBack(inside, catalog).ok());
    ASSERT_EQ(2u, catalog.entries.size());
    EXPECT_EQ("Data/a.txt", catalog.entries[1].name);
}

// The RAR 2.9 headers of the format's worked example: local DOS time with the odd second and
// the 100 ns remainder in the extended time, a folder, a compressed file and the Unicode
// name encoding with its DOS fallback.
TEST(BiEntryHeadersTest, BuildsTheRar4WorkedExampleExactly) {
    const std::uint64_t modified = LocalFileTimeOf(2024, 5, 17, 10, 20, 31) + 1234567;
    const std::string times = "8F 52 B1 58";
    const std::string extended = "00 F0 87 D6 12";
    const auto rar4 = ArchiveFormat::Rar4;

    EXPECT_EQ(FromHex("BF 32 74 00 90 2F 00 1B 00 00 00 1B 00 00 00 02 EB 0F 7F E7" + times +
                      "14 30 0A 00 20 00 00 00") +
                  "stored.txt" + FromHex(extended),
              BuildFileHeader(rar4, {"stored.txt", 0x20, modified}, {27, 27, 0xE77F0FEB}, false));
    EXPECT_EQ(FromHex("7D E4 74 E0 90 29 00 00 00 00 00 00 00 00 00 02 00 00 00 00" + times +
                      "14 30 04 00 10 00 00 00") +
                  "docs" + FromHex(extended),
              BuildDirectoryHeader(rar4, {"docs", 0x10, modified}));
    EXPECT_EQ(FromHex("3F 67 74 00 90 30 00 5A 00 00 00 97 00 00 00 02 AA 84 6E B8" + times +
                      "1D 33 0B 00 20 00 00 00") +
                  "docs\\lz.txt" + FromHex(extended),
              BuildFileHeader(rar4, {"docs/lz.txt", 0x20, modified},
                              {151, 90, 0xB86E84AA, 3, 64u << 10}, false));
    EXPECT_EQ(
        FromHex("8E 3D 74 00 92 3F 00 0D 00 00 00 0D 00 00 00 02 51 BD 30 F4" + times +
                "14 30 1A 00 20 00 00 00 64 6F 63 73 5C 5F 5F 5F 5F 2E 74 78 74 00"
                "79 EA 03 2D 4E 87 65 0D 54 70 F0 02" +
                extended),
        BuildFileHeader(rar4, {"docs/中文名称.txt", 0x20, modified}, {13, 13, 0xF430BD51}, false));
}

// Both formats at store and at a compressing method, with files of one chunk and of several:
// a compressible file, an incompressible one (stored whole), one whose later chunk does not
// shrink (sent as literals inside the compressed data) and one whose first chunk does not
// (stored whole). The headers of files of several chunks are completed after their content
// has left the writer's buffer. Every entry must read back with its CRC, size and time.
TEST(BiPackTest, PacksFilesOfOneAndSeveralChunksInBothFormats) {
    TempDir dir;
    const std::size_t chunk = codec::ChunkEncoder::ChunkSize(codec::LzFormat::Rar29, 3);
    ASSERT_EQ(chunk, codec::ChunkEncoder::ChunkSize(codec::LzFormat::Rar50, 3));
    std::string text;
    for (int line = 0; text.size() < 2 * chunk + 5000; ++line) {
        text += "row " + std::to_string(line % 977) + ": customer order shipped\r\n";
    }
    const std::string random = Pattern(2 * chunk + 123, 1);
    const std::pair<const wchar_t*, std::string> files[] = {
        {L"empty", ""},
        {L"text", text},
        {L"random", random},
        {L"text then random", text.substr(0, chunk) + random.substr(0, chunk + 99)},
        {L"random then text", random.substr(0, chunk) + text.substr(0, chunk + 99)},
    };
    ASSERT_TRUE(MakeDirs(dir / L"Data"));
    std::uint64_t time = FileTimeOf(2021, 3, 4, 5, 6, 7) + 1234567;
    for (const auto& [name, content] : files) {
        ASSERT_TRUE(WriteBytes(dir / L"Data\\" + name, content));
        ASSERT_TRUE(SetModified(dir / L"Data\\" + name, time += 10000001));
    }
    struct Expected {
        const wchar_t* name;
        bool compressed; // at a compressing method
    };
    const Expected expected[] = {{L"empty", false},
                                 {L"random", false},
                                 {L"random then text", false},
                                 {L"text", true},
                                 {L"text then random", true}};

    for (const ArchiveFormat format : {ArchiveFormat::Rar4, ArchiveFormat::Rar5}) {
        for (const int method : {0, 3}) {
            const std::wstring archive =
                dir / (L"out" + std::to_wstring(method) +
                       (format == ArchiveFormat::Rar4 ? L"a.rar" : L"b.rar"));
            ASSERT_TRUE(Pack({archive, {dir / L"Data"}, true, {format, method}}, nullptr).ok());
            Catalog catalog;
            const Status status = ReadBack(archive, catalog);
            ASSERT_TRUE(status.ok()) << Narrow(status.Describe()) << " m" << method;
            ASSERT_EQ(1 + std::size(expected), catalog.entries.size());
            EXPECT_EQ(format, catalog.format);
            for (std::size_t i = 0; i < std::size(expected); ++i) {
                const CatalogEntry& entry = catalog.entries[i + 1];
                const std::wstring path = dir / L"Data\\" + expected[i].name;
                SCOPED_TRACE(Narrow(path) + " m" + std::to_string(method));
                EXPECT_EQ(Narrow(L"Data/" + std::wstring(expected[i].name)), entry.name);
                EXPECT_EQ(ReadBytes(path).value_or("?").size(), entry.size);
                EXPECT_EQ(method != 0 && expected[i].compressed, entry.compressed());
                EXPECT_LE(entry.packedSize, entry.size + 64);
                WIN32_FILE_ATTRIBUTE_DATA data;
                ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
                EXPECT_EQ((static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                              data.ftLastWriteTime.dwLowDateTime,
                          entry.fileTime);
            }
        }
    }
}

// Content that ends early or goes on is a file that changed while it was archived; the
// archive is then not left behind.
TEST(BiPackPipelineTest, RefusesContentOfAnotherSizeAndLeavesNoFile) {
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"five", "12345"));
    for (const std::uint64_t claimed : {std::uint64_t{3}, std::uint64_t{6}}) {
        quor::FileHandle source(CreateFileW((dir / L"five").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
        ArchiveWriter writer;
        ASSERT_TRUE(writer.Create(dir / L"out.rar", ArchiveFormat::Rar4).ok());
        PackPipeline pipeline(writer, {});
        ASSERT_TRUE(pipeline.Start().ok());
        const Status added = pipeline.AddFile({"five", 0x20, 0}, source.get(), claimed, L"five");
        EXPECT_EQ(Failure::SourceChanged, added.failure()) << claimed;
        EXPECT_EQ(Failure::SourceChanged, pipeline.Finish().failure()) << claimed;
        writer.Abandon();
        EXPECT_FALSE(ReadBytes(dir / L"out.rar").has_value());
    }
}

} // namespace
} // namespace bi
