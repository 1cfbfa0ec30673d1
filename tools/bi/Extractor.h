// The test and extract commands.
#pragma once

#include "ArchiveReader.h"
#include "Status.h"

#include <string>

namespace bi {

// Reads every header and all content of the archive and checks every CRC32.
Status TestArchive(const std::wstring& archivePath, const Progress& progress);

// Checks the whole archive first (as TestArchive), so that a damaged or unsupported archive
// leaves nothing behind, then extracts every entry with its path below destination (created
// when missing), overwriting existing files. Times are set after the content (directories
// after all files) and attributes last, because a read-only file cannot be changed after its
// attribute is set. If extraction still fails, every file and folder this run created is
// removed again.
Status ExtractArchive(const std::wstring& archivePath, const std::wstring& destination,
                      const Progress& progress);

// The extraction step alone, for an archive whose catalog has been read and checked.
Status ExtractCatalog(const ArchiveInput& input, const Catalog& catalog,
                      const std::wstring& destination, const Progress& progress);

} // namespace bi
