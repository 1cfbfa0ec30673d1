// The reader of the RAR 2.9-4.x format: its worked example byte for byte, the name encodings,
// and hand-made headers for the rules no sample shows.
#include "ArchiveReader.h"
#include "BiTestUtil.h"
#include "CatalogReaders.h"
#include "Crc32.h"
#include "Extractor.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <vector>

namespace bi {
namespace {

using namespace test;
using namespace quor::test;

// Four entries: stored.txt (stored), docs (folder), docs\lz.txt (LZ, 151 bytes in 90) and
// docs\中文名称.txt (stored, Unicode name), all modified 2024-05-17 10:20:31.1234567 local time.
const char kExample[] =
    "526172211a0700cf907300000d00000000000000bf327400902f001b0000001b00000002eb0f7fe78f52b158"
    "14300a002000000073746f7265642e74787400f087d61253746f7265642066696c653a2068656c6c6f205241"
    "5220342e0d0a7de474e0902900000000000000000002000000008f52b1581430040010000000646f637300f0"
    "87d6123f6774009030005a0000009700000002aa846eb88f52b1581d330b0020000000646f63735c6c7a2e74"
    "787400f087d6120d100107e4d3ca97920016000000159dddddde10ff69d122e5c8f0fb26d19e932dcb333c7e"
    "db8022190a81db6e00886429e77cef8e7c4c8fb3ba49a8aacbb0cb4db8ebcfc10c51c92cd3d14d55d96dd7e1"
    "8e59e9affb374000008e3d7400923f000d0000000d0000000251bd30f48f52b15814301a0020000000646f63"
    "735c5f5f5f5f2e7478740079ea032d4e87650d5470f00200f087d612e4b8ade69687e58685e5aeb90ac43d7b"
    "00400700";

std::string Le16(std::uint16_t value) {
    return std::string{static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
}

// One block: CRC, type, flags, size, then the fields after the first seven bytes, then data.
std::string Block4(std::uint8_t type, std::uint16_t flags, const std::string& fields,
                   const std::string& data = "") {
    std::string header = std::string(1, static_cast<char>(type)) + Le16(flags) +
                         Le16(static_cast<std::uint16_t>(7 + fields.size())) + fields;
    return Le16(static_cast<std::uint16_t>(Crc32(header.data(), header.size()) & 0xFFFF)) + header +
           data;
}

struct Rar4Entry {
    std::string name = "f.txt";
    std::string data = "abc";
    std::uint16_t flags = 0x8000;
    std::uint8_t version = 20;
    std::uint8_t method = 0x30;
    std::uint32_t unpackedSize = 3;
    std::uint8_t host = 2;
    std::uint8_t type = 0x74; // 0x7A: a service header of the same layout
    std::string extra = "";   // what follows the name: salt, extended time
};

std::string FileBlock4(const Rar4Entry& e) {
    const std::string fields =
        Le32(static_cast<std::uint32_t>(e.data.size())) + Le32(e.unpackedSize) +
        std::string(1, static_cast<char>(e.host)) + Le32(Crc32(e.data.data(), e.data.size())) +
        Le32(0x58B1528F) + std::string(1, static_cast<char>(e.version)) +
        std::string(1, static_cast<char>(e.method)) +
        Le16(static_cast<std::uint16_t>(e.name.size())) + Le32(0x20) + e.name + e.extra;
    return Block4(e.type, e.flags, fields, e.data);
}

std::string Marker() {
    return FromHex("52 61 72 21 1A 07 00");
}
std::string MainBlock(std::uint16_t flags = 0) {
    return Block4(0x73, flags, std::string(6, '\0'));
}
std::string EndBlock() {
    return Block4(0x7B, 0x4000, "");
}

Failure Check(const std::string& bytes, Catalog* catalog = nullptr) {
    TempDir dir;
    Catalog read;
    EXPECT_TRUE(WriteBytes(dir / L"a.rar", bytes));
    return ReadBack(dir / L"a.rar", catalog ? *catalog : read).failure();
}

TEST(BiRar4ReaderTest, ReadsTheWorkedExampleExactly) {
    Catalog catalog;
    ASSERT_EQ(Failure::None, Check(FromHex(kExample), &catalog));
    EXPECT_EQ(ArchiveFormat::Rar4, catalog.format);
    EXPECT_FALSE(catalog.solid);
    ASSERT_EQ(4u, catalog.entries.size());
    const CatalogEntry& stored = catalog.entries[0];
    const CatalogEntry& folder = catalog.entries[1];
    const CatalogEntry& lz = catalog.entries[2];
    const CatalogEntry& chinese = catalog.entries[3];
    EXPECT_EQ("stored.txt", stored.name);
    EXPECT_EQ(0u, stored.method);
    EXPECT_TRUE(folder.directory);
    EXPECT_EQ(0x10u, folder.attributes);
    EXPECT_EQ("docs/lz.txt", lz.name);
    EXPECT_EQ(3u, lz.method);
    EXPECT_EQ(151u, lz.size);
    EXPECT_EQ(90u, lz.packedSize);
    EXPECT_EQ(64u << 10, lz.dictionarySize);
    EXPECT_FALSE(lz.ppmd);
    EXPECT_EQ(L"docs\\中文名称.txt", chinese.relativePath);

    // 10:20:30 in the DOS field, one more second and 1234567 x 100 ns from the extended field.
    const std::uint64_t whole = LocalFileTimeOf(2024, 5, 17, 10, 20, 31);
    for (const CatalogEntry& entry : catalog.entries) {
        EXPECT_EQ(whole + 1234567, entry.fileTime) << entry.name;
    }
    // An extended field without a modification-time group leaves the DOS time as it is; one
    // with only a creation time skips that time's four bytes.
    for (const std::string& extra : {FromHex("00 00"), FromHex("00 08 00 00 00 00")}) {
        Catalog plain;
        ASSERT_EQ(Failure::None,
                  Check(Marker() + MainBlock() + FileBlock4({.flags = 0x9000, .extra = extra}) +
                            EndBlock(),
                        &plain));
        EXPECT_EQ(whole - 10000000, plain.entries.at(0).fileTime);
    }

    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"ex.rar", FromHex(kExample)));
    ASSERT_TRUE(ExtractArchive(dir / L"ex.rar", dir / L"out", nullptr).ok());
    EXPECT_EQ("中文内容\n", ReadBytes(dir / L"out\\docs\\中文名称.txt").value_or(""));
    EXPECT_EQ(151u, ReadBytes(dir / L"out\\docs\\lz.txt").value_or("").size());
}

// The three name forms, and coded names that end early or point past the OEM name.
TEST(BiRar4ReaderTest, DecodesEveryNameForm) {
    const std::string coded = FromHex("64 6F 63 73 5C 5F 5F 5F 5F 2E 74 78 74 00 79 EA 03 2D 4E "
                                      "87 65 0D 54 70 F0 02");
    const struct {
        std::string field;
        bool unicode;
        std::wstring name;
    } cases[] = {
        {"docs\\a.txt", false, L"docs\\a.txt"},
        {"\xE4\xB8\xAD.txt", false, L"中.txt"},       // valid UTF-8 without the flag
        {"\xD6\xD0\xCE\xC4.txt", false, L"中文.txt"}, // the OEM code page (936 here)
        {"\xE4\xB8\xAD.txt", true, L"中.txt"},        // the flag without a zero byte: UTF-8
        {coded, true, L"docs\\中文名称.txt"},
        // Cut inside an operation, and a copy reaching past the 3-byte OEM name.
        {coded.substr(0, 17), true, L"docs\\"},
        {std::string("abc\0\x00\xC0\x05", 7), true, L"abc"},
        {std::string("abc\0", 4), true, L"abc"}, // nothing coded: the OEM name
        // A copy with a correction: high byte 0x4E, OEM bytes plus 1.
        {std::string("ab\0\x4E\xC0\x80\x01", 7), true, L"\u4E62\u4E63"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.name, DecodeRar4Name(c.field, c.unicode)) << Narrow(c.name);
    }
}

// What a RAR 2.9-4.x archive may hold besides plain entries, and every refusal, by category.
TEST(BiRar4ReaderTest, AcceptsOrRefusesHandMadeArchives) {
    const std::string plain = FileBlock4({});
    const auto archive = [&](const std::string& blocks) {
        return Marker() + MainBlock() + blocks + EndBlock();
    };
    std::string badCrc = plain;
    badCrc[0] ^= 1;
    const std::vector<std::pair<Failure, std::string>> cases = {
        {Failure::None, archive(plain)},
        {Failure::None, Marker() + MainBlock() + plain},                // no end block
        {Failure::None, archive(Marker() + plain)},                     // a repeated marker
        {Failure::None, "MZ" + std::string(600, 'x') + archive(plain)}, // behind a program
        {Failure::None, archive(FileBlock4({.name = "CMT", .type = 0x7A}) + plain)},
        {Failure::None, archive(Block4(0x99, 0x4000, "skip") + plain)},
        {Failure::UnknownBlock, archive(Block4(0x99, 0, "keep") + plain)},
        {Failure::DamagedHeader, archive(badCrc)},
        {Failure::DamagedHeader, Marker() + FromHex("00 00 73 00 00 05 00")},
        {Failure::DamagedHeader, archive(FileBlock4({.unpackedSize = 4}))},
        {Failure::DamagedHeader, Marker() + plain}, // no main header
        {Failure::Truncated, archive(plain).substr(0, 58)},
        {Failure::Encrypted, Marker() + MainBlock(0x0080) + plain},
        {Failure::Encrypted, archive(FileBlock4({.flags = 0x8004}))},
        {Failure::MultiVolume, Marker() + MainBlock(0x0001) + plain},
        {Failure::MultiVolume, archive(FileBlock4({.flags = 0x8002}))},
        {Failure::Unsupported, archive(FileBlock4({.version = 20, .method = 0x33}))},
        {Failure::Unsupported, archive(FileBlock4({.version = 15, .method = 0x31}))},
        {Failure::Unsupported, archive(FileBlock4({.version = 50, .method = 0x33}))},
        {Failure::Unsupported, archive(FileBlock4({.method = 0x36}))},
        {Failure::UnsafeName, archive(FileBlock4({.name = "..\\x"}))},
        {Failure::UnsafeName, archive(FileBlock4({.name = ""}))},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(cases[i].first, Check(cases[i].second)) << "case " << i;
    }
}

} // namespace
} // namespace bi
