// Streaming writer of store-only RAR 5.0 archives.
//
// Layout written:
//   signature            52 61 72 21 1A 07 01 00
//   main header          C5 1A 33 32 03 01 00 00 (no flags, no extra area)
//   per entry, parents before children:
//     CRC32 | size | type 2 | flags 0x0003 | extra size 11 | data size | file flags
//     | unpacked size | attributes | [data CRC32] | compression 0 | host 0 (Windows)
//     | name length | name | time record 0A 03 02 + FILETIME
//     then the content for files
//   end header           1D 77 56 51 03 05 04 00
#include "ArchiveWriter.h"

#include "Crc32.h"
#include "RarFormat.h"
#include "Vint.h"

#include <algorithm>
#include <cstring>

namespace bi {

namespace {

void PutUint32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void AppendUint32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>(value >> (8 * i)));
    }
}

void AppendUint64(std::string& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<char>(value >> (8 * i)));
    }
}

// Offset of the data CRC32 field in a file header built by BuildEntryHeader.
std::size_t DataCrcOffset(const std::string& header, const EntryInfo& entry) {
    // Everything after the CRC field up to the end: compression, host, name length, name and
    // time record; the field sits just before them.
    const std::size_t tail = VintSize(rar::compression::kStore) + VintSize(rar::host::kWindows) +
                             VintSize(entry.name.size()) + entry.name.size() + rar::kTimeRecordSize;
    return header.size() - tail - rar::kCrcFieldSize;
}

} // namespace

std::string BuildEntryHeader(const EntryInfo& entry, bool directory, std::uint64_t size,
                             std::uint32_t dataCrc) {
    std::string body;
    AppendVint(body, rar::block::kFile);
    AppendVint(body, rar::header::kExtraArea | rar::header::kDataArea);
    AppendVint(body, rar::kTimeRecordSize);
    AppendVint(body, directory ? 0 : size); // data size
    AppendVint(body, directory ? rar::file::kDirectory : rar::file::kCrc32);
    AppendVint(body, directory ? 0 : size); // unpacked size
    AppendVint(body, entry.attributes);
    if (!directory) {
        AppendUint32(body, dataCrc);
    }
    AppendVint(body, rar::compression::kStore);
    AppendVint(body, rar::host::kWindows);
    AppendVint(body, entry.name.size());
    body += entry.name;
    body.append(reinterpret_cast<const char*>(rar::kTimeRecordPrefix),
                sizeof(rar::kTimeRecordPrefix));
    AppendUint64(body, entry.fileTime);

    std::string header(rar::kCrcFieldSize, '\0');
    AppendVint(header, body.size());
    header += body;
    const std::uint32_t crc =
        Crc32(header.data() + rar::kCrcFieldSize, header.size() - rar::kCrcFieldSize);
    PutUint32(reinterpret_cast<std::uint8_t*>(header.data()), crc);
    return header;
}

ArchiveWriter::ArchiveWriter(std::size_t bufferSize)
    : m_buffer(std::max(bufferSize, rar::kMaxHeaderSize + 16)) {}

ArchiveWriter::~ArchiveWriter() {
    // An archive that was neither finished nor abandoned is incomplete: never leave it.
    if (m_file) {
        Abandon();
    }
}

Status ArchiveWriter::Create(const std::wstring& path) {
    m_path = path;
    m_used = 0;
    m_flushed = 0;
    // Reading is shared so that a walk over a tree holding the archive can open it and
    // recognise it by its file identity.
    m_file.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_file) {
        return Status::FromLastError(Failure::CreateArchive, path);
    }
    BI_RETURN_IF_FAILED(Append(rar::kSignature50, sizeof(rar::kSignature50)));
    return Append(rar::kMainHeader, sizeof(rar::kMainHeader));
}

Status ArchiveWriter::AddDirectory(const EntryInfo& entry) {
    const std::string header = BuildEntryHeader(entry, true, 0, 0);
    return Append(header.data(), header.size());
}

