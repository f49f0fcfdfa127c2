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
#include "decisions/trial_costs.hpp"
#include "decisions/trial_count.hpp"
#include "decisions/trial_interval.hpp"
#include "model/byte_model.hpp"
#include "model/structured_model.hpp"
#include "test_support.hpp"

namespace vexa::test {
namespace {

// Every sum of two cells and both bits, at the narrowest and widest widths,
// at widths just below a multiple of 4096 (where the split loses the most)
// and at random ones: log2(r / r') computed in long double must lie within
// the entry, and the entry must be no wider than the bounds plus rounding.
TEST(TrialInterval, CostTableBracketsEveryNarrowing) {
    const long double unit = std::ldexp(1.0L, static_cast<int>(COST_FRACTION_BITS));
    std::mt19937 gen(70);
    for (std::uint32_t p = 1; p < FLAG_SCALE; ++p) {
        for (std::uint32_t bit = 0; bit < 2; ++bit) {
            const std::string what = "p " + std::to_string(p) + ", bit " + std::to_string(bit);
            const std::uint64_t entry = DECISION_COSTS.packed[2 * p + bit];
            const long double lower = static_cast<long double>(entry & 0xFFFFFFFFu) / unit;
            const long double upper = static_cast<long double>(entry >> 32) / unit;
            for (const std::uint32_t r : {RANGE_TOP, RANGE_TOP + 4095, 0xFFFFEFFFu, 0xFFFFFFFFu,
                                          RANGE_TOP + static_cast<std::uint32_t>(gen() % (0u - RANGE_TOP))}) {
                const std::uint32_t bound = (r >> 12) * p;
                const long double cost = std::log2(static_cast<long double>(r) / (bit ? bound : r - bound));
                ASSERT_LE(lower, cost + 1e-12L) << what << ", width " << r;
                ASSERT_GE(upper, cost - 1e-12L) << what << ", width " << r;
            }
            const long double spread = std::log2(bit ? 4096.0L / 4095 : 1 + p / (4096.0L * (FLAG_SCALE - p)));
            ASSERT_LE(upper - lower, spread + 2 / unit) << what;
        }
    }
}

// Text, noise, runs and a four-letter alphabet, in segments.
Bytes mixed_block(std::mt19937& gen, std::size_t size) {
    Bytes out;
    while (out.size() < size) {
        const std::size_t len = std::min<std::size_t>(1 + gen() % 6000, size - out.size());
        const std::uint32_t kind = gen() % 4;
        Bytes part = kind == 0 ? english_text(len, gen()) : random_bytes(len, gen());
        for (auto& b : part) b = kind == 2 ? part[0] : kind == 3 ? "acgt"[b % 4] : b;
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// Generic and structured walks alternately, from fresh tables or from tables
// adapted by text or by long runs (which push the cells of a few trees to
// the ends of the scale), at several rates.
TEST(TrialInterval, HoldsTheExactCount) {
    const DataProfile shapes[] = {{CLASS_STRUCTURED, 3, 6, 37}, {CLASS_STRUCTURED, 2, 4, AUDIO_ROW_WIDTH},
                                  {CLASS_STRUCTURED, 12, 24, 5}};
    const std::uint8_t rates[][2] = {{5, 6}, {5, 6}, {3, 2}, {4, 3}, {6, 6}, {2, 5}};
    std::mt19937 gen(71);
    for (std::uint32_t k = 0; k < 200; ++k) {
        const auto n = static_cast<std::uint32_t>(k < 4 ? k : gen() % 60000);
        Bytes framed(CONTEXT_REACH, 0);   // zeros before the block, as the pipeline keeps them
        const Bytes content = mixed_block(gen, n);
        framed.insert(framed.end(), content.begin(), content.end());
        const std::uint8_t* const block = framed.data() + CONTEXT_REACH;
        const auto& [ra, rb] = rates[gen() % std::size(rates)];
        const DataProfile& shape = shapes[gen() % std::size(shapes)];
        const std::uint32_t start = gen() % 2 ? shape.stride : shape.far_stride;
        const bool generic = k % 2 == 0;
        const std::string what = "block " + std::to_string(k) + ", length " + std::to_string(n) +
                                 ", rates " + std::to_string(ra) + "/" + std::to_string(rb);

        init_tables();
        test_rates.rate_a = ra;
        test_rates.rate_b = rb;
        const Bytes warm = gen() % 2 ? english_text(30000, gen()) : Bytes(20000, static_cast<std::uint8_t>(gen() % 4));
        if (gen() % 3) {
            encode_to_bytes([&](RangeCoder& rc) {
                for (std::size_t i = 2; i < warm.size(); ++i) encode_pair_byte(rc, 256 * warm[i - 1], 256 * warm[i - 2], warm[i]);
            });
        }
        const CountInterval bounds = generic ? interval_generic_block(bit_tables, block, n, ra, rb)
                                           : interval_structured_block(bit_tables, block, n, start, shape, ra, rb);
        const std::vector<Prob> walked(std::begin(bit_tables.trial), std::end(bit_tables.trial));
        RangeCoder rc(Direction::encode, io_buffer);
        const std::uint32_t count = generic ? estimate_generic_block(rc, block, n)
                                            : estimate_structured_block(rc, block, n, start, shape);
        ASSERT_LE(bounds.lo, count) << what;
        ASSERT_GE(bounds.hi, count) << what;
        EXPECT_LE(bounds.hi - bounds.lo, 1 + n / 256) << what;
        ASSERT_TRUE(std::equal(walked.begin(), walked.end(), bit_tables.trial)) << what << ": other cells adapted";
    }
}

}  // namespace
}  // namespace vexa::test
