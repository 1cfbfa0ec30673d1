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

using namespace test;
using namespace quor::test;

// Reads and checks the archive bytes: the failure category (None when accepted).
Failure CheckBytes(const std::string& bytes, Catalog* catalog = nullptr) {
    TempDir dir;
    Catalog read;
    EXPECT_TRUE(WriteBytes(dir / L"a.rar", bytes));
    return ReadBack(dir / L"a.rar", catalog ? *catalog : read).failure();
}

// ---- The samples, as the manifest describes them ----

constexpr DWORD R = FILE_ATTRIBUTE_READONLY, H = FILE_ATTRIBUTE_HIDDEN, S = FILE_ATTRIBUTE_SYSTEM;

struct ExpectedItem {
    std::wstring path;
    bool directory;
    std::uint64_t size;
    std::uint32_t crc;      // CRC32 of the content, from the manifest
    std::uint64_t modified; // whole seconds, as FILETIME
    DWORD attributes;       // READONLY, HIDDEN, SYSTEM
};

struct SampleCase {
    const wchar_t* file;
    Failure expected;
    std::vector<ExpectedItem> items;
};

std::vector<SampleCase> SampleCases() {
    const auto T = FileTimeOf;
    const std::vector<ExpectedItem> hello = {
        {L"helloworld.txt", false, 29, 0x95A043B4, T(2018, 9, 26, 4, 43, 42), 0}};
    return {
        {L"test_read_format_rar5_stored.rar", Failure::None, hello},
        {L"test_read_format_rar5_skip_block_extra_bytes.rar", Failure::None, hello},
        {L"test_read_format_rar5_main_block_extra_bytes.rar", Failure::None, hello},
        {L"test_read_format_rar5_stored_manyfiles.rar",
         Failure::None,
         {{L"make_uue.tcl", false, 405, 0x49478ADC, T(2018, 9, 29, 7, 16, 30), 0},
          {L"cebula.txt", false, 814, 0x7E5EC49E, T(2018, 9, 30, 6, 53, 12), 0},
          {L"test.bin", false, 1200, 0x7CCA70CD, T(2018, 9, 27, 4, 7, 39), 0}}},
        {L"test_read_format_rar5_fileattr.rar",
         Failure::None,
         {{L"readonly.txt", false, 11, 0x9B8EDD8B, T(2019, 5, 9, 20, 23, 15), R},
          {L"hidden.txt", false, 11, 0x853D846F, T(2019, 5, 9, 20, 23, 27), H},
          {L"system.txt", false, 11, 0x28D28C2D, T(2019, 5, 9, 20, 23, 33), S},
          {L"ro_hidden.txt", false, 11, 0x1D109F2E, T(2019, 5, 9, 21, 22, 12), R | H},
          {L"dir_readonly", true, 0, 0, T(2019, 5, 9, 20, 23, 42), R},
          {L"dir_hidden", true, 0, 0, T(2019, 5, 9, 20, 23, 44), H},
          {L"dir_system", true, 0, 0, T(2019, 5, 9, 20, 23, 47), S},
          {L"dir_rohidden", true, 0, 0, T(2019, 5, 9, 21, 23, 57), R | H}}},
        {L"test_read_format_rar5_zip_in_rar.rar",
         Failure::None,
         {{L"payload\\inner.zip", false, 165, 0x8571E12E, T(2026, 8, 21, 9, 1, 49), 0},
          {L"payload\\real_after.txt", false, 21, 0xF64DA62E, T(2026, 8, 21, 9, 1, 49), 0},
          {L"payload", true, 0, 0, T(2026, 8, 21, 9, 1, 49), 0}}},
        {L"test_read_format_rar5_compressed.rar", Failure::Compressed, {}},
        {L"test_read_format_rar5_win32.rar", Failure::Compressed, {}},
        {L"test_read_format_rar5_blake2.rar", Failure::Compressed, {}},
        {L"test_read_format_rar5_encrypted.rar", Failure::Encrypted, {}},
        {L"test_read_format_rar5_encrypted_filenames.rar", Failure::Encrypted, {}},
        {L"test_read_format_rar5_solid.rar", Failure::Solid, {}},
        {L"test_read_format_rar5_multiarchive.part01.rar", Failure::MultiVolume, {}},
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
        SCOPED_TRACE(Narrow(sample.file));
        TempDir dest;
        const Status status =
            ExtractArchive(Env(L"QUOR_TESTDATA") + L"\\" + sample.file, dest.path(), nullptr);
        ASSERT_EQ(sample.expected, status.failure()) << Narrow(status.Describe());
        const auto items = Snapshot(dest.path());
        EXPECT_EQ(sample.items.size(), items.size());
        for (const ExpectedItem& expected : sample.items) {
            SCOPED_TRACE(Narrow(expected.path));
            const auto found = items.find(expected.path);
            ASSERT_NE(items.end(), found);
            const std::string& content = found->second.content;
            EXPECT_EQ(expected.directory, found->second.directory);
            EXPECT_EQ(expected.size, content.size());
            EXPECT_EQ(expected.crc, Crc32(content.data(), content.size()));
            EXPECT_EQ(expected.modified / 10000000, found->second.modified / 10000000);
            // Wine keeps no READONLY on folders.
            const DWORD mask = expected.directory ? ~R : ~DWORD{0};
            EXPECT_EQ(expected.attributes & mask, found->second.attributes & mask);
        }
    }
}

