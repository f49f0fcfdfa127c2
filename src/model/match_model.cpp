#include "model/match_model.hpp"

#include <algorithm>
#include <cassert>
#include <iterator>

#include "coder/range_coder.hpp"

namespace vexa {

void reset_match_model(MatchModel& m) {
    std::fill(std::begin(m.window), std::end(m.window), std::uint8_t{0});
    std::fill(std::begin(m.positions), std::end(m.positions), 0u);
    m.hash = 0;
    m.hash_multiplier = 0;
    m.multiplier_chosen = false;
    m.write_offset = 0;
    m.lap = 0;
    m.swept_lap = 0;
    reset_match_block(m);
}

std::uint32_t window_byte_of_stale_entry(const std::uint8_t* window, std::uint32_t offset) { return window[offset]; }

// A stale entry keeps its offset and byte and gets the stamp with its offset
// in the 2 MiB that end 4 MiB before now. Once a lap, a pass over 1 MiB
// that vectorises: far below a thousandth of the lap's coding time.
void sweep_stale_entries(MatchModel& m) {
    const std::uint32_t now = current_stamp(m) ^ STAMP_BIAS;   // as entries store it
    const std::uint32_t base = (now - 2 * WINDOW_SIZE) & STAMP_MASK;
    for (std::uint32_t& entry : m.positions) {
        const std::uint32_t age = (now - entry) & STAMP_MASK;
        const std::uint32_t remarked = (base - ((base - entry) & WINDOW_MASK)) & STAMP_MASK;
        entry = age > WINDOW_SIZE ? (entry & ~STAMP_MASK) | remarked : entry;
    }
    m.swept_lap = m.lap;
}

namespace {

// One candidate of the multiplier search, on a 65536-entry table of its own
// at `table` + `slot` * SEARCH_ENTRIES. The multiplier and the slot are
// constants so that the three lanes of a pass fit the registers, with one
// base for their tables.
template <std::uint32_t multiplier_, std::uint32_t slot>
struct SearchLane {
    static constexpr std::uint32_t multiplier = multiplier_;
    std::uint32_t count = 0, h = 0, p = 0;

    // Offset 0 predicts nothing: p = 0 is not below it. The table is all
    // zero then, so the entry it stores (0) and the one it reads (0, the p
    // the lane already has) change nothing.
    [[gnu::always_inline]] void first_step(std::uint32_t x) { h = x; }

    // Offsets l >= 1. p < l here always: a stored offset is at most the l
    // of the step that read it, and a hit moves p on by one from below l.
    // So the check against l, and the 24-bit wrap of p + 1 (p < 2^19), can
    // be left out. Whether a byte was predicted is close to random on most
    // data, so the outcome is a select rather than a branch.
    [[gnu::always_inline]] void step(std::uint32_t* table, const std::uint8_t* block, std::uint32_t l,
                                     std::uint32_t x) {
        assert(p < l);
        table[slot * SEARCH_ENTRIES + h] = l;
        h = (x + h * multiplier) & (SEARCH_ENTRIES - 1);
        const std::uint32_t next = table[slot * SEARCH_ENTRIES + h];
        const std::uint32_t hit = block[p] == x;
        count += hit;
        p = select_on(hit, p + 1, next);
    }

    // Where the block ends in a run of one byte value (the spaces that pad
    // a text block, often a third of it), a lane soon predicts from inside
    // the run. From then on every byte is that value, so every step is a hit
    // that moves p on by one and keeps it inside: the rest of the run adds
    // one per byte, whatever the hash.
    [[gnu::always_inline]] bool settled(std::uint32_t run_start) const { return p >= run_start; }

