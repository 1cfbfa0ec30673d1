// What the backup and restore jobs share: waiting with message processing, the MySQL
// service commands, and the lock that runs the jobs of all KavSafe processes one at a time.
#pragma once

#include "UniqueHandle.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

namespace kavsafe {

// RAR's exit codes 0 (success) and 1 (warning) mean the archiver finished its work; 2 and
// above mean it did not.
inline constexpr DWORD kFirstArchiverFailure = 2;

// Waits until object is signalled, processing the program's window messages meanwhile so
// that a window stays responsive. A quit request seen during the wait is posted again for
// the main message loop.
void WaitPumpingMessages(HANDLE object);

// "net stop QUOR_MySQL", waited for, and then the service's own state, as net gives up on a
// service that is slow to stop and a service may refuse to stop. True when QUOR_MySQL is
// stopped or not installed; false when it still runs (after waiting while it was stopping):
// the data directory must then not be touched.
bool StopMySql();
// "net start QUOR_MySQL", not waited for.
void StartMySql();

// The share of an archiver run done so far, for the window's progress bar. The archiver finds
// the counters through the environment variable QUOR_PROGRESS (see RunAndWait): two 64-bit
// numbers, the bytes done and the total (0 while unknown). A pack's total is the data
// directory's size, set here; an unpack's total comes from the archiver.
class ArchiverProgress {
public:
    ArchiverProgress();
    ArchiverProgress(const ArchiverProgress&) = delete;
    ArchiverProgress& operator=(const ArchiverProgress&) = delete;

    // The mapping's name; empty when it could not be made (the job then runs without).
    const std::wstring& Name() const { return m_name; }
    void SetTotal(std::uint64_t bytes);
    struct Share {
        std::uint64_t done = 0;
        std::uint64_t total = 0; // 0: not known
    };
    Share Read() const;

private:
    struct Counters {
        volatile std::int64_t done;
        volatile std::int64_t total;
    };
    std::wstring m_name;
    quor::KernelHandle m_mapping;
    struct Unmap {
        void operator()(Counters* view) const { UnmapViewOfFile(view); }
    };
    std::unique_ptr<Counters, Unmap> m_view;
};

// Bytes of all files under folder; 0 for a missing folder.
std::uint64_t TreeBytes(const std::wstring& folder);

// Held for the whole of a job. A job that finds another KavSafe process's job running waits
// for it to finish, so that a scheduled backup never packs a half-restored folder and two
// jobs never stop and start the service across each other.
class JobLock {
public:
    JobLock();
    ~JobLock();
    JobLock(const JobLock&) = delete;
    JobLock& operator=(const JobLock&) = delete;

private:
    quor::KernelHandle m_mutex;
    bool m_owned = false;
};

} // namespace kavsafe
