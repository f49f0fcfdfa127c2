// The file's header: the 4-byte length, then (for a non-empty input) the
// class word and, for media, the profile fields. All little-endian.
#pragma once

#include <cstdint>

#include "format/format.hpp"

namespace vexa {

// What write_header wrote: its byte count, and the profile as a decoder
// will read it back, which is the one the coder must then follow.
struct WrittenHeader {
    std::uint32_t size;
    DataProfile profile;
};

// Serialises the length and, when given, the profile, normalised on the way:
// zeros in sample_width, row_width and channels become 1, and an unsafe
// structured profile goes down the generic path.
WrittenHeader write_header(std::uint32_t length, const DataProfile* profile, std::uint8_t (&out)[HEADER_BYTES_MAX]);

enum class HeaderCheck { complete, incomplete, damaged };

// Parses what `size` bytes of a header hold so far: complete once the length
// and everything the length calls for are there (`needed` bytes); damaged
// when the profile is one that no compressor writes.
struct ParsedHeader {
    HeaderCheck check = HeaderCheck::incomplete;
    std::uint32_t needed = LENGTH_BYTES;   // bytes this header has in all (as far as known)
    std::uint32_t length = 0;
    DataProfile profile;
};
ParsedHeader read_header(const std::uint8_t* bytes, std::uint32_t size);

}  // namespace vexa
