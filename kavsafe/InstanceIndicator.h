// Tells whether another process of the same program executable is already running.
#pragma once

#include "UniqueHandle.h"

#include <string>

namespace kavsafe {

// Holds a named mutex derived from the program's full path for the life of the process;
// a second start of the same executable finds the mutex already there.
class InstanceIndicator {
public:
    explicit InstanceIndicator(const std::wstring& programPath);
    bool AnotherRunning() const { return m_another; }

private:
    quor::KernelHandle m_mutex;
    bool m_another = false;
};

} // namespace kavsafe
