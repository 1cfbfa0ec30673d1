// The file of a new archive.
#include "ArchiveWriter.h"

#include "EntryHeaders.h"

#include <algorithm>
#include <cstring>

namespace bi {

ArchiveWriter::ArchiveWriter(std::size_t bufferSize)
    : m_buffer(std::max<std::size_t>(bufferSize, 64)) {}

ArchiveWriter::~ArchiveWriter() {
    // An archive that was neither finished nor abandoned is incomplete: never leave it.
    if (m_file) {
        Abandon();
    }
}

Status ArchiveWriter::Create(const std::wstring& path, ArchiveFormat format) {
    m_path = path;
    m_format = format;
    m_used = 0;
    m_flushed = 0;
    // Reading is shared so that a walk over a tree holding the archive can open it and
    // recognise it by its file identity.
    m_file.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_file) {
        return Status::FromLastError(Failure::CreateArchive, path);
    }
    return Write(ArchiveStart(format));
}

Status ArchiveWriter::Write(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (size >= m_buffer.size() / 2) {
        BI_RETURN_IF_FAILED(Flush());
        BI_RETURN_IF_FAILED(WriteToFile(bytes, size));
        m_flushed += size;
        return Status::Ok();
    }
    if (m_buffer.size() - m_used < size) {
        BI_RETURN_IF_FAILED(Flush());
    }
    std::memcpy(m_buffer.data() + m_used, bytes, size);
    m_used += size;
    return Status::Ok();
}

Status ArchiveWriter::Overwrite(std::uint64_t offset, std::string_view bytes) {
    std::size_t onDisk = 0;
    if (offset < m_flushed) {
        onDisk =
            static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), m_flushed - offset));
        BI_RETURN_IF_FAILED(WriteAt(offset, bytes.data(), onDisk));
    }
    if (onDisk < bytes.size()) {
        std::memcpy(m_buffer.data() + (offset + onDisk - m_flushed), bytes.data() + onDisk,
                    bytes.size() - onDisk);
    }
    return Status::Ok();
}

Status ArchiveWriter::Finish() {
    BI_RETURN_IF_FAILED(Write(ArchiveEnd(m_format)));
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

Status ArchiveWriter::Flush() {
    BI_RETURN_IF_FAILED(WriteToFile(m_buffer.data(), m_used));
    m_flushed += m_used;
    m_used = 0;
    return Status::Ok();
}

Status ArchiveWriter::WriteToFile(const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        DWORD written = 0;
        const DWORD part = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
        if (!WriteFile(m_file.get(), data + done, part, &written, nullptr)) {
            return Status::FromLastError(Failure::WriteArchive, m_path);
        }
        if (written == 0) {
            return Status(Failure::WriteArchive, m_path, ERROR_DISK_FULL);
        }
        done += written;
    }
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
