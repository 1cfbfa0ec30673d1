// The file of a new archive: buffered, written front to back, with header rewrites.
#pragma once

#include "ArchiveFormat.h"
#include "Status.h"
#include "UniqueHandle.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bi {

// Writes the archive start on Create and its end on Finish; everything between comes from
// Write. Small pieces gather in a buffer, large ones go to the file directly. A file header
// precedes its content but holds the content's size and CRC32, so a header written before
// they were known is written again with Overwrite: in the buffer while it is still there,
// otherwise at its offset in the file.
class ArchiveWriter {
public:
    static constexpr std::size_t kDefaultBufferSize = 1u << 20;

    explicit ArchiveWriter(std::size_t bufferSize = kDefaultBufferSize);
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    // Creates a new file at path (failing if one exists) and writes the archive start.
    Status Create(const std::wstring& path, ArchiveFormat format);

    // The archive file, e.g. to recognise it when the tree being packed contains it.
    HANDLE handle() const { return m_file.get(); }
    ArchiveFormat format() const { return m_format; }

    Status Write(std::string_view bytes) { return Write(bytes.data(), bytes.size()); }
    Status Write(const void* data, std::size_t size);

    // Offset of the next byte written.
    std::uint64_t Position() const { return m_flushed + m_used; }

    // Replaces bytes written earlier at `offset` with as many new ones.
    Status Overwrite(std::uint64_t offset, std::string_view bytes);

    // Writes the archive end, flushes and closes the file.
    Status Finish();

    // Closes and deletes an archive that could not be completed.
    void Abandon();

private:
    Status Flush();
    Status WriteToFile(const std::uint8_t* data, std::size_t size);
    Status WriteAt(std::uint64_t offset, const void* data, std::size_t size);

    quor::FileHandle m_file;
    std::wstring m_path;
    ArchiveFormat m_format = ArchiveFormat::Rar4;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_used = 0;
    std::uint64_t m_flushed = 0; // bytes already in the file
};

} // namespace bi
