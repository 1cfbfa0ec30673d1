// Packing on every processor: file content is read on the caller's thread in chunks,
// compressed on one thread per processor and written in order by a writer thread.
#pragma once

#include "ArchiveFormat.h"
#include "ArchiveWriter.h"
#include "EntryHeaders.h"
#include "Status.h"
#include "UniqueHandle.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace bi {

struct PackSettings {
    ArchiveFormat format = ArchiveFormat::Rar4;
    int method = 3;       // 0 stores; 1 (fastest) to 5 (best) compress
    unsigned threads = 0; // compression threads; 0: one per processor
};

// Entries leave in the order they were added. A file is cut into chunks that are compressed
// independently; a file whose first chunk does not shrink is stored whole, any later chunk
// that does not shrink is sent as literals, so no entry grows by more than a few bytes. The
// chunks in flight are a fixed set of buffers, so memory does not depend on the data.
class PackPipeline {
public:
    // `writer` has been created and stays alive until Finish returns.
    PackPipeline(ArchiveWriter& writer, const PackSettings& settings);
    ~PackPipeline();
    PackPipeline(const PackPipeline&) = delete;
    PackPipeline& operator=(const PackPipeline&) = delete;

    // Allocates the buffers and starts the threads.
    Status Start();

    Status AddDirectory(const EntryInfo& entry);

    // Reads exactly `size` bytes from `source` at its current position, on this thread, and
    // returns once they are all handed over. Content that ends early or goes on past `size`
    // means the file changed while it was being read (SourceChanged); `subject` names the
    // source in failures. After a failure of any thread every call returns that failure.
    Status AddFile(const EntryInfo& entry, HANDLE source, std::uint64_t size,
                   const std::wstring& subject);

    // Waits until every entry is written and stops the threads; the first failure, if any.
    Status Finish();

private:
    struct Shared;
    std::unique_ptr<Shared> m_shared;
};

} // namespace bi
