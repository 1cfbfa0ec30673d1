// Facts of the RAR 5.0 container format that the writer and the reader share.
//
// An archive is the 8-byte signature followed by blocks. Every block is
//   uint32 header CRC32 | vint header size | vint type | vint flags
//   [vint extra area size] [vint data size] | type-specific fields | [extra area]
// followed by the data area when the header flags say so. The header CRC32 covers the
// header size vint through the end of the extra area; the header size counts the bytes after
// its own vint. All fixed-width integers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bi::rar {

// Signatures at offset 0. The old format shares the first six bytes of the RAR 5.0 one;
// byte 6 tells the generations apart.
inline constexpr unsigned char kSignature50[] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};
inline constexpr unsigned char kSignature15[] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
inline constexpr unsigned char kSignature13[] = {0x52, 0x45, 0x7E, 0x5E};
inline constexpr std::size_t kSignatureSize = sizeof(kSignature50);
inline constexpr std::size_t kCommonSignaturePrefix = 6;
inline constexpr std::size_t kGenerationByte = 6;

// Field sizes.
inline constexpr std::size_t kCrcFieldSize = 4;
inline constexpr std::size_t kUnixTimeFieldSize = 4;
inline constexpr std::size_t kFileTimeFieldSize = 8;
inline constexpr std::size_t kNanosecondFieldSize = 4;
inline constexpr std::size_t kMaxVintSize = 10;
// The header size vint is at most 3 bytes, so no header reaches 2 MiB; that is also the
// largest allocation a reader ever makes from a size found in an archive.
inline constexpr std::size_t kMaxHeaderSizeVint = 3;
inline constexpr std::uint64_t kMaxHeaderSize = (1u << 21) - 1;
// Type and flags: the least a header body holds.
inline constexpr std::uint64_t kMinHeaderSize = 2;

namespace block {
inline constexpr std::uint64_t kMain = 1;
inline constexpr std::uint64_t kFile = 2;
inline constexpr std::uint64_t kService = 3;
inline constexpr std::uint64_t kEncryption = 4;
inline constexpr std::uint64_t kEnd = 5;
} // namespace block

// Flags common to every header.
namespace header {
inline constexpr std::uint64_t kExtraArea = 0x0001;
inline constexpr std::uint64_t kDataArea = 0x0002;
inline constexpr std::uint64_t kSkipIfUnknown = 0x0004;
inline constexpr std::uint64_t kSplitBefore = 0x0008;
inline constexpr std::uint64_t kSplitAfter = 0x0010;
} // namespace header

namespace archive {
inline constexpr std::uint64_t kVolume = 0x0001;
inline constexpr std::uint64_t kVolumeNumber = 0x0002;
inline constexpr std::uint64_t kSolid = 0x0004;
} // namespace archive

namespace end {
inline constexpr std::uint64_t kMoreVolumes = 0x0001;
} // namespace end

namespace file {
inline constexpr std::uint64_t kDirectory = 0x0001;
inline constexpr std::uint64_t kUnixTime = 0x0002;
inline constexpr std::uint64_t kCrc32 = 0x0004;
inline constexpr std::uint64_t kUnknownSize = 0x0008;
} // namespace file

// Compression information: algorithm version (bits 0-5), solid bit, method (bits 7-9) and
// dictionary size (from bit 10, which the decoder's parser reads). Dictionary bits mean
// nothing for stored entries.
namespace compression {
inline constexpr std::uint64_t kVersionMask = 0x3F;
inline constexpr std::uint64_t kVersion70 = 1;
inline constexpr std::uint64_t kSolid = 0x0040;
inline constexpr unsigned kMethodShift = 7;
inline constexpr std::uint64_t kMethodMask = 0x7;
inline constexpr unsigned kStore = 0;
inline constexpr unsigned kBest = 5;
} // namespace compression

namespace host {
inline constexpr std::uint64_t kWindows = 0;
inline constexpr std::uint64_t kUnix = 1;
} // namespace host

// Windows attribute bits as stored for a Windows host.
namespace winattr {
inline constexpr std::uint32_t kReadOnly = 0x0001;
inline constexpr std::uint32_t kHidden = 0x0002;
inline constexpr std::uint32_t kSystem = 0x0004;
inline constexpr std::uint32_t kDirectory = 0x0010;
inline constexpr std::uint32_t kArchive = 0x0020;
// The bits that survive a round trip; the rest describe storage, not the file.
inline constexpr std::uint32_t kKept = kReadOnly | kHidden | kSystem | kArchive;
} // namespace winattr

// Unix st_mode bits as stored for a Unix host.
namespace unixmode {
inline constexpr std::uint64_t kTypeMask = 0xF000;
inline constexpr std::uint64_t kDirectory = 0x4000;
inline constexpr std::uint64_t kAnyWrite = 0x0092; // 0222
} // namespace unixmode

// Extra record types of file and service headers.
namespace extra {
inline constexpr std::uint64_t kEncryption = 0x01;
inline constexpr std::uint64_t kHash = 0x02;
inline constexpr std::uint64_t kTime = 0x03;
inline constexpr std::uint64_t kVersion = 0x04;
inline constexpr std::uint64_t kRedirection = 0x05;
} // namespace extra

inline constexpr std::uint64_t kHashBlake2sp = 0;

namespace timerec {
inline constexpr std::uint64_t kUnix = 0x0001;
inline constexpr std::uint64_t kModified = 0x0002;
inline constexpr std::uint64_t kCreated = 0x0004;
inline constexpr std::uint64_t kAccessed = 0x0008;
inline constexpr std::uint64_t kNanoseconds = 0x0010;
inline constexpr std::uint32_t kNanosecondLimit = 1000000000;
} // namespace timerec

// The fixed blocks this writer emits: the main header with no flags and no extra area, and
// the end header exactly as RAR writes it.
inline constexpr unsigned char kMainHeader[] = {0xC5, 0x1A, 0x33, 0x32, 0x03, 0x01, 0x00, 0x00};
inline constexpr unsigned char kEndHeader[] = {0x1D, 0x77, 0x56, 0x51, 0x03, 0x05, 0x04, 0x00};

// The one extra record this writer puts on every entry: a modification time as FILETIME.
// Size vint (10 bytes follow), type, flags, then the 8 time bytes.
inline constexpr unsigned char kTimeRecordPrefix[] = {0x0A, 0x03, 0x02};
inline constexpr std::size_t kTimeRecordSize = sizeof(kTimeRecordPrefix) + kFileTimeFieldSize;

// Longest entry name the writer produces. libarchive refuses names of 2048 bytes or more, and
// Windows paths are far below this in practice, so a longer name is reported rather than
// written into an archive that other readers cannot open.
inline constexpr std::size_t kMaxWrittenNameSize = 2047;

// FILETIME counts 100 ns units from 1601-01-01; Unix time counts seconds from 1970-01-01.
inline constexpr std::uint64_t kFileTimeUnitsPerSecond = 10000000;
inline constexpr std::uint64_t kUnixEpochInFileTimeSeconds = 11644473600;

} // namespace bi::rar
