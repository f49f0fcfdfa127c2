// The structured path's model: coding order and contexts pinned against a
// hand-written list of (position, context positions) coded with the plain
// byte tree, the row-context boundary, virtual zeros before the block, the
// delta decision, round trips under every kind of profile detection
// produces, and garbage decoded under profiles no compressor would write.
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

class FramedBlock {
public:
    explicit FramedBlock(const Bytes& content)
        : storage_(CONTEXT_REACH + content.size() + DELTA_SPARE_BYTES, 0) {
        std::copy(content.begin(), content.end(), block());
    }
    std::uint8_t* block() { return storage_.data() + CONTEXT_REACH; }
    std::uint32_t length() const {
        return static_cast<std::uint32_t>(storage_.size() - CONTEXT_REACH - DELTA_SPARE_BYTES);
    }
    Bytes content() const {
        return Bytes(storage_.begin() + CONTEXT_REACH, storage_.end() - DELTA_SPARE_BYTES);
    }
    Bytes& storage() { return storage_; }

private:
    Bytes storage_;
};

DataProfile make_profile(std::uint8_t stride, std::uint8_t far_stride, std::uint32_t row_width,
                         std::uint8_t row_context, std::uint8_t channels = 1, std::uint8_t sample_width = 1) {
    DataProfile p;
    p.class_word = CLASS_STRUCTURED;
    p.stride = stride;
    p.far_stride = far_stride;
    p.row_width = row_width;
    p.row_context = row_context;
    p.channels = channels;
    p.sample_width = sample_width;
    return p;
}


void start_run(std::uint8_t rate_a = 4, std::uint8_t rate_b = 3) {
    init_tables();
    test_rates.rate_a = rate_a;
    test_rates.rate_b = rate_b;
}

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
    start_run(rate_a, rate_b);
    return coded(encode_to_bytes([&](RangeCoder& rc) {
        for (std::size_t i = 0; i < std::min<std::size_t>(16, block.size()); ++i) encode_pair_byte(rc, 0, 0, block[i]);
        for (const Step& s : steps) {
            encode_pair_byte(rc, 256 * byte_at(block, s.a_from), 256 * byte_at(block, s.b_from),
                             block[static_cast<std::size_t>(s.pos)]);
        }
    }));
}

// Smooth samples per component with a little noise: close to what the
// filters and contexts are made for.
Bytes smooth_samples(std::size_t size, std::uint32_t stride, std::uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint32_t prev = i >= stride ? out[i - stride] : 100 + 20 * (i % 5);
        out[i] = static_cast<std::uint8_t>(prev + gen() % 7 - 3);
    }
    return out;
}

Coded structured_coding(const Bytes& content, const DataProfile& profile, std::uint8_t rate_a = 4,
                        std::uint8_t rate_b = 3) {
    start_run(rate_a, rate_b);
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
    start_run();
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
    start_run();
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
        start_run();
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
    start_run();
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
            start_run(pair.first, pair.second);
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
    start_run();
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
    start_run();
    expect_decodes_to(got.body, content, wide, "stride 12");

    const Bytes eighty = random_bytes(80, 46);
    EXPECT_EQ(structured_trial(eighty, 12, wide),
              expected_trial(eighty, {{12, 0, -12}, {13, 1, -11}, {14, 2, -10}, {15, 3, -9},
                                      {16, 4, -8}, {17, 5, -7}, {18, 6, -6}, {19, 7, -5}}));
}

TEST(StructuredModel, ChooseDeltaLeavesTheBlockAsItWas) {
    struct Case {
        DataProfile profile;
        std::uint32_t length;
    };
    const Case cases[] = {
        {make_profile(3, 6, 17, 1, 1, 1), 4099},
        {make_profile(2, 4, AUDIO_ROW_WIDTH, 0, 2, 2), 4097},
        {make_profile(4, 8, AUDIO_ROW_WIDTH, 0, 2, 2), 4095},
        {make_profile(4, 8, AUDIO_ROW_WIDTH, 0, 1, 4), 4093},
        {make_profile(12, 24, 5, 1, 3, 4), 1001},
    };
    for (const Case& c : cases) {
        const std::string what = "stride " + std::to_string(c.profile.stride) + ", width " +
                                 std::to_string(c.profile.sample_width);
        FramedBlock framed(random_bytes(c.length, c.length));
        Bytes& storage = framed.storage();
        std::fill(storage.end() - DELTA_SPARE_BYTES, storage.end(), std::uint8_t{0xA5});
        const Bytes before = storage;
        start_run();
        const std::vector<Prob> a(std::begin(bit_tables.table_a), std::end(bit_tables.table_a));
        const std::vector<Prob> b(std::begin(bit_tables.table_b), std::end(bit_tables.table_b));
        TempStream out;
        bind_io_buffer(out.get());
        RangeCoder rc(Direction::encode, io_buffer);
        DataProfile profile = c.profile;
        TrialTally tally;
        choose_delta(rc, framed.block(), framed.length(), profile, tally);
        EXPECT_EQ(storage, before) << what;
        EXPECT_TRUE(std::equal(a.begin(), a.end(), bit_tables.table_a)) << what;
        EXPECT_TRUE(std::equal(b.begin(), b.end(), bit_tables.table_b)) << what;
        EXPECT_EQ(io_buffer.pos, 0u) << what;
    }
}

