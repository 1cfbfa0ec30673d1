// Encoder of the LZ methods of both RAR formats, one chunk of a file at a time.
#include "ChunkEncoder.h"

#include "BitOutput.h"
#include "LzBlockWriter.h"
#include "LzMatcher.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace bi::codec {

namespace {

// bsdtar 3.6.2 decodes RAR 2.9 copies wrongly when they run across a multiple of its 4 MiB
// window in the file's output. Chunks are cut at such points, and no copy crosses one within
// a chunk either.
constexpr std::size_t kWrapSpan = std::size_t{4} << 20;

// RAR itself keeps its distances this far below the dictionary it declares.
constexpr std::uint32_t kRar5DictionaryMargin = 4100;
constexpr std::uint64_t kRar5SmallestDictionary = 128u << 10;
constexpr std::uint64_t kRar29Dictionary = 4u << 20;

// Blocks of the slower methods whose bytes are spread this evenly (in bits per byte) get a
// quick greedy parse first; if that does not pay, the block goes out as literals unsearched.
constexpr double kProbeEntropy = 7.5;

struct Method {
    std::size_t chunkSize;
    std::size_t blockSize; // input bytes per block; every block has tables of its own
    LzParserSettings parser;
};

// -m1: greedy, one hash table. -m2: greedy, tables of 8- and 4-byte strings. -m3: lazy over
// hash chains 16 links deep. -m4, -m5: shortest path by cost over rows of recent strings, in
// 4 MiB chunks and blocks of 64 KiB (smaller blocks let the costs follow the data).
Method MethodSettings(LzFormat format, int method) {
    using Kind = LzParserSettings::Kind;
    Method m{};
    m.chunkSize = std::size_t{1} << 20;
    m.blockSize = std::size_t{128} << 10;
    LzParserSettings& p = m.parser;
    switch (std::clamp(method, ChunkEncoder::kFastestMethod, ChunkEncoder::kBestMethod)) {
    case 1:
        p.kind = Kind::Fast;
        p.hashBits = 16;
        p.skipShift = 5;
        break;
    case 2:
        p.kind = Kind::DoubleFast;
        p.hashBits = 16;
        p.longHashBits = 17;
        p.skipShift = 6;
        break;
    case 3:
        p.kind = Kind::Lazy;
        p.hashBits = 17;
        p.depth = 16;
        p.lazySteps = 1;
        p.skipShift = 7;
        p.niceLength = 64;
        break;
    case 4:
        m.chunkSize = std::size_t{4} << 20;
        m.blockSize = std::size_t{64} << 10;
        p.kind = Kind::Optimal;
        p.hashBits = 14;
        p.longHashBits = 17;
        p.depth = 4;
        p.niceLength = 32;
        break;
    default:
        m.chunkSize = std::size_t{4} << 20;
        m.blockSize = std::size_t{64} << 10;
        p.kind = Kind::Optimal;
        p.hashBits = 16;
        p.longHashBits = 18;
        p.depth = 6;
        p.niceLength = 48;
        break;
    }
    p.window = m.chunkSize;
    p.format = format;
    if (format == LzFormat::Rar29) {
        p.rules = kRar29Rules;
        p.rules.maxDistance = static_cast<std::uint32_t>(m.chunkSize);
    } else {
        p.rules = kRar5Rules;
        p.rules.maxDistance = static_cast<std::uint32_t>(m.chunkSize) - kRar5DictionaryMargin;
    }
    return m;
}

// The quick parse that screens blocks for the slower methods.
LzParserSettings ProbeSettings(const Method& method) {
    LzParserSettings probe = method.parser;
    probe.kind = LzParserSettings::Kind::Fast;
    probe.hashBits = 14;
    probe.skipShift = 4;
    return probe;
}

// The methods whose search costs much on any data screen their blocks with a quick parse.
bool ScreensBlocks(const Method& method) {
    return method.parser.kind == LzParserSettings::Kind::Lazy ||
           method.parser.kind == LzParserSettings::Kind::Optimal;
}

// A stretch of the chunk that LZ coding did not shrink; it goes out as literals, if the
// chunk as a whole pays.
struct Stretch {
    std::size_t begin;
    std::size_t end;
    std::size_t bytes; // at least its size as a block of literals
};

// How evenly a block's bytes are spread.
struct ByteSpread {
    double entropy; // order 0, bits per byte
    // Every byte value occurs and the two rarest together occur as often as the most common:
    // then the best prefix code gives every value 8 bits, and literals cannot shrink.
    bool flat;
};

ByteSpread Spread(const std::uint8_t* data, std::size_t size) {
    std::array<std::array<std::uint32_t, 256>, 4> lanes{};
    std::size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        ++lanes[0][data[i]];
        ++lanes[1][data[i + 1]];
        ++lanes[2][data[i + 2]];
        ++lanes[3][data[i + 3]];
    }
    for (; i < size; ++i) {
        ++lanes[0][data[i]];
    }
    double sum = 0;
    std::uint32_t rarest = ~0u;
    std::uint32_t rare = ~0u;
    std::uint32_t commonest = 0;
    for (unsigned b = 0; b < 256; ++b) {
        const std::uint32_t count = lanes[0][b] + lanes[1][b] + lanes[2][b] + lanes[3][b];
        sum += count != 0 ? count * std::log2(static_cast<double>(count)) : 0;
        commonest = std::max(commonest, count);
        if (count < rarest) {
            rare = rarest;
            rarest = count;
        } else {
            rare = std::min(rare, count);
        }
    }
    const double entropy = std::log2(static_cast<double>(size)) - sum / static_cast<double>(size);
    return {entropy, rarest != 0 && std::uint64_t{rarest} + rare >= commonest};
}

} // namespace

