// Tiny inputs beside their exact compressed bytes (tests/golden/NAME and
// NAME.vx), the one place where they are checked. A change to any of these
// files is a change of the file format and must be deliberate.
#include <gtest/gtest.h>

#include <string>

#include "test_support.hpp"

namespace vexa::test {
namespace {

// Exact both ways, through the public buffer calls on one context.
TEST(Golden, FilesHaveTheirExactBytes) {
    vexa_ctx* const ctx = vexa_create();
    ASSERT_NE(ctx, nullptr);
    for (const char* name : GOLDEN_FILES) {
        EXPECT_EQ(round_trip_fault(ctx, golden(name), golden(std::string(name) + ".vx")), "") << name;
    }
    vexa_free(ctx);
}

// The first block's codes: flat, rate_a, rate_b, then text (generic) or
// row_context (media).
struct BlockCodes {
    std::uint32_t flat, rate_a, rate_b, fourth;
};

BlockCodes first_block_codes(const Bytes& file) {
    const std::size_t header = file[4] == 0 ? 16 : 8;
    RangeCoder rc = decoder_for(Bytes(file.begin() + static_cast<long>(header), file.end()));
    BlockCodes codes{};
    codes.flat = rc.decode_direct_bit();
    codes.rate_a = rc.decode_direct_byte();
    codes.rate_b = rc.decode_direct_byte();
    codes.fourth = rc.decode_direct_bit();
    return codes;
}

// Each file still exercises what it was chosen for, so that regenerating the
// set cannot quietly lose a path.
TEST(Golden, FilesTakeTheirIntendedPaths) {
    const Bytes prose = golden("english_600.txt.vx");
    EXPECT_EQ(prose[4], 1);
    EXPECT_EQ(first_block_codes(prose).flat, 0u);
    EXPECT_EQ(first_block_codes(prose).fourth, 1u) << "the text filter should take this block";
    EXPECT_EQ(first_block_codes(golden("text_20.txt.vx")).fourth, 0u) << "too short for the text filter";

    const Bytes wave = golden("wave_tiny.wav.vx");
    EXPECT_EQ(Bytes(wave.begin() + 4, wave.begin() + 16),
              (Bytes{0, 0, 0, 0, 2, 4, 0xFF, 0xFF, 0xFF, 0xFF, 2, 2}));   // stereo, 16 bits
    EXPECT_EQ(first_block_codes(wave).fourth, 0u) << "sound has no rows";

    const Bytes pixmap = golden("pixmap_tiny.ppm.vx");
    EXPECT_EQ(Bytes(pixmap.begin() + 4, pixmap.begin() + 16),
              (Bytes{0, 0, 0, 0, 3, 6, 4, 0, 0, 0, 1, 1}));               // rows of 4 pixels
    EXPECT_EQ(first_block_codes(pixmap).fourth, 1u) << "an image codes its row context";
}

}  // namespace
}  // namespace vexa::test
