// Checking reader of the headers of RAR archives, in the RAR 5.0 and the RAR 2.9-4.x format.
#pragma once

#include "ArchiveFormat.h"
#include "Status.h"
#include "UniqueHandle.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bi {

// The archive file, opened so that nobody can change it while it is read.
class ArchiveInput {
public:
    Status Open(const std::wstring& path);

    std::uint64_t size() const { return m_size; }
    const std::wstring& path() const { return m_path; }

    // Reads exactly `size` bytes at `offset`; an archive that ends earlier is Truncated.
    Status ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const;

private:
    quor::FileHandle m_file;
    std::wstring m_path;
    std::uint64_t m_size = 0;
};

// One file or directory entry, with everything extraction needs.
struct CatalogEntry {
    std::string name;          // UTF-8, '/' separators
    std::wstring relativePath; // checked and with '\' separators
    bool directory = false;
    bool link = false;      // a symbolic or hard link: listed and tested, never created
    std::uint64_t size = 0; // content length
    bool sizeKnown = true;  // a RAR 5.0 entry may leave its size open
    std::uint64_t dataOffset = 0;
    std::uint64_t packedSize = 0; // bytes of the data area
    unsigned method = 0;          // 0 stored, 1 to 5 compressed with rising effort
    bool ppmd = false;            // RAR 2.9 data that begins with a PPMd block
    std::uint64_t dictionarySize = 0;
    bool solid = false; // continues the stream of the previous compressed entry
    bool hasCrc = false;
    std::uint32_t crc = 0; // CRC32 of the content
    bool hasBlake2 = false;
    std::array<std::uint8_t, 32> blake2{}; // BLAKE2sp of the content
    std::uint32_t attributes = 0;          // Windows attributes to give the extracted item
    bool hasTime = false;
    std::uint64_t fileTime = 0; // modification time as FILETIME

    bool compressed() const { return method != 0; }
    // The name as the user sees it in messages.
    std::wstring Shown() const;
};

struct Catalog {
    ArchiveFormat format = ArchiveFormat::Rar5;
    bool solid = false; // the archive's main header says solid
    std::vector<CatalogEntry> entries;
};

// Walks every header of the archive: finds the signature (also behind a self-extractor's
// program), checks each header's CRC and bounds, and refuses (with the failure category of the
// first problem) unknown formats, encryption, multi-volume archives, methods this reader
// lacks and unsafe names. Service headers and unknown
// blocks marked "skip if unknown" are skipped. Content is not read.
Status ReadCatalog(const ArchiveInput& input, Catalog& catalog);

// Size of the buffers content is read through.
inline constexpr std::size_t kContentBufferSize = 4u << 20;

} // namespace bi
