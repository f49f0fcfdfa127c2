// The public API under a careless or hostile caller: destinations of every
// size around the one needed, damaged, cut and padded compressed data, and
// stream functions that fail, end early or hand out a few bytes at a time,
// and the reader pulled in random sizes over streams one after another.
// One context serves every call, failed ones included; now and then a
// fresh context repeats a call and must give the same answer.
//
// Nothing may be written past a destination's capacity (guard bytes follow
// it), and every status must be one that include/vexa.h promises for the
// case. The parameters come from the end of the input (FuzzedDataProvider
// takes integers from there); what remains is the data to compress.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "format/format.hpp"
#include "vexa.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

#define CHECK(cond)                                                          \
    do {                                                                     \
        if (!(cond)) {                                                       \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                    \
        }                                                                    \
    } while (0)

constexpr std::size_t GUARD_BYTES = 64;
constexpr std::uint8_t GUARD = 0xA5;
// Damaged headers may claim any length, and the decoder only notices at
// the end of a block that its input ran out. Claims are decoded up to a
// limit that grows with the data, 1 KiB per byte, so that short inputs
// stay fast and a few hundred bytes reach a second block; larger claims
// only meet small destinations.
std::uint64_t decode_limit(std::size_t packed_size) {
    return std::min<std::uint64_t>(vexa::BLOCK_CAPACITY + 65536, 4096 + 1024 * std::uint64_t{packed_size});
}

vexa_ctx* shared_context() {
    static vexa_ctx* const ctx = vexa_create();
    CHECK(ctx != nullptr);
    return ctx;
}

// A destination followed by guard bytes that must come back untouched.
struct Destination {
    explicit Destination(std::size_t capacity) : bytes(capacity + GUARD_BYTES, GUARD), capacity(capacity) {}
    std::uint8_t* data() { return bytes.data(); }
    bool guard_intact() const {
        return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(capacity), bytes.end(),
                           [](std::uint8_t b) { return b == GUARD; });
    }
    bool holds(const Bytes& expected, std::size_t size) const {
        return size == expected.size() && std::equal(expected.begin(), expected.end(), bytes.begin());
    }
    Bytes bytes;
    std::size_t capacity;
};

// A capacity around `exact`: exactly it, one byte short, anything below,
// a little above (at most `limit`), tiny, or `limit` itself.
struct CapacityChoice {
    std::uint8_t mode;
    std::uint32_t value;

    std::size_t pick(std::size_t exact, std::size_t limit) const {
        switch (mode % 6) {
            case 0: return exact;
            case 1: return exact > 0 ? exact - 1 : 0;
            case 2: return value % (exact + 1);
            case 3: return std::min(limit, exact + 1 + value % 64);
            case 4: return value % 65;
            default: return limit;
        }
    }
};

// Whichever stream function fails first ends the run; no call of either
// may follow.
struct StreamRun {
    int first_failure = VEXA_OK;
    bool stopped = false;
};

struct Source {
    StreamRun* run;
    const Bytes* data;
    std::size_t piece;          // most bytes handed out per call
    unsigned fail_at;           // the call that returns -1; 0: none
    unsigned end_at;            // the call that returns 0 before the end; 0: none
    std::uint64_t may_ask;      // bytes the caller may still ask for in all
    std::size_t pos = 0;
    unsigned calls = 0;
};

std::ptrdiff_t source_read(void* user, void* buf, std::size_t capacity) {
    auto& s = *static_cast<Source*>(user);
    CHECK(!s.run->stopped);
    CHECK(capacity <= s.may_ask);
    ++s.calls;
    if (s.calls == s.fail_at) {
        s.run->first_failure = VEXA_ERROR_READ;
        s.run->stopped = true;
        return -1;
    }
    if (s.calls == s.end_at) {
        s.run->first_failure = VEXA_ERROR_SHORT_INPUT;
        s.run->stopped = true;
        return 0;
    }
    const std::size_t n = std::min({capacity, s.piece, s.data->size() - s.pos});
    if (n > 0) std::memcpy(buf, s.data->data() + s.pos, n);
    s.pos += n;
    if (s.may_ask != UINT64_MAX) s.may_ask -= n;
    return static_cast<std::ptrdiff_t>(n);
}

struct Sink {
    StreamRun* run;
    unsigned fail_at;   // the call that fails; 0: none
    Bytes out;
    std::size_t largest = 0;
    unsigned calls = 0;
};

