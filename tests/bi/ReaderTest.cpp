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
    std::uint64_t modified; // whole seconds, as FILETIME; 0: not compared
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
        {L"test_read_format_rar5_encrypted.rar", Failure::Encrypted, {}},
        {L"test_read_format_rar5_encrypted_filenames.rar", Failure::Encrypted, {}},
        {L"test_read_format_rar5_solid_encrypted.rar", Failure::Encrypted, {}},
        {L"test_read_format_rar5_multiarchive.part01.rar", Failure::MultiVolume, {}},
        {L"test_read_format_rar5_multiarchive.part05.rar", Failure::MultiVolume, {}},
        {L"test_read_format_rar5_multiarchive.part08.rar", Failure::MultiVolume, {}},
        // Links are checked and left out; the rest is extracted.
        {L"test_read_format_rar5_symlink.rar",
         Failure::None,
         {{L"file.txt", false, 5, 0x7D931721, T(2019, 4, 17, 20, 31, 52), 0},
          {L"dir", true, 0, 0, T(2019, 4, 17, 21, 10, 30), 0}}},
        {L"test_read_format_rar5_unicode.rar",
         Failure::None,
         {{L"\U0001F44B\U0001F30E.txt", false, 13, 0xEBE6C6E6, T(2023, 9, 20, 18, 43, 24), 0}}},
    };
}

