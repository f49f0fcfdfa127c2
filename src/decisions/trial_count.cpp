#include "decisions/trial_count.hpp"

namespace vexa {

// The trial rates are constants here: shifts by constants save a fifth of
// the pass's instructions.
std::uint32_t estimate_generic_block(RangeCoder& coder, BitTables& t, const std::uint8_t* block,
                                     std::uint32_t length, std::uint32_t ra, std::uint32_t rb) {
    start_trial(coder, t);
    RangeCoder rc = coder;
    const auto count = [&](std::uint32_t rate_a, std::uint32_t rate_b) __attribute__((always_inline)) {
        for (std::uint32_t i = 2; i < length; ++i) {
            count_pair_byte(rc, t, 256 * block[i - 1], TRIAL_B_BASE + 256 * block[i - 2], block[i], rate_a, rate_b);
        }
    };
    if (ra == TRIAL_RATE_A && rb == TRIAL_RATE_B) {
        count(TRIAL_RATE_A, TRIAL_RATE_B);
    } else {
        count(ra, rb);
    }
    coder = rc;
    return static_cast<std::uint32_t>(rc.trial_count);
}

}  // namespace vexa