// ---- Hand-made archives for the rules no sample shows ----

// Service blocks, unknown blocks marked skippable and bytes after the end header are passed
// over; over-long field vints (as RAR writes them when it reserves room) are read; the time
// record wins over the header time field, and invalid nanoseconds leave whole seconds.
TEST(BiHandMadeArchiveTest, AcceptsWhatRarMayWrite) {
    const std::string comment =
        Block(3, 0x0002, Vint(0) + Vint(7) + Vint(0) + Vint(0x0180) + Vint(0) + Vint(3) + "CMT", "",
              "compressed comment");
    const std::string overLong =
        FromHex("84 80 00") /* flags: CRC */ + FromHex("83 80 80 00") /* size 3 */ +
        FromHex("A0 00") /* attributes */ + Le32(Crc32("abc", 3)) +
        FromHex("80 00") /* compression */ + FromHex("00 01") /* host, name length */ + "f";
    const std::string badNanoseconds = FromHex("0A 03 13") + Le32(1704164645) + Le32(1000000000);
    const std::string fileTime = FromHex("0A 03 02 81 C0 48 58 28 3D DA 01"); // example + 100 ns
    const std::string blocks = comment + Block(77, 0x0004 | 0x0002, "abc", "", "payload") +
                               Block(2, 0x0002, overLong, "", "abc") +
                               EntryBlock({.name = "h", .unixTime = 1704164645}) +
                               EntryBlock({.name = "b", .unixTime = 1000, .extra = fileTime}) +
                               EntryBlock({.name = "n", .extra = badNanoseconds});
    Catalog catalog;
    ASSERT_EQ(Failure::None, CheckBytes(Archive(blocks) + "trailing junk", &catalog));
    ASSERT_EQ(4u, catalog.entries.size());
    EXPECT_EQ("f", catalog.entries[0].name);
    EXPECT_EQ(3u, catalog.entries[0].size);
    EXPECT_EQ(0x20u, catalog.entries[0].attributes);
    EXPECT_FALSE(catalog.entries[0].hasTime);
    EXPECT_EQ(kExampleTime, catalog.entries[1].fileTime);
    EXPECT_EQ(kExampleTime + 1, catalog.entries[2].fileTime);
    EXPECT_EQ(kExampleTime, catalog.entries[3].fileTime);
}

