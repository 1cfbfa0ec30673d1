// The writer and the add command in-process: exact bytes, streaming of large files, and the
// refusals that keep an incomplete backup from looking like a complete one.
#include "ArchiveReader.h"
#include "ArchiveWriter.h"
#include "BiTestUtil.h"
#include "EntryName.h"
#include "Packer.h"
#include "TestSupport.h"
#include "UniqueHandle.h"

#include <gtest/gtest.h>

namespace bi {
namespace {

using quor::test::MakeDirs;
using quor::test::ReadBytes;
using quor::test::TempDir;
using quor::test::WriteBytes;

quor::FileHandle OpenForReading(const std::wstring& path) {
    return quor::FileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
}

Status ReadBack(const std::wstring& archive, Catalog& catalog) {
    ArchiveInput input;
    BI_RETURN_IF_FAILED(input.Open(archive));
    BI_RETURN_IF_FAILED(ReadCatalog(input, catalog));
    return VerifyContent(input, catalog);
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

// Field order, flag values and CRC coverage, byte for byte against the worked example.
TEST(BiArchiveWriterTest, WritesTheWorkedExampleExactly) {
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"a.txt", "hello"));
    quor::FileHandle source = OpenForReading(dir / L"a.txt");
    ASSERT_TRUE(source);

    ArchiveWriter writer;
    ASSERT_TRUE(writer.Create(dir / L"out.rar").ok());
    ASSERT_TRUE(writer.AddDirectory({"Data", 0x10, test::kExampleTime}).ok());
    ASSERT_TRUE(
        writer.AddFile({"Data/a.txt", 0x20, test::kExampleTime}, source.get(), 5, L"a").ok());
    ASSERT_TRUE(writer.Finish().ok());

    EXPECT_EQ(test::ExampleArchive(), ReadBytes(dir / L"out.rar").value_or(""));
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
    ASSERT_TRUE(status.ok()) << test::Narrow(status.Describe());
    ASSERT_EQ(3u, catalog.entries.size());
    EXPECT_EQ("big", catalog.entries[1].name);
    EXPECT_EQ(big.size(), catalog.entries[1].size);
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

class BiPackFailureTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(MakeDirs(m_dir / L"Data\\sub"));
        ASSERT_TRUE(WriteBytes(m_dir / L"Data\\sub\\f.txt", "content"));
        m_request.archivePath = m_dir / L"out.rar";
        m_request.sources = {m_dir / L"Data"};
        m_request.excludeBaseFolder = true;
    }

    bool NothingLeft() const {
        return !ReadBytes(m_request.archivePath).has_value() &&
               !ReadBytes(PartialArchivePath(m_request.archivePath)).has_value();
    }

    TempDir m_dir;
    PackRequest m_request;
};

TEST_F(BiPackFailureTest, RefusesAnExistingArchiveAndLeavesItAlone) {
    ASSERT_TRUE(WriteBytes(m_request.archivePath, "precious"));
    EXPECT_EQ(Failure::ArchiveExists, Pack(m_request, nullptr).failure());
    EXPECT_EQ("precious", ReadBytes(m_request.archivePath).value_or(""));
}

TEST_F(BiPackFailureTest, RefusesAMissingSourceBeforeCreatingAnything) {
    m_request.sources.push_back(m_dir / L"NoSuchFolder");
    const Status status = Pack(m_request, nullptr);
    EXPECT_EQ(Failure::NoFiles, status.failure());
    EXPECT_EQ(ExitCode::NoFiles, status.exitCode());
    EXPECT_TRUE(NothingLeft());
}

// A file another program holds exclusively fails the whole archive: a backup without it
// would restore a different database.
TEST_F(BiPackFailureTest, FailsOnAFileThatCannotBeOpened) {
    quor::FileHandle locked(CreateFileW((m_dir / L"Data\\sub\\f.txt").c_str(), GENERIC_READ, 0,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(locked);
    const Status status = Pack(m_request, nullptr);
    EXPECT_EQ(Failure::OpenSource, status.failure());
    EXPECT_EQ(ExitCode::Open, status.exitCode());
    EXPECT_NE(std::wstring::npos, status.subject().find(L"f.txt"));
    EXPECT_TRUE(NothingLeft());
}

TEST_F(BiPackFailureTest, SkipsTheArchiveWhenItLiesInsideTheTree) {
    m_request.archivePath = m_dir / L"Data\\sub\\self.rar";
    ASSERT_TRUE(Pack(m_request, nullptr).ok());
    Catalog catalog;
    ASSERT_TRUE(ReadBack(m_request.archivePath, catalog).ok());
    std::vector<std::string> names;
    for (const CatalogEntry& entry : catalog.entries) {
        names.push_back(entry.name);
    }
    EXPECT_EQ((std::vector<std::string>{"Data", "Data/sub", "Data/sub/f.txt"}), names);
}

// Without -ep1 names keep the path as given, less the drive; with it, only the last folder.
TEST_F(BiPackFailureTest, NamesFollowTheBaseFolderSwitch) {
    m_request.excludeBaseFolder = false;
    m_request.sources = {m_dir / L"Data\\sub"};
    ASSERT_TRUE(Pack(m_request, nullptr).ok());
    Catalog catalog;
    ASSERT_TRUE(ReadBack(m_request.archivePath, catalog).ok());
    ASSERT_EQ(2u, catalog.entries.size());
    std::string expected;
    ASSERT_TRUE(ArchiveNameFromPath(m_dir.path().substr(m_dir.path().find(L'\\') + 1) +
                                        L"\\Data\\sub\\f.txt",
                                    expected)
                    .ok());
    EXPECT_EQ(expected, catalog.entries[1].name);
}

// Names that could not be given back on restore are refused when packing, not later.
TEST(BiArchiveNameTest, RefusesNamesThatCannotBeRestored) {
    std::string name;
    EXPECT_TRUE(ArchiveNameFromPath(L"Data\\中文\\😀.txt", name).ok());
    EXPECT_EQ("Data/中文/😀.txt", name);

    const std::wstring loneSurrogate = std::wstring(L"Data\\a") + wchar_t(0xD800) + L".txt";
    EXPECT_EQ(Failure::BadSourceName, ArchiveNameFromPath(loneSurrogate, name).failure());
    const std::wstring swappedPair = std::wstring(L"x") + wchar_t(0xDC00) + wchar_t(0xD800);
    EXPECT_EQ(Failure::BadSourceName, ArchiveNameFromPath(swappedPair, name).failure());
    EXPECT_EQ(Failure::BadSourceName, ArchiveNameFromPath(L"Data\\CON", name).failure());
    EXPECT_EQ(Failure::BadSourceName, ArchiveNameFromPath(L"Data\\trailing.", name).failure());
    EXPECT_EQ(Failure::NameTooLong,
              ArchiveNameFromPath(L"Data\\" + std::wstring(1000, L'中'), name).failure());
}

} // namespace
} // namespace bi
