// Recognises media of known geometry from the first block (Windows bitmap,
// raw pixmap, AIFF, WAVE, JFIF) and forms the profile that sends the whole
// file down the structured or the generic path. Only fixed header offsets
// are read; nothing is validated beyond what keeps the coder lossless.
#pragma once

#include <cstdint>

namespace vexa {

inline constexpr std::uint32_t CLASS_STRUCTURED = 0;
inline constexpr std::uint32_t CLASS_GENERIC = 1;
inline constexpr std::uint32_t AUDIO_ROW_WIDTH = 0xFFFFFFFFu;   // no rows
inline constexpr std::uint32_t PROFILE_BYTES_MAX = 12;

struct DataProfile {
    std::uint32_t class_word = CLASS_GENERIC;
    std::uint8_t stride = 0;         // distance to the same component one pixel or frame back
    std::uint8_t far_stride = 0;     // second context distance
    std::uint32_t row_width = 0;     // pixels per row; AUDIO_ROW_WIDTH for sound
    std::uint8_t channels = 0;       // delta filter lanes
    std::uint8_t sample_width = 1;   // delta filter bytes per sample
    std::uint8_t row_context = 0;    // per block: context from one row up
};

// Fills every field from the first `length` bytes; bytes past the end read as 0.
void detect_data_class(DataProfile& profile, const std::uint8_t* data, std::uint32_t length);

// True when the structured coder can restore every byte under this profile:
// each context byte it reads lies before the head, in an earlier lane, or
// earlier in the same lane, and the row distance is not 0 and does not wrap.
bool profile_is_safe(const DataProfile& profile);

}  // namespace vexa