struct ChunkEncoder::State {
    LzFormat format;
    Method method;
    std::unique_ptr<LzParser> parser;
    std::unique_ptr<LzParser> probe; // the slower methods only
    std::unique_ptr<LzBlockWriter> writer;
    std::unique_ptr<LzCopy[]> copies;
    std::unique_ptr<Stretch[]> pending;

    // Where the chunk being encoded goes.
    std::vector<std::uint8_t>* out = nullptr;
    std::size_t outStart = 0;
    std::size_t written = 0;

    static std::size_t CopyCapacity(const Method& method) { return method.blockSize / 2 + 2; }
    static std::size_t StretchCapacity(const Method& method) {
        return method.chunkSize / method.blockSize + 2;
    }

    // Writes the block the writer has planned (`bytes` long).
    void WritePlanned(std::size_t bytes) {
        out->resize(outStart + written + bytes + BitOutput::kSlack);
        writer->Write(out->data() + outStart + written);
        written += bytes;
        out->resize(outStart + written);
    }
    void WriteLiterals(const std::uint8_t* data, std::size_t begin, std::size_t end,
                       bool endsFile) {
        writer->SetLiterals(data, begin, end - begin);
        WritePlanned(writer->Plan(endsFile));
    }

    // True when a greedy parse of an evenly spread block does not pay: the block is then not
    // worth the full search. literalBytes: at least the block's size as literals when
    // that is known without more work, else 0.
    bool Unpromising(const std::uint8_t* data, std::size_t begin, std::size_t end,
                     std::size_t& literalBytes) {
        literalBytes = 0;
        const ByteSpread spread = Spread(data + begin, end - begin);
        if (spread.entropy < kProbeEntropy) {
            return false;
        }
        DistanceHistory history;
        std::size_t count = 0;
        const std::size_t stop = probe->Parse(begin, end, end, history, copies.get(), count);
        const bool noCopy = count == 1 && copies[0].length == 0;
        if (noCopy && spread.flat) {
            literalBytes = end - begin;
            return true;
        }
        writer->SetCopies(data, begin, copies.get(), count);
        const std::size_t bytes = writer->Plan(false);
        if (noCopy) {
            literalBytes = bytes;
        }
        return bytes >= stop - begin;
    }
};

ChunkEncoder::ChunkEncoder(LzFormat format, int method) : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    s.format = format;
    s.method = MethodSettings(format, method);
    s.parser = LzParser::Create(s.method.parser);
    if (ScreensBlocks(s.method)) {
        s.probe = LzParser::Create(ProbeSettings(s.method));
    }
    s.writer = LzBlockWriter::Create(format);
    s.copies = std::make_unique<LzCopy[]>(State::CopyCapacity(s.method));
    s.pending = std::make_unique<Stretch[]>(State::StretchCapacity(s.method));
}

ChunkEncoder::~ChunkEncoder() = default;

std::size_t ChunkEncoder::ChunkSize(LzFormat format, int method) {
    return MethodSettings(format, method).chunkSize;
}

std::uint64_t ChunkEncoder::DictionarySize(LzFormat format, int method) {
    if (format == LzFormat::Rar29) {
        return kRar29Dictionary;
    }
    const std::uint64_t needed =
        static_cast<std::uint64_t>(MethodSettings(format, method).parser.rules.maxDistance) +
        kRar5DictionaryMargin;
    std::uint64_t dictionary = kRar5SmallestDictionary;
    while (dictionary < needed) {
        dictionary *= 2;
    }
    return dictionary;
}

std::size_t ChunkEncoder::MemoryUse(LzFormat format, int method) {
    const Method m = MethodSettings(format, method);
    return sizeof(State) + LzParser::MemoryUse(m.parser) +
           (ScreensBlocks(m) ? LzParser::MemoryUse(ProbeSettings(m)) : 0) +
           LzBlockWriter::Footprint(format) + State::CopyCapacity(m) * sizeof(LzCopy) +
           State::StretchCapacity(m) * sizeof(Stretch);
}

