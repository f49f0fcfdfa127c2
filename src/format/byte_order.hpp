// Little-endian loads and stores of 1 to 4 bytes: the order of every field
// of the format, of the samples the delta filter differences and of the
// operands the x86 filter rewrites, whatever the host's. Each width is
// written out: compilers merge such shifts into one move where the host
// allows, but gcc 12 leaves a loop over the bytes as byte moves.
#pragma once

#include <cstdint>

namespace vexa {

template <std::uint32_t W>
[[gnu::always_inline]] constexpr std::uint32_t load_le(const std::uint8_t* p) {
    static_assert(W >= 1 && W <= 4);
    if constexpr (W == 1) {
        return p[0];
    } else if constexpr (W == 2) {
        return p[0] | std::uint32_t{p[1]} << 8;
    } else if constexpr (W == 3) {
        return p[0] | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16;
    } else {
        return p[0] | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
    }
}

template <std::uint32_t W>
[[gnu::always_inline]] constexpr void store_le(std::uint8_t* p, std::uint32_t v) {
    static_assert(W >= 1 && W <= 4);
    p[0] = static_cast<std::uint8_t>(v);
    if constexpr (W >= 2) p[1] = static_cast<std::uint8_t>(v >> 8);
    if constexpr (W >= 3) p[2] = static_cast<std::uint8_t>(v >> 16);
    if constexpr (W >= 4) p[3] = static_cast<std::uint8_t>(v >> 24);
}

[[gnu::always_inline]] constexpr std::uint32_t load_le32(const std::uint8_t* p) { return load_le<4>(p); }
[[gnu::always_inline]] constexpr void store_le32(std::uint8_t* p, std::uint32_t v) { store_le<4>(p, v); }

}  // namespace vexa
