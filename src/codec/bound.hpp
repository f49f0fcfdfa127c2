// The largest compressed size of any input of a given length.
#pragma once

#include <cstdint>

namespace vexa {

// Every decision is coded under a probability of at least 1/4096 of the
// range (cells never reach 0 or their scale) and the truncation of the
// range costs less than a part in 2^12, so no decision costs 12 bits or
// more; a byte is at most a flag and eight decisions, or a flag and eight
// direct bits. Blocks add their codes, the stream its header and flush.
constexpr std::uint64_t compressed_size_bound(std::uint64_t length) noexcept {
    const std::uint64_t blocks = (length + 524287) / 524288;
    return 16 + 5 + 13 * length + 8 * blocks + 8;
}

}  // namespace vexa
