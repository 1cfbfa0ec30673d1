// Text output of the archiver: the console's own wide-character output when a stream is a
// console, UTF-8 otherwise (a file or a pipe), so that every name comes out intact.
#pragma once

#include <string>

namespace bi {

class Console {
public:
    explicit Console(bool quiet) : m_quiet(quiet) {}

    // One line on standard output, or on standard error; nothing when quiet.
    void Out(const std::wstring& line) const;
    void Error(const std::wstring& line) const;

private:
    bool m_quiet;
};

} // namespace bi