Status ArchiveWriter::AddFile(const EntryInfo& entry, HANDLE source, std::uint64_t size,
                              const std::wstring& subject) {
    std::string header = BuildEntryHeader(entry, false, size, 0);
    if (m_buffer.size() - m_used < header.size()) {
        BI_RETURN_IF_FAILED(Flush());
    }
    const std::uint64_t headerOffset = m_flushed + m_used;
    std::memcpy(m_buffer.data() + m_used, header.data(), header.size());
    m_used += header.size();

    std::uint32_t crc = 0;
    std::uint64_t remaining = size;
    while (remaining > 0) {
        std::size_t room = m_buffer.size() - m_used;
        if (room < kMinimumRead && room < remaining) {
            BI_RETURN_IF_FAILED(Flush());
            room = m_buffer.size();
        }
        const DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(room, remaining));
        DWORD got = 0;
        std::uint8_t* target = m_buffer.data() + m_used;
        if (!ReadFile(source, target, want, &got, nullptr)) {
            return Status::FromLastError(Failure::ReadSource, subject);
        }
        if (got == 0) {
            return Status(Failure::SourceChanged, subject); // shorter than when it was opened
        }
        crc = Crc32Update(crc, target, got);
        m_used += got;
        remaining -= got;
    }
    std::uint8_t probe = 0;
    DWORD extra = 0;
    if (!ReadFile(source, &probe, 1, &extra, nullptr)) {
        return Status::FromLastError(Failure::ReadSource, subject);
    }
    if (extra != 0) {
        return Status(Failure::SourceChanged, subject); // longer than when it was opened
    }

    // Complete the header: data CRC32, then the header CRC32 over the changed bytes.
    auto* bytes = reinterpret_cast<std::uint8_t*>(header.data());
    PutUint32(bytes + DataCrcOffset(header, entry), crc);
    PutUint32(bytes, Crc32(bytes + rar::kCrcFieldSize, header.size() - rar::kCrcFieldSize));
    // A header is always appended whole, so it is either still in the buffer or all on disk.
    if (headerOffset >= m_flushed) {
        std::memcpy(m_buffer.data() + (headerOffset - m_flushed), bytes, header.size());
        return Status::Ok();
    }
    return WriteAt(headerOffset, bytes, header.size());
}

Status ArchiveWriter::Finish() {
    BI_RETURN_IF_FAILED(Append(rar::kEndHeader, sizeof(rar::kEndHeader)));
    BI_RETURN_IF_FAILED(Flush());
    if (!CloseHandle(m_file.release())) {
        return Status::FromLastError(Failure::WriteArchive, m_path);
    }
    return Status::Ok();
}

void ArchiveWriter::Abandon() {
    m_file.reset();
    if (!m_path.empty()) {
        DeleteFileW(m_path.c_str());
    }
}

Status ArchiveWriter::Append(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        if (m_used == m_buffer.size()) {
            BI_RETURN_IF_FAILED(Flush());
        }
        const std::size_t part = std::min(size, m_buffer.size() - m_used);
        std::memcpy(m_buffer.data() + m_used, bytes, part);
        m_used += part;
        bytes += part;
        size -= part;
    }
    return Status::Ok();
}

Status ArchiveWriter::Flush() {
    std::size_t done = 0;
    while (done < m_used) {
        DWORD written = 0;
        const DWORD part = static_cast<DWORD>(std::min<std::size_t>(m_used - done, 1u << 30));
        if (!WriteFile(m_file.get(), m_buffer.data() + done, part, &written, nullptr)) {
            return Status::FromLastError(Failure::WriteArchive, m_path);
        }
        if (written == 0) {
            return Status(Failure::WriteArchive, m_path, ERROR_DISK_FULL);
        }
        done += written;
    }
    m_flushed += m_used;
    m_used = 0;
    return Status::Ok();
}

Status ArchiveWriter::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    // A positioned write on a synchronous handle moves the file pointer past the written
    // bytes; put it back at the end, where the next flush continues.
    if (!WriteFile(m_file.get(), data, static_cast<DWORD>(size), &written, &at)) {
        return Status::FromLastError(Failure::WriteArchive, m_path);
    }
    if (written != size) {
        return Status(Failure::WriteArchive, m_path, ERROR_DISK_FULL);
    }
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(m_flushed);
    if (!SetFilePointerEx(m_file.get(), end, nullptr, FILE_BEGIN)) {
        return Status::FromLastError(Failure::WriteArchive, m_path);
    }
    return Status::Ok();
}

} // namespace bi
