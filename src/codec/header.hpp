// The file's header: the 4-byte length, then (for a non-empty input) the
// class word and, for media, the profile fields. All little-endian.
#pragma once

#include <cstdint>

#include "format/format.hpp"

namespace vexa {

// Serialises the length and, when given, the profile (replacing zeros in
// sample_width, row_width and channels by 1 and sending an unsafe structured
// profile down the generic path, as the coder then needs). Returns the count.
std::uint32_t write_header(std::uint32_t length, DataProfile* profile, std::uint8_t (&out)[HEADER_BYTES_MAX]);

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
