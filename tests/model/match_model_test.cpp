// The match model on its own: the multiplier search on the worked blocks,
// the match state after worked byte sequences, and the two window edges (a
// run that wraps to offset 0, a context last seen one whole window ago). The
// model is process-wide, so every test starts it afresh.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "coder/bit_models.hpp"
#include "model/match_model.hpp"
#include "test_support.hpp"

namespace vexa::test {
namespace {

void start_model(std::uint32_t multiplier) {
    reset_match_model();
    match_model.hash_multiplier = multiplier;
    match_model.multiplier_chosen = true;
    reset_match_block(match_model);
}

// Gives each byte to the model as the modelled body would (predicted or
// not, then the full update) and returns which bytes were predicted.
std::vector<bool> feed(const Bytes& data) {
    std::vector<bool> hits;
    hits.reserve(data.size());
    for (const std::uint8_t x : data) {
        const bool hit = predicts(x);
        update(x, hit);
        hits.push_back(hit);
    }
    return hits;
}

void feed(std::size_t count, std::uint8_t value) { feed(Bytes(count, value)); }


bool positions_all_zero() {
    return std::all_of(std::begin(match_model.positions), std::end(match_model.positions),
                       [](std::uint32_t p) { return p == 0; });
}

TEST(MatchModel, MultiplierSearchOnWorkedBlocks) {
    reset_match_model();
    struct Case {
        const char* name;
        Bytes block;
        std::uint32_t multiplier;
    };
    const Case cases[] = {
        {"empty", {}, 0},
        {"one byte", {0x41}, 0},
        {"two different bytes", {0x41, 0x42}, 0},
        {"two equal bytes", {0x41, 0x41}, 64},
        {"a run of one value", Bytes(5000, 0x37), 64},
        {"a whole block of zeros", Bytes(BLOCK_CAPACITY, 0x00), 64},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(choose_hash_multiplier(c.block.data(), static_cast<std::uint32_t>(c.block.size())),
                  c.multiplier)
            << c.name;
        EXPECT_TRUE(positions_all_zero()) << c.name << ": the search left entries behind";
    }
    // Whatever it picks, a block of text leaves the table clear as well.
    const Bytes text = english_text(BLOCK_CAPACITY, 4);
    const std::uint32_t m = choose_hash_multiplier(text.data(), static_cast<std::uint32_t>(text.size()));
    const std::uint32_t candidates[] = {64, 128, 256, 80, 160, 320, 96, 192, 384};
    EXPECT_NE(std::find(std::begin(candidates), std::end(candidates), m), std::end(candidates)) << m;
    EXPECT_TRUE(positions_all_zero()) << "text";
}

// The search as nine plain passes, each with its own table, straight from
// the definition of the scoring predictor: the counts in candidate order.
std::vector<std::uint32_t> plain_multiplier_scores(const Bytes& block) {
    std::vector<std::uint32_t> counts;
    std::vector<std::uint32_t> table(SEARCH_ENTRIES);
    for (std::uint32_t i = 4; i <= 6; ++i) {
        for (std::uint32_t j = 4; j <= 6; ++j) {
            const std::uint32_t m = i << j;
            std::fill(table.begin(), table.end(), 0u);
            std::uint32_t count = 0, h = 0, p = 0;
            for (std::uint32_t l = 0; l < block.size(); ++l) {
                const std::uint32_t x = block[l];
                const bool hit = p < l && block[p] == x;
                table[h] = l;
                h = (x + h * m) % 65536;
                if (hit) {
                    p = (p + 1) % (1u << 24);
                    ++count;
                } else {
                    p = table[h];
                }
            }
            counts.push_back(count);
        }
    }
    return counts;
}

// Every count and the choice against the plain passes; the table must be
// left clear.
void expect_search_as_plain_passes(const Bytes& block, const std::string& what) {
    std::uint32_t counts[9];
    score_hash_multipliers(block.data(), static_cast<std::uint32_t>(block.size()), counts);
    const std::vector<std::uint32_t> plain = plain_multiplier_scores(block);
    EXPECT_EQ(std::vector<std::uint32_t>(std::begin(counts), std::end(counts)), plain) << what;
    EXPECT_TRUE(positions_all_zero()) << what;
    std::uint32_t best_count = 0, best = 0;
    for (std::size_t k = 0; k < plain.size(); ++k) {
        if (plain[k] > best_count) {
            best_count = plain[k];
            best = MULTIPLIER_CANDIDATES[k];
        }
    }
    EXPECT_EQ(choose_hash_multiplier(block.data(), static_cast<std::uint32_t>(block.size())), best) << what;
}

// Blocks whose repeats favour different candidates: repeated strings whose
// contexts are 1 to 6 bytes long, cut into lengths on both sides of the
// point where the search stops replaying its hashes to clear its tables.
TEST(MatchModel, MultiplierSearchChoosesAsNinePlainPasses) {
    reset_match_model();
    std::uint32_t seed = 1;
    std::vector<std::uint32_t> chosen;
    for (const std::size_t length : {3u, 40u, 700u, 16383u, 16384u, 70000u}) {
        for (std::uint32_t width = 1; width <= 6; ++width) {
            // A small alphabet of words of `width` random bytes, in random order.
            const Bytes words = random_bytes(8 * width, seed++);
            const Bytes picks = random_bytes(length, seed++);
            Bytes block;
            for (std::size_t k = 0; block.size() < length; ++k) {
                const std::size_t w = picks[k % picks.size()] % 8;
                block.insert(block.end(), words.begin() + w * width, words.begin() + (w + 1) * width);
            }
            block.resize(length);
            expect_search_as_plain_passes(block, "length " + std::to_string(length) + ", width " +
                                                     std::to_string(width));
            chosen.push_back(choose_hash_multiplier(block.data(), static_cast<std::uint32_t>(length)));
        }
    }
    // The blocks are worth comparing only if they pick different candidates.
    std::sort(chosen.begin(), chosen.end());
    EXPECT_GE(std::unique(chosen.begin(), chosen.end()) - chosen.begin(), 3);
}

// The search finishes a block's final run of one byte value without
// stepping through it. Runs of every length around the points where it
// checks, after text, after other runs of the same value that the lanes
// must first leave, and filling the whole block.
TEST(MatchModel, MultiplierSearchCountsFinalRunsAsPlainPasses) {
    reset_match_model();
    const Bytes text = english_text(3000, 7);
    for (const std::uint32_t run : {1u, 2u, 5u, 15u, 16u, 17u, 31u, 32u, 33u, 100u, 2000u}) {
        for (const std::uint8_t value : {std::uint8_t{' '}, std::uint8_t{'e'}, std::uint8_t{0}}) {
            const std::string what = "run " + std::to_string(run) + " of " + std::to_string(value);
            Bytes block = text;
            block.insert(block.end(), run, value);
            expect_search_as_plain_passes(block, what + " after text");
            // Earlier runs of the value send the settling lanes back into them.
            Bytes echoes;
            for (std::uint32_t k = 1; k <= 40; ++k) {
                echoes.insert(echoes.end(), text.begin() + 50 * k, text.begin() + 50 * k + 7 * k % 23);
                echoes.insert(echoes.end(), k, value);
            }
            echoes.insert(echoes.end(), run, value);
            expect_search_as_plain_passes(echoes, what + " after runs of the value");
            expect_search_as_plain_passes(Bytes(run, value), what + " alone");
        }
    }
    // Long enough for the tables to be cleared by a fill rather than by replay.
    Bytes padded = english_text(40000, 8);
    padded.insert(padded.end(), 30000, ' ');
    expect_search_as_plain_passes(padded, "a padded text block");
}

// With multiplier 64 the hash is the last three bytes. The second " estu"
// follows a different context up to the blank, so the blank is not
// predicted, but "yz " has been seen and predicts 'e'.
TEST(MatchModel, MatchStateAfterWorkedBytes) {
    start_model(64);
    feed(bytes_of("ayz estu"));
    EXPECT_EQ(feed(bytes_of("byz")), (std::vector<bool>{false, false, false}));

    EXPECT_FALSE(predicts(' '));
    update(' ', false);
    EXPECT_EQ(predicted_byte(match_model), 'e');
    EXPECT_EQ(match_model.match_state, 2149u);          // 0x865
    EXPECT_EQ(match_model.match_run, 0u);

    ASSERT_TRUE(predicts('e'));
    update('e', true);
    EXPECT_EQ(predicted_byte(match_model), 's');
    EXPECT_EQ(match_model.match_state, 39219u);         // 0x9933: run 1 in bit 15
    EXPECT_EQ(match_model.match_run, 1u);

    for (const char x : {'s', 't', 'u'}) {
        ASSERT_TRUE(predicts(static_cast<std::uint8_t>(x))) << x;
        update(static_cast<std::uint8_t>(x), true);
    }
    EXPECT_EQ(match_model.match_run, 3u);
    EXPECT_EQ(match_model.match_state & 0x18000u, 0x18000u) << match_model.match_state;
    EXPECT_LT(match_model.match_state, TABLE_CELLS);

    EXPECT_EQ(feed(bytes_of("!")), std::vector<bool>{false});
    EXPECT_EQ(match_model.match_run, 0u);
    EXPECT_LT(match_model.match_state, 4096u);
}

// Multiplier 0: the context is the last byte alone, and after a byte that
// was not predicted the state is the predicted byte itself.
TEST(MatchModel, MultiplierZeroKeysOnTheLastByte) {
    start_model(0);
    EXPECT_EQ(feed(bytes_of("abXab")), (std::vector<bool>{false, false, false, false, true}));
    start_model(0);
    feed(bytes_of("abXa"));
    EXPECT_EQ(match_model.hash, std::uint32_t{'a'});
    EXPECT_EQ(match_model.match_state, std::uint32_t{'b'});
}

// A predicted run that follows an earlier occurrence across the window's
// end reaches offset 0 and stops there, although the byte at offset 0 is the
// right one; the next byte is found again through the position table.
TEST(MatchModel, RunThroughTheWindowEndStopsAtOffsetZero) {
    const Bytes pattern = bytes_of("abcdefghijklmnopqrst");
    start_model(64);
    feed(WINDOW_SIZE - 13, 0x00);
    feed(bytes_of("KLM"));
    feed(pattern);                                       // offsets 2097142 .. 2097151, then 0 .. 9
    ASSERT_EQ(match_model.write_offset, 10u);
    feed(100, 0x00);
    feed(bytes_of("KLM"));

    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const std::uint8_t x = pattern[i];
        const bool hit = predicts(x);
        if (i == 10) {
            EXPECT_EQ(match_model.predicted_offset, 0u);
            EXPECT_EQ(match_model.window[0], x);
            EXPECT_FALSE(hit) << "a prediction at offset 0 was used";
        } else {
            EXPECT_TRUE(hit) << "pattern byte " << i;
        }
        if (i == 9) {
            EXPECT_EQ(match_model.predicted_offset, WINDOW_SIZE - 1);
        }
        update(x, hit);
    }
}

// A context last seen exactly one window ago points at the slot about to be
// overwritten, which still holds the right byte; it must not be used. One
// byte less of history, and the same bytes are predicted.
TEST(MatchModel, PredictionAtWriteOffsetIsNeverUsed) {
    for (const std::uint32_t gap : {WINDOW_SIZE - 4, WINDOW_SIZE - 5}) {
        const bool one_window = gap == WINDOW_SIZE - 4;
        const std::string what = one_window ? "one window back" : "one byte short of a window";
        start_model(64);
        feed(1000, 0x00);
        feed(bytes_of("xyzw"));
        feed(gap, 0x00);

        EXPECT_FALSE(predicts('x')) << what;
        update('x', false);
        for (const char c : {'y', 'z', 'w'}) {
            const auto x = static_cast<std::uint8_t>(c);
            EXPECT_EQ(match_model.window[match_model.predicted_offset], x) << what << ", byte " << c;
            EXPECT_EQ(match_model.predicted_offset == match_model.write_offset, one_window)
                << what << ", byte " << c;
            const bool hit = predicts(x);
            EXPECT_EQ(hit, !one_window) << what << ", byte " << c;
            update(x, hit);
        }
    }
}

// An entry keeps the byte it was written with, but once the window has
// wrapped over its offset the byte now stored there is the prediction.
TEST(MatchModel, EntryOlderThanTheWindowPredictsTheByteNowStored) {
    start_model(0);
    feed(bytes_of("ZAB"));                        // 'B' at offset 2, under the context 'A'
    feed(WINDOW_SIZE - 1, 'C');                   // wraps; offset 2 now holds 'C'
    ASSERT_EQ(match_model.write_offset, 2u);
    feed(bytes_of("DE"));                         // offset 2 now holds 'D'
    EXPECT_EQ(update('A', false), std::uint32_t{'D'});
    EXPECT_EQ(match_model.predicted_offset, 2u);
    EXPECT_EQ(match_model.match_state, std::uint32_t{'D'});   // multiplier 0: the predicted byte itself
    EXPECT_TRUE(predicts('D'));
    EXPECT_FALSE(predicts('B'));
}

// Entries are aged modulo 2^24 bytes: eight laps on, an entry would read as
// written just now, with its old byte, had no block start marked it stale.
TEST(MatchModel, EntryEightLapsOldPredictsTheByteNowStored) {
    start_model(0);
    feed(bytes_of("ZAB"));                        // 'B' at offset 2, under the context 'A'
    for (std::uint32_t block = 0; block < 32; ++block) {
        reset_match_block(match_model);
        feed(WINDOW_SIZE / 4, 'C');
    }
    ASSERT_EQ(match_model.write_offset, 3u);      // 2^24 bytes on
    EXPECT_EQ(update('A', false), std::uint32_t{'C'});
    EXPECT_EQ(match_model.predicted_offset, 2u);
}

// An entry is 0 both when never written and when written with byte 0 at a
// stamp of 2^23; either way the byte recalled is the one now at offset 0.
TEST(MatchModel, ZeroEntryRecallsTheWindowsFirstByte) {
    start_model(0);
    feed(bytes_of("QR"));
    EXPECT_EQ(update('S', false), std::uint32_t{'Q'});    // nothing has followed 'S' yet

    start_model(0);
    for (std::uint32_t block = 0; block < 16; ++block) {
        reset_match_block(match_model);
        feed(WINDOW_SIZE / 4, 'C');
    }
    ASSERT_EQ(current_stamp(match_model), STAMP_BIAS);
    update(0, false);                                      // under the context 'C': entry 0
    feed(WINDOW_SIZE, 'D');                                // offset 0 now holds 'D'
    ASSERT_EQ(match_model.positions[std::uint32_t{'C'}], 0u);
    EXPECT_EQ(update('C', false), std::uint32_t{'D'});
}

}  // namespace
}  // namespace vexa::test