int sink_write(void* user, const void* buf, std::size_t size) {
    auto& s = *static_cast<Sink*>(user);
    CHECK(!s.run->stopped);
    ++s.calls;
    if (s.calls == s.fail_at) {
        s.run->first_failure = VEXA_ERROR_WRITE;
        s.run->stopped = true;
        return s.calls % 2 ? -1 : 1;   // any non-zero value is a failure
    }
    const auto* b = static_cast<const std::uint8_t*>(buf);
    s.out.insert(s.out.end(), b, b + size);
    s.largest = std::max(s.largest, size);
    return 0;
}

std::size_t piece_size(std::uint8_t selector) {
    constexpr std::size_t pieces[] = {1, 3, 4096, SIZE_MAX};
    return pieces[selector % 4];
}

struct Params {
    CapacityChoice compress_capacity;
    CapacityChoice decompress_capacity;
    std::uint8_t mutations;
    std::uint32_t mutation_at[3];
    std::uint8_t mutation_xor[3];
    std::uint8_t cut_mode;   // 0: whole, 1: cut short, 2: padded behind
    std::uint16_t cut;
    bool fresh;              // repeat on a fresh context and compare
    std::uint8_t read_piece[2];
    std::uint16_t read_fail[2];
    std::uint16_t read_end;
    std::uint8_t write_fail[2];
    std::uint8_t sequence;     // which streams follow one another for the reader
    std::uint32_t pull_seed;   // the reader's read and pull sizes
};

Params take_params(FuzzedDataProvider& fdp) {
    Params p{};
    p.compress_capacity = {fdp.ConsumeIntegral<std::uint8_t>(), fdp.ConsumeIntegral<std::uint32_t>()};
    p.decompress_capacity = {fdp.ConsumeIntegral<std::uint8_t>(), fdp.ConsumeIntegral<std::uint32_t>()};
    p.mutations = fdp.ConsumeIntegralInRange<std::uint8_t>(0, 3);
    for (int k = 0; k < 3; ++k) {
        p.mutation_at[k] = fdp.ConsumeIntegral<std::uint32_t>();
        p.mutation_xor[k] = fdp.ConsumeIntegralInRange<std::uint8_t>(1, 255);
    }
    p.cut_mode = fdp.ConsumeIntegralInRange<std::uint8_t>(0, 2);
    p.cut = fdp.ConsumeIntegral<std::uint16_t>();
    p.fresh = fdp.ConsumeIntegral<std::uint8_t>() % 8 == 0;
    for (int k = 0; k < 2; ++k) {
        p.read_piece[k] = fdp.ConsumeIntegral<std::uint8_t>();
        p.read_fail[k] = fdp.ConsumeIntegral<std::uint16_t>() % 1024;
        p.write_fail[k] = fdp.ConsumeIntegral<std::uint8_t>() % 8;
    }
    p.read_end = fdp.ConsumeIntegral<std::uint16_t>() % 1024;
    p.sequence = fdp.ConsumeIntegral<std::uint8_t>();
    p.pull_seed = fdp.ConsumeIntegral<std::uint32_t>();
    return p;
}

struct Decoded {
    int status;
    std::size_t size;
    Bytes bytes;
    std::size_t used;   // the stream's exact size
};

Decoded decompress_checked(vexa_ctx* ctx, const Bytes& packed, std::size_t capacity, std::uint64_t stored) {
    Destination dst(capacity);
    std::size_t size = 12345, used = 12345;
    const int status =
        vexa_decompress_sized(ctx, packed.data(), packed.size(), dst.data(), capacity, &size, &used);
    CHECK(dst.guard_intact());
    CHECK(status == VEXA_OK ? used <= packed.size() : used == 0);
    if (packed.size() >= 4 && stored > capacity) {
        CHECK(status == VEXA_ERROR_DST_TOO_SMALL);
    } else {
        CHECK(status == VEXA_OK || status == VEXA_ERROR_TRUNCATED || status == VEXA_ERROR_DAMAGED);
    }
    CHECK(status == VEXA_OK ? size == stored : size == 0);
    return {status, size, status == VEXA_OK ? Bytes(dst.bytes.begin(), dst.bytes.begin() + size) : Bytes{}, used};
}

// What a reader of every stream must give for `all`: the one-stream
// results in turn, up to a rest of zero bytes or the first failure;
// unknown where a claim is too long to decode here. An empty stream's
// coder bytes must be zeros there.
struct Expected {
    bool known = true;
    int status = VEXA_OK;
    Bytes bytes;
    std::size_t complete = 0;
};

