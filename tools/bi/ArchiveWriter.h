// Streaming writer of store-only RAR 5.0 archives.
#pragma once

#include "Status.h"
#include "UniqueHandle.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bi {

// Entry metadata as stored: name with '/' separators in UTF-8, Windows attributes and the
// modification time as FILETIME (100 ns units since 1601, UTC).
struct EntryInfo {
    std::string name;
    std::uint32_t attributes = 0;
    std::uint64_t fileTime = 0;
};

// Builds the complete file header (CRC fields filled in) of a directory or a stored file.
std::string BuildEntryHeader(const EntryInfo& entry, bool directory, std::uint64_t size,
                             std::uint32_t dataCrc);

// Writes signature, main header, one file header per entry with the content right after it,
// and the end header. Headers and content go through one large buffer that file content is
// read into directly, and leave it in large writes. A file header precedes its content but
// holds the content's CRC32, so it is written with a placeholder and completed afterwards:
// in the buffer while it is still there, otherwise by writing it again at its offset (the
// CRC fields have a fixed size, so nothing moves).
class ArchiveWriter {
public:
    static constexpr std::size_t kDefaultBufferSize = 8u << 20;
    // Content reads are at least this large, except for the end of a file.
    static constexpr std::size_t kMinimumRead = 1u << 20;

    explicit ArchiveWriter(std::size_t bufferSize = kDefaultBufferSize);
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    // Creates a new file at path (failing if one exists) and writes the archive start.
    Status Create(const std::wstring& path);

    // The archive file, e.g. to recognise it when the tree being packed contains it.
    HANDLE handle() const { return m_file.get(); }

    Status AddDirectory(const EntryInfo& entry);

    // Stores exactly `size` bytes read from `source` at its current position. Content that
    // ends early or goes on past `size` means the file changed while it was being read
    // (SourceChanged); `subject` names the source in failures.
    Status AddFile(const EntryInfo& entry, HANDLE source, std::uint64_t size,
                   const std::wstring& subject);

    // Writes the end header, flushes and closes the file.
    Status Finish();

    // Closes and deletes an archive that could not be completed.
    void Abandon();

private:
    Status Append(const void* data, std::size_t size);
    Status Flush();
    Status WriteAt(std::uint64_t offset, const void* data, std::size_t size);

    quor::FileHandle m_file;
    std::wstring m_path;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_used = 0;
    std::uint64_t m_flushed = 0; // bytes already in the file
};

} // namespace bi
