#include "filters/branch.hpp"

#include <cstring>

#include "format/byte_order.hpp"

namespace vexa {

namespace {

// Whether none of the eight bytes at p is E8 or E9: most words of data that
// is not x86 code, where a loop over single bytes spent five instructions
// on each. A byte is E8 or E9 when, with its low bit cleared and E8 xored
// in, it is zero; the test for a zero byte errs only towards yes.
bool no_branch_opcode_in_word(const std::uint8_t* p) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    constexpr std::uint64_t ones = 0x0101010101010101u;
    const std::uint64_t y = (w & (0xFE * ones)) ^ (0xE8 * ones);
    return ((y - ones) & ~y & (0x80 * ones)) == 0;
}

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
        if (i + 8 <= len - 4 && no_branch_opcode_in_word(block + i)) {
            i += 8;
            continue;
        }
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