Expected expected_streams(vexa_ctx* ctx, const Bytes& all) {
    Expected e;
    for (std::size_t at = 0;;) {
        const Bytes rest(all.begin() + static_cast<std::ptrdiff_t>(at), all.end());
        const bool zeros = std::all_of(rest.begin(), rest.end(), [](std::uint8_t b) { return b == 0; });
        if (at > 0 && zeros && rest.size() < 9) return e;
        std::uint64_t stored = 0;
        vexa_stored_length(rest.data(), rest.size(), &stored);
        if (stored > decode_limit(rest.size())) {
            e.known = false;
            return e;
        }
        const Decoded d = decompress_checked(ctx, rest, stored, stored);
        if (d.status == VEXA_OK && stored == 0 &&
            !std::all_of(rest.begin() + 4, rest.begin() + static_cast<std::ptrdiff_t>(d.used),
                         [](std::uint8_t b) { return b == 0; })) {
            e.status = VEXA_ERROR_DAMAGED;
            return e;
        }
        if (d.status != VEXA_OK) {
            e.status = d.status;
            return e;
        }
        // A short empty stream at the very end is padding, not a stream.
        if (at > 0 && stored == 0 && d.used < 9) return e;
        e.bytes.insert(e.bytes.end(), d.bytes.begin(), d.bytes.end());
        at += d.used;
        e.complete = at;
    }
}

// A small generator of read and pull sizes, mostly small, now and then large.
std::size_t next_size(std::uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    const std::uint32_t r = state >> 8;
    return r % 4 == 0 ? 1 + r % 70000 : 1 + r % 97;
}

