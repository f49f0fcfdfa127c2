#include "model/byte_model.hpp"

#include <algorithm>
#include <cassert>


namespace vexa {

// Every helper here works on the caller's local copy of the coder (see
// encode_generic_block) and is inlined so that the copy stays in registers.
namespace {

[[gnu::always_inline]] inline void encode_head(RangeCoder& rc, BitTables& t, const std::uint8_t* block,
                                               std::uint32_t length, std::uint32_t ra, std::uint32_t rb) {
    const std::uint32_t head = std::min(length, HEAD_LENGTH);
    for (std::uint32_t i = 0; i < head; ++i) encode_pair_byte(rc, t, 0, 0, block[i], ra, rb);
}

[[gnu::always_inline]] inline void decode_head(RangeCoder& rc, BitTables& t, std::uint8_t* block,
                                               std::uint32_t length, std::uint32_t ra, std::uint32_t rb) {
    const std::uint32_t head = std::min(length, HEAD_LENGTH);
    for (std::uint32_t i = 0; i < head; ++i) block[i] = static_cast<std::uint8_t>(decode_pair_byte(rc, t, 0, 0, ra, rb));
}

// Per-block reset and, once per file, the multiplier. Both sides do these in
// the same order so that the multiplier's two bytes sit before the head.
[[gnu::always_inline]] inline void start_block_encode(RangeCoder& rc, MatchModel& m, const std::uint8_t* block,
                                                      std::uint32_t length) {
    reset_match_block(m);
    if (!m.multiplier_chosen) {
        m.hash_multiplier = choose_hash_multiplier(m, block, length);
        m.multiplier_chosen = true;
        rc.encode_direct_byte(m.hash_multiplier & 0xFF);
        rc.encode_direct_byte(m.hash_multiplier >> 8);
    }
}

[[gnu::always_inline]] inline void start_block_decode(RangeCoder& rc, MatchModel& m) {
    reset_match_block(m);
    if (!m.multiplier_chosen) {
        const std::uint32_t lo = rc.decode_direct_byte();
        m.hash_multiplier = lo + 256 * rc.decode_direct_byte();
        m.multiplier_chosen = true;
    }
}

// The encoder knows the bytes ahead, and the hash depends on nothing else.
// Two more hashes run ahead of the model's: the far one fetches a byte's
// position entry, and the near one, once that entry is in cache, the window
// byte it points to, which was the largest stall of text encoding. Hints
// only: an entry that changes in between costs one useless fetch. The
// distances did best among 8-64 bytes (BM_Encode text_modelled in
// bench/coder_bench.cpp).
struct Lookahead {
    static constexpr std::uint32_t FAR = 32, NEAR = 8;
    const MatchModel& m;
    std::uint32_t far_hash, near_hash;   // the hashes after bytes i + FAR and i + NEAR

    [[gnu::always_inline]] std::uint32_t next(std::uint32_t h, std::uint32_t x) const {
        return ((h * m.hash_multiplier) ^ x) & HASH_MASK;
    }

    Lookahead(const MatchModel& model, const std::uint8_t* block, std::uint32_t length)
        : m(model), far_hash(model.hash), near_hash(model.hash) {
        for (std::uint32_t j = HEAD_LENGTH; j < length && j < HEAD_LENGTH + FAR; ++j) {
            far_hash = next(far_hash, block[j]);
        }
        for (std::uint32_t j = HEAD_LENGTH; j < length && j < HEAD_LENGTH + NEAR; ++j) {
            near_hash = next(near_hash, block[j]);
        }
    }

