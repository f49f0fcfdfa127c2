// The structured path's model: coding order and contexts pinned against a
// hand-written list of (position, context positions) coded with the plain
// byte tree, the row-context boundary, virtual zeros before the block,
// round trips under every kind of profile detection produces, and garbage
// decoded under profiles no compressor would write.
//
// Blocks sit in buffers with exactly the 256 zero bytes in front and the 3
// spare bytes behind that the pipelines provide, so the sanitizer build
// catches any access beyond them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "coder/bit_models.hpp"
#include "coder/range_coder.hpp"
#include "filters/delta.hpp"
#include "filters/detect.hpp"
#include "model/structured_model.hpp"
#include "test_support.hpp"

namespace vexa::test {
namespace {

// One coded byte: its position and the positions its two contexts are read
// from. Positions before the block read as 0.
struct Step {
    int pos, a_from, b_from;
};

std::uint32_t byte_at(const Bytes& block, int pos) { return pos < 0 ? 0 : block[static_cast<std::size_t>(pos)]; }

// What a coding leaves behind: the body, and tables A and B, whose adapted
// cells show which contexts each byte was coded under even where the body
// cannot (a fresh tree codes the same whichever it is).
struct Coded {
    Bytes body;
    Cells a, b;
    bool operator==(const Coded&) const = default;
};

Coded coded(Bytes body) {
    return {std::move(body), Cells(std::begin(bit_tables.table_a), std::end(bit_tables.table_a)),
            Cells(std::begin(bit_tables.table_b), std::end(bit_tables.table_b))};
}

void PrintTo(const Coded& c, std::ostream* os) { *os << "body of " << c.body.size() << " bytes"; }

// The head followed by `steps`, each through the plain byte tree, from fresh tables.
Coded expected_coding(const Bytes& block, const std::vector<Step>& steps, std::uint8_t rate_a = 4,
                      std::uint8_t rate_b = 3) {
    start_tables(rate_a, rate_b);
    return coded(encode_to_bytes([&](RangeCoder& rc) {
        for (std::size_t i = 0; i < std::min<std::size_t>(16, block.size()); ++i) encode_pair_byte(rc, 0, 0, block[i]);
        for (const Step& s : steps) {
            encode_pair_byte(rc, 256 * byte_at(block, s.a_from), 256 * byte_at(block, s.b_from),
                             block[static_cast<std::size_t>(s.pos)]);
        }
    }));
}

Coded structured_coding(const Bytes& content, const DataProfile& profile, std::uint8_t rate_a = 4,
                        std::uint8_t rate_b = 3) {
    start_tables(rate_a, rate_b);
    FramedBlock framed(content);
    return coded(encode_to_bytes([&](RangeCoder& rc) {
        encode_structured_block(rc, framed.block(), framed.length(), profile);
    }));
}

// A trial pass: its count and the trial table it leaves.
struct Trial {
    std::uint32_t count;
    Cells cells;
    bool operator==(const Trial&) const = default;
};

void PrintTo(const Trial& t, std::ostream* os) { *os << "trial count " << t.count; }

Trial trial_result(const RangeCoder& rc) {
    return {static_cast<std::uint32_t>(rc.trial_count),
            Cells(std::begin(bit_tables.trial), std::end(bit_tables.trial))};
}

Trial expected_trial(const Bytes& block, const std::vector<Step>& steps) {
    start_tables();
    TempStream out;
    bind_io_buffer(out.get());
    RangeCoder rc(Direction::encode, io_buffer);
    start_trial(rc);
    for (const Step& s : steps) {
        count_pair_byte(rc, 256 * byte_at(block, s.a_from), TRIAL_B_BASE + 256 * byte_at(block, s.b_from),
                        block[static_cast<std::size_t>(s.pos)]);
    }
    return trial_result(rc);
}

Trial structured_trial(const Bytes& content, std::uint32_t start, const DataProfile& profile) {
    start_tables();
    FramedBlock framed(content);
    TempStream out;
    bind_io_buffer(out.get());
    RangeCoder rc(Direction::encode, io_buffer);
    const std::uint32_t count = estimate_structured_block(rc, framed.block(), framed.length(), start, profile);
    EXPECT_EQ(count, static_cast<std::uint32_t>(rc.trial_count));
    return trial_result(rc);
}

// Decodes `body` into a fresh framed block and checks it restores `content`
// and reads the body exactly.
void expect_decodes_to(const Bytes& body, const Bytes& content, const DataProfile& profile,
                       const std::string& what) {
    FramedBlock out(Bytes(content.size(), 0xEE));
    RangeCoder rc = decoder_for(body);
    decode_structured_block(rc, out.block(), out.length(), profile);
    EXPECT_EQ(out.content(), content) << what;
    EXPECT_FALSE(io_buffer.ran_dry) << what;
    EXPECT_EQ(io_buffer.pos, io_buffer.fill) << what;
}

TEST(StructuredModel, ShortBlocksAreHeadOnly) {
    const DataProfile picture = make_profile(3, 6, 4, 1);
    for (const std::uint32_t n : {1u, 5u, 16u}) {
        const Bytes content = random_bytes(n, n);
        const Coded got = structured_coding(content, picture);
        EXPECT_EQ(got, expected_coding(content, {})) << "length " << n;
        start_tables();
        expect_decodes_to(got.body, content, picture, "length " + std::to_string(n));
    }
}

// Stride 3: positions 16, 19, 22 (lane 0) all come before 17.
TEST(StructuredModel, LanesAreCodedOneAfterAnother) {
    const DataProfile picture = make_profile(3, 6, 1000, 1);
    const Bytes content = random_bytes(23, 40);
    const Coded got = structured_coding(content, picture);
    EXPECT_EQ(got, expected_coding(content, {{16, 13, 10}, {19, 16, 13}, {22, 19, 16},
                                             {17, 14, 11}, {20, 17, 14},
                                             {18, 15, 12}, {21, 18, 15}}));
    start_tables();
    expect_decodes_to(got.body, content, picture, "stride 3");
}

// The coding loops are built separately for each rate pair the compressor
// chooses, and once more for any other pair a file may carry: each must
// code like the plain byte tree under the same rates, on skewed and on
// near-random bytes.
TEST(StructuredModel, EveryRatePairCodesLikeThePlainTree) {
    const DataProfile mono = make_profile(1, 2, AUDIO_ROW_WIDTH, 0);
    const std::pair<std::uint8_t, std::uint8_t> rates[] = {{3, 2}, {3, 3}, {4, 3}, {4, 4}, {5, 4},
                                                           {5, 5}, {6, 5}, {6, 6}, {3, 6}, {6, 2}};
    for (const bool noisy : {false, true}) {
        const Bytes content = noisy ? random_bytes(3000, 43) : smooth_samples(3000, 1, 44);
        std::vector<Step> steps;
        for (int i = 16; i < 3000; ++i) steps.push_back({i, i - 1, i - 2});
        for (const auto& pair : rates) {
            const std::string what = "rates " + std::to_string(pair.first) + "/" + std::to_string(pair.second) +
                                     (noisy ? ", noise" : ", smooth");
            const Coded got = structured_coding(content, mono, pair.first, pair.second);
            EXPECT_EQ(got, expected_coding(content, steps, pair.first, pair.second)) << what;
            start_tables(pair.first, pair.second);
            expect_decodes_to(got.body, content, mono, what);
        }
    }
}

// Row distance 3 * 6 = 18: position 18 itself still looks back far_stride,
// positions past it look one row up. Without the row bit, all look back
// far_stride. The estimate depends on the stride being 3, not on the bit.
TEST(StructuredModel, RowContextStartsPastTheFirstRow) {
    const Bytes content = random_bytes(25, 41);
    const DataProfile rows = make_profile(3, 6, 6, 1);
    const DataProfile no_rows = make_profile(3, 6, 6, 0);

    const Coded got = structured_coding(content, rows);
    EXPECT_EQ(got, expected_coding(content, {{16, 13, 10}, {19, 16, 1}, {22, 19, 4},
                                             {17, 14, 11}, {20, 17, 2}, {23, 20, 5},
                                             {18, 15, 12}, {21, 18, 3}, {24, 21, 6}}));
    start_tables();
    expect_decodes_to(got.body, content, rows, "row context");

    EXPECT_EQ(structured_coding(content, no_rows),
              expected_coding(content, {{16, 13, 10}, {19, 16, 13}, {22, 19, 16},
                                        {17, 14, 11}, {20, 17, 14}, {23, 20, 17},
                                        {18, 15, 12}, {21, 18, 15}, {24, 21, 18}}));

    const Bytes quarter_of_88 = random_bytes(88, 42);
    const Trial expected =
        expected_trial(quarter_of_88, {{17, 14, 11}, {18, 15, 12}, {19, 16, 1}, {20, 17, 2}, {21, 18, 3}});
    EXPECT_EQ(structured_trial(quarter_of_88, 17, rows), expected);
    EXPECT_EQ(structured_trial(quarter_of_88, 17, no_rows), expected);
}

// The product stride * 0xFFFFFFFF wraps to a number no position exceeds.
TEST(StructuredModel, AudioProfilesNeverUseTheRow) {
    const Bytes small = random_bytes(21, 43);
    EXPECT_EQ(structured_coding(small, make_profile(2, 4, AUDIO_ROW_WIDTH, 1)),
              expected_coding(small, {{16, 14, 12}, {18, 16, 14}, {20, 18, 16}, {17, 15, 13}, {19, 17, 15}}));

    const Bytes content = random_bytes(4096, 44);
    for (const std::uint8_t stride : {1, 2, 3, 4, 6}) {
        const auto far = static_cast<std::uint8_t>(2 * stride);
        const DataProfile with_bit = make_profile(stride, far, AUDIO_ROW_WIDTH, 1);
        const DataProfile without = make_profile(stride, far, AUDIO_ROW_WIDTH, 0);
        EXPECT_EQ(structured_coding(content, with_bit), structured_coding(content, without))
            << "stride " << int{stride};
        EXPECT_EQ(structured_trial(content, stride, with_bit), structured_trial(content, stride, without))
            << "stride " << int{stride};
    }
}

// Stride 12, far 24: position 16 reads its second context from -8, and the
// estimate from position 12 reads from -12 up to -5: all zeros.
TEST(StructuredModel, PositionsBeforeTheBlockReadAsZero) {
    const DataProfile wide = make_profile(12, 24, 1, 0);
    const Bytes content = random_bytes(30, 45);
    const Coded got = structured_coding(content, wide);
    EXPECT_EQ(got, expected_coding(content, {{16, 4, -8}, {28, 16, 4}, {17, 5, -7}, {29, 17, 5},
                                             {18, 6, -6}, {19, 7, -5}, {20, 8, -4}, {21, 9, -3},
                                             {22, 10, -2}, {23, 11, -1}, {24, 12, 0}, {25, 13, 1},
                                             {26, 14, 2}, {27, 15, 3}}));
    start_tables();
    expect_decodes_to(got.body, content, wide, "stride 12");

    const Bytes eighty = random_bytes(80, 46);
    EXPECT_EQ(structured_trial(eighty, 12, wide),
              expected_trial(eighty, {{12, 0, -12}, {13, 1, -11}, {14, 2, -10}, {15, 3, -9},
                                      {16, 4, -8}, {17, 5, -7}, {18, 6, -6}, {19, 7, -5}}));
}

// Several blocks through one encoder and one decoder, each with the delta
// decision the compressor would take.
TEST(StructuredModel, SafeProfilesRoundTrip) {
    const DataProfile profiles[] = {
        make_profile(3, 6, 37, 1, 1, 1),                      // bitmap, pixmap
        make_profile(1, 2, 1, 0, 1, 1),                       // JFIF
        make_profile(2, 4, AUDIO_ROW_WIDTH, 0, 2, 2),         // 16-bit stereo WAVE
        make_profile(4, 8, AUDIO_ROW_WIDTH, 0, 2, 2),         // 16-bit stereo AIFF
        make_profile(1, 2, AUDIO_ROW_WIDTH, 0, 1, 2),         // 16-bit mono
        make_profile(12, 24, 5, 1, 3, 4),
        make_profile(127, 254, 2, 1, 1, 1),
    };
    const std::uint32_t sizes[] = {200000, 16, 17, 5, 70001, 3, 1000};
    int filtered_blocks = 0;
    for (const DataProfile& profile : profiles) {
        const std::string what = "stride " + std::to_string(profile.stride) + ", far " +
                                 std::to_string(profile.far_stride) + ", row width " +
                                 std::to_string(profile.row_width);
        ASSERT_TRUE(profile_is_safe(profile)) << what;
        std::vector<Bytes> blocks;
        std::vector<std::uint32_t> deltas;
        for (const std::uint32_t n : sizes) blocks.push_back(smooth_samples(n, profile.stride, n + profile.stride));

        start_tables();
        const Bytes body = encode_to_bytes([&](RangeCoder& rc) {
            for (const Bytes& content : blocks) {
                FramedBlock framed(content);
                DataProfile p = profile;
                TrialTally tally;
                const std::uint32_t delta = choose_delta(rc, framed.block(), framed.length(), p, tally);
                if (delta) delta_encode(framed.block(), 0, framed.length(), p.channels, p.sample_width);
                encode_structured_block(rc, framed.block(), framed.length(), p);
                deltas.push_back(delta);
            }
        });
        filtered_blocks += static_cast<int>(std::count(deltas.begin(), deltas.end(), 1u));

        start_tables();
        RangeCoder rc = decoder_for(body);
        for (std::size_t k = 0; k < blocks.size(); ++k) {
            FramedBlock out(Bytes(blocks[k].size(), 0xEE));
            DataProfile p = profile;
            decode_structured_block(rc, out.block(), out.length(), p);
            if (deltas[k]) delta_decode(out.block(), 0, out.length(), p.channels, p.sample_width);
            ASSERT_EQ(out.content(), blocks[k]) << what << ", block " << k;
        }
        EXPECT_FALSE(io_buffer.ran_dry) << what;
        EXPECT_EQ(io_buffer.pos, io_buffer.fill) << what;
        EXPECT_EQ(std::ftell(io_stream()), static_cast<long>(body.size())) << what;
    }
    EXPECT_GT(filtered_blocks, 0) << "no block took the delta filter";
}

// Profiles that detection never lets through (strides of 128 and more, a
// wrapping row distance, stride 0) still keep every read inside the frame.
TEST(StructuredModel, GarbageUnderAnyProfileStaysInTheFrame) {
    const DataProfile profiles[] = {
        make_profile(255, 255, AUDIO_ROW_WIDTH, 1),
        make_profile(200, 144, 0x01000001u, 1),
        make_profile(130, 4, 0x80000000u, 1),
        make_profile(3, 255, 0x55555556u, 1),               // 3 * row_width wraps to 2
        make_profile(0, 0, 0, 1),
    };
    for (const DataProfile& profile : profiles) {
        start_tables(3, 2);
        RangeCoder rc = decoder_for(random_bytes(3000, profile.stride));
        FramedBlock out(Bytes(20000, 0));
        decode_structured_block(rc, out.block(), out.length(), profile);
        TempStream scratch;
        bind_io_buffer(scratch.get());
        RangeCoder trial(Direction::encode, io_buffer);
        estimate_structured_block(trial, out.block(), out.length(), profile.stride, profile);
        estimate_structured_block(trial, out.block(), out.length(), profile.far_stride, profile);
    }
}

}  // namespace
}  // namespace vexa::test
