// The generic path's byte model, seen from outside: which cells a byte is
// coded under (found by coding a block with and without its last byte from
// the same state and comparing the tables), the multiplier's one appearance
// per file, head-only blocks, the flat body's exact bits, the trial estimate,
// and many blocks through one encoder and one decoder over more than a
// window of history. The model state is process-wide, so every case starts a
// run of its own the way the pipelines do.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "coder/bit_models.hpp"
#include "coder/range_coder.hpp"
#include "decisions/trial_count.hpp"
#include "model/byte_model.hpp"
#include "model/match_model.hpp"
#include "test_support.hpp"

namespace vexa::test {
namespace {


void start_run(std::uint8_t rate_a = 4, std::uint8_t rate_b = 4) {
    init_tables();
    reset_match_model();
    test_rates.rate_a = rate_a;
    test_rates.rate_b = rate_b;
}

// Starts a run whose multiplier is already fixed, as for any block after the first.
void start_run_with_multiplier(std::uint32_t multiplier) {
    start_run();
    match_model.hash_multiplier = multiplier;
    match_model.multiplier_chosen = true;
}

std::uint32_t size_of(const Bytes& b) { return static_cast<std::uint32_t>(b.size()); }


Bytes head_then(const std::string& body) { return bytes_of("0123456789abcdef" + body); }

struct Tables {
    Cells a, b, flags;
};

Tables current_tables() {
    return {Cells(std::begin(bit_tables.table_a), std::end(bit_tables.table_a)),
            Cells(std::begin(bit_tables.table_b), std::end(bit_tables.table_b)),
            Cells(std::begin(bit_tables.match_flag), std::end(bit_tables.match_flag))};
}

std::vector<std::uint32_t> differing(const Cells& x, const Cells& y) {
    std::vector<std::uint32_t> out;
    for (std::uint32_t i = 0; i < x.size(); ++i) {
        if (x[i] != y[i]) out.push_back(i);
    }
    return out;
}

// The cells that coding one more byte adapted, and whether each flag cell moved up (a 1).
struct Footprint {
    std::vector<std::uint32_t> a, b, flags;
    std::vector<bool> flag_rose;
};

// Codes block[0 .. n-2] and block[0 .. n-1] from the same state set up by
// `setup`, and returns the difference: the cells the last byte was coded
// under. Every cell a coding touches changes, since rates stay below 12.
template <typename Setup>
Footprint last_byte_footprint(Setup setup, const Bytes& block, std::uint32_t flat) {
    encode_to_bytes([&](RangeCoder& rc) {
        setup(rc);
        encode_generic_block(rc, block.data(), size_of(block) - 1, flat);
    });
    const Tables without = current_tables();
    encode_to_bytes([&](RangeCoder& rc) {
        setup(rc);
        encode_generic_block(rc, block.data(), size_of(block), flat);
    });
    const Tables with = current_tables();
    Footprint f{differing(without.a, with.a), differing(without.b, with.b),
                differing(without.flags, with.flags), {}};
    for (const std::uint32_t i : f.flags) f.flag_rose.push_back(with.flags[i] > without.flags[i]);
    return f;
}


// Tree nodes a byte passes through, for the values used below.
const std::vector<std::uint32_t> PATH_OF_A = {1, 2, 5, 10, 20, 40, 80, 160};   // 0x41
const std::vector<std::uint32_t> PATH_OF_C = {1, 2, 5, 10, 20, 40, 80, 161};   // 0x43
const std::vector<std::uint32_t> PATH_OF_X = {1, 2, 5, 11, 23, 47, 94, 188};   // 0x78


TEST(ByteModel, MultiplierIsCodedOncePerFileLowByteFirst) {
    // Two equal bytes choose 64; the second block codes its head only.
    start_run();
    const Bytes two = {0x41, 0x41}, one = {0x42};
    const Bytes body = encode_to_bytes([&](RangeCoder& rc) {
        encode_generic_block(rc, two.data(), 2, 0);
        encode_generic_block(rc, one.data(), 1, 0);
    });
    EXPECT_TRUE(match_model.multiplier_chosen);
    EXPECT_EQ(match_model.hash_multiplier, 64u);
    start_run();
    EXPECT_EQ(body, encode_to_bytes([](RangeCoder& rc) {
                  rc.encode_direct_byte(64);
                  rc.encode_direct_byte(0);
                  encode_pair_byte(rc, 0, 0, 0x41);
                  encode_pair_byte(rc, 0, 0, 0x41);
                  encode_pair_byte(rc, 0, 0, 0x42);
              }));

    // The decoder takes the first byte as the low one, and reads the pair only once.
    start_run();
    const Bytes made = encode_to_bytes([](RangeCoder& rc) {
        rc.encode_direct_byte(0x40);
        rc.encode_direct_byte(0x01);
        encode_pair_byte(rc, 0, 0, 0x41);
        encode_pair_byte(rc, 0, 0, 0x42);
    });
    start_run();
    RangeCoder dec = decoder_for(made);
    std::uint8_t out[2] = {};
    decode_generic_block(dec, out, 1, 0);
    EXPECT_EQ(match_model.hash_multiplier, 320u);
    EXPECT_TRUE(match_model.multiplier_chosen);
    decode_generic_block(dec, out + 1, 1, 0);
    EXPECT_EQ(out[0], 0x41);
    EXPECT_EQ(out[1], 0x42);
    expect_body_consumed(made.size(), "made body");
}

// Head bytes are not hashed or stored, and no flag is coded for them.
TEST(ByteModel, ShortBlocksLeaveTheMatchModelUntouched) {
    static MatchModel before;
    static std::uint32_t positions_before[POSITION_ENTRIES];   // not part of a MatchModel copy
    start_run();
    const Bytes first = english_text(5000, 7);
    const Bytes shorts[] = {random_bytes(16, 1), random_bytes(1, 2), english_text(15, 3)};
    const Bytes body = encode_to_bytes([&](RangeCoder& rc) {
        encode_generic_block(rc, first.data(), size_of(first), 0);
        before = match_model;
        std::copy(std::begin(match_model.positions), std::end(match_model.positions), positions_before);
        const Tables tables = current_tables();
        for (const Bytes& block : shorts) encode_generic_block(rc, block.data(), size_of(block), 0);

        EXPECT_EQ(std::memcmp(match_model.window, before.window, sizeof before.window), 0);
        EXPECT_EQ(std::memcmp(match_model.positions, positions_before, sizeof positions_before), 0);
        EXPECT_EQ(match_model.hash, before.hash);
        EXPECT_EQ(match_model.write_offset, before.write_offset);
        const Tables after = current_tables();
        EXPECT_EQ(after.flags, tables.flags);
        for (const std::uint32_t i : differing(tables.a, after.a)) EXPECT_LT(i, 256u) << "table A cell " << i;
        for (const std::uint32_t i : differing(tables.b, after.b)) EXPECT_LT(i, 256u) << "table B cell " << i;
    });

    start_run();
    RangeCoder dec = decoder_for(body);
    Bytes out(first.size());
    decode_generic_block(dec, out.data(), size_of(first), 0);
    EXPECT_EQ(out, first);
    for (const Bytes& block : shorts) {
        Bytes got(block.size());
        decode_generic_block(dec, got.data(), size_of(block), 0);
        EXPECT_EQ(got, block);
    }
    expect_body_consumed(body.size(), "short blocks");
}

// The previous block ends in the middle of a long predicted run of 'x', so a
// model that forgot its per-block reset would predict byte 16 as well.
TEST(ByteModel, ByteSixteenIsCodedUnpredictedUnderContextsZero) {
    const Bytes first = head_then(std::string(5000, 'x'));
    const Bytes second(17, 'x');
    for (const std::uint32_t flat : {0u, 1u}) {
        const Footprint f = last_byte_footprint(
            [&](RangeCoder& rc) {
                start_run();
                encode_generic_block(rc, first.data(), size_of(first), flat);
            },
            second, flat);
        const std::string what = flat ? "flat" : "modelled";
        EXPECT_EQ(f.flags, std::vector<std::uint32_t>{0}) << what;
        EXPECT_EQ(f.flag_rose, std::vector<bool>{false}) << what;
        if (flat) {
            EXPECT_TRUE(f.a.empty() && f.b.empty()) << "a flat literal is eight direct bits";
        } else {
            EXPECT_EQ(f.a, cells_at(0, PATH_OF_X));
            EXPECT_EQ(f.b, cells_at(0, PATH_OF_X));
        }
    }
}

// The first body byte leaves the model pointing at offset 0, which holds that
// byte itself: the next byte is not predicted even when it matches, but its
// contexts are formed from the byte at offset 0.
TEST(ByteModel, OffsetZeroIsNeverAHitButStillGivesContext) {
    const Footprint f = last_byte_footprint([](RangeCoder&) { start_run_with_multiplier(64); },
                                            head_then("AA"), 0);
    EXPECT_EQ(f.flags.size(), 1u);
    EXPECT_EQ(f.flag_rose, std::vector<bool>{false});
    EXPECT_EQ(f.a, cells_at(0x4100, PATH_OF_A));
    EXPECT_EQ(f.b, cells_at(0x4100, PATH_OF_A));
}

// With multiplier 64 the context is the last three bytes. "pxyA" was seen
// before "B", and "qxy" before "D".
TEST(ByteModel, ContextsAfterPredictedAndUnpredictedBytes) {
    auto setup = [](RangeCoder&) { start_run_with_multiplier(64); };

    // 'A' predicted (after "pxy"), 'B' predicted next, 'C' arrives.
    const Footprint hit = last_byte_footprint(setup, head_then("pxyAB_qxyD_pxyAC"), 0);
    EXPECT_EQ(hit.a, cells_at(0x14200, PATH_OF_C));
    EXPECT_EQ(hit.b, cells_at(0x14100, PATH_OF_C));
    EXPECT_EQ(hit.flag_rose, std::vector<bool>{false});

    // 'A' not predicted ("qxy" predicted 'D'), yet "xyA" predicts 'B'.
    const Footprint miss = last_byte_footprint(setup, head_then("pxyAB_qxyD_qxyAC"), 0);
    EXPECT_EQ(miss.a, cells_at(0x4200, PATH_OF_C));
    EXPECT_EQ(miss.b, cells_at(0x4100, PATH_OF_C));
    EXPECT_EQ(miss.flag_rose, std::vector<bool>{false});

    // And the 'A' of the first case really was coded as predicted: a flag
    // cell rose and no tree cell moved.
    const Footprint a_hit = last_byte_footprint(setup, head_then("pxyAB_qxyD_pxyA"), 0);
    EXPECT_EQ(a_hit.flag_rose, std::vector<bool>{true});
    EXPECT_TRUE(a_hit.a.empty() && a_hit.b.empty());
}

// The hash runs on from the previous block's last body byte: the heads in
// between are not hashed, so the second byte of the next body is predicted.
TEST(ByteModel, HashContinuesAcrossBlocksPastTheHead) {
    const Bytes first = head_then("KLMW-rest-KLM");
    const Bytes second = bytes_of("################W-");
    const Footprint f = last_byte_footprint(
        [&](RangeCoder& rc) {
            start_run_with_multiplier(64);
            encode_generic_block(rc, first.data(), size_of(first), 0);
        },
        second, 0);
    EXPECT_EQ(f.flag_rose, std::vector<bool>{true}) << "'-' after \"LMW\" should be predicted";
    EXPECT_TRUE(f.a.empty() && f.b.empty());
}

// Bytes that never repeat cannot be predicted, so the flat body is exactly a
// flag on cell 0 and eight direct bits per byte.
TEST(ByteModel, FlatBodyIsFlagsOnCellZeroAndDirectBytes) {
    Bytes block(216);
    for (std::uint32_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>((i * 97 + 5) & 0xFF);
    start_run(5, 3);
    const Bytes body = encode_to_bytes([&](RangeCoder& rc) { encode_generic_block(rc, block.data(), size_of(block), 1); });
    EXPECT_EQ(match_model.match_state, 0u);
    start_run(5, 3);
    EXPECT_EQ(body, encode_to_bytes([&](RangeCoder& rc) {
                  rc.encode_direct_byte(0);                // no candidate scores on distinct bytes
                  rc.encode_direct_byte(0);
                  for (std::uint32_t i = 0; i < 16; ++i) encode_pair_byte(rc, 0, 0, block[i]);
                  for (std::uint32_t i = 16; i < block.size(); ++i) {
                      encode_match_flag(rc, 0, 0);
                      rc.encode_direct_byte(block[i]);
                  }
              }));

    // With repeats, the flags still use cell 0 alone and no tree cell beyond the head's.
    const Bytes text = english_text(60000, 8);
    start_run(5, 3);
    const Tables fresh = current_tables();
    const Bytes text_body = encode_to_bytes([&](RangeCoder& rc) { encode_generic_block(rc, text.data(), size_of(text), 1); });
    const Tables after = current_tables();
    EXPECT_EQ(differing(fresh.flags, after.flags), std::vector<std::uint32_t>{0});
    for (const std::uint32_t i : differing(fresh.a, after.a)) ASSERT_LT(i, 256u) << "table A cell " << i;
    for (const std::uint32_t i : differing(fresh.b, after.b)) ASSERT_LT(i, 256u) << "table B cell " << i;
    // Only predicted bytes can make a flat body smaller than its block.
    EXPECT_LT(text_body.size(), text.size()) << "text should find predictions";
}

// The pipeline runs the trial at rates 5 and 6; other rates must give the
// same correspondence.
TEST(ByteModel, TrialEstimate) {
    struct RatePair {
        std::uint8_t a, b;
    };
    for (const RatePair rates : {RatePair{5, 6}, RatePair{3, 2}}) {
        const std::string what = "rates " + std::to_string(rates.a) + "/" + std::to_string(rates.b);
        start_run(rates.a, rates.b);
        TempStream out;
        bind_io_buffer(out.get());
        RangeCoder rc(Direction::encode, io_buffer);
        const Bytes tiny = {0x41, 0x42};
        for (std::uint32_t n = 0; n <= 2; ++n) EXPECT_EQ(estimate_generic_block(rc, tiny.data(), n), 0u) << n;

        // Adapt the tables a little so the trial starts from uneven cells.
        const Bytes warm = english_text(3000, 30);
        encode_generic_block(rc, warm.data(), size_of(warm), 0);
        const Tables before = current_tables();

        // The previous byte selects the table A copy and the byte two back
        // the table B copy: the count equals what the real coder emits for
        // the same bytes under those contexts, on text and on noise.
        Bytes text = english_text(20000, 31);
        const Bytes noise = random_bytes(13000, 32), tail = english_text(9000, 33);
        text.insert(text.end(), noise.begin(), noise.end());
        text.insert(text.end(), tail.begin(), tail.end());
        const std::uint32_t count = estimate_generic_block(rc, text.data(), size_of(text));
        const Tables after = current_tables();
        EXPECT_EQ(after.a, before.a) << what;
        EXPECT_EQ(after.b, before.b) << what;
        EXPECT_EQ(after.flags, before.flags) << what;

        const Cells trial(std::begin(bit_tables.trial), std::end(bit_tables.trial));
        const Bytes body = encode_to_bytes([&](RangeCoder& real) {
            for (std::uint32_t i = 2; i < text.size(); ++i) {
                encode_pair_byte(real, 256 * text[i - 1], 256 * text[i - 2], text[i]);
            }
        });
        EXPECT_EQ(count + 5, body.size()) << what;
        // The same cells adapted the same way: the trial table holds what the
        // real coding left in the lower halves.
        EXPECT_TRUE(std::equal(trial.begin(), trial.begin() + TRIAL_B_BASE, bit_tables.table_a)) << what;
        EXPECT_TRUE(std::equal(trial.begin() + TRIAL_B_BASE, trial.end(), bit_tables.table_b)) << what;
    }
}

// Segments of text, noise and runs, and copies from near, from just inside
// the 2 MiB window, and from beyond it.
Bytes data_with_long_repeats(std::size_t size, std::uint32_t seed) {
    std::mt19937 gen(seed);
    const std::size_t far_distances[] = {1900000, 2097100, 2097152, 2097170, 2300000, 2700000};
    Bytes out;
    out.reserve(size);
    while (out.size() < size) {
        const std::size_t len = std::min<std::size_t>(500 + gen() % 60000, size - out.size());
        switch (gen() % 6) {
            case 0: {
                const Bytes t = english_text(len, gen());
                out.insert(out.end(), t.begin(), t.end());
                break;
            }
            case 1: {
                const Bytes r = random_bytes(len, gen());
                out.insert(out.end(), r.begin(), r.end());
                break;
            }
            case 2:
                out.insert(out.end(), len, static_cast<std::uint8_t>(gen()));
                break;
            case 3:
            case 4: {
                const std::size_t d = gen() % 2 ? 1 + gen() % 100000 : far_distances[gen() % 6];
                if (d > out.size()) break;
                for (std::size_t k = 0; k < len; ++k) out.push_back(out[out.size() - d]);
                break;
            }
            default: {   // a copy that straddles the next block boundary
                const std::size_t to_edge = BLOCK_CAPACITY - out.size() % BLOCK_CAPACITY;
                const std::size_t d = 1 + gen() % 300000;
                if (d > out.size()) break;
                const std::size_t n = std::min(to_edge + 2000, size - out.size());
                for (std::size_t k = 0; k < n; ++k) out.push_back(out[out.size() - d]);
                break;
            }
        }
    }
    return out;
}

TEST(ByteModel, ManyBlocksRoundTripThroughOneCoder) {
    static MatchModel encoder_end;
    static std::uint32_t encoder_end_positions[POSITION_ENTRIES];   // not part of a MatchModel copy
    constexpr std::uint32_t B = BLOCK_CAPACITY;
    const std::uint32_t sizes[] = {B, B, 16, B, B, 1, B, 17, B, 70001};
    std::size_t total = 0;
    for (const std::uint32_t n : sizes) total += n;

    for (const std::uint32_t seed : {101u, 102u}) {
        const std::string what = "seed " + std::to_string(seed);
        const Bytes data = data_with_long_repeats(total, seed);
        std::mt19937 gen(seed);
        struct BlockCodes {
            std::uint32_t flat;
            std::uint8_t rate_a, rate_b;
        };
        std::vector<BlockCodes> codes;
        for (std::size_t k = 0; k < std::size(sizes); ++k) {
            codes.push_back({static_cast<std::uint32_t>(k % 3 == 1), static_cast<std::uint8_t>(3 + gen() % 4),
                             static_cast<std::uint8_t>(2 + gen() % 5)});
        }

        start_run();
        const Bytes body = encode_to_bytes([&](RangeCoder& rc) {
            std::size_t done = 0;
            for (std::size_t k = 0; k < std::size(sizes); ++k) {
                test_rates.rate_a = codes[k].rate_a;
                test_rates.rate_b = codes[k].rate_b;
                encode_generic_block(rc, data.data() + done, sizes[k], codes[k].flat);
                done += sizes[k];
            }
        });
        encoder_end = match_model;
        std::copy(std::begin(match_model.positions), std::end(match_model.positions), encoder_end_positions);
        EXPECT_LT(body.size(), data.size()) << what;

        start_run();
        RangeCoder rc = decoder_for(body);
        std::size_t done = 0;
        for (std::size_t k = 0; k < std::size(sizes); ++k) {
            test_rates.rate_a = codes[k].rate_a;
            test_rates.rate_b = codes[k].rate_b;
            Bytes block(sizes[k]);
            decode_generic_block(rc, block.data(), sizes[k], codes[k].flat);
            const auto mismatch = std::mismatch(block.begin(), block.end(), data.begin() + static_cast<long>(done));
            ASSERT_EQ(mismatch.first, block.end())
                << what << ", block " << k << " (flat " << codes[k].flat << "), byte "
                << (mismatch.first - block.begin());
            done += sizes[k];
        }
        expect_body_consumed(body.size(), what);
        EXPECT_EQ(match_model.hash_multiplier, encoder_end.hash_multiplier) << what;
        EXPECT_EQ(match_model.hash, encoder_end.hash) << what;
        EXPECT_EQ(match_model.write_offset, encoder_end.write_offset) << what;
        EXPECT_EQ(std::memcmp(match_model.window, encoder_end.window, sizeof encoder_end.window), 0) << what;
        EXPECT_EQ(std::memcmp(match_model.positions, encoder_end_positions, sizeof encoder_end_positions), 0)
            << what;
    }
}

// A damaged body decodes to some bytes, and the model stays inside its
// tables and inside the block (the sanitizer build checks the bounds).
TEST(ByteModel, GarbageBodiesDecodeWithinBounds) {
    for (const std::uint32_t seed : {201u, 202u, 203u}) {
        for (const std::uint32_t flat : {0u, 1u}) {
            start_run(3, 2);
            const Bytes garbage = random_bytes(20000, seed);
            RangeCoder rc = decoder_for(garbage);
            for (const std::uint32_t n : {BLOCK_CAPACITY, 100u, 40000u}) {
                Bytes block(n);
                decode_generic_block(rc, block.data(), n, flat);
                EXPECT_LT(match_model.match_state, TABLE_CELLS) << "seed " << seed;
                EXPECT_LE(match_model.hash, HASH_MASK) << "seed " << seed;
                EXPECT_LE(match_model.write_offset, WINDOW_MASK) << "seed " << seed;
            }
            EXPECT_TRUE(io_buffer.ran_dry) << "seed " << seed << ": 20000 bytes cannot hold all that";
        }
    }
}

}  // namespace
}  // namespace vexa::test
