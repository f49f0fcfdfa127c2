#include "model/match_model.hpp"

#include <algorithm>
#include <iterator>

namespace vexa {

MatchModel match_model;

void reset_match_model() {
    std::fill(std::begin(match_model.window), std::end(match_model.window), std::uint8_t{0});
    std::fill(std::begin(match_model.positions), std::end(match_model.positions), 0u);
    match_model.hash = 0;
    match_model.hash_multiplier = 0;
    match_model.multiplier_chosen = false;
    match_model.write_offset = 0;
    reset_block();
}

// Every candidate is 2^k times 1, 3 or 5, so it decides how many of the last
// bytes the 18-bit hash remembers. The scoring predictor differs from the
// coder's: it adds the byte instead of XOR-ing it, keeps 16 bits, and only
// counts predictions of earlier offsets of this block.
std::uint32_t choose_hash_multiplier(const std::uint8_t* block, std::uint32_t length) {
    std::uint32_t* const table = match_model.positions;
    std::uint32_t best_count = 0, best = 0;
    for (std::uint32_t i = 4; i <= 6; ++i) {
        for (std::uint32_t j = 4; j <= 6; ++j) {
            const std::uint32_t m = i << j;
            std::uint32_t count = 0, h = 0, p = 0;
            for (std::uint32_t l = 0; l < length; ++l) {
                const std::uint32_t x = block[l];
                table[h] = l;
                h = (x + h * m) & (SEARCH_ENTRIES - 1);
                if (p < l && block[p] == x) {
                    p = (p + 1) & 0xFFFFFF;
                    ++count;
                } else {
                    p = table[h];
                }
            }
            if (count > best_count) {
                best_count = count;
                best = m;
            }
            std::fill(table, table + SEARCH_ENTRIES, 0u);
        }
    }
    return best;
}

}  // namespace vexa
