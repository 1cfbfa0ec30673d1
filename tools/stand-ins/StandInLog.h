// The files through which a stand-in tells tests what happened: standin.log and, for the
// httpd, last-request.txt, both in <root>\<Apache|MySQL>\logs.
#pragma once

#include "StandInConfig.h"

#include <string>
#include <string_view>

namespace quor::standin {

// Appends one line (ANSI code page, CR LF) to standin.log, creating the logs folder.
bool AppendLogLine(const std::wstring& root, Flavour flavour, std::wstring_view line);

// Replaces last-request.txt of the Apache logs folder with the request line's bytes, exactly
// as received and without a line break.
bool WriteLastRequest(const std::wstring& root, std::string_view requestLine);

} // namespace quor::standin
