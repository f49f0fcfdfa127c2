#include "model/byte_model.hpp"

#include <algorithm>

#include "coder/bit_models.hpp"
#include "model/match_model.hpp"

namespace vexa {

// Every helper here works on the caller's local copy of the coder (see
// encode_generic_block) and is inlined so that the copy stays in registers.
namespace {

[[gnu::always_inline]] inline void encode_head(RangeCoder& rc, const std::uint8_t* block,
                                               std::uint32_t length) {
    const std::uint32_t head = std::min(length, HEAD_LENGTH);
    for (std::uint32_t i = 0; i < head; ++i) encode_pair_byte(rc, 0, 0, block[i]);
}

[[gnu::always_inline]] inline void decode_head(RangeCoder& rc, std::uint8_t* block,
                                               std::uint32_t length) {
    const std::uint32_t head = std::min(length, HEAD_LENGTH);
    for (std::uint32_t i = 0; i < head; ++i) block[i] = static_cast<std::uint8_t>(decode_pair_byte(rc, 0, 0));
}

// Per-block reset and, once per file, the multiplier. Both sides do these in
// the same order so that the multiplier's two bytes sit before the head.
[[gnu::always_inline]] inline void start_block_encode(RangeCoder& rc, const std::uint8_t* block,
                                                      std::uint32_t length) {
    reset_block();
    if (!match_model.multiplier_chosen) {
        match_model.hash_multiplier = choose_hash_multiplier(block, length);
        match_model.multiplier_chosen = true;
        rc.encode_direct_byte(match_model.hash_multiplier & 0xFF);
        rc.encode_direct_byte(match_model.hash_multiplier >> 8);
    }
}

[[gnu::always_inline]] inline void start_block_decode(RangeCoder& rc) {
    reset_block();
    if (!match_model.multiplier_chosen) {
        const std::uint32_t lo = rc.decode_direct_byte();
        match_model.hash_multiplier = lo + 256 * rc.decode_direct_byte();
        match_model.multiplier_chosen = true;
    }
}

// The encoder knows the bytes ahead, and the hash depends on nothing else.
// Two more hashes run ahead of the model's: the far one fetches a byte's
// position entry, and the near one, once that entry is in cache, the window
// byte it points to, which was the largest stall of text encoding. Hints
// only: an entry that changes in between costs one useless fetch. The
// distances measured best among 8-64 bytes.
struct Lookahead {
    static constexpr std::uint32_t FAR = 32, NEAR = 8;
    std::uint32_t far_hash, near_hash;   // the hashes after bytes i + FAR and i + NEAR

    [[gnu::always_inline]] static std::uint32_t next(std::uint32_t h, std::uint32_t x) {
        return ((h * match_model.hash_multiplier) ^ x) & HASH_MASK;
    }

