// The content of an archive's file entries: stored bytes or the output of the decoder the
// format needs, checked against the entry's CRC32 or BLAKE2sp.
#pragma once

#include "ArchiveReader.h"
#include "Status.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace bi {

// Receives the content of one entry, in order.
class ContentSink {
public:
    virtual ~ContentSink() = default;
    virtual Status Write(const std::uint8_t* data, std::size_t size) = 0;
};

class ContentReader {
public:
    ContentReader(const ArchiveInput& input, const Catalog& catalog);
    ~ContentReader();
    ContentReader(const ContentReader&) = delete;
    ContentReader& operator=(const ContentReader&) = delete;

    // Sends the content of a file entry to the sink and checks it: damage first, then the
    // CRC32 or hash, and an entry that has neither is Unverifiable. Entries must come in catalog
    // order: an entry of a solid stream needs the stream of the entries before it. After a
    // failure no later entry of the same stream can be read.
    Status Read(const CatalogEntry& entry, ContentSink& sink);

private:
    struct Decoders;

    Status ReadStored(const CatalogEntry& entry, class CheckingSink& sink);
    Status Decode(const CatalogEntry& entry, class CheckingSink& sink);
    std::uint64_t WindowFor(const CatalogEntry& entry) const;

    const ArchiveInput& m_input;
    const Catalog& m_catalog;
    // Entries continue each other's stream, so history reaches beyond any single entry.
    bool m_solidStream;
    std::unique_ptr<Decoders> m_decoders; // made when the first compressed entry comes
};

} // namespace bi
