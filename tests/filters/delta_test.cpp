// Delta filter: exact differences for each sample width, the last sample that
// reaches past its range, lane counts above the 32 lanes, and round trips.
// Every buffer ends exactly 3 spare bytes after its range, so the sanitizer
// build catches a fourth.
#include <gtest/gtest.h>

#include <random>

#include "filters/delta.hpp"
#include "test_support.hpp"

namespace vexa::test {
namespace {

DataProfile profile_of(std::uint8_t sample_width, std::uint8_t channels) {
    DataProfile p;
    p.class_word = CLASS_STRUCTURED;
    p.sample_width = sample_width;
    p.channels = channels;
    return p;
}

// `range` followed by the spare bytes; the filter runs over `range` only.
struct Buffer {
    Bytes bytes;
    std::uint32_t start, count;
};

Buffer buffer_of(const Bytes& range, const Bytes& spare = {0, 0, 0}) {
    Buffer b{range, 0, static_cast<std::uint32_t>(range.size())};
    b.bytes.insert(b.bytes.end(), spare.begin(), spare.end());
    return b;
}

Bytes encoded(Buffer b, DataProfile p) {
    delta_encode(b.bytes.data(), b.start, b.count, p.channels, p.sample_width);
    return b.bytes;
}

Bytes decoded(Buffer b, DataProfile p) {
    delta_decode(b.bytes.data(), b.start, b.count, p.channels, p.sample_width);
    return b.bytes;
}

// The range part of a filtered buffer.
Bytes range_of(const Bytes& bytes, const Buffer& b) {
    return Bytes(bytes.begin() + b.start, bytes.begin() + b.start + b.count);
}

TEST(Delta, ExactDifferences) {
    const Buffer bytes = buffer_of({10, 12, 15, 15});
    EXPECT_EQ(range_of(encoded(bytes, profile_of(1, 1)), bytes), (Bytes{10, 2, 3, 0}));
    EXPECT_EQ(decoded(buffer_of({10, 2, 3, 0}), profile_of(1, 1)), bytes.bytes);

    // Each lane against its own previous sample; the first of each is kept.
    const Buffer three = buffer_of({10, 20, 30, 11, 22, 33, 5});
    EXPECT_EQ(range_of(encoded(three, profile_of(1, 3)), three), (Bytes{10, 20, 30, 1, 2, 3, 250}));

    // 0x0100 0x0200 0x0105 0x01FF in two lanes: 0x01FF - 0x0200 wraps to 0xFFFF.
    const Buffer pairs = buffer_of({0x00, 0x01, 0x00, 0x02, 0x05, 0x01, 0xFF, 0x01});
    const Bytes pairs_out = {0x00, 0x01, 0x00, 0x02, 0x05, 0x00, 0xFF, 0xFF};
    EXPECT_EQ(range_of(encoded(pairs, profile_of(2, 2)), pairs), pairs_out);
    EXPECT_EQ(decoded(buffer_of(pairs_out), profile_of(2, 2)), pairs.bytes);

    // 5, 3, 0x80000000, 0: differences wrap modulo 2^32.
    const Buffer words = buffer_of({0x05, 0, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0, 0});
    const Bytes words_out = {0x05, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0xFD, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0x80};
    EXPECT_EQ(range_of(encoded(words, profile_of(4, 1)), words), words_out);
    EXPECT_EQ(decoded(buffer_of(words_out), profile_of(4, 1)), words.bytes);

    // A count of 0 touches nothing.
    for (const std::uint8_t width : {1, 2, 4}) {
        Buffer empty = buffer_of({7, 8, 9}, {1, 2, 3});
        empty.count = 0;
        EXPECT_EQ(encoded(empty, profile_of(width, 1)), empty.bytes) << "width " << width;
        EXPECT_EQ(decoded(empty, profile_of(width, 1)), empty.bytes) << "width " << width;
    }
}

// Every call starts all lanes from 0, whatever came before it.
TEST(Delta, EachCallStartsAfresh) {
    Bytes bytes = {10, 12, 15, 15, 20, 22, 0, 0, 0};
    DataProfile p = profile_of(1, 1);
    delta_encode(bytes.data(), 0, 4, p.channels, p.sample_width);
    delta_encode(bytes.data(), 4, 2, p.channels, p.sample_width);
    EXPECT_EQ(bytes, (Bytes{10, 2, 3, 0, 20, 2, 0, 0, 0}));

    // A range that starts inside the buffer leaves the bytes before it alone.
    bytes = {1, 2, 3, 10, 12, 15, 0xAA, 0xBB};
    delta_encode(bytes.data(), 3, 2, p.channels, p.sample_width);
    EXPECT_EQ(bytes, (Bytes{1, 2, 3, 10, 2, 15, 0xAA, 0xBB}));
}

// 24-bit samples are differenced byte by byte, in both directions.
TEST(Delta, WidthThreeActsAsWidthOne) {
    const Buffer b = buffer_of(random_bytes(301, 3));
    for (const std::uint8_t channels : {1, 2, 6}) {
        const Bytes work = encoded(b, profile_of(3, channels));
        EXPECT_EQ(work, encoded(b, profile_of(1, channels))) << "channels " << int{channels};
        EXPECT_EQ(decoded({work, b.start, b.count}, profile_of(3, channels)), b.bytes) << "channels " << int{channels};
    }
}

// Widths other than 1, 2 and 4 leave the data alone, and so do the zero
// width and channel count of a damaged header: no stall, nothing touched.
TEST(Delta, OtherWidthsAndZeroLanesChangeNothing) {
    const Buffer b = buffer_of(random_bytes(97, 5), {0x11, 0x22, 0x33});
    for (const std::uint8_t width : {0, 5, 6, 7, 8, 16, 255}) {
        for (const std::uint8_t channels : {0, 1, 2}) {
            DataProfile p = profile_of(width, channels);
            EXPECT_EQ(encoded(b, p), b.bytes) << "width " << int{width} << ", channels " << int{channels};
            EXPECT_EQ(decoded(b, p), b.bytes) << "width " << int{width} << ", channels " << int{channels};
        }
    }
    for (const std::uint8_t width : {1, 2, 3, 4}) {
        EXPECT_EQ(encoded(b, profile_of(width, 0)), b.bytes) << "width " << int{width};
        EXPECT_EQ(decoded(b, profile_of(width, 0)), b.bytes) << "width " << int{width};
    }
}

// A last sample that starts inside the range is filtered whole. Carries only
// move upwards, so the bytes in range never depend on the bytes past it.
TEST(Delta, LastSampleReachesPastTheRange) {
    // Width 2, 5 bytes: samples 5, 9 and 0x1002, whose high byte is spare.
    const Buffer b = buffer_of({0x05, 0x00, 0x09, 0x00, 0x02}, {0x10, 0xAA, 0xBB});
    const Bytes out = encoded(b, profile_of(2, 1));
    EXPECT_EQ(out, (Bytes{0x05, 0x00, 0x04, 0x00, 0xF9, 0x0F, 0xAA, 0xBB}));
    EXPECT_EQ(decoded(buffer_of(range_of(out, b), {0x0F, 0xAA, 0xBB}), profile_of(2, 1)), b.bytes);
    for (std::uint32_t spare = 0; spare < 256; ++spare) {
        const auto s = static_cast<std::uint8_t>(spare);
        EXPECT_EQ(range_of(encoded(buffer_of(range_of(b.bytes, b), {s, 0, 0}), profile_of(2, 1)), b),
                  range_of(out, b))
            << "spare byte " << spare;
        EXPECT_EQ(range_of(decoded(buffer_of(range_of(out, b), {s, 0, 0}), profile_of(2, 1)), b),
                  range_of(b.bytes, b))
            << "spare byte " << spare;
    }

    // Width 4, 5 bytes: the second sample borrows through all three spare bytes.
    const Buffer w = buffer_of({0x05, 0x00, 0x00, 0x00, 0x02});
    const Bytes w_out = encoded(w, profile_of(4, 1));
    EXPECT_EQ(w_out, (Bytes{0x05, 0x00, 0x00, 0x00, 0xFD, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(decoded(buffer_of(range_of(w_out, w), {0xFF, 0xFF, 0xFF}), profile_of(4, 1)), w.bytes);
}

// Only 32 lanes exist: any larger channel count behaves as 32.
TEST(Delta, ChannelCountsAboveThirtyTwoUseThirtyTwoLanes) {
    for (const std::uint8_t width : {1, 2, 4}) {
        const Buffer b = buffer_of(random_bytes(1000, width));
        const Bytes want = encoded(b, profile_of(width, 32));
        for (const std::uint8_t channels : {33, 40, 64, 255}) {
            const Bytes out = encoded(b, profile_of(width, channels));
            EXPECT_EQ(out, want) << "width " << int{width} << ", channels " << int{channels};
            EXPECT_EQ(decoded(buffer_of(range_of(out, b), Bytes(out.end() - 3, out.end())),
                              profile_of(width, channels)),
                      b.bytes)
                << "width " << int{width} << ", channels " << int{channels};
        }
    }
    // With 32 lanes, byte 32 is differenced against byte 0.
    Bytes bytes(40, 0);
    for (std::size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<std::uint8_t>(3 * k + 1);
    const Bytes out = encoded(buffer_of(bytes), profile_of(1, 200));
    EXPECT_EQ(out[31], 94);
    EXPECT_EQ(out[32], 96);
}

TEST(Delta, RoundTripsRestoreEveryBuffer) {
    std::mt19937 gen(23);
    for (std::uint8_t width = 1; width <= 5; ++width) {
        for (std::uint8_t channels = 1; channels <= 40; ++channels) {
            for (int round = 0; round < 8; ++round) {
                const std::uint32_t start = gen() % 8, count = round == 0 ? 0 : gen() % 300;
                Bytes bytes = random_bytes(start + count + DELTA_SPARE_BYTES, gen());
                // Smooth samples as well as noise.
                if (round % 2) {
                    for (std::uint32_t k = 1; k < bytes.size(); ++k)
                        bytes[k] = static_cast<std::uint8_t>(bytes[k - 1] + gen() % 5 - 2);
                }
                const Buffer b{bytes, start, count};
                const Bytes out = encoded(b, profile_of(width, channels));
                ASSERT_EQ(Bytes(out.begin(), out.begin() + start), Bytes(bytes.begin(), bytes.begin() + start))
                    << "width " << int{width} << ", channels " << int{channels} << ", start " << start
                    << ", count " << count;
                ASSERT_EQ(decoded(Buffer{out, start, count}, profile_of(width, channels)), bytes)
                    << "width " << int{width} << ", channels " << int{channels} << ", start " << start
                    << ", count " << count;
            }
        }
    }
}

}  // namespace
}  // namespace vexa::test
