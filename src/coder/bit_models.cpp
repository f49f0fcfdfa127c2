#include "coder/bit_models.hpp"

#include <algorithm>
#include <iterator>
#include <cstring>

namespace vexa {

BitTables bit_tables;

void init_tables() {
    std::fill(std::begin(bit_tables.table_a), std::end(bit_tables.table_a), Prob{PAIR_SCALE / 2});
    std::fill(std::begin(bit_tables.table_b), std::end(bit_tables.table_b), Prob{PAIR_SCALE / 2});
    std::fill(std::begin(bit_tables.match_flag), std::end(bit_tables.match_flag),
              Prob{FLAG_SCALE / 2});
}

void load_trial_table(BitTables& tables) {
    std::memcpy(tables.trial, tables.table_a, TRIAL_B_BASE * sizeof(Prob));
    std::memcpy(tables.trial + TRIAL_B_BASE, tables.table_b, TRIAL_B_BASE * sizeof(Prob));
}

void start_trial(RangeCoder& rc) {
    rc.trial_range = 0xFFFFFFFFu;
    rc.trial_count = 0;
    load_trial_table(bit_tables);
}

}  // namespace vexa
