// What the decoders share with the archive reader: where packed bytes come from, where
// unpacked bytes go, and how a decoder says why it stopped.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bi::codec {

// The packed bytes of one entry (the data area, read front to back). A read error is kept by
// the source itself and looks like the end of the data to the decoder; the caller asks the
// source for it before blaming the data.
class PackedSource {
public:
    virtual ~PackedSource() = default;
    // Reads up to `size` bytes into `buffer`; returns how many, 0 at the end of the data.
    virtual std::size_t Read(std::uint8_t* buffer, std::size_t size) = 0;
};

// Receives an entry's content in order. A sink that cannot take more (a write error) returns
// false and keeps its reason; the decoder then stops with DecodeError::OutputStopped.
class UnpackedSink {
public:
    virtual ~UnpackedSink() = default;
    virtual bool Write(const std::uint8_t* data, std::size_t size) = 0;
};

enum class DecodeError {
    None,
    Damaged,       // the data breaks a rule of the format (bad table, distance, filter...)
    Truncated,     // the packed data ended before the entry was complete
    Unsupported,   // valid data that this decoder does not handle (named in the reason)
    OutOfMemory,   // the dictionary or model memory could not be allocated
    OutputStopped, // the sink refused more output
};

// Outcome of a decoding step. `reason` is a static English phrase for the user
// ("bad Huffman table", "distance before the start of the data"); empty on success.
struct DecodeResult {
    DecodeError error = DecodeError::None;
    const wchar_t* reason = L"";

    bool ok() const { return error == DecodeError::None; }
    static DecodeResult Ok() { return {}; }
    static DecodeResult Damaged(const wchar_t* why) { return {DecodeError::Damaged, why}; }
    static DecodeResult Truncated() { return {DecodeError::Truncated, L"packed data ends early"}; }
    static DecodeResult Unsupported(const wchar_t* why) { return {DecodeError::Unsupported, why}; }
    static DecodeResult OutOfMemory(const wchar_t* why) { return {DecodeError::OutOfMemory, why}; }
    static DecodeResult Stopped() { return {DecodeError::OutputStopped, L"output refused"}; }
};

} // namespace bi::codec