bool ChunkEncoder::Encode(const std::uint8_t* data, std::size_t size, bool last,
                          std::vector<std::uint8_t>& out) {
    State& s = *m_state;
    if (size == 0 || size > s.method.chunkSize) {
        return false;
    }
    s.out = &out;
    s.outStart = out.size();
    s.written = 0;
    const auto fail = [&] {
        out.resize(s.outStart);
        return false;
    };

    // RAR 5.0: the file's last byte goes in a final block of its own. unar 1.10.1 looks
    // further ahead than the code it decodes and fails with "Attempted to read more data than
    // was available" on some files whose data area ends right after codes shorter than the
    // longest of their table; a block of one literal has two codes of one bit.
    const bool lastByteAlone = s.format == LzFormat::Rar50 && last;
    const std::size_t lzEnd = lastByteAlone ? size - 1 : size;

    s.parser->Reset(data, size);
    if (s.probe) {
        s.probe->Reset(data, size);
    }
    DistanceHistory history;
    std::size_t pendingCount = 0;
    std::size_t pendingBytes = 0;
    for (std::size_t pos = 0; pos < lzEnd;) {
        const std::size_t wrap = (pos / kWrapSpan + 1) * kWrapSpan;
        const std::size_t limit = std::min(lzEnd, wrap);
        const std::size_t blockEnd = std::min(pos + s.method.blockSize, limit);
        std::size_t stop = blockEnd;
        std::size_t bytes = 0;        // the block as parsed
        std::size_t literalBytes = 0; // at least the block as literals, 0 while not known
        bool pays = false;
        const DistanceHistory before = history;
        if (!s.probe || !s.Unpromising(data, pos, blockEnd, literalBytes)) {
            std::size_t count = 0;
            stop = s.parser->Parse(pos, blockEnd, limit, history, s.copies.get(), count);
            const bool noCopy = count == 1 && s.copies[0].length == 0;
            if (noCopy && Spread(data + pos, stop - pos).flat) {
                literalBytes = stop - pos; // no copy, and literals cannot shrink
            } else {
                s.writer->SetCopies(data, pos, s.copies.get(), count);
                bytes = s.writer->Plan(last && !lastByteAlone && stop == size);
                pays = bytes < stop - pos;
            }
            if (pays && pendingCount != 0) {
                // The stretches before go first; then the block is planned again.
                for (std::size_t i = 0; i < pendingCount; ++i) {
                    s.WriteLiterals(data, s.pending[i].begin, s.pending[i].end, false);
                }
                pendingCount = 0;
                pendingBytes = 0;
                s.writer->SetCopies(data, pos, s.copies.get(), count);
                s.writer->Plan(last && !lastByteAlone && stop == size);
            }
            if (!pays && noCopy && literalBytes == 0) {
                literalBytes = bytes;
            }
        }
        if (pays) {
            s.WritePlanned(bytes);
            s.parser->SetCosts(s.writer->MainLengths(), s.writer->DistanceLengths(),
                               s.writer->LowDistanceLengths(), s.writer->LengthLengths());
        } else {
            // Literals then, if the chunk pays at all; the decoder's history stays as it was.
            history = before;
            if (literalBytes == 0) {
                s.writer->SetLiterals(data, pos, stop - pos);
                literalBytes = s.writer->Plan(false);
            }
            s.pending[pendingCount++] = {pos, stop, literalBytes};
            pendingBytes += literalBytes;
        }
        if (s.written + pendingBytes >= size) {
            return fail();
        }
        pos = stop;
    }

    for (std::size_t i = 0; i < pendingCount; ++i) {
        const bool endsFile = last && !lastByteAlone && i + 1 == pendingCount;
        s.WriteLiterals(data, s.pending[i].begin, s.pending[i].end, endsFile);
        if (s.written >= size) {
            return fail();
        }
    }
    if (lastByteAlone) {
        s.WriteLiterals(data, size - 1, size, true);
    }
    if (s.written >= size) {
        return fail();
    }
    return true;
}

void ChunkEncoder::EncodeLiterals(const std::uint8_t* data, std::size_t size, bool last,
                                  std::vector<std::uint8_t>& out) {
    State& s = *m_state;
    if (size == 0) {
        return;
    }
    s.out = &out;
    s.outStart = out.size();
    s.written = 0;
    const bool lastByteAlone = s.format == LzFormat::Rar50 && last;
    const std::size_t end = lastByteAlone ? size - 1 : size;
    for (std::size_t pos = 0; pos < end;) {
        const std::size_t blockEnd = std::min(pos + s.method.blockSize, end);
        s.WriteLiterals(data, pos, blockEnd, last && !lastByteAlone && blockEnd == size);
        pos = blockEnd;
    }
    if (lastByteAlone) {
        s.WriteLiterals(data, size - 1, size, true);
    }
}

} // namespace bi::codec
