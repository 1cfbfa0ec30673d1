// The reader against the sample archives made by RAR and against damaged and hand-made
// archives: what it accepts, what it refuses and why, and that a refusal extracts nothing.
#include "ArchiveReader.h"
#include "BiTestUtil.h"
#include "Crc32.h"
#include "EntryName.h"
#include "Extractor.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <vector>

namespace bi {
namespace {

using quor::test::ReadBytes;
using quor::test::TempDir;
using quor::test::WriteBytes;

std::wstring Sample(const std::wstring& name) {
    return test::SampleFolder() + L"\\" + name;
}

Status CheckArchive(const std::wstring& path, Catalog& catalog) {
    ArchiveInput input;
    BI_RETURN_IF_FAILED(input.Open(path));
    BI_RETURN_IF_FAILED(ReadCatalog(input, catalog));
    return VerifyContent(input, catalog);
}

Failure CheckBytes(const std::string& bytes, Catalog* catalogOut = nullptr) {
    TempDir dir;
    const std::wstring path = dir / L"a.rar";
    if (!WriteBytes(path, bytes)) {
        return Failure::CreateOutput;
    }
    Catalog catalog;
    const Status status = CheckArchive(path, catalog);
    if (catalogOut) {
        *catalogOut = catalog;
    }
    return status.failure();
}

// ---- The samples, as the manifest describes them ----

struct ExpectedItem {
    std::wstring path;
    bool directory;
    std::uint64_t size;
    const char* sha256;
    std::uint64_t modified; // whole seconds, as FILETIME
    DWORD attributes;       // READONLY, HIDDEN, SYSTEM
};

struct SampleCase {
    const wchar_t* file;
    Failure expected;
    std::vector<ExpectedItem> items;
};

const char kHelloWorld[] = "fef9ad8cf601b43f76c6320075f62267c6e5c0a526d750a70b80c919a4a0aad8";

std::vector<SampleCase> SampleCases() {
    using test::FileTimeOf;
    const ExpectedItem helloWorld{
        L"helloworld.txt", false, 29, kHelloWorld, FileTimeOf(2018, 9, 26, 4, 43, 42), 0};
    return {
        {L"test_read_format_rar5_stored.rar", Failure::None, {helloWorld}},
        {L"test_read_format_rar5_skip_block_extra_bytes.rar", Failure::None, {helloWorld}},
        {L"test_read_format_rar5_main_block_extra_bytes.rar", Failure::None, {helloWorld}},
        {L"test_read_format_rar5_stored_manyfiles.rar",
         Failure::None,
         {{L"make_uue.tcl", false, 405,
           "41f7ec23f892c8d4f18f72b01c8748572514475a902d818b92af048c3cb87422",
           FileTimeOf(2018, 9, 29, 7, 16, 30), 0},
          {L"cebula.txt", false, 814,
           "1e98540238b2b13d1a22f4f4fa8e2eb6c66e24d46115ffdfafd3f3f981b212e7",
           FileTimeOf(2018, 9, 30, 6, 53, 12), 0},
          {L"test.bin", false, 1200,
           "588870a2dade35c2650fbb7898c9a9c7f21fce7c281198604e8d0c9737f2c375",
           FileTimeOf(2018, 9, 27, 4, 7, 39), 0}}},
        {L"test_read_format_rar5_fileattr.rar",
         Failure::None,
         {{L"readonly.txt", false, 11,
           "6122e0000f6b1f252db8481f26f336503e4e9e6e9206d2449ff703de08465d92",
           FileTimeOf(2019, 5, 9, 20, 23, 15), FILE_ATTRIBUTE_READONLY},
          {L"hidden.txt", false, 11,
           "584a84848d6ae5412ff2b65fdf339da7a2f55b7d0fcddf8469a2bca27c030252",
           FileTimeOf(2019, 5, 9, 20, 23, 27), FILE_ATTRIBUTE_HIDDEN},
          {L"system.txt", false, 11,
           "6291dc33445cfe4b80f5d4903929d264291a82ad14b515ea04108a6d90e61300",
           FileTimeOf(2019, 5, 9, 20, 23, 33), FILE_ATTRIBUTE_SYSTEM},
          {L"ro_hidden.txt", false, 11,
           "eb03adb08b732ed996e9062acf6ed5b3e4b0177a60f49eddf3c8bd6d45b7ff96",
           FileTimeOf(2019, 5, 9, 21, 22, 12), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN},
          {L"dir_readonly", true, 0, "", FileTimeOf(2019, 5, 9, 20, 23, 42), 0},
          {L"dir_hidden", true, 0, "", FileTimeOf(2019, 5, 9, 20, 23, 44), 0},
          {L"dir_system", true, 0, "", FileTimeOf(2019, 5, 9, 20, 23, 47), 0},
          {L"dir_rohidden", true, 0, "", FileTimeOf(2019, 5, 9, 21, 23, 57), 0}}},
        {L"test_read_format_rar5_zip_in_rar.rar",
         Failure::None,
         {{L"payload\\inner.zip", false, 165,
           "98bc6fa21849be095380e778f92677d81a04dca604ba38ae1d7393dae0fb8b17",
           FileTimeOf(2026, 8, 21, 9, 1, 49), 0},
          {L"payload\\real_after.txt", false, 21,
           "c70b2aeb60e6e3759a38ce3f2c8b2fb36e522d040b94967f4aa51cb5d96327b1",
           FileTimeOf(2026, 8, 21, 9, 1, 49), 0},
          {L"payload", true, 0, "", FileTimeOf(2026, 8, 21, 9, 1, 49), 0}}},
        {L"test_read_format_rar5_compressed.rar", Failure::Compressed, {}},
        {L"test_read_format_rar5_win32.rar", Failure::Compressed, {}},
        {L"test_read_format_rar5_blake2.rar", Failure::Compressed, {}},
        {L"test_read_format_rar5_encrypted.rar", Failure::Encrypted, {}},
        {L"test_read_format_rar5_encrypted_filenames.rar", Failure::Encrypted, {}},
        {L"test_read_format_rar5_solid.rar", Failure::Solid, {}},
        {L"test_read_format_rar5_multiarchive.part01.rar", Failure::MultiVolume, {}},
        {L"test_read_format_rar5_multiarchive.part02.rar", Failure::MultiVolume, {}},
        {L"test_read_format_rar5_multiarchive.part05.rar", Failure::MultiVolume, {}},
        {L"test_read_format_rar5_multiarchive.part08.rar", Failure::MultiVolume, {}},
        {L"test_read_format_rar5_symlink.rar", Failure::Link, {}},
        {L"test_read_format_rar5_unicode.rar", Failure::Link, {}},
        {L"test_read_format_rar.rar", Failure::OldFormat, {}},
        {L"test_read_format_rar_windows.rar", Failure::OldFormat, {}},
    };
}

// Each sample is extracted exactly (content, times, attributes) or refused with its own
// category and nothing in the destination.
TEST(BiSampleArchiveTest, ExtractsOrRefusesEachSampleAsTheManifestSays) {
    for (const SampleCase& sample : SampleCases()) {
        SCOPED_TRACE(test::Narrow(sample.file));
        TempDir dest;
        const Status status = ExtractArchive(Sample(sample.file), dest.path(), nullptr);
        ASSERT_EQ(sample.expected, status.failure()) << test::Narrow(status.Describe());
        const auto items = test::Snapshot(dest.path());
        if (sample.expected != Failure::None) {
            EXPECT_TRUE(items.empty());
            continue;
        }
        EXPECT_EQ(sample.items.size(), items.size());
        for (const ExpectedItem& expected : sample.items) {
            SCOPED_TRACE(test::Narrow(expected.path));
            const auto found = items.find(expected.path);
            ASSERT_NE(items.end(), found);
            EXPECT_EQ(expected.directory, found->second.directory);
            EXPECT_EQ(expected.modified / 10000000, found->second.modified / 10000000);
            if (!expected.directory) {
                EXPECT_EQ(expected.size, found->second.content.size());
                EXPECT_EQ(expected.sha256, test::Sha256(found->second.content));
                EXPECT_EQ(expected.attributes, found->second.attributes);
            }
        }
    }
}

// Real-archive variants of how times and attributes are stored.
TEST(BiSampleArchiveTest, DecodesTimesAndAttributesOfEveryHostAndForm) {
    Catalog catalog;
    // Unix host, Unix seconds plus nanoseconds in the time record.
    ASSERT_TRUE(CheckArchive(Sample(L"test_read_format_rar5_stored.rar"), catalog).ok());
    ASSERT_EQ(1u, catalog.entries.size());
    EXPECT_EQ(test::FileTimeOf(2018, 9, 26, 4, 43, 42) + 437184854 / 100,
              catalog.entries[0].fileTime);
    EXPECT_EQ(0x20u, catalog.entries[0].attributes); // 0644: writable

    // Windows host, FILETIME records, folder attributes kept.
    ASSERT_TRUE(CheckArchive(Sample(L"test_read_format_rar5_fileattr.rar"), catalog).ok());
    std::vector<std::uint32_t> attributes;
    for (const CatalogEntry& entry : catalog.entries) {
        attributes.push_back(entry.attributes);
    }
    EXPECT_EQ((std::vector<std::uint32_t>{0x21, 0x22, 0x24, 0x23, 0x11, 0x12, 0x14, 0x13}),
              attributes);
}

// ---- Hand-made archives for the rules no sample shows ----

TEST(BiHandMadeArchiveTest, AcceptsTheHeaderTimeFieldAndPrefersTheTimeRecord) {
    test::RawEntry headerTime{.name = "h.txt", .content = "x", .unixTime = 1704164645};
    test::RawEntry both{.name = "b.txt", .content = "y", .unixTime = 1000};
    both.extra = test::FileTimeRecord(test::kExampleTime + 1);
    test::RawEntry badNanoseconds{.name = "n.txt", .content = "z"};
    badNanoseconds.extra =
        test::FromHex("0A 03 13") + test::Le32(1704164645) + test::Le32(1000000000);
    test::RawEntry noTime{.name = "none.txt", .content = ""};

    Catalog catalog;
    ASSERT_EQ(Failure::None,
              CheckBytes(test::Archive(test::EntryBlock(headerTime) + test::EntryBlock(both) +
                                       test::EntryBlock(badNanoseconds) + test::EntryBlock(noTime)),
                         &catalog));
    ASSERT_EQ(4u, catalog.entries.size());
    EXPECT_EQ(test::kExampleTime, catalog.entries[0].fileTime);
    EXPECT_EQ(test::kExampleTime + 1, catalog.entries[1].fileTime);
    EXPECT_EQ(test::kExampleTime, catalog.entries[2].fileTime); // whole seconds kept
    EXPECT_FALSE(catalog.entries[3].hasTime);
}

TEST(BiHandMadeArchiveTest, SkipsServiceBlocksUnknownSkippableBlocksAndTrailingBytes) {
    const std::string comment =
        test::Block(3, 0x0002,
                    test::Vint(0) + test::Vint(7) + test::Vint(0) + test::Vint(0x0180) +
                        test::Vint(0) + test::Vint(3) + "CMT",
                    "", "compressed comment");
    const std::string unknownSkippable = test::Block(77, 0x0004 | 0x0002, "abc", "", "payload");
    const std::string file = test::EntryBlock({.name = "f", .content = "data"});
    Catalog catalog;
    ASSERT_EQ(
        Failure::None,
        CheckBytes(test::Archive(comment + unknownSkippable + file) + "trailing junk", &catalog));
    ASSERT_EQ(1u, catalog.entries.size());
    EXPECT_EQ("f", catalog.entries[0].name);

    EXPECT_EQ(Failure::UnknownBlock,
              CheckBytes(test::Archive(test::Block(77, 0x0002, "abc", "", "payload") + file)));
}

// Over-long vints in fields, as RAR writes them when it reserves room.
TEST(BiHandMadeArchiveTest, AcceptsOverLongFieldEncodings) {
    const std::string fields =
        test::FromHex("84 80 00") /* flags: CRC */ + test::FromHex("83 80 80 00") /* size 3 */ +
        test::FromHex("A0 00") /* attributes */ + test::Le32(Crc32("abc", 3)) +
        test::FromHex("80 00") /* compression */ + test::FromHex("00 01") /* host, name length */ +
        "f";
    const std::string block = test::Block(2, 0x0002, fields, "", "abc");
    Catalog catalog;
    ASSERT_EQ(Failure::None, CheckBytes(test::Archive(block), &catalog));
    ASSERT_EQ(1u, catalog.entries.size());
    EXPECT_EQ(3u, catalog.entries[0].size);
    EXPECT_EQ(0x20u, catalog.entries[0].attributes);
}

// Each unsupported feature is refused with its own category, in the order that keeps an
// encrypted entry from passing as stored.
TEST(BiHandMadeArchiveTest, RefusesUnsupportedEntriesWithTheirCategory) {
    // Type 1, AES-256, password check present, KDF exponent 15, salt, IV and check value.
    const std::string encryption = test::FromHex("01 00 01 0F") + std::string(44, '\x11');
    test::RawEntry encryptedStored{.name = "e", .content = "0123456789abcdef"};
    encryptedStored.extra = test::Vint(encryption.size()) + encryption;
    EXPECT_EQ(Failure::Encrypted, CheckBytes(test::Archive(test::EntryBlock(encryptedStored))));

    EXPECT_EQ(Failure::Compressed, CheckBytes(test::Archive(test::EntryBlock(
                                       {.name = "c", .content = "zz", .compression = 0x0100}))));
    EXPECT_EQ(Failure::Solid, CheckBytes(test::Archive(test::EntryBlock(
                                  {.name = "s", .content = "zz", .compression = 0x0040}))));
    EXPECT_EQ(Failure::MultiVolume,
              CheckBytes(test::Archive(
                  test::EntryBlock({.name = "v", .content = "zz", .extraHeaderFlags = 0x0010}))));
    test::RawEntry link{.name = "l", .content = "", .unpackedSize = 8};
    link.extra = test::FromHex("0C 05 01 00 08") + "file.txt";
    EXPECT_EQ(Failure::Link, CheckBytes(test::Archive(test::EntryBlock(link))));
    EXPECT_EQ(Failure::Unverifiable, CheckBytes(test::Archive(test::EntryBlock(
                                         {.name = "n", .content = "zz", .omitCrc = true}))));
    EXPECT_EQ(Failure::DamagedHeader, CheckBytes(test::Archive(test::EntryBlock(
                                          {.name = "d", .content = "zz", .unpackedSize = 3}))));
    // The main header decides for the whole archive.
    std::string solidArchive = test::Archive(test::EntryBlock({.name = "f", .content = "a"}));
    solidArchive.replace(8, 8, test::Block(1, 0, test::Vint(0x0004)));
    EXPECT_EQ(Failure::Solid, CheckBytes(solidArchive));
    std::string lastVolume = test::Archive("");
    lastVolume.replace(lastVolume.size() - 8, 8, test::Block(5, 0x0004, test::Vint(1)));
    EXPECT_EQ(Failure::MultiVolume, CheckBytes(lastVolume));
}

TEST(BiHandMadeArchiveTest, RecognisesOtherFormatsFromTheSignature) {
    EXPECT_EQ(Failure::OldFormat, CheckBytes(test::FromHex("52 61 72 21 1A 07 00 CF 90 73 00")));
    EXPECT_EQ(Failure::OldFormat, CheckBytes(test::FromHex("52 45 7E 5E 00 00 00 00 00")));
    EXPECT_EQ(Failure::NewerFormat, CheckBytes(test::FromHex("52 61 72 21 1A 07 02 00 00 00")));
    EXPECT_EQ(Failure::NotRar, CheckBytes("PK\x03\x04 not a rar archive"));
    // The signature must be at the very start: no searching through a ZIP for it.
    EXPECT_EQ(Failure::NotRar, CheckBytes("MZ" + test::ExampleArchive()));
}

// ---- Damage: every single-byte change and every cut of the worked example ----

TEST(BiDamageTest, EveryFlippedByteIsAnErrorAndExtractsNothing) {
    const std::string good = test::ExampleArchive();
    ASSERT_EQ(Failure::None, CheckBytes(good));
    TempDir dir;
    const std::wstring path = dir / L"flipped.rar";
    for (size_t at = 8; at < good.size(); ++at) {
        std::string bad = good;
        bad[at] = static_cast<char>(bad[at] ^ 0x01);
        ASSERT_TRUE(WriteBytes(path, bad));
        const std::wstring dest = dir / (L"out" + std::to_wstring(at));
        const Failure failure = ExtractArchive(path, dest, nullptr).failure();
        // Bytes 0x56-0x5A are the content "hello"; everything else is inside a header.
        if (at >= 0x56 && at < 0x5B) {
            EXPECT_EQ(Failure::DataCrc, failure) << at;
        } else {
            EXPECT_TRUE(failure == Failure::DamagedHeader || failure == Failure::Truncated) << at;
        }
        EXPECT_TRUE(test::IsEmptyOrMissing(dest)) << at;
        // A stronger change in the same place is caught the same way.
        bad[at] = static_cast<char>(good[at] ^ 0xFF);
        EXPECT_NE(Failure::None, CheckBytes(bad)) << at;
    }
}

TEST(BiDamageTest, EveryCutIsAnErrorAndExtractsNothing) {
    const std::string good = test::ExampleArchive();
    TempDir dir;
    const std::wstring path = dir / L"cut.rar";
    for (size_t length = 0; length < good.size(); ++length) {
        ASSERT_TRUE(WriteBytes(path, good.substr(0, length)));
        const std::wstring dest = dir / (L"out" + std::to_wstring(length));
        const Failure failure = ExtractArchive(path, dest, nullptr).failure();
        EXPECT_EQ(length < 8 ? Failure::NotRar : Failure::Truncated, failure) << length;
        EXPECT_TRUE(test::IsEmptyOrMissing(dest)) << length;
    }
}

TEST(BiDamageTest, RefusesHeaderSizesBeyondThreeBytesAndBelowTwo) {
    // Main header with a 4-byte header size vint (over-long 3).
    const std::string covered = test::FromHex("83 80 80 00 01 00 00");
    std::string archive = test::FromHex("52 61 72 21 1A 07 01 00") +
                          test::Le32(Crc32(covered.data(), covered.size())) + covered;
    EXPECT_EQ(Failure::DamagedHeader,
              CheckBytes(archive + test::FromHex("1D 77 56 51 03 05 04 00")));
    // Header size 1: not even room for type and flags.
    const std::string tiny = test::FromHex("01 01");
    archive = test::FromHex("52 61 72 21 1A 07 01 00") + test::Le32(Crc32(tiny.data(), 2)) + tiny;
    EXPECT_EQ(Failure::DamagedHeader, CheckBytes(archive));
    // A data size that runs past the end of the file.
    std::string block = test::EntryBlock({.name = "f", .content = "abc"});
    EXPECT_EQ(Failure::Truncated,
              CheckBytes(test::Archive("").substr(0, 16) + block.substr(0, block.size() - 1)));
}

// ---- Names ----

TEST(BiEntryNameTest, RefusesNamesThatLeaveTheFolderOrCannotExistOnWindows) {
    const char* unsafe[] = {"",      "../x",   "/x",     "C:x",     "a//b",    "a\\b",  "a/./b",
                            "a/..",  "a/",     "x:y",    "a*b",     "a?",      "\"q\"", "a<b",
                            "a>b",   "a|b",    "a\x01",  "CON",     "nul.txt", "Com1",  "lpt9.log",
                            "a/AUX", "dir/b.", "dir/b ", "CONOUT$", "..",      "."};
    for (const char* name : unsafe) {
        std::wstring path;
        EXPECT_EQ(Failure::UnsafeName, RelativePathFromArchiveName(name, path).failure()) << name;
    }
    std::wstring path;
    EXPECT_EQ(Failure::UnsafeName, RelativePathFromArchiveName("\xC3\x28", path).failure());

    const char* safe[] = {"Data/a.txt", "中文/文件.txt", "\xF0\x9F\x98\x80.txt",
                          "CONFIG",     "COM10",         "a..b",
                          ".hidden",    "nul2"};
    for (const char* name : safe) {
        EXPECT_TRUE(RelativePathFromArchiveName(name, path).ok()) << name;
    }
    ASSERT_TRUE(RelativePathFromArchiveName("Data/sub/f.txt", path).ok());
    EXPECT_EQ(L"Data\\sub\\f.txt", path);
}

// One unsafe name anywhere refuses the archive before anything is written.
TEST(BiEntryNameTest, AnUnsafeEntryAfterSafeOnesExtractsNothing) {
    for (const char* name : {"../escape.txt", "/abs.txt", "C:drive.txt", "sub\\back.txt"}) {
        TempDir dir;
        const std::string archive =
            test::Archive(test::EntryBlock({.name = "ok.txt", .content = "fine"}) +
                          test::EntryBlock({.name = name, .content = "evil"}));
        ASSERT_TRUE(WriteBytes(dir / L"a.rar", archive));
        const std::wstring dest = dir / L"dest";
        EXPECT_EQ(Failure::UnsafeName, ExtractArchive(dir / L"a.rar", dest, nullptr).failure())
            << name;
        EXPECT_TRUE(test::IsEmptyOrMissing(dest)) << name;
        EXPECT_FALSE(ReadBytes(dir / L"escape.txt").has_value());
    }
}

} // namespace
} // namespace bi
