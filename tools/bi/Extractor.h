// The test and extract commands.
#pragma once

#include "ArchiveReader.h"
#include "Status.h"

#include <cstddef>
#include <string>

namespace bi {

// Reads every header, unpacks all content of the archive and checks every CRC32 or hash.
Status TestArchive(const std::wstring& archivePath, const Progress& progress);

// What an extraction left out without failing.
struct ExtractSummary {
    std::size_t skippedLinks = 0; // links are checked but not created
};

// Reads every header first, so that an unsupported or encrypted archive is refused before
// anything is written, then extracts every entry with its path below destination (created
// when missing), checking each file's content as it is written. A file the archive replaces is
// renamed aside and deleted only when the whole run succeeded. Times are set after the content
// (directories after all files) and attributes last, because a read-only file cannot be
// changed after its attribute is set. If extraction fails, every file and folder this run
// created is removed again and the replaced files are put back.
Status ExtractArchive(const std::wstring& archivePath, const std::wstring& destination,
                      const Progress& progress, ExtractSummary* summary = nullptr);

// The extraction step alone, for an archive whose catalog has been read.
Status ExtractCatalog(const ArchiveInput& input, const Catalog& catalog,
                      const std::wstring& destination, const Progress& progress,
                      ExtractSummary* summary = nullptr);

} // namespace bi
