// Facts of the RAR 2.9-4.x container format (marker "Rar!\x1A\x07\x00").
//
// After the 7-byte marker every block starts with
//   uint16 HEAD_CRC | uint8 HEAD_TYPE | uint16 HEAD_FLAGS | uint16 HEAD_SIZE [| uint32 ADD_SIZE]
// where HEAD_CRC is the low half of the CRC32 of the header from HEAD_TYPE to its end, and
// HEAD_SIZE counts the whole header. With flag kLongBlock a data area follows the header: its
// size is ADD_SIZE, or for file and service headers PACK_SIZE (plus HIGH_PACK_SIZE << 32).
// All integers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bi::rar4 {

inline constexpr unsigned char kMarker[] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
inline constexpr std::size_t kMarkerSize = sizeof(kMarker);
// A self-extracting archive has a program in front of the marker; it is looked for this far.
inline constexpr std::uint64_t kSfxSearchLimit = 1u << 20;

inline constexpr std::size_t kBaseHeaderSize = 7;
inline constexpr std::size_t kLongHeaderSize = 11;      // with ADD_SIZE
inline constexpr std::size_t kFileHeaderSize = 32;      // fixed fields up to the name
inline constexpr std::size_t kLargeFileHeaderSize = 40; // with the high size halves
inline constexpr std::size_t kSaltSize = 8;
inline constexpr std::size_t kDosTimeSize = 4;

namespace block {
inline constexpr std::uint8_t kMarker = 0x72;
inline constexpr std::uint8_t kMain = 0x73;
inline constexpr std::uint8_t kFile = 0x74;
inline constexpr std::uint8_t kOldComment = 0x75;
inline constexpr std::uint8_t kOldSignature = 0x79;
inline constexpr std::uint8_t kService = 0x7A;
inline constexpr std::uint8_t kEnd = 0x7B;
} // namespace block

// Flags every header may carry.
namespace header {
inline constexpr std::uint16_t kSkipIfUnknown = 0x4000;
inline constexpr std::uint16_t kLongBlock = 0x8000;
} // namespace header

namespace archive {
inline constexpr std::uint16_t kVolume = 0x0001;
inline constexpr std::uint16_t kSolid = 0x0008;
inline constexpr std::uint16_t kEncryptedHeaders = 0x0080;
} // namespace archive

namespace end {
inline constexpr std::uint16_t kNextVolume = 0x0001;
} // namespace end

namespace file {
inline constexpr std::uint16_t kSplitBefore = 0x0001;
inline constexpr std::uint16_t kSplitAfter = 0x0002;
inline constexpr std::uint16_t kEncrypted = 0x0004;
inline constexpr std::uint16_t kSolid = 0x0010;
inline constexpr std::uint16_t kWindowMask = 0x00E0;
inline constexpr std::uint16_t kDirectoryWindow = 0x00E0;
inline constexpr unsigned kWindowShift = 5;
inline constexpr std::uint64_t kSmallestWindow = 64u << 10;
inline constexpr std::uint16_t kLarge = 0x0100;
inline constexpr std::uint16_t kUnicodeName = 0x0200;
inline constexpr std::uint16_t kSalt = 0x0400;
inline constexpr std::uint16_t kExtendedTime = 0x1000;
} // namespace file

// Offsets of the fixed file header fields.
namespace field {
inline constexpr std::size_t kPackSize = 7;
inline constexpr std::size_t kUnpackedSize = 11;
inline constexpr std::size_t kHostOs = 15;
inline constexpr std::size_t kFileCrc = 16;
inline constexpr std::size_t kTime = 20;
inline constexpr std::size_t kUnpackVersion = 24;
inline constexpr std::size_t kMethod = 25;
inline constexpr std::size_t kNameSize = 26;
inline constexpr std::size_t kAttributes = 28;
inline constexpr std::size_t kHighPackSize = 32;
inline constexpr std::size_t kHighUnpackedSize = 36;
} // namespace field

namespace host {
inline constexpr std::uint8_t kMsDos = 0;
inline constexpr std::uint8_t kOs2 = 1;
inline constexpr std::uint8_t kWindows = 2;
inline constexpr std::uint8_t kUnix = 3;
inline constexpr std::uint8_t kMacOs = 4;
inline constexpr std::uint8_t kBeOs = 5;
} // namespace host

// Unix file type of a symbolic link (S_IFLNK), which Unix-like hosts store in ATTR.
inline constexpr std::uint64_t kUnixSymlink = 0xA000;

namespace method {
inline constexpr std::uint8_t kStore = 0x30;
inline constexpr std::uint8_t kBest = 0x35;
} // namespace method

// Unpack versions: 29 is the LZ and PPMd method of RAR 2.9-4.x, which RAR also reads when an
// archive says 36; 15, 20 and 26 are the methods of RAR 1.5 and 2.0.
namespace version {
inline constexpr std::uint8_t kRar15 = 15;
inline constexpr std::uint8_t kRar20 = 20;
inline constexpr std::uint8_t kRar20Large = 26;
inline constexpr std::uint8_t kRar29 = 29;
inline constexpr std::uint8_t kRar29Alias = 36;
} // namespace version

// Extended time: a 16-bit flags field, four bits for each of mtime, ctime, atime and the
// archiving time (mtime in the top bits).
namespace exttime {
inline constexpr unsigned kMtimeShift = 12;
inline constexpr unsigned kPresent = 0x8;
inline constexpr unsigned kOddSecond = 0x4;
inline constexpr unsigned kRemainderBytes = 0x3;
} // namespace exttime

} // namespace bi::rar4
