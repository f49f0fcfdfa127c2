// The range coder and its staging buffer: exact bodies of tiny runs, the
// carry into a pending 0xFF run (state set by hand, since random data rarely
// reaches it), the 65536-byte pieces on the stream, the decoder's exact
// consumption of a body, and long randomized round trips over every kind of
// decision the system codes.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <vector>

#include "coder/bit_models.hpp"
#include "coder/range_coder.hpp"
#include "test_support.hpp"

namespace vexa::test {
namespace {

// The bytes put since the buffer was last written out.
Bytes pending_bytes() { return Bytes(io_buffer.data, io_buffer.data + io_buffer.pos); }

long stream_length() { return std::ftell(io_stream()); }


// Exact bodies of a fresh, flushed encoder, each read back exactly. A round
// trip cannot see a wrong split or flush length that both sides share.
TEST(RangeCoder, TinyRunsGiveExactBodies) {
    EXPECT_EQ(encode_to_bytes([](RangeCoder&) {}), Bytes(5, 0x00));
    struct Case {
        std::uint32_t value;
        bool is_byte;
        Bytes body;
    };
    const Case cases[] = {{1, false, {0x00, 0x00, 0x00, 0x00, 0x00}},
                          {0, false, {0x00, 0x7F, 0xFF, 0xFF, 0xFF}},
                          {0x41, true, {0x00, 0xBD, 0xFF, 0xFF, 0xFF}}};
    for (const Case& c : cases) {
        const Bytes body = encode_to_bytes([&](RangeCoder& rc) {
            if (c.is_byte) {
                rc.encode_direct_byte(c.value);
            } else {
                rc.encode_direct_bit(c.value);
            }
        });
        EXPECT_EQ(body, c.body) << "value " << c.value;
        RangeCoder dec = decoder_for(body);
        EXPECT_EQ(c.is_byte ? dec.decode_direct_byte() : dec.decode_direct_bit(), c.value);
        expect_body_consumed(body.size(), "value " + std::to_string(c.value));
    }
}

// A 1 gets the lower half rounded down, a 0 the rest, the larger half while
// the range is odd.
TEST(RangeCoder, FirstDirectBitWidths) {
    TempStream out;
    bind_io_buffer(out.get());
    RangeCoder one(Direction::encode, io_buffer), zero(Direction::encode, io_buffer);
    EXPECT_EQ(one.range, 0xFFFFFFFFu);
    one.encode_direct_bit(1);
    zero.encode_direct_bit(0);
    EXPECT_EQ(one.range, 0x7FFFFFFFu);
    EXPECT_EQ(one.low, 0u);
    EXPECT_EQ(zero.range, 0x80000000u);
    EXPECT_EQ(zero.low, 0x7FFFFFFFu);
    EXPECT_EQ(io_buffer.pos, 0u) << "no shift is due yet";
}

// The pending-run logic, with the state set directly.
TEST(RangeCoder, ShiftLowAndThePendingRun) {
    TempStream out;
    bind_io_buffer(out.get());

    {   // A carry turns the cache up by one and every pending 0xFF into 0x00.
        RangeCoder rc(Direction::encode, io_buffer);
        rc.cache = 0x12;
        rc.cache_size = 4;                           // the cache and three 0xFF
        rc.low = (std::uint64_t{1} << 32) | 0x3456789Au;
        rc.shift_low();
        EXPECT_EQ(pending_bytes(), (Bytes{0x13, 0x00, 0x00, 0x00}));
        EXPECT_EQ(rc.cache, 0x34);
        EXPECT_EQ(rc.cache_size, 1u);
        EXPECT_EQ(rc.low, 0x56789A00u) << "the carry and the top byte leave low";
    }
    io_buffer.pos = 0;
    {   // No carry, top byte below 0xFF: the run goes out as it stands.
        RangeCoder rc(Direction::encode, io_buffer);
        rc.cache = 0x12;
        rc.cache_size = 4;
        rc.low = 0xFE000001u;
        rc.shift_low();
        EXPECT_EQ(pending_bytes(), (Bytes{0x12, 0xFF, 0xFF, 0xFF}));
        EXPECT_EQ(rc.cache, 0xFE);
        EXPECT_EQ(rc.cache_size, 1u);
        EXPECT_EQ(rc.low, 0x100u);
    }
    io_buffer.pos = 0;
    {   // Top byte 0xFF and no carry: nothing can go out, the run grows; a
        // later carry still reaches the byte held back.
        RangeCoder rc(Direction::encode, io_buffer);
        rc.cache = 0x12;
        rc.cache_size = 4;
        rc.low = 0xFF123456u;
        rc.shift_low();
        EXPECT_EQ(pending_bytes(), Bytes{});
        EXPECT_EQ(rc.cache, 0x12);
        EXPECT_EQ(rc.cache_size, 5u);
        EXPECT_EQ(rc.low, 0x12345600u);

        rc.low += std::uint64_t{0xF0} << 24;         // 0x1'02345600: carries
        rc.shift_low();
        EXPECT_EQ(pending_bytes(), (Bytes{0x13, 0x00, 0x00, 0x00, 0x00}));
        EXPECT_EQ(rc.cache, 0x02);
        EXPECT_EQ(rc.cache_size, 1u);
    }
}

// put_byte writes at once when the 65536th byte arrives; drain writes the
// rest and nothing when there is no rest.
TEST(RangeCoder, BufferGoesOutInFullPieces) {
    TempStream out;
    bind_io_buffer(out.get());
    for (std::uint32_t i = 0; i < IO_BUFFER_SIZE - 1; ++i) put_byte(static_cast<std::uint8_t>(i * 7));
    EXPECT_EQ(stream_length(), 0);
    put_byte(0xEE);
    EXPECT_EQ(stream_length(), 65536);
    EXPECT_EQ(io_buffer.pos, 0u);
    drain();
    EXPECT_EQ(stream_length(), 65536) << "drain of an empty buffer wrote something";
    put_byte(1);
    put_byte(2);
    put_byte(3);
    drain();
    EXPECT_EQ(stream_length(), 65539);
    const Bytes written = out.contents();
    ASSERT_EQ(written.size(), 65539u);
    EXPECT_EQ(written[65534], static_cast<std::uint8_t>(65534 * 7));
    EXPECT_EQ(written[65535], 0xEE);
    EXPECT_EQ(written[65538], 3);
}

// Direct bytes of 0xFF shift exactly once each, so 131067 of them make a
// body of exactly two buffers: flush leaves nothing for drain.
TEST(RangeCoder, BodyOfWholeBuffersNeedsNoDrain) {
    constexpr std::uint32_t COUNT = 2 * IO_BUFFER_SIZE - 5;
    TempStream out;
    bind_io_buffer(out.get());
    RangeCoder rc(Direction::encode, io_buffer);
    for (std::uint32_t i = 0; i < COUNT; ++i) {
        rc.encode_direct_byte(0xFF);
        ASSERT_EQ(stream_length() % IO_BUFFER_SIZE, 0) << "byte " << i;
    }
    rc.flush();
    EXPECT_EQ(io_buffer.pos, 0u);
    EXPECT_EQ(stream_length(), 2 * 65536);
    drain();
    const Bytes body = out.contents();
    ASSERT_EQ(body.size(), 2u * IO_BUFFER_SIZE);

    RangeCoder dec = decoder_for(body);
    for (std::uint32_t i = 0; i < COUNT; ++i) ASSERT_EQ(dec.decode_direct_byte(), 0xFFu) << "byte " << i;
    expect_body_consumed(body.size(), "two whole buffers");
}

TEST(RangeCoder, ReadingPastTheEndGivesZeros) {
    TempStream in(Bytes{0xAB, 0xCD});
    bind_io_buffer(in.get());
    EXPECT_EQ(get_byte(), 0xAB);
    EXPECT_EQ(get_byte(), 0xCD);
    EXPECT_FALSE(io_buffer.ran_dry);
    EXPECT_EQ(get_byte(), 0x00);
    EXPECT_TRUE(io_buffer.ran_dry);
    EXPECT_EQ(get_byte(), 0x00);

    // The bytes of an earlier fill must not come back as padding.
    TempStream full(Bytes(IO_BUFFER_SIZE + 1, 0xFF));
    bind_io_buffer(full.get());
    for (std::uint32_t i = 0; i <= IO_BUFFER_SIZE; ++i) ASSERT_EQ(get_byte(), 0xFF) << "byte " << i;
    EXPECT_FALSE(io_buffer.ran_dry);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(get_byte(), 0x00) << "byte past the end " << i;
    EXPECT_TRUE(io_buffer.ran_dry);

    // A body too short for the five bytes of construction: zeros fill in.
    RangeCoder short_body = decoder_for({0xAB, 0xCD, 0xEF});
    EXPECT_EQ(short_body.code, 0xCDEF0000u);
    EXPECT_TRUE(io_buffer.ran_dry);
    RangeCoder empty = decoder_for({});
    EXPECT_EQ(empty.code, 0u);
    EXPECT_TRUE(io_buffer.ran_dry);
}

// One decision of every kind the system codes, with what it is coded under.
struct Decision {
    enum Kind : std::uint8_t { direct_bit, direct_byte, pair_byte, match_flag } kind;
    std::uint8_t rate_a, rate_b;
    std::uint32_t value;
    std::uint32_t ctx_a, ctx_b;   // tree bases of a pair byte; ctx_a is the state of a flag
};

// Skewed on purpose: a few busy contexts drive cells towards saturation (long
// runs of cheap decisions, more 0xFF runs), the rest keep bodies large.
std::vector<Decision> random_decisions(std::uint32_t seed, std::size_t count) {
    std::mt19937 gen(seed);
    auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(gen() % n); };
    auto tree_base = [&]() -> std::uint32_t {
        switch (pick(4)) {
            case 0: return 0;
            case 1: return TABLE_CELLS - 256;
            case 2: return 256 * pick(4);
            default: return 256 * pick(512);
        }
    };
    std::vector<Decision> out(count);
    for (Decision& d : out) {
        d.kind = static_cast<Decision::Kind>(pick(4));
        d.rate_a = static_cast<std::uint8_t>(2 + pick(5));
        d.rate_b = static_cast<std::uint8_t>(2 + pick(5));
        switch (d.kind) {
            case Decision::direct_bit: d.value = pick(2); break;
            case Decision::direct_byte: d.value = pick(256); break;
            case Decision::pair_byte:
                d.value = pick(3) == 0 ? pick(256) : 0x41 + pick(3);
                d.ctx_a = tree_base();
                d.ctx_b = tree_base();
                break;
            case Decision::match_flag:
                d.value = pick(8) != 0;
                d.ctx_a = pick(2) ? pick(16) : pick(TABLE_CELLS);
                break;
        }
    }
    return out;
}

TEST(RangeCoder, RandomDecisionsRoundTrip) {
    for (const std::uint32_t seed : {1u, 2u, 3u}) {
        const std::vector<Decision> decisions = random_decisions(seed, 800000);
        const std::string what = "seed " + std::to_string(seed);

        init_tables();
        const Bytes body = encode_to_bytes([&](RangeCoder& rc) {
            for (const Decision& d : decisions) {
                test_rates.rate_a = d.rate_a;
                test_rates.rate_b = d.rate_b;
                switch (d.kind) {
                    case Decision::direct_bit: rc.encode_direct_bit(d.value); break;
                    case Decision::direct_byte: rc.encode_direct_byte(d.value); break;
                    case Decision::pair_byte: encode_pair_byte(rc, d.ctx_a, d.ctx_b, d.value); break;
                    case Decision::match_flag: encode_match_flag(rc, d.ctx_a, d.value); break;
                }
            }
        });
        ASSERT_GT(body.size(), 5u * IO_BUFFER_SIZE) << what;
        EXPECT_EQ(body[0], 0x00) << what;

        init_tables();
        RangeCoder rc = decoder_for(body);
        for (std::size_t i = 0; i < decisions.size(); ++i) {
            const Decision& d = decisions[i];
            test_rates.rate_a = d.rate_a;
            test_rates.rate_b = d.rate_b;
            std::uint32_t got = 0;
            switch (d.kind) {
                case Decision::direct_bit: got = rc.decode_direct_bit(); break;
                case Decision::direct_byte: got = rc.decode_direct_byte(); break;
                case Decision::pair_byte: got = decode_pair_byte(rc, d.ctx_a, d.ctx_b); break;
                case Decision::match_flag: got = decode_match_flag(rc, d.ctx_a); break;
            }
            ASSERT_EQ(got, d.value) << what << ", decision " << i << " of kind " << int{d.kind};
        }
        expect_body_consumed(body.size(), what);
    }
}

}  // namespace
}  // namespace vexa::test
