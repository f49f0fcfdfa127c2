// Binary range coder with carry propagation, and the one 64 KiB staging
// buffer between the coder and the file.
//
// Decision 1 takes the lower part of the interval (width = split), 0 the
// upper part, so every probability handed to the coder is that of a 1.
// `low` is kept wider than 32 bits so that a carry out of the low word can
// be seen and added to bytes that have left `low` but are still pending.
#pragma once

#include <cassert>
#include <cstdint>
#include <cstddef>

namespace vexa {

inline constexpr std::uint32_t IO_BUFFER_SIZE = 65536;
inline constexpr std::uint32_t RANGE_TOP = 1u << 24;   // renormalise below this

// The caller's end of the coded bytes. read returns the count placed in
// `data` (at most `capacity`), 0 at the end of the data, or a negative
// value on failure; write returns 0 once all `size` bytes are taken, and
// anything else on failure.
using ReadFn = std::ptrdiff_t (*)(void* user, void* data, std::size_t capacity);
using WriteFn = int (*)(void* user, const void* data, std::size_t size);

// Coded bytes pass through here: handed out 65536 at a time when
// compressing, taken in up to 65536 at a time when decompressing.
struct IoBuffer {
    std::uint8_t data[IO_BUFFER_SIZE];
    std::uint32_t pos;
    std::uint32_t fill;
    ReadFn read;
    WriteFn write;
    void* user;
    std::uint64_t moved;   // bytes handed to or taken from the caller so far
    bool ran_dry;          // a get_byte had to be answered past the end of the input
    bool failed;           // the caller's read or write reported a failure
};

// Binds the buffer to the caller's functions (one of the two is null) and empties it.
void bind_io_buffer(IoBuffer& io, ReadFn read, WriteFn write, void* user);
// Hands the collected bytes on. Also called by put_byte when the buffer is full.
void drain_io_buffer(IoBuffer& io);
// Refills from the caller; past the end it supplies zeros and sets `ran_dry`.
void refill_io_buffer(IoBuffer& io);

[[gnu::always_inline]] inline void put_byte(IoBuffer& io, std::uint8_t b) {
    io.data[io.pos++] = b;
    if (io.pos == IO_BUFFER_SIZE) drain_io_buffer(io);
}

[[gnu::always_inline]] inline std::uint8_t get_byte(IoBuffer& io) {
    if (io.pos == io.fill) refill_io_buffer(io);
    return io.data[io.pos++];
}

// How a coding loop treats the bit of each decision. With branches, a
// correctly guessed bit lets the next decision start before this one is
// known; on near-random data the guess is wrong every other time. With
// selects nothing is guessed, and with the cell adaptations looked up they
// cost few more instructions. The encoder and the trial pass know every bit
// beforehand and always select: 7-17 % faster than branches on every class
// of data (BM_Encode in bench/coder_bench.cpp). The decoder's byte trees select too; its match flags
// branch. Both forms give the same bits.
enum class Form { branches, selects };

// if1 when bit is 1, else if0, as a conditional move rather than a branch.
[[gnu::always_inline]] inline std::uint32_t select_on(std::uint32_t bit, std::uint32_t if1, std::uint32_t if0) {
#if defined(__x86_64__) && defined(__GNUC__)
    // Compilers turn the portable form back into a branch when the bit also
    // steers other code nearby.
    asm("test %1, %1\n\tcmovnz %2, %0" : "+r"(if0) : "r"(bit), "r"(if1) : "cc");
    return if0;
#else
    const std::uint32_t mask = 0u - (bit & 1);
    return if0 ^ ((if0 ^ if1) & mask);
#endif
}

enum class Direction : std::int32_t { encode, decode };

struct RangeCoder {
    Direction direction;
    std::uint64_t low;           // low word, and the carry out of it in bit 32
    std::uint8_t cache;
    std::uint32_t cache_size;    // the cache byte plus the pending 0xFF run
    std::uint32_t range;
    std::uint32_t trial_range;
    std::int32_t trial_count;
    std::uint32_t code;
    IoBuffer* io;                // where the coded bytes go or come from

