// Adaptive probabilities and the three ways of coding under them: the paired
// byte tree (two cells from two context-indexed tables, summed), the match
// flag (one cell), and the trial pass, which runs the paired tree over a
// scratch copy of the tables and only counts the bytes it would emit.
#pragma once

#include <cassert>
#include <cstdint>

#include "coder/range_coder.hpp"

namespace vexa {

using Prob = std::uint16_t;                                // probability of a 1

inline constexpr std::uint32_t TABLE_CELLS = 131072;       // 512 byte trees of 256 cells
inline constexpr std::uint32_t PAIR_SCALE = 2048;          // two pair cells sum to at most 4096
inline constexpr std::uint32_t FLAG_SCALE = 4096;
inline constexpr std::uint32_t TRIAL_B_BASE = 65536;       // trial cells copied from table B
inline constexpr std::uint32_t TRIAL_PIECE = 4096;         // bytes between choices of loop
inline constexpr std::uint32_t UNPREDICTABLE_RATE_A = 5;  // blocks at or above it code with selects
static_assert((TABLE_CELLS & (TABLE_CELLS - 1)) == 0, "indexes are masked to the table size");
static_assert(2 * PAIR_SCALE == FLAG_SCALE, "a pair and a flag cell share the coder's 12-bit split");
static_assert(2 * TRIAL_B_BASE == TABLE_CELLS, "the trial table is two copied halves");

struct BitTables {
    Prob table_a[TABLE_CELLS];
    Prob table_b[TABLE_CELLS];
    Prob match_flag[TABLE_CELLS];
    Prob trial[TABLE_CELLS];
    std::uint8_t rate_a;    // adapts table A cells
    std::uint8_t rate_b;    // adapts table B and match-flag cells
};
extern BitTables bit_tables;

// Tables A and B to one half of 2048, match flags to one half of 4096.
void init_tables();

// Copies the lower halves of tables A and B into the trial table and resets
// the trial counters of `rc`; nothing else of `rc` is touched.
void start_trial(RangeCoder& rc);

// One adaptation: the cell moves 1/2^rate of the way towards the scale after
// a 1 and towards 0 after a 0. With a rate of 1 or more a cell never reaches
// 0 or its scale, so every bound lies strictly inside the range.
[[gnu::always_inline]] inline Prob adapted(std::uint32_t p, std::uint32_t bit, std::uint32_t rate,
                                           std::uint32_t scale) {
    const std::uint32_t up = p + ((scale - p) >> rate);
    const std::uint32_t down = p - (p >> rate);
    return static_cast<Prob>(bit ? up : down);
}

// adapted() as a select, for Bits::unpredictable.
[[gnu::always_inline]] inline Prob adapted_select(std::uint32_t p, std::uint32_t bit, std::uint32_t rate,
                                                  std::uint32_t scale) {
    return static_cast<Prob>(select_on(bit, p + ((scale - p) >> rate), p - (p >> rate)));
}

template <Bits kind>
[[gnu::always_inline]] inline Prob adapted(std::uint32_t p, std::uint32_t bit, std::uint32_t rate,
                                           std::uint32_t scale) {
    if constexpr (kind == Bits::unpredictable) return adapted_select(p, bit, rate, scale);
    return adapted(p, bit, rate, scale);
}

// The rates are passed in so that a byte loads them once, and both cells are
// read before either is written: the two may alias as far as the compiler
// knows, and it would reload the second after storing the first.
template <Bits kind = Bits::predictable>
[[gnu::always_inline]] inline void encode_pair_step(RangeCoder& rc, Prob& a, Prob& b,
                                                    std::uint32_t bit, std::uint32_t ra,
                                                    std::uint32_t rb) {
    const std::uint32_t pa = a, pb = b;
    rc.encode_bit<kind>((rc.range >> 12) * (pa + pb), bit);
    a = adapted<kind>(pa, bit, ra, PAIR_SCALE);
    b = adapted<kind>(pb, bit, rb, PAIR_SCALE);
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
// end and no output; each renormalising shift counts one emitted byte.
// The renormalisation stays a loop in both kinds: a count of leading zeros
// measured 10-20 % slower, since a predicted branch lets the next decision
// start before this one's range is known.
template <Bits kind = Bits::predictable>
[[gnu::always_inline]] inline void count_pair_step(RangeCoder& rc, Prob& a, Prob& b,
                                                   std::uint32_t bit, std::uint32_t ra,
                                                   std::uint32_t rb) {
    const std::uint32_t pa = a, pb = b;
    const std::uint32_t bound = (rc.trial_range >> 12) * (pa + pb);
    if constexpr (kind == Bits::unpredictable) {
        rc.trial_range = select_on(bit, bound, rc.trial_range - bound);
    } else {
        rc.trial_range = bit ? bound : rc.trial_range - bound;
    }
    while (rc.trial_range < RANGE_TOP) {
        rc.trial_range <<= 8;
        ++rc.trial_count;
    }
    a = adapted<kind>(pa, bit, ra, PAIR_SCALE);
    b = adapted<kind>(pb, bit, rb, PAIR_SCALE);
}

// A byte, most significant bit first, under tree bases ctx_a and ctx_b
// (multiples of 256 below TABLE_CELLS).
template <Bits kind = Bits::predictable>
[[gnu::always_inline]] inline void encode_pair_byte(RangeCoder& rc, std::uint32_t ctx_a,
                                                    std::uint32_t ctx_b, std::uint32_t value,
                                                    std::uint32_t ra, std::uint32_t rb) {
    assert(ctx_a % 256 == 0 && ctx_a < TABLE_CELLS && ctx_b % 256 == 0 && ctx_b < TABLE_CELLS);
    Prob* const ta = bit_tables.table_a + ctx_a;
    Prob* const tb = bit_tables.table_b + ctx_b;
    std::uint32_t node = 1, bit;
    bit = (value >> 7) & 1; encode_pair_step<kind>(rc, ta[node], tb[node], bit, ra, rb); node = 2 * node + bit;
    bit = (value >> 6) & 1; encode_pair_step<kind>(rc, ta[node], tb[node], bit, ra, rb); node = 2 * node + bit;
    bit = (value >> 5) & 1; encode_pair_step<kind>(rc, ta[node], tb[node], bit, ra, rb); node = 2 * node + bit;
    bit = (value >> 4) & 1; encode_pair_step<kind>(rc, ta[node], tb[node], bit, ra, rb); node = 2 * node + bit;
    bit = (value >> 3) & 1; encode_pair_step<kind>(rc, ta[node], tb[node], bit, ra, rb); node = 2 * node + bit;
    bit = (value >> 2) & 1; encode_pair_step<kind>(rc, ta[node], tb[node], bit, ra, rb); node = 2 * node + bit;
    bit = (value >> 1) & 1; encode_pair_step<kind>(rc, ta[node], tb[node], bit, ra, rb); node = 2 * node + bit;
    bit = value & 1;        encode_pair_step<kind>(rc, ta[node], tb[node], bit, ra, rb);
    assert(2 * node + bit == 256 + (value & 0xFF));
}

// Under the current rates.
template <Bits kind = Bits::predictable>
[[gnu::always_inline]] inline void encode_pair_byte(RangeCoder& rc, std::uint32_t ctx_a,
                                                    std::uint32_t ctx_b, std::uint32_t value) {
    encode_pair_byte<kind>(rc, ctx_a, ctx_b, value, bit_tables.rate_a, bit_tables.rate_b);
}

// One decision of decode_pair_byte for Bits::unpredictable. Both children's
// cells are loaded before the bit is known, so the next split waits only for
// a select and not for a load whose address depends on this bit.
template <bool has_children>
[[gnu::always_inline]] inline void decode_select_step(RangeCoder& rc, Prob* ta, Prob* tb,
                                                      std::uint32_t& node, std::uint32_t& pa,
                                                      std::uint32_t& pb, std::uint32_t ra,
                                                      std::uint32_t rb) {
    std::uint32_t a0 = 0, a1 = 0, b0 = 0, b1 = 0;
    if constexpr (has_children) {
        a0 = ta[2 * node];
        a1 = ta[2 * node + 1];
        b0 = tb[2 * node];
        b1 = tb[2 * node + 1];
    }
    const std::uint32_t bit = rc.decode_bit_unpredictable((rc.range >> 12) * (pa + pb));
    ta[node] = adapted_select(pa, bit, ra, PAIR_SCALE);
    tb[node] = adapted_select(pb, bit, rb, PAIR_SCALE);
    node = 2 * node + bit;
    pa = select_on(bit, a1, a0);
    pb = select_on(bit, b1, b0);
}

template <Bits kind = Bits::predictable>
[[gnu::always_inline]] inline std::uint32_t decode_pair_byte(RangeCoder& rc, std::uint32_t ctx_a,
                                                             std::uint32_t ctx_b) {
    assert(ctx_a % 256 == 0 && ctx_a < TABLE_CELLS && ctx_b % 256 == 0 && ctx_b < TABLE_CELLS);
    Prob* const ta = bit_tables.table_a + ctx_a;
    Prob* const tb = bit_tables.table_b + ctx_b;
    const std::uint32_t ra = bit_tables.rate_a, rb = bit_tables.rate_b;
    std::uint32_t node = 1;
    if constexpr (kind == Bits::unpredictable) {
        std::uint32_t pa = ta[1], pb = tb[1];
        decode_select_step<true>(rc, ta, tb, node, pa, pb, ra, rb);
        decode_select_step<true>(rc, ta, tb, node, pa, pb, ra, rb);
        decode_select_step<true>(rc, ta, tb, node, pa, pb, ra, rb);
        decode_select_step<true>(rc, ta, tb, node, pa, pb, ra, rb);
        decode_select_step<true>(rc, ta, tb, node, pa, pb, ra, rb);
        decode_select_step<true>(rc, ta, tb, node, pa, pb, ra, rb);
        decode_select_step<true>(rc, ta, tb, node, pa, pb, ra, rb);
        decode_select_step<false>(rc, ta, tb, node, pa, pb, ra, rb);   // the leaves have no cells
        return node - 256;
    }
    node = 2 * node + decode_pair_step(rc, ta[node], tb[node], ra, rb);
    node = 2 * node + decode_pair_step(rc, ta[node], tb[node], ra, rb);
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
template <Bits kind = Bits::predictable>
[[gnu::always_inline]] inline void count_pair_byte(RangeCoder& rc, std::uint32_t trial_ctx_a,
                                                   std::uint32_t trial_ctx_b, std::uint32_t value,
                                                   std::uint32_t ra, std::uint32_t rb) {
    assert(trial_ctx_a < TRIAL_B_BASE && trial_ctx_b >= TRIAL_B_BASE && trial_ctx_b < TABLE_CELLS);
    Prob* const ta = bit_tables.trial + trial_ctx_a;
    Prob* const tb = bit_tables.trial + trial_ctx_b;
    std::uint32_t node = 1, bit;
    bit = (value >> 7) & 1; count_pair_step<kind>(rc, ta[node], tb[node], bit, ra, rb); node = 2 * node + bit;
    bit = (value >> 6) & 1; count_pair_step<kind>(rc, ta[node], tb[node], bit, ra, rb); node = 2 * node + bit;
    bit = (value >> 5) & 1; count_pair_step<kind>(rc, ta[node], tb[node], bit, ra, rb); node = 2 * node + bit;
    bit = (value >> 4) & 1; count_pair_step<kind>(rc, ta[node], tb[node], bit, ra, rb); node = 2 * node + bit;
    bit = (value >> 3) & 1; count_pair_step<kind>(rc, ta[node], tb[node], bit, ra, rb); node = 2 * node + bit;
    bit = (value >> 2) & 1; count_pair_step<kind>(rc, ta[node], tb[node], bit, ra, rb); node = 2 * node + bit;
    bit = (value >> 1) & 1; count_pair_step<kind>(rc, ta[node], tb[node], bit, ra, rb); node = 2 * node + bit;
    bit = value & 1;        count_pair_step<kind>(rc, ta[node], tb[node], bit, ra, rb);
}

// Whether decisions that compressed `length` bytes into `coded` bytes are
// close enough to random for selects to beat branches (measured break-even:
// about 0.7 coded bytes per byte).
inline bool looks_unpredictable(std::uint32_t coded, std::uint32_t length) {
    return 10 * std::uint64_t{coded} > 7 * std::uint64_t{length};
}

// The same judgement from a block's rates, which its trial count chose: rate
// 5 and up means more than 0.8 coded bytes per byte. Media blocks below it
// lost a little with selects, near-random ones gain 10-40 %.
inline bool rates_look_unpredictable() { return bit_tables.rate_a >= UNPREDICTABLE_RATE_A; }

// A block's rates as compile-time constants, so that a coding loop shifts
// by constants and keeps two registers free.
template <Bits kind_, std::uint32_t a_, std::uint32_t b_>
struct FixedRates {
    static constexpr Bits kind = kind_;
    static constexpr std::uint32_t a = a_, b = b_;
};

// Rates held in variables, for pairs that the compressor never chooses.
template <Bits kind_>
struct HeldRates {
    static constexpr Bits kind = kind_;
    std::uint32_t a, b;
};

// Runs loop(rates) with the current rates: as constants for the eight pairs
// that the rate table gives, held in variables for any other. Encoding only:
// the decoding loops measured slower with constant rates (gcc 12), so they
// choose just the kind of loop.
template <typename Loop>
[[gnu::always_inline]] inline void with_block_rates(Loop&& loop) {
    constexpr Bits skewed = Bits::predictable, even = Bits::unpredictable;
    static_assert(UNPREDICTABLE_RATE_A == 5, "the pairs below change kind at rate_a 5");
    const std::uint32_t ra = bit_tables.rate_a, rb = bit_tables.rate_b;
    switch (8 * ra + rb) {
        case 8 * 3 + 2: return loop(FixedRates<skewed, 3, 2>{});
        case 8 * 3 + 3: return loop(FixedRates<skewed, 3, 3>{});
        case 8 * 4 + 3: return loop(FixedRates<skewed, 4, 3>{});
        case 8 * 4 + 4: return loop(FixedRates<skewed, 4, 4>{});
        case 8 * 5 + 4: return loop(FixedRates<even, 5, 4>{});
        case 8 * 5 + 5: return loop(FixedRates<even, 5, 5>{});
        case 8 * 6 + 5: return loop(FixedRates<even, 6, 5>{});
        case 8 * 6 + 6: return loop(FixedRates<even, 6, 6>{});
        default:
            if (rates_look_unpredictable()) return loop(HeldRates<even>{ra, rb});
            return loop(HeldRates<skewed>{ra, rb});
    }
}

// Under the current rates.
[[gnu::always_inline]] inline void count_pair_byte(RangeCoder& rc, std::uint32_t trial_ctx_a,
                                                   std::uint32_t trial_ctx_b, std::uint32_t value) {
    count_pair_byte(rc, trial_ctx_a, trial_ctx_b, value, bit_tables.rate_a, bit_tables.rate_b);
}

// The match flag always adapts at rate_b.
[[gnu::always_inline]] inline void encode_match_flag(RangeCoder& rc, std::uint32_t match_state,
                                                     std::uint32_t bit, std::uint32_t rb) {
    assert(match_state < TABLE_CELLS);
    Prob& p = bit_tables.match_flag[match_state];
    const std::uint32_t pf = p;
    rc.encode_bit((rc.range >> 12) * pf, bit);
    p = adapted(pf, bit, rb, FLAG_SCALE);
}

[[gnu::always_inline]] inline void encode_match_flag(RangeCoder& rc, std::uint32_t match_state,
                                                     std::uint32_t bit) {
    encode_match_flag(rc, match_state, bit, bit_tables.rate_b);
}

[[gnu::always_inline]] inline std::uint32_t decode_match_flag(RangeCoder& rc,
                                                              std::uint32_t match_state) {
    assert(match_state < TABLE_CELLS);
    Prob& p = bit_tables.match_flag[match_state];
    const std::uint32_t pf = p;
    const std::uint32_t bit = rc.decode_bit((rc.range >> 12) * pf);
    p = adapted(pf, bit, bit_tables.rate_b, FLAG_SCALE);
    return bit;
}

}  // namespace vexa
