// The content of an archive's file entries, checked.
#include "EntryContent.h"

#include "Crc32.h"
#include "Text.h"
#include "codecs/BitInput.h"
#include "codecs/Blake2sp.h"
#include "codecs/Rar29Decoder.h"
#include "codecs/Rar5Decoder.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace bi {

namespace {

// The data area of one entry as the decoders read it. A read error ends the data early and is
// kept, so that it is reported instead of the truncation the decoder then sees.
class PackedRange : public codec::PackedSource {
public:
    PackedRange(const ArchiveInput& input, std::uint64_t offset, std::uint64_t size)
        : m_input(input), m_next(offset), m_left(size) {}

    std::size_t Read(std::uint8_t* buffer, std::size_t size) override {
        const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(size, m_left));
        if (part == 0 || !m_status.ok()) {
            return 0;
        }
        m_status = m_input.ReadAt(m_next, buffer, part);
        if (!m_status.ok()) {
            return 0;
        }
        m_next += part;
        m_left -= part;
        return part;
    }
    const Status& status() const { return m_status; }

private:
    const ArchiveInput& m_input;
    std::uint64_t m_next;
    std::uint64_t m_left;
    Status m_status;
};

} // namespace

// Counts, hashes and passes on an entry's content; keeps the first failure of the sink.
class CheckingSink : public codec::UnpackedSink {
public:
    CheckingSink(const CatalogEntry& entry, ContentSink& out) : m_out(out) {
        if (entry.hasBlake2) {
            m_blake2.emplace();
        }
    }

    bool Write(const std::uint8_t* data, std::size_t size) override {
        if (!m_status.ok()) {
            return false;
        }
        m_crc = Crc32Update(m_crc, data, size);
        if (m_blake2) {
            m_blake2->Update(data, size);
        }
        m_count += size;
        m_status = m_out.Write(data, size);
        return m_status.ok();
    }

    // The content so far against the entry's size, CRC32 and hash.
    Status Check(const CatalogEntry& entry) {
        const std::wstring name = entry.Shown();
        if (entry.sizeKnown && m_count != entry.size) {
            return Status(Failure::DamagedData, name + L" (content size differs from the header)");
        }
        if (entry.hasCrc && m_crc != entry.crc) {
            return Status(Failure::DataCrc, name);
        }
        if (m_blake2 && m_blake2->Final() != entry.blake2) {
            return Status(Failure::DataCrc, name + L" (BLAKE2sp)");
        }
        // Content that nothing vouches for is not handed out as a restored file.
        if (!entry.hasCrc && !entry.hasBlake2 && !entry.link) {
            return Status(Failure::Unverifiable, name);
        }
        return Status::Ok();
    }
    const Status& status() const { return m_status; }

private:
    ContentSink& m_out;
    std::uint32_t m_crc = 0;
    std::optional<codec::Blake2sp> m_blake2;
    std::uint64_t m_count = 0;
    Status m_status;
};

struct ContentReader::Decoders {
    codec::BitInput input;
    std::optional<codec::Rar5Decoder> rar5;
    std::optional<codec::Rar29Decoder> rar29;
};

ContentReader::ContentReader(const ArchiveInput& input, const Catalog& catalog)
    : m_input(input), m_catalog(catalog),
      m_solidStream(catalog.solid ||
                    std::any_of(catalog.entries.begin(), catalog.entries.end(),
                                [](const CatalogEntry& entry) { return entry.solid; })) {}

ContentReader::~ContentReader() = default;

Status ContentReader::Read(const CatalogEntry& entry, ContentSink& sink) {
    CheckingSink checking(entry, sink);
    BI_RETURN_IF_FAILED(entry.compressed() ? Decode(entry, checking) : ReadStored(entry, checking));
    return checking.Check(entry);
}

Status ContentReader::ReadStored(const CatalogEntry& entry, CheckingSink& sink) {
    std::vector<std::uint8_t> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(entry.packedSize, kContentBufferSize)));
    std::uint64_t done = 0;
    while (done < entry.packedSize) {
        const std::size_t part = static_cast<std::size_t>(
            std::min<std::uint64_t>(entry.packedSize - done, buffer.size()));
        BI_RETURN_IF_FAILED(m_input.ReadAt(entry.dataOffset + done, buffer.data(), part));
        if (!sink.Write(buffer.data(), part)) {
            return sink.status();
        }
        done += part;
    }
    return Status::Ok();
}

// The history a decoder keeps: the dictionary, or the entry itself when it is smaller and no
// later entry continues its stream.
std::uint64_t ContentReader::WindowFor(const CatalogEntry& entry) const {
    if (m_solidStream || !entry.sizeKnown) {
        return entry.dictionarySize;
    }
    return std::min(entry.dictionarySize, entry.size);
}

Status ContentReader::Decode(const CatalogEntry& entry, CheckingSink& sink) {
    if (!m_decoders) {
        m_decoders = std::make_unique<Decoders>();
    }
    Decoders& d = *m_decoders;
    PackedRange packed(m_input, entry.dataOffset, entry.packedSize);
    d.input.Reset(packed);
    const std::uint64_t window = WindowFor(entry);
    codec::DecodeResult result;
    bool begun = false;
    if (m_catalog.format == ArchiveFormat::Rar5) {
        if (!d.rar5) {
            d.rar5.emplace();
        }
        result = d.rar5->BeginEntry(entry.solid, window);
        begun = result.ok();
        if (begun) {
            result = d.rar5->DecodeEntry(
                d.input, entry.sizeKnown ? entry.size : codec::Rar5Decoder::kUnknownSize, sink);
        }
    } else {
        if (!d.rar29) {
            d.rar29.emplace();
        }
        result = d.rar29->BeginEntry(entry.solid, window);
        begun = result.ok();
        if (begun) {
            result = d.rar29->DecodeEntry(d.input, entry.size, sink);
        }
    }

    const std::wstring name = entry.Shown();
    const std::wstring detail = name + L" (" + result.reason + L")";
    switch (result.error) {
    case codec::DecodeError::None:
        return Status::Ok();
    case codec::DecodeError::OutputStopped:
        return sink.status();
    case codec::DecodeError::Truncated:
        if (!packed.status().ok()) {
            return packed.status();
        }
        return Status(Failure::Truncated, name);
    case codec::DecodeError::Damaged:
        if (!packed.status().ok()) {
            return packed.status();
        }
        return Status(Failure::DamagedData, detail);
    case codec::DecodeError::Unsupported:
        return Status(Failure::Unsupported, detail);
    case codec::DecodeError::OutOfMemory: {
        // The window is allocated when the entry begins; later only a PPMd model is large.
        std::uint64_t needed = 0;
        if (!begun) {
            needed = window;
        } else if (d.rar29 && d.rar29->PpmdMemory() != 0) {
            needed = d.rar29->PpmdMemory();
        }
        if (needed == 0) {
            return Status(Failure::OutOfMemory, detail);
        }
        return Status(Failure::OutOfMemory, name + L" (" + result.reason + L"; " +
                                                std::to_wstring((needed + (1u << 20) - 1) >> 20) +
                                                L" MiB needed)");
    }
    }
    return Status(Failure::DamagedData, detail);
}

} // namespace bi
