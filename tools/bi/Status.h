// Outcome of an archiver operation: a failure category, the Win32 error behind it and the
// item it concerns, plus the mapping of categories to RAR's exit codes.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <utility>

namespace bi {

// RAR's process exit codes.
enum class ExitCode : int {
    Success = 0,
    Warning = 1,
    Fatal = 2,
    Damaged = 3, // RAR: CRC error; used for every kind of damaged or cut-short archive
    Write = 5,
    Open = 6,
    CommandLine = 7,
    OutOfMemory = 8,
    Create = 9,
    NoFiles = 10,
};

// What went wrong, as the user needs to know it. The exit code a category maps to:
//
//   CommandLine, ArchiveExists .................................. 7 command line error
//   NoFiles (a source to add does not exist) .................... 10 no files
//   OpenSource, OpenArchive ..................................... 6 open error
//   CreateArchive, CreateOutput ................................. 9 create error
//   WriteArchive, WriteOutput (disk full and the like) .......... 5 write error
//   ReadSource, SourceChanged, BadSourceName, NameTooLong,
//   UnsupportedSourceLink ....................................... 2 fatal: the archive would be
//                                                                   incomplete, so none is left
//   ReadArchive ................................................. 2 fatal
//   NotRar, OldFormat, NewerFormat, UnknownBlock, Encrypted,
//   Unsupported, MultiVolume, UnsafeName,
//   Unverifiable ................................................ 2 fatal: refused, nothing
//                                                                   extracted
//   DamagedHeader, Truncated, DataCrc, DamagedData .............. 3 damaged archive
//   OutOfMemory ................................................. 8 out of memory
enum class Failure {
    None,
    CommandLine,
    ArchiveExists,
    NoFiles,
    OpenSource,
    OpenArchive,
    CreateArchive,
    CreateOutput,
    WriteArchive,
    WriteOutput,
    ReadSource,
    SourceChanged,
    BadSourceName,
    NameTooLong,
    UnsupportedSourceLink,
    ReadArchive,
    NotRar,
    OldFormat,
    NewerFormat,
    UnknownBlock,
    Encrypted,
    Unsupported,
    MultiVolume,
    UnsafeName,
    Unverifiable,
    DamagedHeader,
    Truncated,
    DataCrc,
    DamagedData,
    OutOfMemory,
};

ExitCode ExitCodeFor(Failure failure);

// Result of a step: Ok, or a failure with the Win32 error code (0 when none applies) and the
// file or entry it concerns.
class Status {
public:
    Status() = default;
    Status(Failure failure, std::wstring subject, DWORD win32Error = 0)
        : m_failure(failure), m_subject(std::move(subject)), m_win32Error(win32Error) {}

    static Status Ok() { return {}; }
    // The calling thread's last error, read at once so that nothing can change it first.
    static Status FromLastError(Failure failure, std::wstring subject) {
        const DWORD error = GetLastError();
        return Status(failure, std::move(subject), error);
    }

    bool ok() const { return m_failure == Failure::None; }
    Failure failure() const { return m_failure; }
    const std::wstring& subject() const { return m_subject; }
    DWORD win32Error() const { return m_win32Error; }
    ExitCode exitCode() const { return ExitCodeFor(m_failure); }

    // One line for the user: what happened, to what, and the system's reason when known.
    std::wstring Describe() const;

private:
    Failure m_failure = Failure::None;
    std::wstring m_subject;
    DWORD m_win32Error = 0;
};

// Receives one line per step for the user; nothing is built for it when it is empty.
using Progress = std::function<void(const std::wstring& line)>;

// Returns from the enclosing function when a step failed.
#define BI_RETURN_IF_FAILED(expression)                                                            \
    do {                                                                                           \
        ::bi::Status biStatus_ = (expression);                                                     \
        if (!biStatus_.ok()) {                                                                     \
            return biStatus_;                                                                      \
        }                                                                                          \
    } while (false)

} // namespace bi
