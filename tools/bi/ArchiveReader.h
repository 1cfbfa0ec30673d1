// Checking reader of RAR 5.0 archives that hold stored entries.
#pragma once

#include "Status.h"
#include "UniqueHandle.h"

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
    std::string name;          // as stored: UTF-8, '/' separators
    std::wstring relativePath; // checked and with '\' separators
    bool directory = false;
    std::uint64_t size = 0; // content length (data size of a stored entry)
    std::uint64_t dataOffset = 0;
    std::uint32_t crc = 0;        // CRC32 of the content (always present for files)
    std::uint32_t attributes = 0; // Windows attributes to give the extracted item
    bool hasTime = false;
    std::uint64_t fileTime = 0; // modification time as FILETIME
};

struct Catalog {
    std::vector<CatalogEntry> entries;
};

// Walks every header of the archive: checks the signature, each header's CRC32 and bounds,
// and refuses (with the failure category of the first problem) old and unknown formats,
// encryption, compression, solid and multi-volume archives, links, entries without a CRC32,
// unsafe names and a missing end header. Service headers and unknown blocks marked
// "skip if unknown" are skipped. Content is not read.
Status ReadCatalog(const ArchiveInput& input, Catalog& catalog);

// Reads every file's content and compares its CRC32 (DataCrc on a mismatch).
Status VerifyContent(const ArchiveInput& input, const Catalog& catalog);

// Size of the buffers content is read through.
inline constexpr std::size_t kContentBufferSize = 4u << 20;

} // namespace bi
