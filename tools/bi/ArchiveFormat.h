// The two generations of the RAR format that bi reads and writes.
#pragma once

namespace bi {

enum class ArchiveFormat {
    Rar4, // RAR 2.9-4.x: marker "Rar!\x1A\x07\x00", unpack version 29
    Rar5, // RAR 5.0: signature "Rar!\x1A\x07\x01\x00"
};

} // namespace bi
