#include "coder/bit_models.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace vexa {

void init_tables(BitTables& t) {
    std::fill(std::begin(t.table_a), std::end(t.table_a), Prob{PAIR_SCALE / 2});
    std::fill(std::begin(t.table_b), std::end(t.table_b), Prob{PAIR_SCALE / 2});
    std::fill(std::begin(t.match_flag), std::end(t.match_flag), Prob{FLAG_SCALE / 2});
}

void start_trial(RangeCoder& rc, BitTables& t) {
    rc.trial_range = 0xFFFFFFFFu;
    rc.trial_count = 0;
    std::memcpy(t.trial, t.table_a, TRIAL_B_BASE * sizeof(Prob));
    std::memcpy(t.trial + TRIAL_B_BASE, t.table_b, TRIAL_B_BASE * sizeof(Prob));
}

}  // namespace vexa
