// Whole files through the two pipelines in memory: exact bytes of the small
// worked files, and round trips around every block boundary.
#include <gtest/gtest.h>

#include "test_support.hpp"

namespace vexa::test {
namespace {

TEST(Pipeline, SmallFilesHaveExactBytes) {
    EXPECT_EQ(compress_bytes({}), Bytes(9, 0x00));
    EXPECT_EQ(compress_bytes({0x41}),
              (Bytes{0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0xFE, 0x7E, 0xFF, 0xFE, 0xEF,
                     0x80, 0x00, 0x00, 0x00}));
    // The bitmap signature alone: structured path, 16-byte header, 9-byte body.
    EXPECT_EQ(compress_bytes({'B', 'M'}),
              (Bytes{0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x06, 0x01, 0x00, 0x00,
                     0x00, 0x01, 0x01, 0x00, 0xFE, 0x7E, 0xB7, 0xB3, 0xB5, 0x42, 0x00, 0x00}));
}

TEST(Pipeline, RoundTripsAroundBlockBoundaries) {
    for (const std::size_t size : {0u, 1u, 2u, 16u, 17u, 511u, 512u, 524287u, 524288u, 524289u}) {
        for (const Bytes& input : {english_text(size, 3), random_bytes(size, 5)}) {
            RunResult c, d;
            const Bytes packed = compress_bytes(input, &c);
            ASSERT_EQ(c.status, RunStatus::ok) << "size " << size;
            const Bytes restored = decompress_bytes(packed, &d);
            ASSERT_EQ(d.status, RunStatus::ok) << "size " << size;
            ASSERT_EQ(restored, input) << "size " << size;
        }
    }
}

}  // namespace
}  // namespace vexa::test