    // Clears what the lane wrote. A short block wrote few entries, and
    // replaying its hashes clears them without touching (and faulting in)
    // the pages of the whole table.
    void clear(std::uint32_t* table, const std::uint8_t* block, std::uint32_t length) const {
        std::uint32_t hh = 0;
        for (std::uint32_t l = 0; l < length; ++l) {
            table[slot * SEARCH_ENTRIES + hh] = 0;
            hh = (block[l] + hh * multiplier) & (SEARCH_ENTRIES - 1);
        }
    }
};

// Where the stretch of equal bytes that ends the block starts.
std::uint32_t final_run_start(const std::uint8_t* block, std::uint32_t length) {
    if (length == 0) return 0;
    std::uint32_t start = length - 1;
    while (start > 0 && block[start - 1] == block[length - 1]) --start;
    return start;
}

// Scores candidates i * 16, i * 32 and i * 64 in one pass into counts[0..2].
template <std::uint32_t i>
void score_pass(std::uint32_t* table, const std::uint8_t* block, std::uint32_t length, std::uint32_t run_start,
                std::uint32_t* counts) {
    SearchLane<i << 4, 0> a;
    SearchLane<i << 5, 1> b;
    SearchLane<i << 6, 2> c;
    static_assert(MULTIPLIER_CANDIDATES[3 * (i - 4)] == a.multiplier &&
                  MULTIPLIER_CANDIDATES[3 * (i - 4) + 1] == b.multiplier &&
                  MULTIPLIER_CANDIDATES[3 * (i - 4) + 2] == c.multiplier, "the passes go in candidate order");
    if (length > 0) {
        a.first_step(block[0]);
        b.first_step(block[0]);
        c.first_step(block[0]);
    }
    std::uint32_t l = 1;
    const auto steps_to = [&](std::uint32_t end) __attribute__((always_inline)) {
        for (; l < end; ++l) {
            const std::uint32_t x = block[l];
            a.step(table, block, l, x);
            b.step(table, block, l, x);
            c.step(table, block, l, x);
        }
    };
    // Checked every few steps once the final run has begun.
    constexpr std::uint32_t CHECK_EVERY = 16;
    steps_to(std::min(length, run_start + CHECK_EVERY));
    while (l < length && !(a.settled(run_start) && b.settled(run_start) && c.settled(run_start))) {
        steps_to(std::min(length, l + CHECK_EVERY));
    }
    if (l < length) {
        a.count += length - l;
        b.count += length - l;
        c.count += length - l;
    }
    counts[0] = a.count;
    counts[1] = b.count;
    counts[2] = c.count;
    if (length < SEARCH_ENTRIES / 4) {
        a.clear(table, block, length);
        b.clear(table, block, length);
        c.clear(table, block, length);
    } else {
        std::fill(table, table + 3 * SEARCH_ENTRIES, 0u);
    }
}

}  // namespace

// Every candidate is 2^k times 1, 3 or 5, so it decides how many of the last
// bytes the 18-bit hash remembers. The scoring predictor differs from the
// coder's: it adds the byte instead of XOR-ing it, keeps 16 bits, and only
// counts predictions of earlier offsets of this block.
//
// The candidates are scored three at a time in one pass, each on its own
// quarter of the position table: each one's chain (multiply, then a table
// load) is serial, and three independent chains overlap: 13-37 % less time
// on text and machine code, none lost on random data (BM_MultiplierSearch
// in bench/coder_bench.cpp). Scores
// and the choice are those of nine separate passes.
void score_hash_multipliers(MatchModel& m, const std::uint8_t* block, std::uint32_t length,
                            std::uint32_t (&counts)[9]) {
    static_assert(3 * SEARCH_ENTRIES <= POSITION_ENTRIES, "three search tables fit the position table");
    std::uint32_t* const table = m.positions;
    const std::uint32_t run_start = final_run_start(block, length);
    score_pass<4>(table, block, length, run_start, counts);
    score_pass<5>(table, block, length, run_start, counts + 3);
    score_pass<6>(table, block, length, run_start, counts + 6);
}

std::uint32_t choose_hash_multiplier(MatchModel& m, const std::uint8_t* block, std::uint32_t length) {
    std::uint32_t counts[9];
    score_hash_multipliers(m, block, length, counts);
    std::uint32_t best_count = 0, best = 0;
    for (std::uint32_t k = 0; k < 9; ++k) {
        if (counts[k] > best_count) {
            best_count = counts[k];
            best = MULTIPLIER_CANDIDATES[k];
        }
    }
    return best;
}

}  // namespace vexa