    RangeCoder() = default;
    // The decoder reads five bytes here. The first is always the encoder's
    // initial cache byte (0); the four after it shift it out again.
    RangeCoder(Direction dir, IoBuffer& buffer);

    // Contract: 0 < split < range.
    template <Form form = Form::branches>
    [[gnu::always_inline]] void encode_bit(std::uint32_t split, std::uint32_t bit) {
        assert(split > 0 && split < range);
        if constexpr (form == Form::selects) {
            low += split & (bit - 1);
            range = select_on(bit, split, range - split);
        } else if (bit) {
            range = split;
        } else {
            low += split;
            range -= split;
        }
        while (range < RANGE_TOP) {
            range <<= 8;
            shift_low();
        }
    }

    [[gnu::always_inline]] std::uint32_t decode_bit(std::uint32_t split) {
        std::uint32_t bit;
        if (code < split) {
            range = split;
            bit = 1;
        } else {
            code -= split;
            range -= split;
            bit = 0;
        }
        while (range < RANGE_TOP) {
            range <<= 8;
            code = (code << 8) | get_byte(*io);
        }
        return bit;
    }

    // decode_bit without a branch on the outcome, for decisions that are close
    // to random (direct bits, byte trees): a branch there mispredicts about
    // every other time.
    [[gnu::always_inline]] std::uint32_t decode_bit_unpredictable(std::uint32_t split) {
        std::uint32_t unused = 0;
        return decode_bit_unpredictable<false>(split, unused, 0);
    }

    // The same, and `chosen` becomes if1 after a 1 (it keeps its value after
    // a 0) by a move on the same borrow: a value that the next split needs
    // is then ready as soon as the range is.
    template <bool chooses = true>
    [[gnu::always_inline]] std::uint32_t decode_bit_unpredictable(std::uint32_t split, std::uint32_t& chosen,
                                                                  std::uint32_t if1) {
#if defined(__x86_64__) && defined(__GNUC__)
        // One subtraction both decides and reduces: its borrow is the bit,
        // and moves on the borrow pick the new code and range. Two cycles
        // from the split to the next range, where the portable form's
        // compare, mask and select took five; direct bytes decode a quarter
        // faster.
        std::uint32_t bit, reduced = code, rest = range - split;
        if constexpr (chooses) {
            asm("xor %k[bit], %k[bit]\n\t"
                "sub %[split], %[reduced]\n\t"
                "cmovnc %[reduced], %[code]\n\t"
                "cmovc %[split], %[rest]\n\t"
                "cmovc %[if1], %[chosen]\n\t"
                "setc %b[bit]"
                : [bit] "=&q"(bit), [reduced] "+&r"(reduced), [code] "+r"(code), [rest] "+r"(rest),
                  [chosen] "+r"(chosen)
                : [split] "r"(split), [if1] "r"(if1)
                : "cc");
        } else {
            asm("xor %k[bit], %k[bit]\n\t"
                "sub %[split], %[reduced]\n\t"
                "cmovnc %[reduced], %[code]\n\t"
                "cmovc %[split], %[rest]\n\t"
                "setc %b[bit]"
                : [bit] "=&q"(bit), [reduced] "+&r"(reduced), [code] "+r"(code), [rest] "+r"(rest)
                : [split] "r"(split)
                : "cc");
        }
        range = rest;
#else
        const std::uint32_t bit = code < split ? 1u : 0u;
        const std::uint32_t zero_mask = bit - 1;
        code -= split & zero_mask;
        range = select_on(bit, split, range - split);
        if constexpr (chooses) chosen = select_on(bit, if1, chosen);
#endif
        normalise_decoder();
        return bit;
    }

