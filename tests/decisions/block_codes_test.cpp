// The delta decision of a structured block: it leaves the block and the
// tables as they were, counts as if the whole block were filtered, and
// where its intervals cannot tell, takes the exact counts. The flat bit and
// rates are checked at every threshold through whole runs (pipeline_test).
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "decisions/block_codes.hpp"
#include "filters/delta.hpp"
#include "model/structured_model.hpp"
#include "test_support.hpp"

namespace vexa::test {
namespace {

TEST(ChooseDelta, LeavesTheBlockAsItWas) {
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
        start_tables();
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
TEST(ChooseDelta, NeedsAQuarterBeyondFarStride) {
    const DataProfile picture = make_profile(3, 6, 1000, 0, 1, 1);
    auto decide = [&](std::uint32_t length) {
        Bytes ramp(length);
        for (std::uint32_t i = 0; i < length; ++i) ramp[i] = static_cast<std::uint8_t>(i);
        FramedBlock framed(ramp);
        start_tables();
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
TEST(ChooseDelta, CountsAsIfTheWholeBlockWereFiltered) {
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
                start_tables(4, 3);
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
TEST(ChooseDelta, NearATieTakesTheExactCounts) {
    const DataProfile mono = make_profile(1, 2, AUDIO_ROW_WIDTH, 0, 1, 1);
    constexpr std::uint32_t length = 40000;
    const auto decide = [&](const Bytes& content, TrialTally& tally, std::int64_t* difference) {
        start_tables(6, 6);
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

}  // namespace
}  // namespace vexa::test