// Compressed samples of both formats: the content the manifests give, by size and CRC32.
std::vector<SampleCase> CompressedSampleCases() {
    const std::vector<ExpectedItem> libarchiveTree = {
        {L"LibarchiveAddingTest.html", false, 20111, 0x5E05A663, 0, 0},
        {L"testdir\\test.txt", false, 20, 0xBEC8A242, 0, 0},
        {L"testdir\\LibarchiveAddingTest.html", false, 20111, 0x5E05A663, 0, 0},
        {L"testdir", true, 0, 0, 0, 0},
        {L"testemptydir", true, 0, 0, 0, 0}};
    return {
        {L"test_read_format_rar5_compressed.rar",
         Failure::None,
         {{L"test.bin", false, 1200, 0x7CCA70CD, 0, 0}}},
        {L"test_read_format_rar5_win32.rar",
         Failure::None,
         {{L"testdir", true, 0, 0, 0, 0},
          {L"test.bin", false, 1200, 0x7CCA70CD, 0, 0},
          {L"test1.bin", false, 4096, 0x7E13B2C6, 0, 0},
          {L"test2.bin", false, 4096, 0xF166AFCB, 0, R},
          {L"test3.bin", false, 4096, 0x9FB123D9, 0, 0},
          {L"test4.bin", false, 4096, 0x10C43ED4, 0, 0},
          {L"test5.bin", false, 4096, 0xB9D155F2, 0, 0},
          {L"test6.bin", false, 4096, 0x36A448FF, 0, 0}}},
        {L"test_read_format_rar5_solid.rar",
         Failure::None,
         {{L"test.bin", false, 1200, 0x7CCA70CD, 0, 0},
          {L"test1.bin", false, 4096, 0x7E13B2C6, 0, 0},
          {L"test2.bin", false, 4096, 0xF166AFCB, 0, 0},
          {L"test3.bin", false, 4096, 0x9FB123D9, 0, 0},
          {L"test4.bin", false, 4096, 0x10C43ED4, 0, 0},
          {L"test5.bin", false, 4096, 0xB9D155F2, 0, 0},
          {L"test6.bin", false, 4096, 0x36A448FF, 0, 0}}},
        {L"test_read_format_rar5_blake2.rar",
         Failure::None,
         {{L"cebula.txt", false, 814, 0x7E5EC49E, 0, 0}}},
        {L"test_read_format_rar5_arm.rar",
         Failure::None,
         {{L"elf-Linux-ARMv7-ls", false, 90808, 0x886F91EB, 0, 0}}},
        {L"test_read_format_rar5_extra_field_version.rar",
         Failure::None,
         {{L"bin", true, 0, 0, 0, 0}, {L"bin\\2to3", false, 95, 0xF24181B7, 0, 0}}},
        {L"rar5_compressed_worked_example.rar",
         Failure::None,
         {{L"ex.txt", false, 76, 0x96E87F69, 0, 0}}},
        {L"rar5_generated_one_large_block.rar",
         Failure::None,
         {{L"big.bin", false, 389769, 0x333AA9EF, 0, 0}}},
        {L"rar5_generated_e8e9.rar",
         Failure::None,
         {{L"x86.bin", false, 144608, 0x35277473, 0, 0}}},
        {L"test_read_format_rar.rar",
         Failure::None,
         {{L"test.txt", false, 20, 0xBEC8A242, 0, 0},
          {L"testdir\\test.txt", false, 20, 0xBEC8A242, 0, 0},
          {L"testdir", true, 0, 0, 0, 0},
          {L"testemptydir", true, 0, 0, 0, 0}}},
        {L"test_read_format_rar_windows.rar",
         Failure::None,
         {{L"testdir\\test.txt", false, 16, 0x97D612F1, 0, 0},
          {L"test.txt", false, 16, 0x97D612F1, 0, 0},
          {L"testshortcut.lnk", false, 441, 0x5B5CD737, 0, 0},
          {L"testdir", true, 0, 0, 0, 0},
          {L"testemptydir", true, 0, 0, 0, 0}}},
        {L"test_read_format_rar3_lowdist_reset.rar",
         Failure::None,
         {{L"lowdist-reset.bin", false, 64, 0x6FF838DC, 0, R}}},
        {L"test_read_format_rar_compress_normal.rar", Failure::None, libarchiveTree},
        {L"test_read_format_rar_compress_best.rar", Failure::None, libarchiveTree},
        {L"test_read_format_rar_multi_lzss_blocks.rar",
         Failure::None,
         {{L"multi_lzss_blocks_test.txt", false, 20131111, 0x6BA21570, 0, 0}}},
        {L"test_read_format_rar_filter.rar",
         Failure::None,
         {{L"bsdcat.exe", false, 204288, 0x4DB10349, 0, 0}}},
        {L"test_read_format_rar_sfx.exe",
         Failure::None,
         {{L"test.txt", false, 16, 0x97D612F1, 0, 0},
          {L"testshortcut.lnk", false, 441, 0x5B5CD737, 0, 0},
          {L"testdir\\test.txt", false, 16, 0x97D612F1, 0, 0},
          {L"testdir", true, 0, 0, 0, 0},
          {L"testemptydir", true, 0, 0, 0, 0}}},
        {L"test_read_format_rar_subblock.rar",
         Failure::None,
         {{L"test.txt", false, 20, 0xBEC8A242, 0, 0}}},
        {L"test_read_format_rar_newsub_rr_over_1m.rar", Failure::None, {}},
        {L"test_read_format_rar_unicode.rar",
         Failure::None,
         {{L"表だよ\\新しいフォルダ\\新規テキスト ドキュメント.txt", false, 0, 0x00000000, 0, 0},
          {L"表だよ\\漢字長いファイル名long-filename-in-漢字.txt", false, 5, 0x426F9DDC, 0, 0},
          {L"表だよ\\新しいフォルダ", true, 0, 0, 0, 0},
          {L"表だよ", true, 0, 0, 0, 0},
          {L"abcdefghijklmnopqrsテスト.txt", false, 16, 0x15B6D005, 0, 0}}},
        {L"test_read_format_rar4_encrypted.rar", Failure::Encrypted, {}},
        {L"test_read_format_rar4_encrypted_filenames.rar", Failure::Encrypted, {}},
        {L"test_read_format_rar4_solid_encrypted_filenames.rar", Failure::Encrypted, {}},
        {L"test_read_format_rar_encryption_data.rar", Failure::Encrypted, {}},
        {L"test_read_format_rar_encryption_partially.rar", Failure::Encrypted, {}},
        {L"test_read_format_rar_multivolume.part0001.rar", Failure::MultiVolume, {}},
        {L"test_read_format_rar_multivolume.part0004.rar", Failure::MultiVolume, {}},
        {L"test_read_format_rar_seek_data_cursor0.rar", Failure::MultiVolume, {}},
        // Damaged archives: the first fault is reported and nothing is left behind.
        {L"test_read_format_rar5_bad_tables.rar", Failure::DamagedData, {}},
        {L"test_read_format_rar5_loop_bug.rar", Failure::DamagedData, {}},
        {L"test_read_format_rar5_arm_filter_on_window_boundary.rar", Failure::DamagedHeader, {}},
        {L"test_read_format_rar5_block_size_is_too_small.rar", Failure::DamagedHeader, {}},
        {L"test_read_format_rar5_different_solid_window_size.rar", Failure::DamagedHeader, {}},
        {L"test_read_format_rar5_different_window_size.rar", Failure::DamagedHeader, {}},
        {L"test_read_format_rar5_different_winsize_on_merge.rar", Failure::DamagedHeader, {}},
        {L"test_read_format_rar5_invalid_dict_reference.rar", Failure::DamagedHeader, {}},
        {L"test_read_format_rar5_leftshift1.rar", Failure::DamagedHeader, {}},
        {L"test_read_format_rar5_nonempty_dir_stream.rar", Failure::DamagedHeader, {}},
        {L"test_read_format_rar5_readtables_overflow.rar", Failure::DamagedHeader, {}},
        {L"test_read_format_rar5_bad_window_sz_in_mltarc_file.rar", Failure::DamagedHeader, {}},
        {L"test_read_format_rar5_data_ready_pointer_leak.rar", Failure::DamagedHeader, {}},
        {L"test_read_format_rar5_decode_number_out_of_bounds_read.rar", Failure::DamagedHeader, {}},
        {L"test_read_format_rar5_unpacked_size_exceeds_declared.rar", Failure::DamagedHeader, {}},
        {L"test_read_format_rar5_owner_name_toolong.rar", Failure::DamagedHeader, {}},
        // Its main header declares a volume before its end header runs past the file.
        {L"test_read_format_rar5_bytes_remaining_underflow.rar", Failure::MultiVolume, {}},
        {L"test_read_format_rar_endarc_huge.rar", Failure::DamagedHeader, {}},
        {L"test_read_format_rar_ppmd_use_after_free.rar", Failure::DamagedHeader, {}},
        {L"test_read_format_rar_invalid1.rar", Failure::Truncated, {}},
        {L"test_read_format_rar_symlink_huge.rar", Failure::Truncated, {}},
    };
}

