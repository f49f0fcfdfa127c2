// Per-channel sample differences for sound and pictures, in place. Samples of
// `sample_width` bytes (little-endian) cycle through min(channels, 32) lanes;
// each is replaced by its difference from the previous sample of its lane.
// A last sample that starts inside the range is processed whole, so up to 3
// bytes past the range are read and rewritten (and restored by decoding):
// the caller leaves that much room after every range.
#pragma once

#include <cstdint>

#include "filters/detect.hpp"

namespace vexa {

inline constexpr std::uint32_t DELTA_LANES = 32;
inline constexpr std::uint32_t DELTA_SPARE_BYTES = 3;

// Both turn a sample_width of 3 into 1 in the profile (24-bit samples are
// differenced byte by byte). Widths other than 1, 2 and 4 leave the bytes
// as they are, and so do a width or channel count of 0, which only a damaged
// header carries.
void delta_encode(std::uint8_t* buffer, std::uint32_t start, std::uint32_t count, DataProfile& profile);
void delta_decode(std::uint8_t* buffer, std::uint32_t start, std::uint32_t count, DataProfile& profile);

}  // namespace vexa
