// RAR command syntax: `bi <command> [-switches] <archive> [names...]`.
#pragma once

#include "ArchiveFormat.h"
#include "Status.h"

#include <string>
#include <vector>

namespace bi {

enum class Command {
    Help,    // no arguments
    Add,     // a
    Extract, // x
    Test,    // t
    List,    // l
};

struct CommandLine {
    Command command = Command::Help;
    std::wstring archive;
    std::vector<std::wstring> sources;          // a: folders and files to add
    std::wstring destination;                   // x: empty for the current folder
    bool quiet = false;                         // -inul
    bool excludeBaseFolder = false;             // -ep1
    int method = 3;                             // -m0 (store) to -m5 (best); -m3 when not given
    ArchiveFormat format = ArchiveFormat::Rar4; // -ma4, or -ma5 for RAR 5.0
};

// Parses the arguments after the program name, split the way CommandLineToArgvW splits.
// The command comes first; switches (case-insensitive, starting with '-') may stand anywhere
// after it until "--". Accepted: -ep1, -inul, -m0 to -m5, -ma4 and -ma5 (the format of a new
// archive), -y, and -v for x, t and l (all volumes: there is only ever one). For x, the one
// argument after the archive is the destination folder; more than one is refused rather than
// guessed at, since an unquoted folder with spaces arrives as several arguments. `quiet` is
// set even when parsing fails, so that -inul also silences the complaint.
Status ParseCommandLine(const std::vector<std::wstring>& arguments, CommandLine& commandLine);

} // namespace bi