// The sample is extracted exactly (content, times where given, attributes) or refused with its
// own category and nothing in the destination.
void ExpectExtractedAsListed(const SampleCase& sample) {
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
        if (expected.modified != 0) {
            EXPECT_EQ(expected.modified / 10000000, found->second.modified / 10000000);
        }
        // Wine keeps no READONLY on folders.
        const DWORD mask = expected.directory ? ~R : ~DWORD{0};
        EXPECT_EQ(expected.attributes & mask, found->second.attributes & mask);
    }
}

TEST(BiSampleArchiveTest, ExtractsOrRefusesEachStoredSampleAsTheManifestSays) {
    for (const SampleCase& sample : SampleCases()) {
        ExpectExtractedAsListed(sample);
    }
}

TEST(BiSampleArchiveTest, ExtractsOrRefusesEachCompressedSampleAsTheManifestsSay) {
    for (const SampleCase& sample : CompressedSampleCases()) {
        ExpectExtractedAsListed(sample);
    }
}

// ---- Hand-made archives for the rules no sample shows ----

// Service blocks, unknown blocks marked skippable and bytes after the end header are passed
// over; over-long field vints (as RAR writes them when it reserves room) are read; the time
// record wins over the header time field, invalid nanoseconds leave whole seconds, and a time
// beyond what Windows can set is ignored rather than failing the extraction.
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
    const std::string beyondWindows = FromHex("0A 03 02 00 00 00 00 00 00 00 80");
    const std::string blocks = comment + Block(77, 0x0004 | 0x0002, "abc", "", "payload") +
                               Block(2, 0x0002, overLong, "", "abc") +
                               EntryBlock({.name = "h", .unixTime = 1704164645}) +
                               EntryBlock({.name = "b", .unixTime = 1000, .extra = fileTime}) +
                               EntryBlock({.name = "n", .extra = badNanoseconds}) +
                               EntryBlock({.name = "y", .extra = beyondWindows});
    Catalog catalog;
    ASSERT_EQ(Failure::None, CheckBytes(Archive(blocks) + "trailing junk", &catalog));
    ASSERT_EQ(5u, catalog.entries.size());
    EXPECT_EQ("f", catalog.entries[0].name);
    EXPECT_EQ(3u, catalog.entries[0].size);
    EXPECT_EQ(0x20u, catalog.entries[0].attributes);
    EXPECT_FALSE(catalog.entries[0].hasTime);
    EXPECT_EQ(kExampleTime, catalog.entries[1].fileTime);
    EXPECT_EQ(kExampleTime + 1, catalog.entries[2].fileTime);
    EXPECT_EQ(kExampleTime, catalog.entries[3].fileTime);
    EXPECT_FALSE(catalog.entries[4].hasTime); // a FILETIME Windows cannot set
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
        // Method 6, the stream of RAR 7, an unknown algorithm, a dictionary beyond 4 GiB.
        {Failure::Unsupported, one({.name = "m", .content = "zz", .compression = 0x0300})},
        {Failure::Unsupported, one({.name = "7", .content = "zz", .compression = 0x0181})},
        {Failure::Unsupported, one({.name = "a", .content = "zz", .compression = 0x0182})},
        {Failure::Unsupported, one({.name = "d", .content = "zz", .compression = 0x4180})},
        {Failure::MultiVolume, one({.name = "v", .content = "zz", .extraHeaderFlags = 0x0010})},
        {Failure::Unverifiable, one({.name = "n", .content = "zz", .omitCrc = true})},
        {Failure::DamagedHeader, one({.name = "d", .content = "zz", .unpackedSize = 3})},
        {Failure::UnknownBlock, Archive(Block(77, 0x0002, "abc", "", "payload"))},
        {Failure::OldFormat, FromHex("52 45 7E 5E 00 00 00 00 00")},
        {Failure::NewerFormat, FromHex("52 61 72 21 1A 07 02 00 00 00")},
        {Failure::NotRar, "PK\x03\x04 not a rar archive"},
        // The signature is looked for only behind a self-extractor's program, not in a ZIP.
        {Failure::NotRar, "PK\x03\x04" + ExampleArchive()},
        {Failure::None, "MZ" + std::string(1000, '\0') + ExampleArchive()},
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