std::ptrdiff_t random_read(void* user, void* buf, std::size_t capacity) {
    auto& s = *static_cast<std::pair<const Bytes*, std::pair<std::size_t, std::uint32_t>>*>(user);
    const std::size_t n = std::min({capacity, next_size(s.second.second), s.first->size() - s.second.first});
    if (n > 0) std::memcpy(buf, s.first->data() + s.second.first, n);
    s.second.first += n;
    return static_cast<std::ptrdiff_t>(n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    const Params p = take_params(fdp);
    const Bytes input = fdp.ConsumeRemainingBytes<std::uint8_t>();
    vexa_ctx* const ctx = shared_context();

    // The reference: compressed into a destination of the promised bound.
    const std::size_t bound = vexa_compress_bound(input.size());
    Bytes packed;
    {
        Destination dst(bound);
        std::size_t packed_size = 0;
        const int status = vexa_compress(ctx, input.data(), input.size(), dst.data(), bound, &packed_size);
        CHECK(status == VEXA_OK);
        CHECK(packed_size <= bound && dst.guard_intact());
        packed.assign(dst.bytes.begin(), dst.bytes.begin() + packed_size);
    }

    // Any smaller destination fails whole; any larger one gives the same bytes.
    {
        const std::size_t capacity = p.compress_capacity.pick(packed.size(), bound);
        Destination dst(capacity);
        std::size_t got = 12345;
        const int status = vexa_compress(ctx, input.data(), input.size(), dst.data(), capacity, &got);
        CHECK(dst.guard_intact());
        if (capacity >= packed.size()) {
            CHECK(status == VEXA_OK && dst.holds(packed, got));
        } else {
            CHECK(status == VEXA_ERROR_DST_TOO_SMALL && got == 0);
        }
    }

    // Damaged, cut or padded compressed data.
    Bytes damaged = packed;
    for (unsigned k = 0; k < p.mutations && !damaged.empty(); ++k) {
        damaged[p.mutation_at[k] % damaged.size()] ^= p.mutation_xor[k];
    }
    bool intact = p.mutations == 0;
    if (p.cut_mode == 1) {
        damaged.resize(std::min<std::size_t>(damaged.size(), p.cut));
        intact = intact && damaged.size() == packed.size();
    } else if (p.cut_mode == 2) {
        damaged.insert(damaged.end(), 1 + p.cut % 16, static_cast<std::uint8_t>(p.cut >> 8));
    }
    std::uint64_t stored = 0;
    vexa_stored_length(damaged.data(), damaged.size(), &stored);
    const std::uint64_t limit = decode_limit(damaged.size());
    const std::size_t decode_capacity =
        stored <= limit ? p.decompress_capacity.pick(stored, limit) : p.decompress_capacity.value % 65;
    const Decoded decoded = decompress_checked(ctx, damaged, decode_capacity, stored);
    if (intact && decode_capacity >= input.size()) CHECK(decoded.status == VEXA_OK && decoded.bytes == input);

    if (p.fresh) {
        vexa_ctx* const fresh = vexa_create();
        CHECK(fresh != nullptr);
        Destination dst(bound);
        std::size_t fresh_size = 0;
        CHECK(vexa_compress(fresh, input.data(), input.size(), dst.data(), bound, &fresh_size) == VEXA_OK);
        CHECK(dst.holds(packed, fresh_size));
        const Decoded again = decompress_checked(fresh, damaged, decode_capacity, stored);
        CHECK(again.status == decoded.status && again.size == decoded.size && again.bytes == decoded.bytes);
        vexa_free(fresh);
    }

    // Compression through stream functions that may fail or end early.
    {
        StreamRun run;
        Source source{&run, &input, piece_size(p.read_piece[0]), p.read_fail[0], p.read_end, input.size()};
        Sink sink{&run, p.write_fail[0], {}};
        std::uint64_t written = 12345;
        const int status = vexa_compress_stream(ctx, input.size(), source_read, &source, sink_write, &sink, &written);
        CHECK(status == run.first_failure);
        if (status == VEXA_OK) CHECK(sink.out == packed && written == packed.size());
    }

    // Decompression through stream functions that may fail.
    if (stored <= limit) {
        StreamRun run;
        Source source{&run, &damaged, piece_size(p.read_piece[1]), p.read_fail[1], 0, UINT64_MAX};
        Sink sink{&run, p.write_fail[1], {}};
        std::uint64_t taken = 12345, written = 12345;
        const int status =
            vexa_decompress_stream(ctx, source_read, &source, sink_write, &sink, &taken, &written);
        CHECK(sink.largest <= vexa::BLOCK_CAPACITY);
        if (run.first_failure != VEXA_OK) {
            CHECK(status == run.first_failure);
        } else if (decoded.status != VEXA_ERROR_DST_TOO_SMALL) {
            CHECK(status == decoded.status);
        } else {
            CHECK(status == VEXA_OK || status == VEXA_ERROR_TRUNCATED || status == VEXA_ERROR_DAMAGED);
        }
        if (status == VEXA_OK) {
            CHECK(taken <= source.pos && written == stored && sink.out.size() == stored);
            if (decoded.status == VEXA_OK) CHECK(taken == decoded.used);
            if (decoded.status == VEXA_OK) CHECK(sink.out == decoded.bytes);
        } else {
            CHECK(taken == 0 && written == 0);
            // The blocks handed out before a failure are the right ones.
            if (decoded.status == VEXA_OK) {
                CHECK(sink.out.size() <= decoded.bytes.size() &&
                      std::equal(sink.out.begin(), sink.out.end(), decoded.bytes.begin()));
            }
        }
    }

    // The reader over streams one after another, pulled in random sizes,
    // gives the one-stream results in turn.
    {
        const Bytes zeros(p.sequence % 19, 0);
        const Bytes* const parts[4] = {&packed, &damaged, &zeros, &input};
        Bytes all;
        for (int k = 0; k < 3; ++k) {
            const Bytes& part = *parts[(p.sequence >> (2 * k)) & 3];
            all.insert(all.end(), part.begin(), part.end());
        }
        const Expected want = expected_streams(ctx, all);
        if (want.known) {
            std::pair<const Bytes*, std::pair<std::size_t, std::uint32_t>> reader{&all, {0, p.pull_seed}};
            CHECK(vexa_reader_open(ctx, random_read, &reader, 0) == VEXA_OK);
            std::uint32_t pulls = p.pull_seed ^ 0x9E3779B9u;
            Bytes got, buf(70000);
            std::ptrdiff_t n = 0;
            while ((n = vexa_reader_read(ctx, buf.data(), next_size(pulls))) > 0) {
                got.insert(got.end(), buf.begin(), buf.begin() + n);
            }
            CHECK(n == want.status);
            CHECK(vexa_reader_complete_size(ctx) == want.complete);
            // Before a failure, whole blocks of the streams' bytes only.
            if (n == VEXA_OK) {
                CHECK(got == want.bytes);
            } else {
                CHECK(got.size() >= want.bytes.size() && got.size() <= want.bytes.size() + vexa::BLOCK_CAPACITY &&
                      std::equal(got.begin(), got.begin() + std::min(got.size(), want.bytes.size()),
                                 want.bytes.begin()));
            }
            vexa_reader_close(ctx);
        }
    }
    return 0;
}
