// Adaptive probabilities and the three ways of coding under them: the paired
// byte tree (two cells from two context-indexed tables, summed), the match
// flag (one cell), and the trial pass, which runs the paired tree over a
// scratch copy of the tables and only counts the bytes it would emit.
#pragma once

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>

#include "coder/range_coder.hpp"
#include "format/format.hpp"

namespace vexa {

using Prob = std::uint16_t;                                // probability of a 1

inline constexpr std::uint32_t TABLE_CELLS = 131072;       // 512 byte trees of 256 cells
inline constexpr std::uint32_t PAIR_SCALE = 2048;          // two pair cells sum to at most 4096
inline constexpr std::uint32_t FLAG_SCALE = 4096;
inline constexpr std::uint32_t TRIAL_B_BASE = 65536;       // trial cells copied from table B
static_assert((TABLE_CELLS & (TABLE_CELLS - 1)) == 0, "indexes are masked to the table size");
static_assert(2 * PAIR_SCALE == FLAG_SCALE, "a pair and a flag cell share the coder's 12-bit split");
static_assert(2 * TRIAL_B_BASE == TABLE_CELLS, "the trial table is two copied halves");

// The four cell tables: 1 MiB, which the run's context places on one 2 MiB
// page beside the match model's position table.
struct BitTables {
    Prob table_a[TABLE_CELLS];      // adapts at rate_a
    Prob table_b[TABLE_CELLS];      // adapts at rate_b
    Prob match_flag[TABLE_CELLS];   // adapts at rate_b
    Prob trial[TABLE_CELLS];
};

// Tables A and B to one half of 2048, match flags to one half of 4096.
void init_tables(BitTables& t);

// Copies the lower halves of tables A and B into the trial table.
void load_trial_table(BitTables& t);

// load_trial_table, and resets the trial counters of `rc`; nothing else of
// `rc` is touched.
void start_trial(RangeCoder& rc, BitTables& t);

// One adaptation: the cell moves 1/2^rate of the way towards the scale after
// a 1 and towards 0 after a 0. With a rate of 1 or more a cell never reaches
// 0 or its scale, so every split lies strictly inside the range.
[[gnu::always_inline]] constexpr Prob adapted(std::uint32_t p, std::uint32_t bit, std::uint32_t rate,
                                              std::uint32_t scale) {
    const std::uint32_t up = p + ((scale - p) >> rate);
    const std::uint32_t down = p - (p >> rate);
    return static_cast<Prob>(bit ? up : down);
}

// Every adaptation of a pair cell, by rate, bit and cell value. Where the
// bit is not branched on, one load replaces computing both outcomes and
// selecting one.
inline constexpr std::uint32_t PAIR_STEP_RATES = 16;   // the coder uses rates 2-6

struct PairSteps {
    // Both outcomes of a cell side by side: the index 2p + bit is one lea.
    Prob next[PAIR_STEP_RATES][PAIR_SCALE][2];
};

consteval PairSteps make_pair_steps() {
    PairSteps steps{};
    for (std::uint32_t rate = 0; rate < PAIR_STEP_RATES; ++rate) {
        for (std::uint32_t p = 0; p < PAIR_SCALE; ++p) {
            steps.next[rate][p][0] = adapted(p, 0, rate, PAIR_SCALE);
            steps.next[rate][p][1] = adapted(p, 1, rate, PAIR_SCALE);
        }
    }
    return steps;
}

inline constexpr PairSteps PAIR_STEPS = make_pair_steps();

// adapted() of a pair cell without a branch on the bit, for Form::selects.
[[gnu::always_inline]] inline Prob adapted_pair(std::uint32_t p, std::uint32_t bit, std::uint32_t rate) {
    assert(p < PAIR_SCALE && bit < 2 && rate < PAIR_STEP_RATES);
    return PAIR_STEPS.next[rate][p][bit];
}

template <Form form>
[[gnu::always_inline]] inline Prob adapted_pair(std::uint32_t p, std::uint32_t bit, std::uint32_t rate) {
    if constexpr (form == Form::selects) return adapted_pair(p, bit, rate);
    return adapted(p, bit, rate, PAIR_SCALE);
}

// The rates are passed in so that a byte loads them once, and both cells are
// read before either is written: the two may alias as far as the compiler
// knows, and it would reload the second after storing the first.
template <Form form = Form::selects>
[[gnu::always_inline]] inline void encode_pair_step(RangeCoder& rc, Prob& a, Prob& b,
                                                    std::uint32_t bit, std::uint32_t ra,
                                                    std::uint32_t rb) {
    const std::uint32_t pa = a, pb = b;
    rc.encode_bit<form>((rc.range >> 12) * (pa + pb), bit);
    a = adapted_pair<form>(pa, bit, ra);
    b = adapted_pair<form>(pb, bit, rb);
}

[[gnu::always_inline]] inline std::uint32_t decode_pair_step(RangeCoder& rc, Prob& a, Prob& b,
                                                             std::uint32_t ra, std::uint32_t rb) {
    const std::uint32_t pa = a, pb = b;
    const std::uint32_t bit = rc.decode_bit((rc.range >> 12) * (pa + pb));
    a = adapted(pa, bit, ra, PAIR_SCALE);
    b = adapted(pb, bit, rb, PAIR_SCALE);
    return bit;
}

// Trial step: the same split and adaptation on `trial_range`, with no lower
// end and no output; each renormalising shift counts one emitted byte. The
// renormalisation stays a loop in both forms: a count of leading zeros
// measured 10-20 % slower (BM_Estimate in bench/coder_bench.cpp), since a
// predicted branch lets the next decision start before this one's range is
// known.
template <Form form = Form::selects>
[[gnu::always_inline]] inline void count_pair_step(RangeCoder& rc, Prob& a, Prob& b,
                                                   std::uint32_t bit, std::uint32_t ra,
                                                   std::uint32_t rb) {
    const std::uint32_t pa = a, pb = b;
    const std::uint32_t split = (rc.trial_range >> 12) * (pa + pb);
    if constexpr (form == Form::selects) {
        rc.trial_range = select_on(bit, split, rc.trial_range - split);
    } else {
        rc.trial_range = bit ? split : rc.trial_range - split;
    }
    while (rc.trial_range < RANGE_TOP) {
        rc.trial_range <<= 8;
        ++rc.trial_count;
    }
    a = adapted_pair<form>(pa, bit, ra);
    b = adapted_pair<form>(pb, bit, rb);
}

// Walks the tree cells of a known byte, most significant bit first:
// step(cell a, cell b, bit) for each of its eight bits, unrolled.
template <typename Step>
[[gnu::always_inline]] inline void walk_pair_byte(Prob* ta, Prob* tb, std::uint32_t value, Step&& step) {
    // The node of each level is the byte's leading bits behind a 1, so no
    // level waits for the one before it.
    const std::uint32_t path = (value & 0xFF) | 256;
    const auto one = [&](std::uint32_t shift) __attribute__((always_inline)) {
        const std::uint32_t node = path >> (shift + 1);
        step(ta[node], tb[node], (path >> shift) & 1);
    };
    one(7); one(6); one(5); one(4); one(3); one(2); one(1); one(0);
}

// A byte under tree bases ctx_a and ctx_b (multiples of 256 below TABLE_CELLS).
template <Form form = Form::selects>
[[gnu::always_inline]] inline void encode_pair_byte(RangeCoder& rc, BitTables& t, std::uint32_t ctx_a,
                                                    std::uint32_t ctx_b, std::uint32_t value,
                                                    std::uint32_t ra, std::uint32_t rb) {
    assert(ctx_a % 256 == 0 && ctx_a < TABLE_CELLS && ctx_b % 256 == 0 && ctx_b < TABLE_CELLS);
    walk_pair_byte(t.table_a + ctx_a, t.table_b + ctx_b, value,
                   [&](Prob& a, Prob& b, std::uint32_t bit) __attribute__((always_inline)) {
                       encode_pair_step<form>(rc, a, b, bit, ra, rb);
                   });
}

// Two sibling cells in one load, the first in the low half: a select step
// then keeps two values live instead of four, and picks one by a shift.
[[gnu::always_inline]] inline std::uint32_t load_siblings(const Prob* first) {
    std::uint32_t both;
    std::memcpy(&both, first, sizeof both);
    if constexpr (std::endian::native == std::endian::big) both = both >> 16 | both << 16;
    return both;
}

// One decision of decode_pair_byte for Form::selects. Both children's
// cells are loaded before the bit is known, so the next split waits only for
// a select and not for a load whose address depends on this bit. The cells
// to adapt are read again after the decision rather than kept from those
// loads: off the chain either way, and fewer values are live across it.
template <bool has_children>
[[gnu::always_inline]] inline void decode_select_step(RangeCoder& rc, Prob* ta, Prob* tb,
                                                      std::uint64_t& node, std::uint32_t& sum,
                                                      const Prob* steps_a, const Prob* steps_b) {
#if defined(__x86_64__) && defined(__GNUC__)
    // The same arithmetic as below, written out: the compiler kept more
    // values live across it than it needs and spilled some of them in every
    // decision. The borrow of code - bound is the bit, as in
    // decode_bit_unpredictable; `sums` holds both children's sums, the
    // first in its low half.
    std::uint32_t s = sum, range = rc.range, code = rc.code;
    std::uint32_t sums = 0, bound, spare, bit;
    if constexpr (has_children) {
        asm("mov (%[ta],%[n],4), %[sums]\n\t"
            "add (%[tb],%[n],4), %[sums]"
            : [sums] "=&r"(sums)
            : [ta] "r"(ta), [tb] "r"(tb), [n] "r"(node)
            : "cc", "memory");
    }
    asm("mov %[range], %[bound]\n\t"
        "shr $12, %[bound]\n\t"
        "imul %[s], %[bound]\n\t"
        "movzwl %w[sums], %[s]\n\t"
        "shr $16, %[sums]\n\t"
        "mov %[code], %[spare]\n\t"
        "sub %[bound], %[range]\n\t"
        "xor %k[bit], %k[bit]\n\t"
        "sub %[bound], %[spare]\n\t"
        "cmovnc %[spare], %[code]\n\t"
        "cmovc %[bound], %[range]\n\t"
        "cmovc %[sums], %[s]\n\t"
        "setc %b[bit]\n\t"
        "movzwl (%[ta],%[n],2), %[spare]\n\t"
        "movzwl (%[tb],%[n],2), %[bound]\n\t"
        "lea (%q[bit],%q[spare],2), %[spare]\n\t"
        "lea (%q[bit],%q[bound],2), %[bound]\n\t"
        "movzwl (%[steps_a],%q[spare],2), %[spare]\n\t"
        "movzwl (%[steps_b],%q[bound],2), %[bound]\n\t"
        "mov %w[spare], (%[ta],%[n],2)\n\t"
        "mov %w[bound], (%[tb],%[n],2)\n\t"
        "lea (%q[bit],%[n],2), %[n]"
        : [s] "+r"(s), [range] "+r"(range), [code] "+r"(code), [sums] "+r"(sums), [n] "+r"(node),
          [bound] "=&r"(bound), [spare] "=&r"(spare), [bit] "=&q"(bit)
        : [ta] "r"(ta), [tb] "r"(tb), [steps_a] "r"(steps_a), [steps_b] "r"(steps_b)
        : "cc", "memory");
    rc.range = range;
    rc.code = code;
    rc.normalise_decoder();
    sum = has_children ? s : 0;
#else
    std::uint32_t sums = 0;
    if constexpr (has_children) sums = load_siblings(ta + 2 * node) + load_siblings(tb + 2 * node);
    const std::uint32_t bound = (rc.range >> 12) * sum;
    sum = sums & 0xFFFF;   // each half below 4096: no carry between them
    const std::uint32_t bit = rc.decode_bit_unpredictable<has_children>(bound, sum, sums >> 16);
    const std::uint32_t pa = ta[node], pb = tb[node];
    ta[node] = steps_a[2 * pa + bit];
    tb[node] = steps_b[2 * pb + bit];
    node = 2 * node + bit;
#endif
}

// `top_bits_known(node)` is called once the byte's two top bits are known,
// with the tree node they lead to (4 to 7), for hints that need them.
struct NoHint {
    void operator()(std::uint32_t) const {}
};

// The cells five levels below a node n are n * 32 to n * 32 + 31: one
// 64-byte line. A byte's first five levels share line 0 of its trees, and
// the rest lie in three lines known after zero, one and two decisions.
// Fetching them then takes the last three levels' reads off the chain of
// decisions, where each waited for its line from the second-level cache
// (the 256 trees of a table do not fit the first).
[[gnu::always_inline]] inline void fetch_deep_cells(const Prob* ta, const Prob* tb, std::uint32_t node) {
    __builtin_prefetch(ta + 32 * node);
    __builtin_prefetch(tb + 32 * node);
}

template <Form form = Form::branches, typename Hint = NoHint>
[[gnu::always_inline]] inline std::uint32_t decode_pair_byte(RangeCoder& rc, BitTables& t, std::uint32_t ctx_a,
                                                             std::uint32_t ctx_b, std::uint32_t ra,
                                                             std::uint32_t rb, Hint top_bits_known = {}) {
    assert(ctx_a % 256 == 0 && ctx_a < TABLE_CELLS && ctx_b % 256 == 0 && ctx_b < TABLE_CELLS);
    Prob* const ta = t.table_a + ctx_a;
    Prob* const tb = t.table_b + ctx_b;
    std::uint32_t node = 1;
    if constexpr (form == Form::selects) {
        std::uint64_t path = 1;   // the node, at the width it indexes with
        std::uint32_t sum = std::uint32_t{ta[1]} + tb[1];
        const Prob* const steps_a = PAIR_STEPS.next[ra][0];
        const Prob* const steps_b = PAIR_STEPS.next[rb][0];
        fetch_deep_cells(ta, tb, node);
        decode_select_step<true>(rc, ta, tb, path, sum, steps_a, steps_b);
        fetch_deep_cells(ta, tb, static_cast<std::uint32_t>(path));
        decode_select_step<true>(rc, ta, tb, path, sum, steps_a, steps_b);
        top_bits_known(static_cast<std::uint32_t>(path));
        fetch_deep_cells(ta, tb, static_cast<std::uint32_t>(path));
        decode_select_step<true>(rc, ta, tb, path, sum, steps_a, steps_b);
        decode_select_step<true>(rc, ta, tb, path, sum, steps_a, steps_b);
        decode_select_step<true>(rc, ta, tb, path, sum, steps_a, steps_b);
        decode_select_step<true>(rc, ta, tb, path, sum, steps_a, steps_b);
        decode_select_step<true>(rc, ta, tb, path, sum, steps_a, steps_b);
        decode_select_step<false>(rc, ta, tb, path, sum, steps_a, steps_b);   // the leaves have no cells
        return static_cast<std::uint32_t>(path) - 256;
    }
    fetch_deep_cells(ta, tb, node);
    node = 2 * node + decode_pair_step(rc, ta[node], tb[node], ra, rb);
    fetch_deep_cells(ta, tb, node);
    node = 2 * node + decode_pair_step(rc, ta[node], tb[node], ra, rb);
    top_bits_known(node);
    fetch_deep_cells(ta, tb, node);
    node = 2 * node + decode_pair_step(rc, ta[node], tb[node], ra, rb);
    node = 2 * node + decode_pair_step(rc, ta[node], tb[node], ra, rb);
    node = 2 * node + decode_pair_step(rc, ta[node], tb[node], ra, rb);
    node = 2 * node + decode_pair_step(rc, ta[node], tb[node], ra, rb);
    node = 2 * node + decode_pair_step(rc, ta[node], tb[node], ra, rb);
    node = 2 * node + decode_pair_step(rc, ta[node], tb[node], ra, rb);
    return node - 256;
}

// Trial tree bases: trial_ctx_a below TRIAL_B_BASE, trial_ctx_b at or above it.
// The rates are given by the caller: the whole-block trial always runs at
// the same pair, and shifts by constants save a fifth of its instructions.
template <Form form = Form::selects>
[[gnu::always_inline]] inline void count_pair_byte(RangeCoder& rc, BitTables& t, std::uint32_t trial_ctx_a,
                                                   std::uint32_t trial_ctx_b, std::uint32_t value,
                                                   std::uint32_t ra, std::uint32_t rb) {
    assert(trial_ctx_a < TRIAL_B_BASE && trial_ctx_b >= TRIAL_B_BASE && trial_ctx_b < TABLE_CELLS);
    walk_pair_byte(t.trial + trial_ctx_a, t.trial + trial_ctx_b, value,
                   [&](Prob& a, Prob& b, std::uint32_t bit) __attribute__((always_inline)) {
                       count_pair_step<form>(rc, a, b, bit, ra, rb);
                   });
}

// A block's rates as compile-time constants, so that a coding loop shifts
// by constants and keeps two registers free.
template <std::uint32_t a_, std::uint32_t b_>
struct FixedRates {
    static constexpr std::uint32_t a = a_, b = b_;
};

// Rates held in variables, for pairs that the compressor never chooses.
struct HeldRates {
    std::uint32_t a, b;
};

// Runs loop(rates) with the given rates: as constants for every pair of
// RATE_BANDS, held in variables for any other. Encoding only: the decoding
// loops measured slower with constant rates (gcc 12, BM_Decode in
// bench/coder_bench.cpp).
template <std::size_t band = 0, typename Loop>
[[gnu::always_inline]] inline void with_block_rates(std::uint32_t ra, std::uint32_t rb, Loop&& loop) {
    if constexpr (band == std::size(RATE_BANDS)) {
        return loop(HeldRates{ra, rb});
    } else {
        constexpr RateBand b = RATE_BANDS[band];
        if (ra == b.rate_a && rb == b.rate_b) return loop(FixedRates<b.rate_a, b.rate_b>{});
        return with_block_rates<band + 1>(ra, rb, loop);
    }
}

// The match flag always adapts at rate_b.
[[gnu::always_inline]] inline void encode_match_flag(RangeCoder& rc, BitTables& t, std::uint32_t match_state,
                                                     std::uint32_t bit, std::uint32_t rb) {
    assert(match_state < TABLE_CELLS);
    Prob& p = t.match_flag[match_state];
    const std::uint32_t pf = p;
    rc.encode_bit((rc.range >> 12) * pf, bit);
    p = adapted(pf, bit, rb, FLAG_SCALE);
}

[[gnu::always_inline]] inline std::uint32_t decode_match_flag(RangeCoder& rc, BitTables& t,
                                                              std::uint32_t match_state, std::uint32_t rb) {
    assert(match_state < TABLE_CELLS);
    Prob& p = t.match_flag[match_state];
    const std::uint32_t pf = p;
    const std::uint32_t bit = rc.decode_bit((rc.range >> 12) * pf);
    p = adapted(pf, bit, rb, FLAG_SCALE);
    return bit;
}

}  // namespace vexa
