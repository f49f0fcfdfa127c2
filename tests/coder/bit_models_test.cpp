// Probability tables and the three ways of coding under them: exact cell
// values after adaptation, saturation, which cells a byte touches, the exact
// body of a short paired-tree run, and the trial pass, which must count what
// the real coder would emit and disturb nothing of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "coder/bit_models.hpp"
#include "coder/range_coder.hpp"
#include "test_support.hpp"

namespace vexa::test {
namespace {


Cells copy_of(const Prob (&table)[TABLE_CELLS]) { return Cells(std::begin(table), std::end(table)); }

std::vector<std::uint32_t> changed_cells(const Cells& before, const Prob (&after)[TABLE_CELLS]) {
    std::vector<std::uint32_t> out;
    for (std::uint32_t i = 0; i < TABLE_CELLS; ++i) {
        if (before[i] != after[i]) out.push_back(i);
    }
    return out;
}


void set_rates(std::uint8_t a, std::uint8_t b) {
    test_rates.rate_a = a;
    test_rates.rate_b = b;
}

// The first decision of a fresh run: a fresh flag cell (like two fresh pair
// cells, which the exact three-byte body below pins) gives the bound
// (0xFFFFFFFF >> 12) * 2048.
TEST(BitModels, FreshCellsSplitTheRangeAtHalf) {
    init_tables();
    set_rates(4, 4);
    TempStream out;
    bind_io_buffer(out.get());

    RangeCoder one(Direction::encode, io_buffer);
    encode_match_flag(one, 0, 1);
    EXPECT_EQ(one.range, 0x7FFFF800u);
    EXPECT_EQ(one.low, 0u);

    init_tables();
    RangeCoder zero(Direction::encode, io_buffer);
    encode_match_flag(zero, 0, 0);
    EXPECT_EQ(zero.range, 0x800007FFu);
    EXPECT_EQ(zero.low, 0x7FFFF800u);
}

// One decision from a fresh cell. 0x80 takes a 1 at node 1 and 0s at nodes
// 3, 6, ..., 192; the flag adapts at rate_b, never at rate_a.
TEST(BitModels, CellsAdaptAtTheirOwnRates) {
    init_tables();
    set_rates(4, 5);
    const Bytes pair_body = encode_to_bytes([](RangeCoder& rc) { encode_pair_byte(rc, 0, 0, 0x80); });
    EXPECT_EQ(bit_tables.table_a[1], 1088);
    EXPECT_EQ(bit_tables.table_b[1], 1056);
    EXPECT_EQ(bit_tables.table_a[3], 960);
    EXPECT_EQ(bit_tables.table_b[3], 992);
    EXPECT_EQ(bit_tables.table_a[192], 960);
    EXPECT_EQ(bit_tables.table_b[192], 992);
    const Cells a = copy_of(bit_tables.table_a), b = copy_of(bit_tables.table_b);
    init_tables();
    RangeCoder dec = decoder_for(pair_body);
    EXPECT_EQ(decode_pair_byte(dec, 0, 0), 0x80u);
    EXPECT_EQ(copy_of(bit_tables.table_a), a);
    EXPECT_EQ(copy_of(bit_tables.table_b), b);

    init_tables();
    set_rates(9, 4);
    const Bytes flag_body = encode_to_bytes([](RangeCoder& rc) {
        encode_match_flag(rc, 5, 1);
        encode_match_flag(rc, 6, 0);
    });
    EXPECT_EQ(bit_tables.match_flag[5], 2176);
    EXPECT_EQ(bit_tables.match_flag[6], 1920);
    init_tables();
    RangeCoder flags = decoder_for(flag_body);
    EXPECT_EQ(decode_match_flag(flags, 5), 1u);
    EXPECT_EQ(decode_match_flag(flags, 6), 0u);
    EXPECT_EQ(bit_tables.match_flag[5], 2176);
    EXPECT_EQ(bit_tables.match_flag[6], 1920);
}

// A cell never reaches 0 or its scale, so every bound stays inside the range:
// under rate r, 2^r - 1 from below and 2049 - 2^r (pair) or 4097 - 2^r (flag)
// from above.
TEST(BitModels, CellsSaturateStrictlyInsideTheScale) {
    const Prob floors[] = {1, 3, 7, 15, 31, 63, 127, 255, 511, 1023};
    const Prob pair_ceilings[] = {2047, 2045, 2041, 2033, 2017, 1985, 1921, 1793, 1537, 1025};
    const Prob flag_ceilings[] = {4095, 4093, 4089, 4081, 4065, 4033, 3969, 3841, 3585, 3073};
    for (std::uint8_t r = 1; r <= 10; ++r) {
        init_tables();
        set_rates(r, r);
        const Bytes body = encode_to_bytes([](RangeCoder& rc) {
            for (int i = 0; i < 3000; ++i) {
                encode_pair_byte(rc, 0, 256, 0x00);
                encode_pair_byte(rc, 512, 768, 0xFF);
                encode_match_flag(rc, 1, 0);
                encode_match_flag(rc, 2, 1);
            }
        });
        EXPECT_EQ(bit_tables.table_a[1], floors[r - 1]) << "rate " << int{r};
        EXPECT_EQ(bit_tables.table_b[256 + 128], floors[r - 1]) << "rate " << int{r};
        EXPECT_EQ(bit_tables.table_a[512 + 1], pair_ceilings[r - 1]) << "rate " << int{r};
        EXPECT_EQ(bit_tables.table_b[768 + 255], pair_ceilings[r - 1]) << "rate " << int{r};
        EXPECT_EQ(bit_tables.match_flag[1], floors[r - 1]) << "rate " << int{r};
        EXPECT_EQ(bit_tables.match_flag[2], flag_ceilings[r - 1]) << "rate " << int{r};

        init_tables();
        RangeCoder dec = decoder_for(body);
        for (int i = 0; i < 3000; ++i) {
            ASSERT_EQ(decode_pair_byte(dec, 0, 256), 0x00u) << "rate " << int{r} << ", round " << i;
            ASSERT_EQ(decode_pair_byte(dec, 512, 768), 0xFFu) << "rate " << int{r} << ", round " << i;
            ASSERT_EQ(decode_match_flag(dec, 1), 0u) << "rate " << int{r} << ", round " << i;
            ASSERT_EQ(decode_match_flag(dec, 2), 1u) << "rate " << int{r} << ", round " << i;
        }
        EXPECT_FALSE(io_buffer.ran_dry) << "rate " << int{r};
    }
}

// Exactly the eight cells on the byte's path adapt in each table, on both
// sides, including the last cell of a table under the largest context.
TEST(BitModels, OnlyThePathCellsAdapt) {
    struct Case {
        std::uint32_t value, ctx_a, ctx_b;
        std::vector<std::uint32_t> nodes;
    };
    const Case cases[] = {
        {0x41, 0, 0, {1, 2, 5, 10, 20, 40, 80, 160}},
        {0x00, 0x4100, 0x14200, {1, 2, 4, 8, 16, 32, 64, 128}},
        {0xFF, 0x1FF00, 0x100, {1, 3, 7, 15, 31, 63, 127, 255}},
        {0xA5, 0x10000, 0xFF00, {1, 3, 6, 13, 26, 52, 105, 210}},
        {0xFF, 0x1FF00, 0x1FF00, {1, 3, 7, 15, 31, 63, 127, 255}},   // up to the last cell
    };
    for (const Case& c : cases) {
        init_tables();
        set_rates(6, 3);
        const Cells a = copy_of(bit_tables.table_a), b = copy_of(bit_tables.table_b);
        const Cells flags = copy_of(bit_tables.match_flag);
        const Bytes body = encode_to_bytes([&](RangeCoder& rc) { encode_pair_byte(rc, c.ctx_a, c.ctx_b, c.value); });
        EXPECT_EQ(changed_cells(a, bit_tables.table_a), cells_at(c.ctx_a, c.nodes)) << "value " << c.value;
        EXPECT_EQ(changed_cells(b, bit_tables.table_b), cells_at(c.ctx_b, c.nodes)) << "value " << c.value;
        EXPECT_EQ(copy_of(bit_tables.match_flag), flags) << "value " << c.value;
        const Cells encoded_a = copy_of(bit_tables.table_a), encoded_b = copy_of(bit_tables.table_b);

        init_tables();
        RangeCoder dec = decoder_for(body);
        EXPECT_EQ(decode_pair_byte(dec, c.ctx_a, c.ctx_b), c.value);
        EXPECT_EQ(copy_of(bit_tables.table_a), encoded_a) << "value " << c.value;
        EXPECT_EQ(copy_of(bit_tables.table_b), encoded_b) << "value " << c.value;
    }
}

TEST(BitModels, ThreeBytesGiveAnExactBodyAndTrialCount) {
    const std::uint32_t values[] = {0x41, 0x41, 0x42};
    init_tables();
    set_rates(4, 4);
    const Bytes body = encode_to_bytes([&](RangeCoder& rc) {
        for (const std::uint32_t v : values) encode_pair_byte(rc, 0, 0, v);
    });
    EXPECT_EQ(body, (Bytes{0x00, 0xBE, 0xBE, 0x58, 0x9C, 0xF5, 0x18}));

    init_tables();
    RangeCoder dec = decoder_for(body);
    for (const std::uint32_t v : values) EXPECT_EQ(decode_pair_byte(dec, 0, 0), v);
    EXPECT_FALSE(io_buffer.ran_dry);
    EXPECT_EQ(io_buffer.pos, io_buffer.fill);

    init_tables();
    TempStream out;
    bind_io_buffer(out.get());
    RangeCoder rc(Direction::encode, io_buffer);
    rc.trial_count = 99;
    rc.trial_range = 5;
    start_trial(rc);
    EXPECT_EQ(rc.trial_count, 0);
    EXPECT_EQ(rc.trial_range, 0xFFFFFFFFu);
    for (const std::uint32_t v : values) count_pair_byte(rc, 0, TRIAL_B_BASE, v);
    EXPECT_EQ(rc.trial_count, 2);
}

// Whatever the cells hold, a trial pass counts exactly the shifts that the
// real coder makes for the same bytes under the same cells, and adapts its
// copies as the real coding adapts the originals.
TEST(BitModels, TrialCountsWhatTheCoderEmits) {
    for (const std::uint32_t seed : {11u, 12u}) {
        std::mt19937 gen(seed);
        // Adapt the tables first so the trial starts from uneven cells.
        init_tables();
        set_rates(3, 2);
        encode_to_bytes([&](RangeCoder& rc) {
            for (int i = 0; i < 20000; ++i) encode_pair_byte(rc, 256 * (gen() % 8), 256 * (gen() % 8), 0x60 + gen() % 8);
        });
        struct Step {
            std::uint32_t ctx_a, ctx_b, value;
        };
        std::vector<Step> steps(30000);
        for (Step& s : steps) {
            s.ctx_a = 256 * (gen() % 16);
            s.ctx_b = 256 * (gen() % 256);
            s.value = gen() % 4 == 0 ? gen() % 256 : 0x60 + gen() % 8;
        }
        set_rates(5, 6);

        TempStream scratch;
        bind_io_buffer(scratch.get());
        RangeCoder trial(Direction::encode, io_buffer);
        start_trial(trial);
        for (const Step& s : steps) count_pair_byte(trial, s.ctx_a, TRIAL_B_BASE + s.ctx_b, s.value);

        const Bytes body = encode_to_bytes([&](RangeCoder& rc) {
            for (const Step& s : steps) encode_pair_byte(rc, s.ctx_a, s.ctx_b, s.value);
        });
        EXPECT_EQ(static_cast<std::size_t>(trial.trial_count) + 5, body.size()) << "seed " << seed;
        EXPECT_TRUE(std::equal(bit_tables.trial, bit_tables.trial + TRIAL_B_BASE, bit_tables.table_a))
            << "seed " << seed;
        EXPECT_TRUE(std::equal(bit_tables.trial + TRIAL_B_BASE, bit_tables.trial + TABLE_CELLS, bit_tables.table_b))
            << "seed " << seed;
    }
}

// A trial pass between two real decisions leaves the encoder, the tables it
// codes under and the staging buffer exactly as they were.
TEST(BitModels, TrialPassDisturbsNothing) {
    const Bytes first = english_text(90000, 21), second = english_text(5000, 22);
    auto code_bytes = [](RangeCoder& rc, const Bytes& data) {
        std::uint32_t prev = 0;
        for (const std::uint8_t x : data) {
            encode_pair_byte(rc, 256 * prev, 0, x);
            prev = x;
        }
    };

    init_tables();
    set_rates(4, 4);
    const Bytes plain = encode_to_bytes([&](RangeCoder& rc) {
        code_bytes(rc, first);
        code_bytes(rc, second);
    });

    init_tables();
    const Bytes with_trial = encode_to_bytes([&](RangeCoder& rc) {
        code_bytes(rc, first);
        ASSERT_GT(io_buffer.pos, 0u) << "the buffer should hold pending bytes";
        const Cells a = copy_of(bit_tables.table_a), b = copy_of(bit_tables.table_b);
        const Cells flags = copy_of(bit_tables.match_flag);
        const RangeCoder saved = rc;
        const auto buffer_copy = std::make_unique<IoBuffer>(io_buffer);
        const long written = std::ftell(io_stream());

        start_trial(rc);
        std::uint32_t prev = 0, prev2 = 0;
        for (const std::uint8_t x : second) {
            count_pair_byte(rc, 256 * prev, TRIAL_B_BASE + 256 * prev2, x);
            prev2 = prev;
            prev = x;
        }
        EXPECT_GT(rc.trial_count, 0);

        EXPECT_EQ(copy_of(bit_tables.table_a), a);
        EXPECT_EQ(copy_of(bit_tables.table_b), b);
        EXPECT_EQ(copy_of(bit_tables.match_flag), flags);
        EXPECT_EQ(rc.range, saved.range);
        EXPECT_EQ(rc.low, saved.low);
        EXPECT_EQ(rc.cache, saved.cache);
        EXPECT_EQ(rc.cache_size, saved.cache_size);
        EXPECT_EQ(io_buffer.pos, buffer_copy->pos);
        EXPECT_EQ(io_buffer.user, buffer_copy->user);
        EXPECT_EQ(std::memcmp(io_buffer.data, buffer_copy->data, IO_BUFFER_SIZE), 0);
        EXPECT_EQ(std::ftell(io_stream()), written);

        code_bytes(rc, second);
    });
    EXPECT_EQ(with_trial, plain);
}

// Each coding step exists with branches and with selects (the adaptation
// looked up in a table); the bytes, the counts and the cells must not
// depend on which one runs. Skewed, random and mixed values, under every
// rate the pipeline can set.
TEST(BitModels, BranchesAndSelectsGiveTheSameBits) {
    struct Step {
        std::uint32_t ctx_a, ctx_b, value;
    };
    std::mt19937 gen(31);
    const auto below = [&](std::uint32_t n) { return static_cast<std::uint32_t>(gen() % n); };
    std::vector<Step> steps(12000);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const bool noisy = (i / 3000) % 2 == 1;
        steps[i] = {256 * below(64), 256 * below(512), noisy ? below(256) : 0x40 + below(4)};
    }
    const std::pair<std::uint8_t, std::uint8_t> rates[] = {{3, 2}, {4, 3}, {5, 4}, {6, 5}, {6, 6}};
    for (const auto& pair : rates) {
        const std::uint8_t ra = pair.first, rb = pair.second;
        const auto code = [&]<Form form>(Cells& a, Cells& b) {
            init_tables();
            set_rates(ra, rb);
            const Bytes body = encode_to_bytes([&](RangeCoder& rc) {
                for (const Step& s : steps) vexa::encode_pair_byte<form>(rc, bit_tables, s.ctx_a, s.ctx_b, s.value, ra, rb);
            });
            a = copy_of(bit_tables.table_a);
            b = copy_of(bit_tables.table_b);
            return body;
        };
        Cells a1, b1, a2, b2;
        const Bytes branchy = code.template operator()<Form::branches>(a1, b1);
        const Bytes selects = code.template operator()<Form::selects>(a2, b2);
        ASSERT_EQ(branchy, selects) << "rates " << int{ra} << "/" << int{rb};
        EXPECT_EQ(a1, a2);
        EXPECT_EQ(b1, b2);

        init_tables();
        RangeCoder dec = decoder_for(branchy);
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Step& s = steps[i];
            const std::uint32_t got = i % 2 ? vexa::decode_pair_byte<Form::selects>(dec, bit_tables, s.ctx_a, s.ctx_b, ra, rb)
                                            : vexa::decode_pair_byte<Form::branches>(dec, bit_tables, s.ctx_a, s.ctx_b, ra, rb);
            ASSERT_EQ(got, s.value) << "rates " << int{ra} << "/" << int{rb} << ", byte " << i;
        }
        EXPECT_EQ(copy_of(bit_tables.table_a), a1);
        EXPECT_EQ(copy_of(bit_tables.table_b), b1);

        std::int32_t counts[2] = {};
        for (int kind = 0; kind < 2; ++kind) {
            init_tables();
            set_rates(ra, rb);
            RangeCoder rc(Direction::encode, io_buffer);
            start_trial(rc);
            for (const Step& s : steps) {
                const std::uint32_t ta = s.ctx_a % TRIAL_B_BASE, tb = TRIAL_B_BASE + s.ctx_b % TRIAL_B_BASE;
                if (kind) {
                    vexa::count_pair_byte<Form::selects>(rc, bit_tables, ta, tb, s.value, ra, rb);
                } else {
                    vexa::count_pair_byte<Form::branches>(rc, bit_tables, ta, tb, s.value, ra, rb);
                }
            }
            counts[kind] = rc.trial_count;
        }
        EXPECT_EQ(counts[0], counts[1]) << "rates " << int{ra} << "/" << int{rb};
    }
}

}  // namespace
}  // namespace vexa::test
