// x86 near calls (E8) and jumps (E9): a relative displacement becomes the
// absolute input position of its target, so that calls to one routine from
// different places repeat as byte strings. Applied in place to whole blocks;
// decoding must see the same length and `bytes_done` as encoding did.
#pragma once

#include <cstdint>

namespace vexa {

// `bytes_done` is the input position of block[0]; positions stay below 2^31.
void branch_encode(std::uint8_t* block, std::uint32_t len, std::uint32_t bytes_done);
void branch_decode(std::uint8_t* block, std::uint32_t len, std::uint32_t bytes_done);

}  // namespace vexa