    Lookahead(const std::uint8_t* block, std::uint32_t length)
        : far_hash(match_model.hash), near_hash(match_model.hash) {
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
            __builtin_prefetch(&match_model.positions[far_hash]);
        }
        if (i + NEAR < length) {
            near_hash = next(near_hash, block[i + NEAR]);
            __builtin_prefetch(&match_model.window[match_model.positions[near_hash] & WINDOW_MASK]);
        }
    }
};

template <typename Rates>
[[gnu::always_inline]] inline void encode_body(RangeCoder& rc, const std::uint8_t* block,
                                               std::uint32_t length, std::uint32_t flat, Rates rates) {
    if (flat) {
        // Literals cost eight direct bits; the flag stays on cell 0.
        for (std::uint32_t i = HEAD_LENGTH; i < length; ++i) {
            const std::uint32_t x = block[i];
            const std::uint32_t hit = predicts(x);
            encode_match_flag(rc, 0, hit, rates.b);
            if (!hit) rc.encode_direct_byte(x);
            update_window(x, hit);
        }
        return;
    }
    std::uint32_t ctx_a = 0, ctx_b = 0;
    Lookahead ahead(block, length);
    for (std::uint32_t i = HEAD_LENGTH; i < length; ++i) {
        const std::uint32_t x = block[i];
        ahead.step(block, length, i);
        const std::uint32_t hit = predicts(x);
        encode_match_flag(rc, match_model.match_state, hit, rates.b);
        if (!hit) encode_pair_byte<Form::selects>(rc, ctx_a, ctx_b, x, rates.a, rates.b);
        const std::uint32_t q = update(x, hit);
        const std::uint32_t half = hit * MATCH_HALF;
        ctx_a = half + 256 * q;
        ctx_b = half + 256 * x;
    }
}

// The position entry that the byte being decoded will look up has 16
// candidates once its high nibble is known, and they share one cache line.
// Fetching it then overlaps the miss with the low nibble's decisions.
struct NextEntryHint {
    [[gnu::always_inline]] void operator()(std::uint32_t nibble) const {
        const std::uint32_t base = (match_model.hash * match_model.hash_multiplier) & HASH_MASK & ~15u;
        __builtin_prefetch(&match_model.positions[base ^ nibble << 4]);
    }
};

template <Form form>
[[gnu::always_inline]] inline void decode_body(RangeCoder& rc, std::uint8_t* block,
                                               std::uint32_t length, std::uint32_t flat) {
    if (flat) {
        for (std::uint32_t i = HEAD_LENGTH; i < length; ++i) {
            const std::uint32_t hit = decode_match_flag(rc, 0);
            const std::uint32_t x = hit ? predicted_byte() : rc.decode_direct_byte();
            block[i] = static_cast<std::uint8_t>(x);
            update_window(x, hit);
        }
        return;
    }
    std::uint32_t ctx_a = 0, ctx_b = 0, q = predicted_byte();
    for (std::uint32_t i = HEAD_LENGTH; i < length; ++i) {
        const std::uint32_t hit = decode_match_flag(rc, match_model.match_state);
        const std::uint32_t x = hit ? q : decode_pair_byte<form>(rc, ctx_a, ctx_b, NextEntryHint{});
        block[i] = static_cast<std::uint8_t>(x);
        q = update(x, hit);
        const std::uint32_t half = hit * MATCH_HALF;
        ctx_a = half + 256 * q;
        ctx_b = half + 256 * x;
    }
}

}  // namespace

// The loops run on a local copy of the coder, written back at the end:
// through a reference, every byte store (IoBuffer, block) might alias the
// coder's fields, and the compiler would reload and store them per decision.
void encode_generic_block(RangeCoder& coder, const std::uint8_t* block, std::uint32_t length,
                          std::uint32_t flat) {
    RangeCoder rc = coder;
    start_block_encode(rc, block, length);
    encode_head(rc, block, length);
    with_block_rates([&](auto rates) { encode_body(rc, block, length, flat, rates); });
    coder = rc;
}

void decode_generic_block(RangeCoder& coder, std::uint8_t* block, std::uint32_t length,
                          std::uint32_t flat) {
    RangeCoder rc = coder;
    start_block_decode(rc);
    decode_head(rc, block, length);
    if (rates_look_unpredictable()) {
        decode_body<Form::selects>(rc, block, length, flat);
    } else {
        decode_body<Form::branches>(rc, block, length, flat);
    }
    coder = rc;
}

// The trial rates are constants here: shifts by constants save a fifth of
// the pass's instructions.
std::uint32_t estimate_generic_block(RangeCoder& coder, const std::uint8_t* block,
                                     std::uint32_t length) {
    start_trial(coder);
    RangeCoder rc = coder;
    const auto count = [&](std::uint32_t ra, std::uint32_t rb) __attribute__((always_inline)) {
        for (std::uint32_t i = 2; i < length; ++i) {
            count_pair_byte(rc, 256 * block[i - 1], TRIAL_B_BASE + 256 * block[i - 2], block[i], ra, rb);
        }
    };
    if (bit_tables.rate_a == TRIAL_RATE_A && bit_tables.rate_b == TRIAL_RATE_B) {
        count(TRIAL_RATE_A, TRIAL_RATE_B);
    } else {
        count(bit_tables.rate_a, bit_tables.rate_b);
    }
    coder = rc;
    return static_cast<std::uint32_t>(rc.trial_count);
}

}  // namespace vexa
