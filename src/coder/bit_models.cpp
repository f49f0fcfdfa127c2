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

void load_trial_table(BitTables& t) {
    std::memcpy(t.trial, t.table_a, TRIAL_B_BASE * sizeof(Prob));
    std::memcpy(t.trial + TRIAL_B_BASE, t.table_b, TRIAL_B_BASE * sizeof(Prob));
}

void start_trial(RangeCoder& rc, BitTables& t) {
    rc.trial_range = 0xFFFFFFFFu;
    rc.trial_count = 0;
    load_trial_table(t);
}

}  // namespace vexa
