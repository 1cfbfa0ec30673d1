// Exit codes and user-facing descriptions of the archiver's failure categories.
#include "Status.h"

namespace bi {

ExitCode ExitCodeFor(Failure failure) {
    switch (failure) {
    case Failure::None:
        return ExitCode::Success;
    case Failure::CommandLine:
    case Failure::ArchiveExists:
        return ExitCode::CommandLine;
    case Failure::NoFiles:
        return ExitCode::NoFiles;
    case Failure::OpenSource:
    case Failure::OpenArchive:
        return ExitCode::Open;
    case Failure::CreateArchive:
    case Failure::CreateOutput:
        return ExitCode::Create;
    case Failure::WriteArchive:
    case Failure::WriteOutput:
        return ExitCode::Write;
    case Failure::DamagedHeader:
    case Failure::Truncated:
    case Failure::DataCrc:
    case Failure::DamagedData:
        return ExitCode::Damaged;
    case Failure::OutOfMemory:
        return ExitCode::OutOfMemory;
    case Failure::ReadSource:
    case Failure::SourceChanged:
    case Failure::BadSourceName:
    case Failure::NameTooLong:
    case Failure::UnsupportedSourceLink:
    case Failure::ReadArchive:
    case Failure::NotRar:
    case Failure::OldFormat:
    case Failure::NewerFormat:
    case Failure::UnknownBlock:
    case Failure::Encrypted:
    case Failure::Unsupported:
    case Failure::MultiVolume:
    case Failure::UnsafeName:
    case Failure::Unverifiable:
        return ExitCode::Fatal;
    }
    return ExitCode::Fatal;
}

namespace {

const wchar_t* Headline(Failure failure) {
    switch (failure) {
    case Failure::None:
        return L"OK";
    case Failure::CommandLine:
        return L"Command line error";
    case Failure::ArchiveExists:
        return L"The archive exists already; bi only creates new archives";
    case Failure::NoFiles:
        return L"No files to add: not found";
    case Failure::OpenSource:
        return L"Cannot open the file to add";
    case Failure::OpenArchive:
        return L"Cannot open the archive";
    case Failure::CreateArchive:
        return L"Cannot create the archive";
    case Failure::CreateOutput:
        return L"Cannot create";
    case Failure::WriteArchive:
        return L"Write error in the archive";
    case Failure::WriteOutput:
        return L"Write error";
    case Failure::ReadSource:
        return L"Read error in the file to add";
    case Failure::SourceChanged:
        return L"The file changed while it was being added";
    case Failure::BadSourceName:
        return L"The name is not valid Unicode or cannot be restored on Windows";
    case Failure::NameTooLong:
        return L"The name is too long for the archive";
    case Failure::UnsupportedSourceLink:
        return L"Linked folders (junctions, symbolic links) are not archived";
    case Failure::ReadArchive:
        return L"Read error in the archive";
    case Failure::NotRar:
        return L"Not a RAR archive";
    case Failure::OldFormat:
        return L"RAR 1.4 or older archive format, not supported";
    case Failure::NewerFormat:
        return L"Unknown newer RAR archive format, not supported";
    case Failure::UnknownBlock:
        return L"Unknown block type that may not be skipped, not supported";
    case Failure::Encrypted:
        return L"Encrypted archive or entry, not supported";
    case Failure::Unsupported:
        return L"Not supported";
    case Failure::MultiVolume:
        return L"Multi-volume archive, not supported";
    case Failure::UnsafeName:
        return L"Unsafe entry name refused";
    case Failure::Unverifiable:
        return L"Entry without a CRC32 or BLAKE2sp hash, cannot be verified";
    case Failure::DamagedHeader:
        return L"Damaged archive: header CRC or field error";
    case Failure::Truncated:
        return L"Damaged archive: unexpected end of archive";
    case Failure::DataCrc:
        return L"Damaged archive: data CRC error";
    case Failure::DamagedData:
        return L"Damaged archive: compressed data error";
    case Failure::OutOfMemory:
        return L"Not enough memory";
    }
    return L"Error";
}

std::wstring SystemMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length > 0 && text ? std::wstring(text, length) : std::wstring();
    if (text) {
        LocalFree(text);
    }
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L' ' || message.back() == L'.')) {
        message.pop_back();
    }
    return message.empty() ? L"system error " + std::to_wstring(error) : message;
}

} // namespace

std::wstring Status::Describe() const {
    std::wstring line = Headline(m_failure);
    if (!m_subject.empty()) {
        line += L": ";
        line += m_subject;
    }
    if (m_win32Error != 0) {
        line += L" (";
        line += SystemMessage(m_win32Error);
        line += L")";
    }
    return line;
}

} // namespace bi