    // Before byte i is coded.
    [[gnu::always_inline]] void step(const std::uint8_t* block, std::uint32_t length, std::uint32_t i) {
        if (i + FAR < length) {
            far_hash = next(far_hash, block[i + FAR]);
            __builtin_prefetch(&m.positions[far_hash]);
        }
        if (i + NEAR < length) {
            near_hash = next(near_hash, block[i + NEAR]);
            __builtin_prefetch(&m.window[m.positions[near_hash] & WINDOW_MASK]);
        }
    }
};

template <typename Rates>
[[gnu::always_inline]] inline void encode_body(RangeCoder& rc, BitTables& t, MatchModel& m,
                                               const std::uint8_t* block, std::uint32_t length,
                                               std::uint32_t flat, Rates rates) {
    if (flat) {
        // Literals cost eight direct bits; the flag stays on cell 0.
        for (std::uint32_t i = HEAD_LENGTH; i < length; ++i) {
            const std::uint32_t x = block[i];
            const std::uint32_t hit = match_predicts(m, x);
            encode_match_flag(rc, t, 0, hit, rates.b);
            if (!hit) rc.encode_direct_byte(x);
            update_match_window(m, x, hit);
        }
        return;
    }
    std::uint32_t ctx_a = 0, ctx_b = 0;
    Lookahead ahead(m, block, length);
    for (std::uint32_t i = HEAD_LENGTH; i < length; ++i) {
        const std::uint32_t x = block[i];
        ahead.step(block, length, i);
        const std::uint32_t hit = match_predicts(m, x);
        encode_match_flag(rc, t, m.match_state, hit, rates.b);
        if (!hit) encode_pair_byte<Form::selects>(rc, t, ctx_a, ctx_b, x, rates.a, rates.b);
        const std::uint32_t q = update_match_model(m, x, hit);
        const std::uint32_t half = hit * MATCH_HALF;
        ctx_a = half + 256 * q;
        ctx_b = half + 256 * x;
    }
}

// The position entry that the byte being decoded will look up is one of
// 64, in four cache lines, once its top two bits are known. Fetching them
// then overlaps the miss with the other six decisions: a fetch at the high
// nibble left most of the miss on the chain (one line, but two decisions
// later); one after the top bit, eight lines, measured slower again.
struct NextEntryHint {
    const MatchModel& m;
    [[gnu::always_inline]] void operator()(std::uint32_t node) const {
        const std::uint32_t lines = ((m.hash * m.hash_multiplier) & HASH_MASK & ~63u) ^ (node - 4) << 6;
        __builtin_prefetch(&m.positions[lines]);
        __builtin_prefetch(&m.positions[lines + 16]);
        __builtin_prefetch(&m.positions[lines + 32]);
        __builtin_prefetch(&m.positions[lines + 48]);
    }
};

// Literals decode with selects in every block. Branches were faster only in
// the first rate band's blocks, where the tree's decisions are skewed
// enough to predict (kppkn.gtb, a tablebase); with the select step written
// out, selects are 3 % faster there too (in-process decoding, alternating
// builds, medians of nine rounds).
[[gnu::always_inline]] inline void decode_body(RangeCoder& rc, BitTables& t, MatchModel& m,
                                               std::uint8_t* block, std::uint32_t length,
                                               std::uint32_t flat, std::uint32_t ra, std::uint32_t rb) {
    if (flat) {
        // The flag's cell does not depend on the prediction, so a literal's
        // lookup waits until a hit needs it: on near-random data, where hits
        // are rare, the position table's cache misses then mostly vanish.
        // `followed` says whether predicted_offset is up to date.
        std::uint32_t followed = 1;
        for (std::uint32_t i = HEAD_LENGTH; i < length; ++i) {
            const std::uint32_t hit = decode_match_flag(rc, t, 0, rb);
            std::uint32_t x;
            if (hit) {
                if (!followed) m.predicted_offset = m.positions[m.hash] & WINDOW_MASK;
                x = predicted_byte(m);
                m.predicted_offset = (m.predicted_offset + 1) & WINDOW_MASK;
            } else {
                x = rc.decode_direct_byte();
            }
            block[i] = static_cast<std::uint8_t>(x);
            store_match_byte(m, x);
            followed = hit;
        }
        if (!followed) m.predicted_offset = m.positions[m.hash] & WINDOW_MASK;
        return;
    }
    // A run of predicted bytes has a loop of its own, on a cursor: the
    // literals' tree decisions need most registers, and with the two kinds
    // of byte in one loop the model's fields lived in memory for both.
    std::uint32_t ctx_a = 0, ctx_b = 0, q = predicted_byte(m);
    for (std::uint32_t i = HEAD_LENGTH; i < length; ++i) {
        if (decode_match_flag(rc, t, m.match_state, rb)) {
            MatchCursor c(m);
            std::uint32_t x;
            do {
                x = q;
                block[i] = static_cast<std::uint8_t>(x);
                q = update_match_model(c, x, 1);
            } while (++i < length && decode_match_flag(rc, t, c.match_state, rb));
            c.write_back(m);
            ctx_a = MATCH_HALF + 256 * q;
            ctx_b = MATCH_HALF + 256 * x;
            if (i == length) break;
        }
        const std::uint32_t x = decode_pair_byte<Form::selects>(rc, t, ctx_a, ctx_b, ra, rb, NextEntryHint{m});
        block[i] = static_cast<std::uint8_t>(x);
        q = update_match_model(m, x, 0);
        // A lookup takes its byte from the entry; should the bytes after it
        // be hits, they are read from the window, which this fetches.
        __builtin_prefetch(&m.window[m.predicted_offset]);
        ctx_a = 256 * q;
        ctx_b = 256 * x;
    }
}

}  // namespace

// The loops run on a local copy of the coder, written back at the end:
// through a reference, every byte store (IoBuffer, block) might alias the
// coder's fields, and the compiler would reload and store them per decision.
void encode_generic_block(RangeCoder& coder, BitTables& t, MatchModel& m, const std::uint8_t* block,
                          std::uint32_t length, std::uint32_t flat, std::uint32_t ra, std::uint32_t rb) {
    assert(length <= MAX_MODELLED_BLOCK);
    RangeCoder rc = coder;
    start_block_encode(rc, m, block, length);
    encode_head(rc, t, block, length, ra, rb);
    with_block_rates(ra, rb, [&](auto rates) { encode_body(rc, t, m, block, length, flat, rates); });
    coder = rc;
}

void decode_generic_block(RangeCoder& coder, BitTables& t, MatchModel& m, std::uint8_t* block,
                          std::uint32_t length, std::uint32_t flat, std::uint32_t ra, std::uint32_t rb) {
    assert(length <= MAX_MODELLED_BLOCK);
    RangeCoder rc = coder;
    start_block_decode(rc, m);
    decode_head(rc, t, block, length, ra, rb);
    decode_body(rc, t, m, block, length, flat, ra, rb);
    coder = rc;
}

}  // namespace vexa
