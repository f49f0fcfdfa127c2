// History of the generic path: a 2 MiB ring of every body byte coded so far,
// and a table that maps a hash of the last few bytes to the window offset of
// the byte that followed them last time. It predicts the next byte and picks
// the match-flag cell (`match_state`) under which the prediction is coded.
#pragma once

#include <cstdint>

#include "coder/range_coder.hpp"

namespace vexa {

inline constexpr std::uint32_t WINDOW_SIZE = 1u << 21;
inline constexpr std::uint32_t WINDOW_MASK = WINDOW_SIZE - 1;
inline constexpr std::uint32_t POSITION_ENTRIES = 1u << 18;
inline constexpr std::uint32_t HASH_MASK = POSITION_ENTRIES - 1;
inline constexpr std::uint32_t SEARCH_ENTRIES = 1u << 16;   // the multiplier search's share
static_assert(SEARCH_ENTRIES <= POSITION_ENTRIES, "the search borrows the position table");

// The position table comes first and the window starts 1 MiB later, so that
// a context can put the table on one large page with the bit tables and the
// window on a large page of its own.
struct MatchModel {
    std::uint32_t positions[POSITION_ENTRIES];   // 16 entries to a cache line
    std::uint8_t window[WINDOW_SIZE];
    std::uint32_t hash;
    std::uint32_t hash_multiplier;
    bool multiplier_chosen;        // chosen (compressor) or read (decompressor) in the first block
    std::uint32_t write_offset;
    std::uint32_t predicted_offset;
    std::uint32_t match_run;       // consecutive predicted bytes, saturating at 3
    std::uint32_t match_state;     // match-flag cell of the next byte, below 2^17
};

// Empties the whole model, as at the start of a run.
void reset_match_model(MatchModel& m);

inline void reset_match_block(MatchModel& m) {
    m.predicted_offset = 0;
    m.match_run = 0;
    m.match_state = 0;
}

// Offset 0 never predicts, and neither does the slot about to be overwritten:
// a context last seen exactly one window ago.
[[gnu::always_inline]] inline bool match_predicts(const MatchModel& m, std::uint32_t x) {
    const std::uint32_t off = m.predicted_offset;
    return off != 0 && off != m.write_offset && m.window[off] == x;
}

[[gnu::always_inline]] inline std::uint32_t predicted_byte(const MatchModel& m) {
    return m.window[m.predicted_offset];
}

// A position entry holds the window offset in its low bits and, in its top
// byte, the byte then stored there. A lookup can then go on with the byte
// from the entry instead of waiting for a second cache miss in the window;
// the window read only confirms it, off the critical path. The two differ
// only once the window has wrapped over the offset, and then the window's
// byte is the one that counts.
inline constexpr std::uint32_t ENTRY_BYTE_SHIFT = 24;
static_assert(WINDOW_MASK < (1u << ENTRY_BYTE_SHIFT), "offsets fit below the byte");

[[gnu::always_inline]] inline std::uint32_t make_entry(std::uint32_t offset, std::uint32_t x) {
    return offset | x << ENTRY_BYTE_SHIFT;
}

// Out of line: taken only after the window has wrapped.
[[gnu::noinline, gnu::cold]] std::uint32_t window_byte_after_wrap(const MatchModel& m, std::uint32_t offset);

[[gnu::always_inline]] inline std::uint32_t recalled_byte(const MatchModel& m, std::uint32_t entry) {
    const std::uint32_t offset = entry & WINDOW_MASK;
    // An entry never written points at offset 0 without its byte; the read
    // of that one fixed byte does not wait for the entry.
    const std::uint32_t recalled = select_on(entry != 0, entry >> ENTRY_BYTE_SHIFT, m.window[0]);
    std::uint32_t differs = m.window[offset] ^ recalled;
#if defined(__GNUC__)
    // Hides that the two are equal when `differs` is 0; knowing it, the
    // compiler would go on with the window's copy and wait for its read.
    asm("" : "+r"(differs));
#endif
    if (__builtin_expect(differs != 0, 0)) return window_byte_after_wrap(m, offset);
    return recalled;
}

// Steps shared by the full and the window-only update: store x, advance the
// hash and follow or look up the next prediction. Returns the entry looked
// up, or 0 when the prediction was followed.
[[gnu::always_inline]] inline std::uint32_t update_match_window(MatchModel& m, std::uint32_t x,
                                                                std::uint32_t predicted) {
    m.positions[m.hash] = make_entry(m.write_offset, x);   // the hash before x: where x itself went
    m.window[m.write_offset] = static_cast<std::uint8_t>(x);
    m.write_offset = (m.write_offset + 1) & WINDOW_MASK;
    m.hash = ((m.hash * m.hash_multiplier) ^ x) & HASH_MASK;
    if (predicted) {
        m.predicted_offset = (m.predicted_offset + 1) & WINDOW_MASK;
        return 0;
    }
    const std::uint32_t entry = m.positions[m.hash];
    m.predicted_offset = entry & WINDOW_MASK;
    return entry;
}

// Full update of the modelled body: the window steps, then the run and the
// match-flag cell of the next byte. Returns the byte now predicted.
[[gnu::always_inline]] inline std::uint32_t update_match_model(MatchModel& m, std::uint32_t x,
                                                               std::uint32_t predicted) {
    const std::uint32_t entry = update_match_window(m, x, predicted);
    if (predicted) {
        const std::uint32_t q = m.window[m.predicted_offset];
        m.match_run += m.match_run < 3;
        m.match_state = (((m.match_state * m.hash_multiplier) ^ q) & 0x7FFF) + 32768 * m.match_run;
        return q;
    }
    const std::uint32_t q = recalled_byte(m, entry);
    m.match_run = 0;
    m.match_state = ((x * m.hash_multiplier) ^ q) & 0xFFF;
    return q;
}

// The candidate multipliers, in the order in which the search tries them;
// ties go to the earlier.
inline constexpr std::uint32_t MULTIPLIER_CANDIDATES[9] = {64, 128, 256, 80, 160, 320, 96, 192, 384};

// Scores every candidate on the block with a simplified predictor over the
// block itself: counts[k] is the number of bytes that MULTIPLIER_CANDIDATES[k]
// predicts. Leaves the position table all zero.
void score_hash_multipliers(MatchModel& m, const std::uint8_t* block, std::uint32_t length,
                            std::uint32_t (&counts)[9]);

// The best-scoring candidate (0 when none hits). Leaves the position table
// all zero.
std::uint32_t choose_hash_multiplier(MatchModel& m, const std::uint8_t* block, std::uint32_t length);

}  // namespace vexa