    // After a decision: shifts in code bytes until the range is wide again.
    [[gnu::always_inline]] void normalise_decoder() {
        while (range < RANGE_TOP) {
            range <<= 8;
            code = (code << 8) | get_byte(*io);
        }
    }

    // Moves the top byte of the low word towards the output. A byte 0xFF
    // cannot be emitted yet: a later carry may still turn it into 0x00.
    [[gnu::always_inline]] void shift_low() {
        const auto low_word = static_cast<std::uint32_t>(low);
        const auto carry = static_cast<std::uint32_t>(low >> 32);
        if (low_word < 0xFF000000u || carry != 0) {
            put_byte(*io, static_cast<std::uint8_t>(cache + carry));
            for (; cache_size > 1; --cache_size) put_byte(*io, static_cast<std::uint8_t>(0xFF + carry));
            cache = static_cast<std::uint8_t>(low_word >> 24);
            cache_size = 0;
        }
        ++cache_size;
        low = static_cast<std::uint32_t>(low_word << 8);
    }

    // Five shifts push out everything but the last cache byte, which is
    // always 0 by then and never emitted.
    void flush();

    // Direct bits are as good as random (flat literals, block codes), so a
    // branch on them mispredicts every other time; these select with masks
    // instead. Same interval arithmetic as encode_bit(range >> 1, bit):
    // 2 * half is range rounded down to even, so range - 2 * half is 0 or 1.
    [[gnu::always_inline]] void encode_direct_bit(std::uint32_t bit) {
        const std::uint32_t half = range >> 1;
        const std::uint32_t zero_mask = bit - 1;             // all ones for a 0
        low += half & zero_mask;
        range = half + ((range - 2 * half) & zero_mask);     // bit ? half : range - half
        while (range < RANGE_TOP) {
            range <<= 8;
            shift_low();
        }
    }

    [[gnu::always_inline]] std::uint32_t decode_direct_bit() { return decode_bit_unpredictable(range >> 1); }
    void encode_direct_byte(std::uint32_t value) {
        encode_direct_bit((value >> 7) & 1);
        encode_direct_bit((value >> 6) & 1);
        encode_direct_bit((value >> 5) & 1);
        encode_direct_bit((value >> 4) & 1);
        encode_direct_bit((value >> 3) & 1);
        encode_direct_bit((value >> 2) & 1);
        encode_direct_bit((value >> 1) & 1);
        encode_direct_bit(value & 1);
    }

    // decode_direct_bit, shifted into `node` as its lowest bit.
    [[gnu::always_inline]] void decode_direct_bit_into(std::uint32_t& node) {
#if defined(__x86_64__) && defined(__GNUC__)
        // The borrow that decides also adds the bit to the node: two
        // instructions fewer a bit than taking it out and adding it in.
        std::uint32_t half, reduced;
        asm("mov %[range], %[half]\n\t"
            "shr %[half]\n\t"
            "mov %[code], %[reduced]\n\t"
            "sub %[half], %[range]\n\t"
            "sub %[half], %[reduced]\n\t"
            "cmovnc %[reduced], %[code]\n\t"
            "cmovc %[half], %[range]\n\t"
            "adc %[node], %[node]"
            : [range] "+r"(range), [code] "+r"(code), [node] "+r"(node), [half] "=&r"(half),
              [reduced] "=&r"(reduced)
            :
            : "cc");
        normalise_decoder();
#else
        node = 2 * node + decode_direct_bit();
#endif
    }

    [[gnu::always_inline]] std::uint32_t decode_direct_byte() {
        std::uint32_t node = 1;
        decode_direct_bit_into(node);
        decode_direct_bit_into(node);
        decode_direct_bit_into(node);
        decode_direct_bit_into(node);
        decode_direct_bit_into(node);
        decode_direct_bit_into(node);
        decode_direct_bit_into(node);
        decode_direct_bit_into(node);
        return node & 0xFF;
    }
};

}  // namespace vexa
