// The add command: walks the sources and writes them into a new archive.
#pragma once

#include "PackPipeline.h"
#include "Status.h"

#include <string>
#include <vector>

namespace bi {

struct PackRequest {
    std::wstring archivePath;
    std::vector<std::wstring> sources; // folders or files, as given
    // -ep1: names start with the last component of each source ("Data/sub/f.txt");
    // otherwise with the source path as given, less its drive or share and any "." and "..".
    bool excludeBaseFolder = false;
    PackSettings settings; // format, method and threads
};

// Creates the archive at archivePath, which must not exist. Every source must exist
// (NoFiles otherwise). Folders are stored with all their content, parents before children;
// the archive itself is skipped when it lies inside a source. The archive is written under a
// temporary name next to the target and renamed when complete, so the target name never
// shows an incomplete archive; on any failure nothing is left behind. Any file that cannot
// be opened or read in full fails the whole run: a backup that misses a file must not look
// like a backup.
Status Pack(const PackRequest& request, const Progress& progress);

// The temporary name the archive has while it is written.
std::wstring PartialArchivePath(const std::wstring& archivePath);

} // namespace bi
