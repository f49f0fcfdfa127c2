// Structured path for media: after the 16-byte head, a block is coded lane by
// lane (one lane per interleaved component, `stride` lanes), each byte under
// the previous sample of its component and either the sample before that or,
// for pictures, the byte one row up. Context positions before the block read
// as 0: the block buffer has at least 255 zero bytes in front of it.
#pragma once

#include <cstdint>

#include "coder/bit_models.hpp"
#include "coder/range_coder.hpp"
#include "filters/detect.hpp"
#include "format/format.hpp"

namespace vexa {

inline constexpr std::uint32_t CONTEXT_REACH = 256;   // zero bytes before every block

// The trial's walk over positions from .. to-1 (at most length/4):
// code(context byte of table A, context byte of table B, byte) for each.
template <typename Code>
[[gnu::always_inline]] inline void walk_quarter(const std::uint8_t* block, std::uint32_t from, std::uint32_t to,
                                                const DataProfile& profile, Code&& code) {
    const std::uint32_t stride = profile.stride, far = profile.far_stride;
    const std::uint32_t row = 3 * profile.row_width;   // wraps modulo 2^32 on purpose
    const std::uint32_t row_limit = stride == 3 ? row : 0xFFFFFFFFu;
    for (std::uint32_t i = from; i < to; ++i) {
        const std::uint32_t back = i > row_limit ? row : far;
        code(block[static_cast<std::int64_t>(i) - stride], block[static_cast<std::int64_t>(i) - back], block[i]);
    }
}

// At rates ra (table A) and rb (table B).
void encode_structured_block(RangeCoder& rc, BitTables& t, const std::uint8_t* block, std::uint32_t length,
                             const DataProfile& profile, std::uint32_t ra, std::uint32_t rb);
void decode_structured_block(RangeCoder& rc, BitTables& t, std::uint8_t* block, std::uint32_t length,
                             const DataProfile& profile, std::uint32_t ra, std::uint32_t rb);

// Trial count over positions start .. length/4 - 1, in plain order; the row
// context here depends on a stride of 3 rather than on the row_context bit.
std::uint32_t estimate_structured_block(RangeCoder& rc, BitTables& t, const std::uint8_t* block,
                                        std::uint32_t length, std::uint32_t start,
                                        const DataProfile& profile, std::uint32_t ra, std::uint32_t rb);

}  // namespace vexa
