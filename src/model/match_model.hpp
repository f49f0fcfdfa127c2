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
    std::uint32_t lap;             // laps of the window completed, times WINDOW_SIZE, modulo 2^24
    std::uint32_t swept_lap;       // `lap` when the position table was last swept for stale entries
    std::uint32_t predicted_offset;
    std::uint32_t match_run;       // consecutive predicted bytes, saturating at 3
    std::uint32_t match_state;     // match-flag cell of the next byte, below 2^17
};

// Empties the whole model, as at the start of a run.
void reset_match_model(MatchModel& m);

// Remarks every entry older than the window as stale, 4-6 MiB old.
void sweep_stale_entries(MatchModel& m);

// At every block start. An entry's age is read modulo 2^24, so the position
// table is swept once a lap: with blocks of at most MAX_MODELLED_BLOCK bytes,
// no entry then ages by more than 2^21 + 2^22 bytes between two sweeps, and a
// stale entry, remarked as 4-6 MiB old, never reads as fresh again.
inline constexpr std::uint32_t MAX_MODELLED_BLOCK = 1u << 22;

inline void reset_match_block(MatchModel& m) {
    m.predicted_offset = 0;
    m.match_run = 0;
    m.match_state = 0;
    if (m.lap != m.swept_lap) sweep_stale_entries(m);
}

// The running fields of a model, copied out for a stretch of coding and
// written back after it, so that they can stay in registers: in the model
// itself, any byte stored to the block might be one of them as far as the
// compiler knows, and it loads and stores them again for every byte. The
// functions below take either.
struct MatchCursor {
    std::uint32_t* positions;
    std::uint8_t* window;
    std::uint32_t hash;
    std::uint32_t hash_multiplier;
    std::uint32_t write_offset;
    std::uint32_t lap;
    std::uint32_t predicted_offset;
    std::uint32_t match_run;
    std::uint32_t match_state;

    explicit MatchCursor(MatchModel& m)
        : positions(m.positions), window(m.window), hash(m.hash), hash_multiplier(m.hash_multiplier),
          write_offset(m.write_offset), lap(m.lap), predicted_offset(m.predicted_offset),
          match_run(m.match_run), match_state(m.match_state) {}

    void write_back(MatchModel& m) const {
        m.hash = hash;
        m.write_offset = write_offset;
        m.lap = lap;
        m.predicted_offset = predicted_offset;
        m.match_run = match_run;
        m.match_state = match_state;
    }
};

// Offset 0 never predicts, and neither does the slot about to be overwritten:
// a context last seen exactly one window ago.
template <typename Model>
[[gnu::always_inline]] inline bool match_predicts(const Model& m, std::uint32_t x) {
    const std::uint32_t off = m.predicted_offset;
    return off != 0 && off != m.write_offset && m.window[off] == x;
}

template <typename Model>
[[gnu::always_inline]] inline std::uint32_t predicted_byte(const Model& m) {
    return m.window[m.predicted_offset];
}

// A position entry holds, in its low 24 bits, a stamp: where the byte it
// points to was stored, counted from the start of the run, modulo 2^24; the
// window offset is the stamp's low 21 bits. Its top byte is the byte then
// stored there. A lookup goes on with the byte from the entry and need not
// read the window at all, as long as the window has not come round to that
// offset again since: the entry is fresh when its age, the bytes stored
// since, is at most WINDOW_SIZE. Otherwise the window's byte is the one that
// counts. Ages are exact only below 2^24; sweep_stale_entries keeps every
// older entry marked as stale (see reset_match_block).
inline constexpr std::uint32_t ENTRY_BYTE_SHIFT = 24;
inline constexpr std::uint32_t STAMP_MASK = (1u << ENTRY_BYTE_SHIFT) - 1;
// Stamps are stored with their top bit flipped, which adds 2^23 modulo 2^24:
// an entry never written (0) then reads as 8 MiB old, stale like any other
// until the first sweep, with no initial value to set in a zeroed model.
inline constexpr std::uint32_t STAMP_BIAS = 1u << 23;
static_assert(WINDOW_MASK < STAMP_BIAS, "offsets fit below the stamp's lap bits");

// The stamp of the next byte to be stored.
template <typename Model>
[[gnu::always_inline]] inline std::uint32_t current_stamp(const Model& m) {
    return m.lap | m.write_offset;
}

[[gnu::always_inline]] inline std::uint32_t make_entry(std::uint32_t stamp, std::uint32_t x) {
    return (stamp ^ STAMP_BIAS) | x << ENTRY_BYTE_SHIFT;
}

// Whether the window may have been overwritten at the entry's offset since
// the entry was written: the byte stored at stamp s is overwritten by the one
// stored at s + WINDOW_SIZE, so with the stamp of the next byte s + age, an
// age of WINDOW_SIZE still has it.
template <typename Model>
[[gnu::always_inline]] inline bool entry_is_stale(const Model& m, std::uint32_t entry) {
    const std::uint32_t age = ((current_stamp(m) ^ STAMP_BIAS) - entry) & STAMP_MASK;
    return age > WINDOW_SIZE;
}

// Out of line: taken after the window has wrapped over the offset.
[[gnu::noinline, gnu::cold]] std::uint32_t window_byte_of_stale_entry(const std::uint8_t* window, std::uint32_t offset);

// Whatever an entry's age, the window's byte at its offset is the one that
// counts; the entry's own byte only saves reading it while fresh. An entry
// is 0 when never written, and when written with byte 0 at a stamp of 2^23:
// both point at offset 0, so a 0 takes the window's first byte by a select.
// On binary data most lookups find unwritten entries, and a branch on their
// staleness went either way; this one is only taken for entries that the
// window has come round to, which files under 2 MiB never have.
template <typename Model>
[[gnu::always_inline]] inline std::uint32_t recalled_byte(const Model& m, std::uint32_t entry) {
    const std::uint32_t written = entry != 0;
    std::uint32_t stale_written = written & static_cast<std::uint32_t>(entry_is_stale(m, entry));
#if defined(__GNUC__)
    asm("" : "+r"(stale_written));   // else the compiler branches on each test in turn
#endif
    if (__builtin_expect(stale_written, 0)) {
        return window_byte_of_stale_entry(m.window, entry & WINDOW_MASK);
    }
    return select_on(written, entry >> ENTRY_BYTE_SHIFT, m.window[0]);
}

// Stores x and advances the hash, leaving the next prediction to the caller.
template <typename Model>
[[gnu::always_inline]] inline void store_match_byte(Model& m, std::uint32_t x) {
    m.positions[m.hash] = make_entry(current_stamp(m), x);   // the hash before x: where x itself went
    m.window[m.write_offset] = static_cast<std::uint8_t>(x);
    m.write_offset = (m.write_offset + 1) & WINDOW_MASK;
    if (__builtin_expect(m.write_offset == 0, 0)) m.lap = (m.lap + WINDOW_SIZE) & STAMP_MASK;
    m.hash = ((m.hash * m.hash_multiplier) ^ x) & HASH_MASK;
}

// Steps shared by the full and the window-only update: store x, advance the
// hash and follow or look up the next prediction. Returns the entry looked
// up, or 0 when the prediction was followed.
template <typename Model>
[[gnu::always_inline]] inline std::uint32_t update_match_window(Model& m, std::uint32_t x,
                                                                std::uint32_t predicted) {
    store_match_byte(m, x);
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
template <typename Model>
[[gnu::always_inline]] inline std::uint32_t update_match_model(Model& m, std::uint32_t x,
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
