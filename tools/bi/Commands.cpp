// Carries out a parsed command line and reports on the console.
#include "Commands.h"

#include "Extractor.h"
#include "Packer.h"
#include "Paths.h"
#include "RarFormat.h"
#include "Text.h"

#include <cwchar>

namespace bi {

namespace {

// RAR adds ".rar" to an archive name without an extension.
std::wstring WithDefaultExtension(const std::wstring& archive) {
    const size_t slash = archive.find_last_of(L"\\/:");
    const size_t dot = archive.find_last_of(L'.');
    if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) {
        return archive;
    }
    return archive + L".rar";
}

// For reading: the name as given, or with ".rar" added when only that exists.
std::wstring ExistingArchive(const std::wstring& archive) {
    const std::wstring withExtension = WithDefaultExtension(archive);
    if (withExtension != archive &&
        GetFileAttributesW(archive.c_str()) == INVALID_FILE_ATTRIBUTES &&
        GetFileAttributesW(withExtension.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return withExtension;
    }
    return archive;
}

std::wstring AttributeText(const CatalogEntry& entry) {
    struct Letter {
        std::uint32_t bit;
        wchar_t letter;
    };
    static constexpr Letter kLetters[] = {{rar::winattr::kDirectory, L'D'},
                                          {rar::winattr::kReadOnly, L'R'},
                                          {rar::winattr::kHidden, L'H'},
                                          {rar::winattr::kSystem, L'S'},
                                          {rar::winattr::kArchive, L'A'}};
    std::wstring text;
    for (const Letter& letter : kLetters) {
        text.push_back((entry.attributes & letter.bit) ? letter.letter : L'.');
    }
    return text;
}

std::wstring TimeText(const CatalogEntry& entry) {
    SYSTEMTIME utc;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(entry.fileTime);
    time.dwHighDateTime = static_cast<DWORD>(entry.fileTime >> 32);
    if (!entry.hasTime || !FileTimeToSystemTime(&time, &utc)) {
        return L"-                  ";
    }
    wchar_t text[32];
    swprintf(text, 32, L"%04u-%02u-%02u %02u:%02u:%02u", utc.wYear, utc.wMonth, utc.wDay, utc.wHour,
             utc.wMinute, utc.wSecond);
    return text;
}

// "store", "m1".."m5" or "PPMd", as RAR names its methods.
std::wstring MethodText(const CatalogEntry& entry) {
    if (entry.directory) {
        return L"-";
    }
    if (!entry.compressed()) {
        return L"store";
    }
    return entry.ppmd ? L"PPMd" : L"m" + std::to_wstring(entry.method);
}

std::wstring DictionaryText(const CatalogEntry& entry) {
    if (!entry.compressed()) {
        return L"-";
    }
    const std::uint64_t kib = entry.dictionarySize >> 10;
    return kib >= 1024 && kib % 1024 == 0 ? std::to_wstring(kib >> 10) + L" MiB"
                                          : std::to_wstring(kib) + L" KiB";
}

ExitCode Report(const Console& console, const Status& status, const std::wstring& success) {
    if (status.ok()) {
        if (!success.empty()) {
            console.Out(success);
        }
        return ExitCode::Success;
    }
    console.Error(status.Describe());
    return status.exitCode();
}

} // namespace

std::vector<std::wstring> ListingLines(const std::wstring& archivePath, const Catalog& catalog) {
    std::vector<std::wstring> lines;
    lines.push_back(L"Archive: " + archivePath);
    lines.push_back(std::wstring(catalog.format == ArchiveFormat::Rar5 ? L"Format: RAR 5.0"
                                                                       : L"Format: RAR 2.9-4.x") +
                    (catalog.solid ? L", solid" : L", not solid"));
    lines.push_back(
        L"Kind Attr                Size  Method  Dictionary  Modified (UTC)       Name");
    lines.push_back(
        L"---- -----  ------------------  ------  ----------  -------------------  ----");
    std::uint64_t totalSize = 0;
    std::uint64_t files = 0;
    std::uint64_t folders = 0;
    for (const CatalogEntry& entry : catalog.entries) {
        const std::wstring name = entry.Shown();
        wchar_t size[32];
        if (entry.sizeKnown) {
            swprintf(size, 32, L"%18llu", static_cast<unsigned long long>(entry.size));
        } else {
            swprintf(size, 32, L"%18ls", L"?");
        }
        wchar_t packing[32];
        swprintf(packing, 32, L"%-6ls  %10ls", MethodText(entry).c_str(),
                 DictionaryText(entry).c_str());
        const wchar_t* kind = entry.link ? L"Link " : entry.directory ? L"Dir  " : L"File ";
        lines.push_back(std::wstring(kind) + AttributeText(entry) + L"  " + size + L"  " + packing +
                        L"  " + TimeText(entry) + L"  " + name);
        totalSize += entry.size;
        ++(entry.directory ? folders : files);
    }
    lines.push_back(
        L"---- -----  ------------------  ------  ----------  -------------------  ----");
    wchar_t totals[96];
    swprintf(totals, 96, L"           %18llu  %llu file(s), %llu folder(s)",
             static_cast<unsigned long long>(totalSize), static_cast<unsigned long long>(files),
             static_cast<unsigned long long>(folders));
    lines.push_back(totals);
    return lines;
}

std::wstring UsageText() {
    return L"bi: RAR archiver (writes and reads RAR 2.9-4.x and RAR 5.0)\r\n"
           L"Usage: bi <command> [-switches] <archive> [names...]\r\n"
           L"  a  add folders and files to a new archive: bi a [-ep1] archive names...\r\n"
           L"  x  extract with full paths: bi x archive [destination folder]\r\n"
           L"  t  test the archive (every header, and all content against its CRC)\r\n"
           L"  l  list the archive\r\n"
           L"Switches: -ep1 (names start with the last folder of each name), -inul (no\r\n"
           L"messages), -m0 (store) to -m5 (best; -m3 by default), -ma4 (RAR 2.9 format, the\r\n"
           L"default) or -ma5 (RAR 5.0 format), -y, -v";
}

ExitCode RunCommand(const CommandLine& commandLine, const Console& console) {
    const Progress progress = [&console](const std::wstring& line) { console.Out(line); };
    switch (commandLine.command) {
    case Command::Help:
        console.Out(UsageText());
        return ExitCode::Success;
    case Command::Add: {
        PackRequest request;
        request.archivePath = WithDefaultExtension(commandLine.archive);
        request.sources = commandLine.sources;
        request.excludeBaseFolder = commandLine.excludeBaseFolder;
        request.settings.format = commandLine.format;
        request.settings.method = commandLine.method;
        return Report(console, Pack(request, progress), L"Done");
    }
    case Command::Extract: {
        const std::wstring archive = ExistingArchive(commandLine.archive);
        console.Out(L"Extracting from " + archive);
        ExtractSummary summary;
        const Status status = ExtractArchive(archive, commandLine.destination, progress, &summary);
        if (status.ok() && summary.skippedLinks > 0) {
            // Everything else is in place; the links are missing, as RAR warns.
            console.Error(L"Warning: " + std::to_wstring(summary.skippedLinks) +
                          L" link(s) not created");
            return ExitCode::Warning;
        }
        return Report(console, status, L"All OK");
    }
    case Command::Test: {
        const std::wstring archive = ExistingArchive(commandLine.archive);
        console.Out(L"Testing archive " + archive);
        return Report(console, TestArchive(archive, progress), L"All OK");
    }
    case Command::List: {
        const std::wstring archive = ExistingArchive(commandLine.archive);
        ArchiveInput input;
        Catalog catalog;
        Status status = input.Open(archive);
        if (status.ok()) {
            status = ReadCatalog(input, catalog);
        }
        if (status.ok()) {
            for (const std::wstring& line : ListingLines(archive, catalog)) {
                console.Out(line);
            }
        }
        return Report(console, status, L"");
    }
    }
    return ExitCode::Fatal;
}

} // namespace bi
