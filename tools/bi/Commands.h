// Carries out a parsed command line and reports on the console.
#pragma once

#include "ArchiveReader.h"
#include "CommandLine.h"
#include "Console.h"

#include <string>
#include <vector>

namespace bi {

// Runs the command and returns the process exit code.
ExitCode RunCommand(const CommandLine& commandLine, const Console& console);

// The lines of the `l` listing: a heading, one line per entry with kind, attributes, size,
// modification time (UTC) and name, and a line of totals.
std::vector<std::wstring> ListingLines(const std::wstring& archivePath, const Catalog& catalog);

// The usage text shown for a command line without arguments.
std::wstring UsageText();

} // namespace bi
