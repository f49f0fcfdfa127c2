// History of the generic path: a 2 MiB ring of every body byte coded so far,
// and a table that maps a hash of the last few bytes to the window offset of
// the byte that followed them last time. It predicts the next byte and picks
// the match-flag cell (`match_state`) under which the prediction is coded.
#pragma once

#include <cstdint>

namespace vexa {

inline constexpr std::uint32_t WINDOW_SIZE = 1u << 21;
inline constexpr std::uint32_t WINDOW_MASK = WINDOW_SIZE - 1;
inline constexpr std::uint32_t POSITION_ENTRIES = 1u << 18;
inline constexpr std::uint32_t HASH_MASK = POSITION_ENTRIES - 1;
inline constexpr std::uint32_t SEARCH_ENTRIES = 1u << 16;   // the multiplier search's share
static_assert(SEARCH_ENTRIES <= POSITION_ENTRIES, "the search borrows the position table");

struct MatchModel {
    std::uint8_t window[WINDOW_SIZE];
    std::uint32_t positions[POSITION_ENTRIES];
    std::uint32_t hash;
    std::uint32_t hash_multiplier;
    bool multiplier_chosen;        // chosen (compressor) or read (decompressor) in the first block
    std::uint32_t write_offset;
    std::uint32_t predicted_offset;
    std::uint32_t match_run;       // consecutive predicted bytes, saturating at 3
    std::uint32_t match_state;     // match-flag cell of the next byte, below 2^17
};
extern MatchModel match_model;

// Empties the whole model, as at the start of a run.
void reset_match_model();

inline void reset_block() {
    match_model.predicted_offset = 0;
    match_model.match_run = 0;
    match_model.match_state = 0;
}

// Offset 0 never predicts, and neither does the slot about to be overwritten:
// a context last seen exactly one window ago.
[[gnu::always_inline]] inline bool predicts(std::uint32_t x) {
    const std::uint32_t off = match_model.predicted_offset;
    return off != 0 && off != match_model.write_offset && match_model.window[off] == x;
}

[[gnu::always_inline]] inline std::uint32_t predicted_byte() {
    return match_model.window[match_model.predicted_offset];
}

// Steps shared by the full and the window-only update: store x, advance the
// hash and follow or look up the next prediction.
[[gnu::always_inline]] inline void update_window(std::uint32_t x, std::uint32_t predicted) {
    MatchModel& m = match_model;
    m.positions[m.hash] = m.write_offset;    // the hash before x: where x itself went
    m.window[m.write_offset] = static_cast<std::uint8_t>(x);
    m.write_offset = (m.write_offset + 1) & WINDOW_MASK;
    m.hash = ((m.hash * m.hash_multiplier) ^ x) & HASH_MASK;
    m.predicted_offset = predicted ? (m.predicted_offset + 1) & WINDOW_MASK : m.positions[m.hash];
}

// Full update of the modelled body: the window steps, then the run and the
// match-flag cell of the next byte.
[[gnu::always_inline]] inline void update(std::uint32_t x, std::uint32_t predicted) {
    update_window(x, predicted);
    MatchModel& m = match_model;
    const std::uint32_t q = m.window[m.predicted_offset];
    if (predicted) {
        m.match_run += m.match_run < 3;
        m.match_state = (((m.match_state * m.hash_multiplier) ^ q) & 0x7FFF) + 32768 * m.match_run;
    } else {
        m.match_run = 0;
        m.match_state = ((x * m.hash_multiplier) ^ q) & 0xFFF;
    }
}

// Scores the nine candidate multipliers on the block with a simplified
// predictor over the block itself and returns the best (0 when none hits).
// Leaves the position table all zero.
std::uint32_t choose_hash_multiplier(const std::uint8_t* block, std::uint32_t length);

}  // namespace vexa
