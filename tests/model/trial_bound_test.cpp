// The trial bounds: each table entry brackets what the coder's narrowing of
// a width costs at any width it can have, and against the exact trial count
// on many blocks of every kind, from fresh tables and from tables whose cells sit near either end of
// the scale (where a 0 costs the most and the bounds differ the most), at
// the pipeline's trial rates and others, the interval must hold the count
// and the walk must leave the trial table exactly as the exact pass does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "coder/bit_models.hpp"
#include "model/byte_model.hpp"
#include "model/structured_model.hpp"
#include "model/trial_bound.hpp"
#include "model/trial_costs.hpp"
#include "test_support.hpp"

namespace vexa::test {
namespace {

using Cells = std::vector<Prob>;

Cells trial_cells() { return Cells(std::begin(bit_tables.trial), std::end(bit_tables.trial)); }

// Segments of text, noise, runs and a four-letter alphabet.
Bytes mixed_block(std::mt19937& gen, std::size_t size) {
    Bytes out;
    while (out.size() < size) {
        const std::size_t len = std::min<std::size_t>(1 + gen() % 6000, size - out.size());
        Bytes part;
        switch (gen() % 4) {
            case 0: part = english_text(len, gen()); break;
            case 1: part = random_bytes(len, gen()); break;
            case 2: part.assign(len, static_cast<std::uint8_t>(gen())); break;
            default:
                for (std::size_t k = 0; k < len; ++k) part.push_back(static_cast<std::uint8_t>("acgt"[gen() % 4]));
        }
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// Fresh tables, or tables adapted by text, or by long runs under few
// contexts, which push the cells of those trees to the ends of the scale.
void start_tables(std::mt19937& gen) {
    init_tables();
    bit_tables.rate_a = 4;
    bit_tables.rate_b = 4;
    const std::uint32_t kind = gen() % 3;
    if (kind == 0) return;
    const Bytes warm = kind == 1 ? english_text(30000, gen()) : Bytes(20000, static_cast<std::uint8_t>(gen() % 4));
    encode_to_bytes([&](RangeCoder& rc) {
        for (std::size_t i = 2; i < warm.size(); ++i) {
            encode_pair_byte(rc, 256 * warm[i - 1], 256 * warm[i - 2], warm[i]);
        }
    });
}

// Every sum of two cells and both bits, at the narrowest and widest widths,
// at widths just below a multiple of 4096 (where the split loses the most)
// and at random ones: log2(r / r') computed in long double must lie within
// the entry, and the entry must be no wider than the bounds plus rounding.
TEST(TrialBound, CostTableBracketsEveryNarrowing) {
    const long double unit = std::ldexp(1.0L, static_cast<int>(COST_FRACTION_BITS));
    std::mt19937 gen(70);
    for (std::uint32_t p = 1; p < FLAG_SCALE; ++p) {
        for (std::uint32_t bit = 0; bit < 2; ++bit) {
            const std::uint64_t entry = DECISION_COSTS.packed[2 * p + bit];
            const long double lower = static_cast<long double>(entry & 0xFFFFFFFFu) / unit;
            const long double upper = static_cast<long double>(entry >> 32) / unit;
            const std::uint32_t widths[] = {RANGE_TOP, RANGE_TOP + 4095, 2 * RANGE_TOP - 1, 0xFFFFF000u - 1,
                                            0xFFFFFFFFu, RANGE_TOP + static_cast<std::uint32_t>(gen() % (0u - RANGE_TOP)),
                                            RANGE_TOP + static_cast<std::uint32_t>(gen() % RANGE_TOP)};
            for (const std::uint32_t r : widths) {
                const std::uint32_t bound = (r >> 12) * p;
                const std::uint32_t narrowed = bit ? bound : r - bound;
                const long double cost = std::log2(static_cast<long double>(r) / narrowed);
                ASSERT_LE(lower, cost + 1e-12L) << "p " << p << ", bit " << bit << ", width " << r;
                ASSERT_GE(upper, cost - 1e-12L) << "p " << p << ", bit " << bit << ", width " << r;
            }
            const long double q = static_cast<long double>(p) / FLAG_SCALE;
            const long double spread = bit ? std::log2(4096.0L / 4095) : std::log2(1 + q / (FLAG_SCALE - p));
            ASSERT_LE(upper - lower, spread + 2 / unit) << "p " << p << ", bit " << bit;
        }
    }
}

struct RatePair {
    std::uint8_t a, b;
};

std::string describe(std::uint32_t block, std::size_t length, RatePair rates) {
    return "block " + std::to_string(block) + ", length " + std::to_string(length) + ", rates " +
           std::to_string(rates.a) + "/" + std::to_string(rates.b);
}

TEST(TrialBound, GenericBoundsHoldTheExactCount) {
    std::mt19937 gen(71);
    const RatePair rate_pairs[] = {{5, 6}, {5, 6}, {3, 2}, {4, 4}, {6, 6}, {2, 5}};
    for (std::uint32_t k = 0; k < 150; ++k) {
        const std::size_t length = k < 4 ? k : gen() % 40000;
        const Bytes block = mixed_block(gen, length);
        const RatePair rates = rate_pairs[gen() % std::size(rate_pairs)];
        const std::string what = describe(k, length, rates);
        start_tables(gen);

        const auto n = static_cast<std::uint32_t>(length);
        const CountBounds bounds = bound_generic_block(bit_tables, block.data(), n, rates.a, rates.b);
        const Cells walked = trial_cells();
        bit_tables.rate_a = rates.a;
        bit_tables.rate_b = rates.b;
        RangeCoder rc(0);
        const std::uint32_t count = estimate_generic_block(rc, block.data(), n);
        ASSERT_LE(bounds.lo, count) << what;
        ASSERT_GE(bounds.hi, count) << what;
        EXPECT_LE(bounds.hi - bounds.lo, 1 + n / 256) << what;
        ASSERT_TRUE(walked == trial_cells()) << what << ": the walks adapted different cells";
    }
}

TEST(TrialBound, StructuredBoundsHoldTheExactCount) {
    struct Shape {
        std::uint8_t stride, far_stride;
        std::uint32_t row_width;
    };
    const Shape shapes[] = {{3, 6, 37}, {2, 4, AUDIO_ROW_WIDTH}, {1, 2, 1}, {4, 8, AUDIO_ROW_WIDTH}, {12, 24, 5}};
    const RatePair rate_pairs[] = {{3, 2}, {3, 3}, {4, 3}, {4, 4}, {5, 4}, {5, 5}, {6, 5}, {6, 6}};
    std::mt19937 gen(72);
    for (std::uint32_t k = 0; k < 80; ++k) {
        const Shape& shape = shapes[k % std::size(shapes)];
        DataProfile profile;
        profile.class_word = CLASS_STRUCTURED;
        profile.stride = shape.stride;
        profile.far_stride = shape.far_stride;
        profile.row_width = shape.row_width;
        const std::size_t length = gen() % 90000;
        const RatePair rates = rate_pairs[gen() % std::size(rate_pairs)];
        const std::string what = describe(k, length, rates) + ", stride " + std::to_string(shape.stride);

        // Zeros in front, as the pipeline keeps them, for contexts before the block.
        Bytes framed(CONTEXT_REACH, 0);
        const Bytes content = mixed_block(gen, length);
        framed.insert(framed.end(), content.begin(), content.end());
        const std::uint8_t* const block = framed.data() + CONTEXT_REACH;
        const auto n = static_cast<std::uint32_t>(length);
        const std::uint32_t start = gen() % 2 ? shape.stride : shape.far_stride;
        start_tables(gen);

        const CountBounds bounds = bound_structured_block(bit_tables, block, n, start, profile, rates.a, rates.b);
        const Cells walked = trial_cells();
        bit_tables.rate_a = rates.a;
        bit_tables.rate_b = rates.b;
        RangeCoder rc(0);
        const std::uint32_t count = estimate_structured_block(rc, block, n, start, profile);
        ASSERT_LE(bounds.lo, count) << what;
        ASSERT_GE(bounds.hi, count) << what;
        EXPECT_LE(bounds.hi - bounds.lo, 1 + n / 256) << what;
        ASSERT_TRUE(walked == trial_cells()) << what << ": the walks adapted different cells";
    }
}

}  // namespace
}  // namespace vexa::test
