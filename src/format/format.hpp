// The facts of the compressed format that more than one layer needs: the
// block length, the largest input, the header's fields and the profile it
// carries, and how a block's trial count becomes its codes. Each is stated
// here once; a change to any of them changes compressed bytes. Header-only,
// and below every layer: the coder, the models, the filters and the codec
// all include it, and so do the tests, the benchmarks and the fuzz targets.
#pragma once

#include <cstdint>
#include <iterator>
#include <limits>

#include "vexa.h"

namespace vexa {

// Blocks are 512 KiB, the last one of a file shorter; their lengths follow
// from the stored length and are never written.
inline constexpr std::uint32_t BLOCK_CAPACITY = 524288;

// Every block starts with a head of this many bytes (or fewer, in a shorter
// block), coded under fixed contexts on both paths.
inline constexpr std::uint32_t HEAD_LENGTH = 16;

// The header's length field is 32 bits wide; the public limit says the same.
inline constexpr std::uint64_t MAX_INPUT_LENGTH = VEXA_MAX_INPUT_LENGTH;
static_assert(MAX_INPUT_LENGTH == std::numeric_limits<std::uint32_t>::max(),
              "the stored length is one 32-bit field");

// The header: the length; for a non-empty input the class word; for the
// structured class the profile fields after it. All little-endian.
inline constexpr std::uint32_t LENGTH_BYTES = 4;
inline constexpr std::uint32_t CLASS_WORD_BYTES = 4;
inline constexpr std::uint32_t PROFILE_BYTES_MAX = 12;   // the class word and the structured fields
inline constexpr std::uint32_t HEADER_BYTES_MAX = LENGTH_BYTES + PROFILE_BYTES_MAX;
static_assert(PROFILE_BYTES_MAX == CLASS_WORD_BYTES + 8, "stride, far stride, row width (4), channels, width");

inline constexpr std::uint32_t CLASS_STRUCTURED = 0;
inline constexpr std::uint32_t CLASS_GENERIC = 1;
inline constexpr std::uint32_t AUDIO_ROW_WIDTH = 0xFFFFFFFFu;   // no rows

// What the header records about the input, and the one per-block field that
// travels with it. Filled by detect_data_class when compressing and by
// read_header when decompressing.
struct DataProfile {
    std::uint32_t class_word = CLASS_GENERIC;
    std::uint8_t stride = 0;         // distance to the same component one pixel or frame back
    std::uint8_t far_stride = 0;     // second context distance
    std::uint32_t row_width = 0;     // pixels per row; AUDIO_ROW_WIDTH for sound
    std::uint8_t channels = 0;       // delta filter lanes
    std::uint8_t sample_width = 1;   // delta filter bytes per sample
    std::uint8_t row_context = 0;    // per block: context from one row up
};

// The rates a decoder accepts in a block's codes: table A's, then table B's
// (which the match flags share).
inline constexpr std::uint32_t RATE_A_MIN = 3, RATE_A_MAX = 6;
inline constexpr std::uint32_t RATE_B_MIN = 2, RATE_B_MAX = 6;

// The rates a block is given: the first band whose bound, a fraction of the
// block's length, exceeds the block's trial count strictly. The bounds are
// the single-precision values of the decimals; each product with a length
// below 2^20 is exact in double precision.
struct RateBand {
    double bound;
    std::uint8_t rate_a, rate_b;
};
inline constexpr RateBand RATE_BANDS[] = {
    {0.25, 3, 2}, {0.5, 3, 3}, {0.75, 4, 3}, {double{0.8f}, 4, 4},
    {double{0.9f}, 5, 4}, {double{0.95f}, 5, 5}, {double{0.98f}, 6, 5}, {std::numeric_limits<double>::infinity(), 6, 6},
};

// A block is flat (literals as direct bits) when its trial count exceeds
// this fraction of the bytes the trial codes (all but the first two).
inline constexpr double FLAT_THRESHOLD = double{0.98f};

// The filters are tried on modelled blocks whose rate_a is below this: both
// directions know the rate. It is reached at 0.95 bytes per byte.
inline constexpr std::uint32_t FILTER_RATE_A_LIMIT = 6;

// The trial count, as a fraction of the length, from which a band's rate_a
// is at least `rate_a`.
constexpr double band_start_for_rate_a(std::uint32_t rate_a) {
    double start = 0;
    for (const RateBand& band : RATE_BANDS) {
        if (band.rate_a >= rate_a) return start;
        start = band.bound;
    }
    return start;
}

constexpr bool bands_within_accepted_rates() {
    double previous = 0;
    for (const RateBand& band : RATE_BANDS) {
        if (band.bound <= previous || band.rate_a < RATE_A_MIN || band.rate_a > RATE_A_MAX ||
            band.rate_b < RATE_B_MIN || band.rate_b > RATE_B_MAX) {
            return false;
        }
        previous = band.bound;
    }
    return RATE_BANDS[std::size(RATE_BANDS) - 1].bound == std::numeric_limits<double>::infinity();
}
static_assert(bands_within_accepted_rates(), "bands rise, end at infinity, and give only accepted rates");
static_assert(band_start_for_rate_a(FILTER_RATE_A_LIMIT) == double{0.95f}, "the filters stop at 0.95");

}  // namespace vexa
