// Recognises media of known geometry from the first block (Windows bitmap,
// raw pixmap, AIFF, WAVE, JFIF) and forms the profile that sends the whole
// file down the structured or the generic path. Only fixed header offsets
// are read; nothing is validated beyond what keeps the coder lossless.
#pragma once

#include <cstdint>

#include "format/format.hpp"

namespace vexa {

// Fills every field from the first `length` bytes; bytes past the end read as 0.
void detect_data_class(DataProfile& profile, const std::uint8_t* data, std::uint32_t length);

// True when the structured coder can restore every byte under this profile:
// each context byte it reads lies before the head, in an earlier lane, or
// earlier in the same lane, and the row distance is not 0 and does not wrap.
bool profile_is_safe(const DataProfile& profile);

}  // namespace vexa