// A ramp is what the delta filter is for; but with a quarter no longer than
// far_stride the plain estimate counts nothing and the answer is 0.
TEST(StructuredModel, ChooseDeltaNeedsAQuarterBeyondFarStride) {
    const DataProfile picture = make_profile(3, 6, 1000, 0, 1, 1);
    auto decide = [&](std::uint32_t length) {
        Bytes ramp(length);
        for (std::uint32_t i = 0; i < length; ++i) ramp[i] = static_cast<std::uint8_t>(i);
        FramedBlock framed(ramp);
        start_run();
        TempStream out;
        bind_io_buffer(out.get());
        RangeCoder rc(Direction::encode, io_buffer);
        DataProfile profile = picture;
        TrialTally tally;
        return choose_delta(rc, framed.block(), framed.length(), profile, tally);
    };
    EXPECT_EQ(decide(4096), 1u);
    for (const std::uint32_t length : {0u, 1u, 16u, 24u, 27u}) EXPECT_EQ(decide(length), 0u) << "length " << length;
}

// The decision filters only the first quarter, which is all that its count
// reads. That must give the count of a wholly filtered block, also when the
// quarter ends inside a sample.
TEST(StructuredModel, ChooseDeltaCountsAsIfTheWholeBlockWereFiltered) {
    const DataProfile profiles[] = {
        make_profile(3, 6, 37, 1, 1, 1),
        make_profile(2, 4, AUDIO_ROW_WIDTH, 0, 2, 2),
        make_profile(4, 8, AUDIO_ROW_WIDTH, 0, 1, 4),
        make_profile(6, 12, AUDIO_ROW_WIDTH, 0, 2, 3),
    };
    // Noise gives counts close to each other, where any change to what is
    // filtered or counted flips some decisions.
    for (const DataProfile& profile : profiles) {
        for (const std::uint32_t length : {4093u, 20002u, 65537u}) {
            for (const bool noisy : {false, true}) {
                const std::string what = "stride " + std::to_string(profile.stride) + ", length " +
                                         std::to_string(length) + (noisy ? ", noise" : ", smooth");
                const Bytes content =
                    noisy ? random_bytes(length, length) : smooth_samples(length, profile.stride, length);
                start_run(4, 3);
                TempStream out;
                bind_io_buffer(out.get());
                RangeCoder rc(Direction::encode, io_buffer);

                FramedBlock whole(content);
                DataProfile p = profile;
                const std::uint32_t plain = estimate_structured_block(rc, whole.block(), length, p.far_stride, p);
                delta_encode(whole.block(), 0, length, p.channels, p.sample_width);
                const std::uint32_t filtered = estimate_structured_block(rc, whole.block(), length, p.stride, p);

                FramedBlock part(content);
                DataProfile r = profile;
                delta_encode(part.block(), 0, length / 4, r.channels, r.sample_width);
                EXPECT_EQ(estimate_structured_block(rc, part.block(), length, r.stride, r), filtered) << what;

                FramedBlock framed(content);
                DataProfile q = profile;
                TrialTally tally;
                EXPECT_EQ(choose_delta(rc, framed.block(), length, q, tally), plain > filtered ? 1u : 0u) << what;
                EXPECT_EQ(framed.content(), content) << what;
            }
        }
    }
}

// Noise gives plain and filtered counts a few bytes apart, and on some
// blocks equal. Where the bounds cannot tell (the tally says the exact pass
// ran), the exact counts must decide, and a tie keeps the block unfiltered;
// three such blocks for each sign of the difference. A ramp is settled by
// the bounds alone.
TEST(StructuredModel, ChooseDeltaNearATieTakesTheExactCounts) {
    const DataProfile mono = make_profile(1, 2, AUDIO_ROW_WIDTH, 0, 1, 1);
    constexpr std::uint32_t length = 40000;
    const auto decide = [&](const Bytes& content, TrialTally& tally, std::int64_t* difference) {
        start_run(6, 6);
        FramedBlock framed(content);
        DataProfile p = mono, q = mono;
        RangeCoder rc(Direction::encode, io_buffer);
        const std::uint32_t delta = choose_delta(rc, framed.block(), length, p, tally);
        const std::int64_t plain = estimate_structured_block(rc, framed.block(), length, q.far_stride, q);
        delta_encode(framed.block(), 0, length, q.channels, q.sample_width);
        *difference = plain - estimate_structured_block(rc, framed.block(), length, q.stride, q);
        return delta;
    };
    int seen[3] = {};   // plain below, equal to and above filtered
    for (std::uint32_t seed = 1; seed < 400 && std::min({seen[0], seen[1], seen[2]}) < 3; ++seed) {
        TrialTally tally;
        std::int64_t difference = 0;
        const std::uint32_t delta = decide(random_bytes(length, seed), tally, &difference);
        if (tally.exact == 0) continue;
        EXPECT_EQ(delta, difference > 0 ? 1u : 0u) << "seed " << seed;
        ++seen[(difference > 0) - (difference < 0) + 1];
    }
    EXPECT_GE(std::min({seen[0], seen[1], seen[2]}), 3) << "too few near ties on some side";

    Bytes ramp(length);
    for (std::uint32_t i = 0; i < length; ++i) ramp[i] = static_cast<std::uint8_t>(i);
    TrialTally tally;
    std::int64_t difference = 0;
    EXPECT_EQ(decide(ramp, tally, &difference), 1u);
    EXPECT_EQ(tally.settled, 1u);
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

        start_run();
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

        start_run();
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
        start_run(3, 2);
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
