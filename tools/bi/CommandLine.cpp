// RAR command syntax.
#include "CommandLine.h"

#include "Text.h"

namespace bi {

namespace {

bool IsSwitch(const std::wstring& argument) {
    return argument.size() > 1 && argument[0] == L'-';
}

Status ApplySwitch(const std::wstring& argument, CommandLine& commandLine) {
    const std::wstring_view name = std::wstring_view(argument).substr(1);
    if (quor::EqualsNoCase(name, L"inul")) {
        commandLine.quiet = true;
    } else if (quor::EqualsNoCase(name, L"ep1")) {
        commandLine.excludeBaseFolder = true;
    } else if (name.size() == 2 && (name[0] == L'm' || name[0] == L'M') && name[1] >= L'0' &&
               name[1] <= L'5') {
        commandLine.method = name[1] - L'0';
    } else if (quor::EqualsNoCase(name, L"ma4")) {
        commandLine.format = ArchiveFormat::Rar4;
    } else if (quor::EqualsNoCase(name, L"ma5")) {
        commandLine.format = ArchiveFormat::Rar5;
    } else if (quor::EqualsNoCase(name, L"y")) {
        // Existing files are always overwritten; nothing is ever asked.
    } else if (quor::EqualsNoCase(name, L"v")) {
        if (commandLine.command == Command::Add) {
            return Status(Failure::CommandLine, L"-v (volumes are not made)");
        }
    } else {
        return Status(Failure::CommandLine, L"unknown switch " + argument);
    }
    return Status::Ok();
}

bool ParseCommand(const std::wstring& word, Command& command) {
    if (quor::EqualsNoCase(word, L"a")) {
        command = Command::Add;
    } else if (quor::EqualsNoCase(word, L"x")) {
        command = Command::Extract;
    } else if (quor::EqualsNoCase(word, L"t")) {
        command = Command::Test;
    } else if (quor::EqualsNoCase(word, L"l")) {
        command = Command::List;
    } else {
        return false;
    }
    return true;
}

} // namespace

Status ParseCommandLine(const std::vector<std::wstring>& arguments, CommandLine& commandLine) {
    commandLine = CommandLine{};
    // -inul silences everything, including complaints about the rest of the line.
    for (const std::wstring& argument : arguments) {
        if (argument == L"--") {
            break;
        }
        if (IsSwitch(argument) &&
            quor::EqualsNoCase(std::wstring_view(argument).substr(1), L"inul")) {
            commandLine.quiet = true;
        }
    }
    if (arguments.empty()) {
        return Status::Ok(); // Help
    }
    if (!ParseCommand(arguments[0], commandLine.command)) {
        return Status(Failure::CommandLine, L"unknown command " + arguments[0]);
    }
    std::vector<std::wstring> names;
    bool switchesEnded = false;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (!switchesEnded && argument == L"--") {
            switchesEnded = true;
        } else if (!switchesEnded && IsSwitch(argument)) {
            BI_RETURN_IF_FAILED(ApplySwitch(argument, commandLine));
        } else {
            names.push_back(argument);
        }
    }
    if (names.empty() || names[0].empty()) {
        return Status(Failure::CommandLine, L"no archive name");
    }
    commandLine.archive = names[0];
    names.erase(names.begin());
    switch (commandLine.command) {
    case Command::Add:
        if (names.empty()) {
            return Status(Failure::CommandLine, L"no files or folders to add");
        }
        commandLine.sources = std::move(names);
        break;
    case Command::Extract:
        if (names.size() > 1) {
            return Status(Failure::CommandLine,
                          L"more than one name after the archive; extracting selected entries "
                          L"is not supported, and a destination folder with spaces must be "
                          L"quoted");
        }
        if (!names.empty()) {
            commandLine.destination = names[0];
        }
        break;
    case Command::Test:
    case Command::List:
        if (!names.empty()) {
            return Status(Failure::CommandLine, L"selecting entries is not supported: " + names[0]);
        }
        break;
    case Command::Help:
        break;
    }
    return Status::Ok();
}

} // namespace bi
