// Encoder of the LZ methods of both RAR formats, one chunk of a file at a time.
//
// A file's content is cut at multiples of ChunkSize() and every chunk is encoded on its own:
// its output starts on a byte, carries its own Huffman tables and copies only from the
// chunk's own bytes. The outputs of a file's chunks, concatenated in order, are the file's
// data area, so chunks can be encoded on several threads and written in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace bi::codec {

enum class LzFormat {
    Rar29, // RAR 2.9-4.x, unpack version 29
    Rar50, // RAR 5.0, algorithm version 0
};

class ChunkEncoder {
public:
    static constexpr int kFastestMethod = 1;
    static constexpr int kBestMethod = 5;

    // method: 1 (fastest) to 5 (best).
    ChunkEncoder(LzFormat format, int method);
    ~ChunkEncoder();
    ChunkEncoder(const ChunkEncoder&) = delete;
    ChunkEncoder& operator=(const ChunkEncoder&) = delete;

    // Size of every chunk but a file's last (a power of two, at most 4 MiB).
    static std::size_t ChunkSize(LzFormat format, int method);
    // Dictionary the file header declares, in bytes: 4 MiB for RAR 2.9; for RAR 5.0 the
    // smallest the format can declare that covers the encoder's distances.
    static std::uint64_t DictionarySize(LzFormat format, int method);
    // Bytes this encoder holds, all allocated by the constructor (for sizing pipelines).
    static std::size_t MemoryUse(LzFormat format, int method);

    // Encodes one chunk (1 to ChunkSize() bytes) and appends it to `out`. `last`: the chunk
    // ends the file, so the stream is closed rather than left open for the next chunk.
    // Returns false, with `out` as it was, when the encoding would not be smaller than the
    // chunk: the caller stores the file or, for a chunk inside a compressed file, calls
    // EncodeLiterals. Incompressible data is recognised without a full search.
    bool Encode(const std::uint8_t* data, std::size_t size, bool last, std::vector<std::uint8_t>& out);

    // Encodes the chunk with literals only (about one byte per byte plus its tables).
    void EncodeLiterals(const std::uint8_t* data, std::size_t size, bool last,
                        std::vector<std::uint8_t>& out);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace bi::codec
