// Per-channel sample differences for sound and pictures, in place. Samples of
// `sample_width` bytes (little-endian) cycle through min(channels, 32) lanes;
// each is replaced by its difference from the previous sample of its lane.
// A last sample that starts inside the range is processed whole, so up to 3
// bytes past the range are read and rewritten (and restored by decoding):
// the caller leaves that much room after every range.
#pragma once

#include <cstdint>

namespace vexa {

inline constexpr std::uint32_t DELTA_LANES = 32;
inline constexpr std::uint32_t DELTA_SPARE_BYTES = 3;

// A sample_width of 3 is taken as 1: 24-bit samples are differenced byte
// by byte. Widths other than 1, 2, 3 and 4 leave the bytes as they are, and
// so do a width or channel count of 0, which only a damaged header carries.
void delta_encode(std::uint8_t* buffer, std::uint32_t start, std::uint32_t count, std::uint32_t channels,
                  std::uint32_t sample_width);
void delta_decode(std::uint8_t* buffer, std::uint32_t start, std::uint32_t count, std::uint32_t channels,
                  std::uint32_t sample_width);

}  // namespace vexa
