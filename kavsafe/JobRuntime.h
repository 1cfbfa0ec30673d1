// What the backup and restore jobs share: waiting with message processing, the MySQL
// service commands, and the lock that runs the jobs of all KavSafe processes one at a time.
#pragma once

#include "UniqueHandle.h"

#include <windows.h>

namespace kavsafe {

// RAR's exit codes 0 (success) and 1 (warning) mean the archiver finished its work; 2 and
// above mean it did not.
inline constexpr DWORD kFirstArchiverFailure = 2;

// Waits until object is signalled, processing the program's window messages meanwhile so
// that a window stays responsive. A quit request seen during the wait is posted again for
// the main message loop.
void WaitPumpingMessages(HANDLE object);

// "net stop QUOR_MySQL", waited for.
void StopMySql();
// "net start QUOR_MySQL", not waited for.
void StartMySql();

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
