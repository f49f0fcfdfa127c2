// Little-endian loads and stores of 1 to 4 bytes: the order of every field
// of the format, of the samples the delta filter differences and of the
// operands the x86 filter rewrites, whatever the host's. Written with
// shifts, which compilers turn into single moves where the host allows.
#pragma once

#include <cstdint>

namespace vexa {

template <std::uint32_t W>
[[gnu::always_inline]] constexpr std::uint32_t load_le(const std::uint8_t* p) {
    static_assert(W >= 1 && W <= 4);
    std::uint32_t v = 0;
    for (std::uint32_t k = 0; k < W; ++k) v |= std::uint32_t{p[k]} << (8 * k);
    return v;
}

template <std::uint32_t W>
[[gnu::always_inline]] constexpr void store_le(std::uint8_t* p, std::uint32_t v) {
    static_assert(W >= 1 && W <= 4);
    for (std::uint32_t k = 0; k < W; ++k) p[k] = static_cast<std::uint8_t>(v >> (8 * k));
}

[[gnu::always_inline]] constexpr std::uint32_t load_le32(const std::uint8_t* p) { return load_le<4>(p); }
[[gnu::always_inline]] constexpr void store_le32(std::uint8_t* p, std::uint32_t v) { store_le<4>(p, v); }

}  // namespace vexa
