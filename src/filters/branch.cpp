#include "filters/branch.hpp"

#include "format/byte_order.hpp"

namespace vexa {

namespace {

// Encoding maps a displacement whose target lies in [0, T) to that target
// (less 4), and moves the positive displacements that would collide with
// such targets into (-T, 0), where the first rule never lands. Arithmetic is
// 64-bit so that a damaged header's length cannot overflow; for every input
// below 2^31 it equals the signed 32-bit form.
template <bool ENCODE>
void branch(std::uint8_t* block, std::uint32_t len, std::uint32_t bytes_done) {
    if (len <= 4) return;
    const std::int64_t total = std::int64_t{bytes_done} + len;   // T
    for (std::uint32_t i = 0; i < len - 4;) {
        if ((block[i] & 0xFE) != 0xE8) {
            ++i;
            continue;
        }
        const std::int64_t a = std::int64_t{bytes_done} + i + 1;
        const std::int64_t v = static_cast<std::int32_t>(load_le32(block + i + 1));
        std::int64_t out = v;
        if (ENCODE) {
            if (-a <= v && v < std::int64_t{len} - i - 1) out = v + a;
            else if (0 < v && v < total) out = v - total;
        } else if (v < 0) {
            if (a + v >= 0) out = v + total;
        } else if (v < total) {
            out = v - a;
        }
        store_le32(block + i + 1, static_cast<std::uint32_t>(out));
        i += 5;
    }
}

}  // namespace

void branch_encode(std::uint8_t* block, std::uint32_t len, std::uint32_t bytes_done) {
    branch<true>(block, len, bytes_done);
}

void branch_decode(std::uint8_t* block, std::uint32_t len, std::uint32_t bytes_done) {
    branch<false>(block, len, bytes_done);
}

}  // namespace vexa