// What the samples do not show: entry-level flags for unsupported features, each refused with
// its own category (encryption before the stored method), other formats and bad headers.
TEST(BiHandMadeArchiveTest, RefusesWhatItCannotExtractWithItsCategory) {
    const auto one = [](const RawEntry& entry) { return Archive(EntryBlock(entry)); };
    const std::string signature = FromHex("52 61 72 21 1A 07 01 00");
    // Record size 48, type 1, AES-256, password check, KDF exponent 15, salt, IV, check value.
    const std::string encryption = FromHex("30 01 00 01 0F") + std::string(44, '\x11');
    const std::string overLongHeaderSize = FromHex("83 80 80 00 01 00 00");
    const std::vector<std::pair<Failure, std::string>> cases = {
        {Failure::Encrypted,
         one({.name = "e", .content = "0123456789abcdef", .extra = encryption})},
        {Failure::Compressed, one({.name = "c", .content = "zz", .compression = 0x0100})},
        {Failure::Solid, one({.name = "s", .content = "zz", .compression = 0x0040})},
        {Failure::MultiVolume, one({.name = "v", .content = "zz", .extraHeaderFlags = 0x0010})},
        {Failure::Unverifiable, one({.name = "n", .content = "zz", .omitCrc = true})},
        {Failure::DamagedHeader, one({.name = "d", .content = "zz", .unpackedSize = 3})},
        {Failure::UnknownBlock, Archive(Block(77, 0x0002, "abc", "", "payload"))},
        {Failure::OldFormat, FromHex("52 45 7E 5E 00 00 00 00 00")},
        {Failure::NewerFormat, FromHex("52 61 72 21 1A 07 02 00 00 00")},
        {Failure::NotRar, "PK\x03\x04 not a rar archive"},
        // The signature must be at the very start: no searching through a ZIP for it.
        {Failure::NotRar, "MZ" + ExampleArchive()},
        // Header sizes beyond three bytes and below two.
        {Failure::DamagedHeader, signature + Le32(Crc32(overLongHeaderSize.data(), 7)) +
                                     overLongHeaderSize + FromHex("1D 77 56 51 03 05 04 00")},
        {Failure::DamagedHeader, signature + Le32(Crc32("\x01\x01", 2)) + "\x01\x01"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(cases[i].first, CheckBytes(cases[i].second)) << "case " << i;
    }
}

// ---- Damage: every single-byte change and every cut of the worked example ----

TEST(BiDamageTest, EveryFlippedByteAndEveryCutIsAnErrorAndExtractsNothing) {
    const std::string good = ExampleArchive();
    ASSERT_EQ(Failure::None, CheckBytes(good));
    TempDir dir;
    const auto extract = [&](const std::string& bytes) {
        EXPECT_TRUE(WriteBytes(dir / L"bad.rar", bytes));
        const Failure failure = ExtractArchive(dir / L"bad.rar", dir / L"out", nullptr).failure();
        EXPECT_TRUE(IsEmptyOrMissing(dir / L"out"));
        return failure;
    };
    for (std::size_t at = 0; at < good.size(); ++at) {
        SCOPED_TRACE(at);
        EXPECT_EQ(at < 8 ? Failure::NotRar : Failure::Truncated, extract(good.substr(0, at)));
        std::string flipped = good;
        flipped[at] ^= 0x01;
        const Failure failure = at < 8 ? Failure::None : extract(flipped);
        // Bytes 0x56-0x5A are the content "hello"; everything else is inside a header.
        if (at >= 0x56 && at < 0x5B) {
            EXPECT_EQ(Failure::DataCrc, failure);
        } else if (at >= 8) {
            EXPECT_TRUE(failure == Failure::DamagedHeader || failure == Failure::Truncated);
        }
    }
}

// ---- Names, both ways ----

// A name that leaves the folder or cannot exist on Windows refuses the whole archive, even
// after safe entries, before anything is written; names that only resemble those are fine.
TEST(BiEntryNameTest, AnUnsafeNameAnywhereExtractsNothing) {
    const std::vector<const char*> unsafe = {
        "/x",    "C:x",    "a//b",          "a/./b",   "a/..", "a/",      "x:y",      "a*b",
        "a?",    "a<b",    "a>b",           "a|b",     "CON",  "nul.txt", "Com1",     "lpt9.log",
        "a/AUX", "dir/b.", "dir/b ",        "CONOUT$", "..",   ".",       "\xC3\x28", "a\\b",
        "\"q\"", "a\x01",  "../escape.txt", ""};
    const std::vector<const char*> safe = {
        "中文/文件.txt", "\xF0\x9F\x98\x80.txt", "CONFIG", "COM10", "a..b", ".hidden", "nul2"};
    TempDir dir;
    int run = 0;
    for (const auto* names : {&unsafe, &safe}) {
        for (const char* name : *names) {
            const std::wstring dest = dir / (L"dest" + std::to_wstring(++run));
            ASSERT_TRUE(
                WriteBytes(dir / L"a.rar", Archive(EntryBlock({.name = "ok.txt", .content = "1"}) +
                                                   EntryBlock({.name = name, .content = "2"}))));
            const Failure failure = ExtractArchive(dir / L"a.rar", dest, nullptr).failure();
            EXPECT_EQ(names == &safe ? Failure::None : Failure::UnsafeName, failure) << name;
            EXPECT_EQ(names == &safe, !IsEmptyOrMissing(dest)) << name;
        }
    }
    EXPECT_FALSE(ReadBytes(dir / L"escape.txt").has_value());
}

// Names that could not be given back on restore are refused when packing, not later.
TEST(BiEntryNameTest, RefusesSourceNamesThatCannotBeRestored) {
    std::string name;
    const std::pair<Failure, std::wstring> refused[] = {
        {Failure::BadSourceName, std::wstring(L"Data\\a") + wchar_t(0xD800) + L".txt"},
        {Failure::BadSourceName, std::wstring(L"x") + wchar_t(0xDC00) + wchar_t(0xD800)},
        {Failure::BadSourceName, L"Data\\CON"},
        {Failure::BadSourceName, L"Data\\trailing."},
        {Failure::NameTooLong, L"Data\\" + std::wstring(1000, L'中')},
    };
    for (const auto& [failure, source] : refused) {
        EXPECT_EQ(failure, ArchiveNameFromPath(source, name).failure()) << Narrow(source);
    }
}

} // namespace
} // namespace bi
