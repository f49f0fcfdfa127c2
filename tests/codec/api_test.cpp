// The library through its public header alone: exact bytes, one context
// reused across runs and failures, destinations that are too small, damaged
// and cut input, misuse, the stream calls with awkward callbacks, and
// several contexts in several threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "format/format.hpp"
#include "test_support.hpp"
#include "vexa.h"

namespace vexa::test {
namespace {

constexpr std::size_t BLOCK = BLOCK_CAPACITY;
constexpr std::uint8_t FILL = 0xA5;     // destination bytes before a call
constexpr std::size_t GUARD = 64;       // bytes past the capacity that must stay FILL

using OwnedCtx = std::unique_ptr<vexa_ctx, decltype(&vexa_free)>;

OwnedCtx new_context() {
    vexa_ctx* const ctx = vexa_create();
    if (ctx == nullptr) throw std::runtime_error("vexa_create failed");
    return {ctx, vexa_free};
}

// A text block, then a random tail: the second block takes another path.
Bytes two_blocks() {
    Bytes b = english_text(BLOCK, 11);
    const Bytes tail = random_bytes(5000, 12);
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

// Smooth rows of pixels behind a bitmap signature: the structured path with rows.
Bytes bitmap(std::uint32_t width, std::uint32_t rows) {
    Bytes b(54 + 3 * width * rows);
    b[0] = 'B';
    b[1] = 'M';
    b[18] = static_cast<std::uint8_t>(width);
    b[19] = static_cast<std::uint8_t>(width >> 8);
    for (std::size_t i = 54; i < b.size(); ++i) {
        b[i] = static_cast<std::uint8_t>(i / 3 % width + i / (3 * width) * 2 + i % 3 * 40);
    }
    return b;
}

struct Result {
    int status;
    Bytes out;    // the bytes the call reported
    Bytes left;   // the whole destination as the call left it
};

using BufferCall = int (*)(vexa_ctx*, const void*, std::size_t, void*, std::size_t, std::size_t*);

// One buffer call into `capacity` bytes of FILL with a guard behind them.
Result call(BufferCall fn, vexa_ctx* ctx, const Bytes& src, std::size_t capacity) {
    Bytes dst(capacity + GUARD, FILL);
    std::size_t size = 12345;
    const int status = fn(ctx, src.data(), src.size(), dst.data(), capacity, &size);
    EXPECT_TRUE(std::all_of(dst.begin() + static_cast<long>(capacity), dst.end(), [](auto b) { return b == FILL; }))
        << "written past a capacity of " << capacity;
    if (status != VEXA_OK) {
        EXPECT_EQ(size, 0u) << vexa_strerror(status);
    }
    EXPECT_LE(size, capacity);
    dst.resize(capacity);
    Bytes out(dst.begin(), dst.begin() + static_cast<long>(std::min(size, capacity)));
    return {status, out, dst};
}

Result compress(vexa_ctx* ctx, const Bytes& input) {
    return call(vexa_compress, ctx, input, vexa_compress_bound(input.size()));
}

Result decompress(vexa_ctx* ctx, const Bytes& packed) {
    std::uint64_t length = 0;
    vexa_stored_length(packed.data(), packed.size(), &length);
    return call(vexa_decompress, ctx, packed, length);
}

// Every run on one context, failed ones included, gives what a fresh
// context gives; after a failed decompression the destination holds the
// same decoded bytes as a fresh context's, nothing of an earlier run.
TEST(Api, OneContextRunsLikeFreshOnes) {
    const OwnedCtx shared = new_context();
    const auto both = [&](BufferCall fn, const Bytes& src, std::size_t capacity, const std::string& what) {
        const OwnedCtx fresh = new_context();
        const Result want = call(fn, fresh.get(), src, capacity);
        const Result got = call(fn, shared.get(), src, capacity);
        EXPECT_EQ(got.status, want.status) << what;
        EXPECT_EQ(difference(got.out, want.out), "") << what;
        if (fn == vexa_decompress) {
            EXPECT_EQ(difference(got.left, want.left), "") << what;
        }
        return got;
    };

    const Bytes multi = two_blocks();
    const Bytes picture = bitmap(64, 100);
    const Result packed_multi = compress(shared.get(), multi);
    Bytes cut = packed_multi.out;
    cut.resize(cut.size() - 1000);   // inside the second block
    Bytes damaged = compress(shared.get(), picture).out;
    damaged[8] = 0;   // stride
    const struct {
        BufferCall fn;
        const Bytes& src;
        std::size_t capacity;
        int status;
    } failures[] = {
        {vexa_compress, multi, packed_multi.out.size() / 2, VEXA_ERROR_DST_TOO_SMALL},
        {vexa_decompress, packed_multi.out, multi.size() - 1, VEXA_ERROR_DST_TOO_SMALL},
        {vexa_decompress, damaged, picture.size(), VEXA_ERROR_DAMAGED},
        {vexa_decompress, cut, multi.size(), VEXA_ERROR_TRUNCATED},
    };

    const Bytes inputs[] = {multi, golden("english_600.txt"), picture, {}, golden("wave_tiny.wav"),
                            random_bytes(3000, 4), golden("pixmap_tiny.ppm"), multi};
    for (std::size_t k = 0; k < std::size(inputs); ++k) {
        const std::string what = "input " + std::to_string(k);
        const Result c = both(vexa_compress, inputs[k], vexa_compress_bound(inputs[k].size()), what);
        ASSERT_EQ(c.status, VEXA_OK) << what;
        EXPECT_EQ(difference(both(vexa_decompress, c.out, inputs[k].size(), what).out, inputs[k]), "") << what;

        const auto& f = failures[k % std::size(failures)];
        EXPECT_EQ(both(f.fn, f.src, f.capacity, what + ", then a failure").status, f.status) << what;
    }
}

// Just too small in either direction: reported, nothing written past the
// capacity, *dst_size 0 (see call). The bound holds for each input.
TEST(Api, SmallDestinationsAreReportedNeverOverrun) {
    const OwnedCtx ctx = new_context();
    for (const Bytes& input : {Bytes{}, golden("english_600.txt"), golden("wave_tiny.wav"), random_bytes(70000, 3),
                               two_blocks()}) {
        const std::string what = std::to_string(input.size()) + " bytes";
        const Result full = compress(ctx.get(), input);
        ASSERT_EQ(full.status, VEXA_OK) << what;
        const std::size_t c = full.out.size();
        EXPECT_LE(c, vexa_compress_bound(input.size())) << what;
        for (const std::size_t capacity : {c - 1, c / 2, std::size_t{3}, std::size_t{0}}) {
            EXPECT_EQ(call(vexa_compress, ctx.get(), input, capacity).status, VEXA_ERROR_DST_TOO_SMALL)
                << what << ", capacity " << capacity;
        }
        if (!input.empty()) {
            for (const std::size_t capacity : {input.size() - 1, std::size_t{0}}) {
                EXPECT_EQ(call(vexa_decompress, ctx.get(), full.out, capacity).status, VEXA_ERROR_DST_TOO_SMALL)
                    << what << ", capacity " << capacity;
            }
        }
        EXPECT_EQ(difference(decompress(ctx.get(), full.out).out, input), "") << what;
    }
}

// Structured headers and blocks under which some context byte would be read
// before it is decoded. After an earlier run has filled the context, each
// is reported damaged and the destination keeps its fill: no byte of the
// earlier run reaches it.
TEST(Api, DamagedProfilesNeverLetEarlierBytesThrough) {
    const OwnedCtx ctx = new_context();
    const Bytes earlier = bitmap(40, 20);
    const Bytes earlier_packed = compress(ctx.get(), earlier).out;
    const struct {
        const char* file;
        std::size_t offset;
        std::uint8_t value;
        const char* what;
    } cases[] = {
        {"wave_tiny.wav.vx", 8, 0, "stride 0"},
        {"wave_tiny.wav.vx", 9, 3, "far stride 3 over stride 2"},
        {"wave_tiny.wav.vx", 9, 1, "far stride 1 below stride 2"},
        {"pixmap_tiny.ppm.vx", 10, 0, "row width 0 with the row context on"},
        {"pixmap_tiny.ppm.vx", 13, 0x80, "row distance past 2^32 with the row context on"},
    };
    for (const auto& c : cases) {
        Bytes file = golden(c.file);
        ASSERT_NE(file[c.offset], c.value);
        file[c.offset] = c.value;
        ASSERT_EQ(decompress(ctx.get(), earlier_packed).out, earlier);
        const Result r = decompress(ctx.get(), file);
        EXPECT_EQ(r.status, VEXA_ERROR_DAMAGED) << c.what;
        EXPECT_TRUE(std::all_of(r.left.begin(), r.left.end(), [](auto b) { return b == FILL; })) << c.what;
    }
}

TEST(Api, CutInputIsTruncated) {
    const OwnedCtx ctx = new_context();
    for (const char* name : {"english_600.txt.vx", "pixmap_tiny.ppm.vx"}) {
        const Bytes packed = golden(name);
        for (std::size_t cut = 4; cut < packed.size(); ++cut) {
            EXPECT_EQ(decompress(ctx.get(), Bytes(packed.begin(), packed.begin() + static_cast<long>(cut))).status,
                      VEXA_ERROR_TRUNCATED)
                << name << " cut to " << cut;
        }
    }
}

std::ptrdiff_t read_nothing(void*, void*, std::size_t) {
    ADD_FAILURE() << "read called";
    return -1;
}

int write_nothing(void*, const void*, std::size_t) {
    ADD_FAILURE() << "write called";
    return -1;
}

TEST(Api, MisuseIsReportedAndStatusesHaveTexts) {
    const OwnedCtx owned = new_context();
    vexa_ctx* const ctx = owned.get();
    const Bytes src = golden("text_20.txt"), packed = golden("text_20.txt.vx");
    Bytes dst(1000);
    std::size_t size = 1;
    for (const BufferCall fn : {vexa_compress, vexa_decompress}) {
        const Bytes& in = fn == vexa_compress ? src : packed;
        using Args = std::tuple<vexa_ctx*, const std::uint8_t*, std::uint8_t*>;
        for (const auto& [c, from, to] :
             {Args{nullptr, in.data(), dst.data()}, Args{ctx, nullptr, dst.data()}, Args{ctx, in.data(), nullptr}}) {
            size = 1;
            EXPECT_EQ(fn(c, from, in.size(), to, dst.size(), &size), VEXA_ERROR_ARGUMENT);
            EXPECT_EQ(size, 0u);
        }
        EXPECT_EQ(fn(ctx, in.data(), in.size(), dst.data(), dst.size(), nullptr), VEXA_ERROR_ARGUMENT);
    }
    std::uint64_t length = 1;
    EXPECT_EQ(vexa_stored_length(nullptr, 4, &length), VEXA_ERROR_ARGUMENT);
    EXPECT_EQ(vexa_stored_length(packed.data(), packed.size(), nullptr), VEXA_ERROR_ARGUMENT);
    EXPECT_EQ(vexa_stored_length(packed.data(), 3, &length), VEXA_ERROR_TRUNCATED);
    EXPECT_EQ(length, 0u);
    const vexa_read_fn r = read_nothing;
    const vexa_write_fn w = write_nothing;
    EXPECT_EQ(vexa_compress_stream(nullptr, 1, r, nullptr, w, nullptr, nullptr), VEXA_ERROR_ARGUMENT);
    EXPECT_EQ(vexa_compress_stream(ctx, 1, nullptr, nullptr, w, nullptr, nullptr), VEXA_ERROR_ARGUMENT);
    EXPECT_EQ(vexa_compress_stream(ctx, 1, r, nullptr, nullptr, nullptr, nullptr), VEXA_ERROR_ARGUMENT);
    EXPECT_EQ(vexa_decompress_stream(nullptr, r, nullptr, w, nullptr, nullptr, nullptr), VEXA_ERROR_ARGUMENT);
    EXPECT_EQ(vexa_decompress_stream(ctx, nullptr, nullptr, w, nullptr, nullptr, nullptr), VEXA_ERROR_ARGUMENT);
    EXPECT_EQ(vexa_decompress_stream(ctx, r, nullptr, nullptr, nullptr, nullptr, nullptr), VEXA_ERROR_ARGUMENT);
    EXPECT_EQ(vexa_compress_stream(ctx, VEXA_MAX_INPUT_LENGTH + std::uint64_t{1}, r, nullptr, w, nullptr, nullptr),
              VEXA_ERROR_TOO_LARGE);
    vexa_free(nullptr);

    // Allowed nulls: no source for an empty input, no destination for an empty output.
    EXPECT_EQ(vexa_compress(ctx, nullptr, 0, dst.data(), dst.size(), &size), VEXA_OK);
    EXPECT_EQ(Bytes(dst.begin(), dst.begin() + static_cast<long>(size)), golden("empty.vx"));
    EXPECT_EQ(vexa_decompress(ctx, dst.data(), size, nullptr, 0, &size), VEXA_OK);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(round_trip_fault(ctx, src, packed), "") << "after the misuse";

    std::set<std::string> texts;
    for (const int status : {VEXA_OK, VEXA_ERROR_TRUNCATED, VEXA_ERROR_DAMAGED, VEXA_ERROR_TOO_LARGE,
                             VEXA_ERROR_DST_TOO_SMALL, VEXA_ERROR_READ, VEXA_ERROR_WRITE, VEXA_ERROR_MEMORY,
                             VEXA_ERROR_ARGUMENT, VEXA_ERROR_SHORT_INPUT}) {
        const char* const text = vexa_strerror(status);
        ASSERT_NE(text, nullptr) << status;
        EXPECT_STRNE(text, "unknown status") << status;
        EXPECT_TRUE(texts.insert(text).second) << "status " << status << " shares its text: " << text;
    }
    EXPECT_STREQ(vexa_strerror(-100), "unknown status");
    EXPECT_STREQ(vexa_strerror(1), "unknown status");

    char version[32];
    std::snprintf(version, sizeof version, "%d.%d.%d", VEXA_VERSION_MAJOR, VEXA_VERSION_MINOR, VEXA_VERSION_PATCH);
    EXPECT_STREQ(vexa_version(), version);
    EXPECT_EQ(vexa_version_number(), VEXA_VERSION_MAJOR * 10000u + VEXA_VERSION_MINOR * 100u + VEXA_VERSION_PATCH);
}

// A reader that hands out at most `piece` bytes a call, and fails once
// `fail_at` bytes are out.
struct Reader {
    const Bytes* data;
    std::size_t piece = SIZE_MAX;
    std::size_t fail_at = SIZE_MAX;
    std::size_t pos = 0;
    std::size_t most_asked = 0;
};

std::ptrdiff_t read_pieces(void* user, void* buf, std::size_t capacity) {
    auto& r = *static_cast<Reader*>(user);
    r.most_asked = std::max(r.most_asked, capacity);
    if (r.pos >= r.fail_at) return -1;
    const std::size_t n = std::min({capacity, r.piece, r.data->size() - r.pos, r.fail_at - r.pos});
    std::copy_n(r.data->begin() + static_cast<long>(r.pos), n, static_cast<std::uint8_t*>(buf));
    r.pos += n;
    return static_cast<std::ptrdiff_t>(n);
}

// A writer that fails its call number `fail_on` and counts any call after that.
struct Writer {
    int fail_on = 0;
    int calls = 0;
    int calls_after_failure = 0;
    std::size_t largest = 0;
    Bytes out = {};
};

int write_pieces(void* user, const void* buf, std::size_t size) {
    auto& w = *static_cast<Writer*>(user);
    if (w.fail_on != 0 && w.calls >= w.fail_on) ++w.calls_after_failure;
    if (++w.calls == w.fail_on) return -1;
    w.largest = std::max(w.largest, size);
    w.out.insert(w.out.end(), static_cast<const std::uint8_t*>(buf), static_cast<const std::uint8_t*>(buf) + size);
    return 0;
}

// Short reads of any size give the buffer calls' bytes; compression reads
// no byte past the length it is given, and no buffer exceeds 512 KiB.
TEST(ApiStream, GivesTheBytesOfTheBufferCalls) {
    const OwnedCtx ctx = new_context();
    for (const Bytes& input : {golden("english_600.txt"), golden("pixmap_tiny.ppm"), two_blocks()}) {
        const std::string what = std::to_string(input.size()) + " bytes";
        const Bytes packed = compress(ctx.get(), input).out;
        Bytes longer = input;
        longer.resize(input.size() + 100, 0x77);
        for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, std::size_t{65537},
                                        SIZE_MAX}) {
            Reader plain{&longer, piece};
            Writer packed_out;
            std::uint64_t written = 0;
            EXPECT_EQ(vexa_compress_stream(ctx.get(), input.size(), read_pieces, &plain, write_pieces, &packed_out,
                                           &written),
                      VEXA_OK)
                << what << ", pieces of " << piece;
            EXPECT_EQ(difference(packed_out.out, packed), "") << what << ", pieces of " << piece;
            EXPECT_EQ(written, packed.size());
            EXPECT_EQ(plain.pos, input.size()) << what << ", pieces of " << piece;

            Reader coded{&packed, piece};
            Writer restored;
            std::uint64_t taken = 0;
            EXPECT_EQ(vexa_decompress_stream(ctx.get(), read_pieces, &coded, write_pieces, &restored, &taken,
                                             &written),
                      VEXA_OK)
                << what << ", pieces of " << piece;
            EXPECT_EQ(difference(restored.out, input), "") << what << ", pieces of " << piece;
            EXPECT_EQ(taken, packed.size());
            EXPECT_EQ(written, input.size());
            EXPECT_LE(std::max({plain.most_asked, coded.most_asked, packed_out.largest, restored.largest}), BLOCK);
        }
    }
}

// Each callback failure ends the run with its own status, no write follows
// a failed one, and the context then works as before.
TEST(ApiStream, CallbackFailuresEndTheRun) {
    const OwnedCtx owned = new_context();
    vexa_ctx* const ctx = owned.get();
    const Bytes input = two_blocks();
    const Bytes packed = compress(ctx, input).out;
    const auto compress_stream = [&](Reader reader, Writer& writer, std::uint64_t length) {
        return vexa_compress_stream(ctx, length, read_pieces, &reader, write_pieces, &writer, nullptr);
    };
    const auto decompress_stream = [&](Reader reader, Writer& writer) {
        return vexa_decompress_stream(ctx, read_pieces, &reader, write_pieces, &writer, nullptr, nullptr);
    };

    Writer w;
    EXPECT_EQ(compress_stream({&input, 4096, 300000}, w, input.size()), VEXA_ERROR_READ);
    EXPECT_EQ(decompress_stream({&packed, 4096, packed.size() / 2}, w), VEXA_ERROR_READ);
    EXPECT_EQ(compress_stream({&input, 7}, w, input.size() + 1), VEXA_ERROR_SHORT_INPUT);
    // Compression writes the header, then the body in pieces; decompression
    // writes each block whole, and those before the failure are correct.
    for (const int fail_on : {1, 2}) {
        Writer to_packed{fail_on}, to_restored{fail_on};
        EXPECT_EQ(compress_stream({&input}, to_packed, input.size()), VEXA_ERROR_WRITE) << "write " << fail_on;
        EXPECT_EQ(decompress_stream({&packed}, to_restored), VEXA_ERROR_WRITE) << "write " << fail_on;
        EXPECT_EQ(to_packed.calls_after_failure + to_restored.calls_after_failure, 0) << "write " << fail_on;
        const long done = (fail_on - 1) * static_cast<long>(BLOCK);
        EXPECT_EQ(difference(to_restored.out, Bytes(input.begin(), input.begin() + done)), "") << "write " << fail_on;
    }
    EXPECT_EQ(round_trip_fault(ctx, input, packed), "");
}

// A read function that answers with one byte more than it was asked for.
std::ptrdiff_t read_too_much(void* user, void* buf, std::size_t capacity) {
    const std::ptrdiff_t got = read_pieces(user, buf, capacity);
    return got > 0 ? static_cast<std::ptrdiff_t>(capacity) + 1 : got;
}

struct Pulled {
    int status = VEXA_OK;     // the first negative return, or VEXA_OK after a 0
    Bytes out;                // every byte handed out before that
    std::uint64_t complete;   // vexa_reader_complete_size at the end
};

// Everything a reader restores from `input`, pulled with capacities taken
// in turn from `sizes`; asserts that an end or a failure sticks.
Pulled pull(vexa_ctx* ctx, const Bytes& input, unsigned flags, std::vector<std::size_t> sizes = {BLOCK},
            std::size_t piece = SIZE_MAX) {
    Reader reader{&input, piece};
    Pulled p;
    EXPECT_EQ(vexa_reader_open(ctx, read_pieces, &reader, flags), VEXA_OK);
    Bytes buf(*std::max_element(sizes.begin(), sizes.end()));
    for (std::size_t k = 0;; ++k) {
        const std::size_t capacity = sizes[k % sizes.size()];
        const std::ptrdiff_t got = vexa_reader_read(ctx, buf.data(), capacity);
        if (got <= 0) {
            p.status = static_cast<int>(got);
            EXPECT_EQ(vexa_reader_read(ctx, buf.data(), capacity), got) << "a second call after the end";
            break;
        }
        EXPECT_LE(static_cast<std::size_t>(got), capacity);
        p.out.insert(p.out.end(), buf.begin(), buf.begin() + got);
    }
    p.complete = vexa_reader_complete_size(ctx);
    return p;
}

Bytes joined(std::initializer_list<const Bytes*> parts) {
    Bytes all;
    for (const Bytes* part : parts) all.insert(all.end(), part->begin(), part->end());
    return all;
}

// Streams of every kind one after another, pulled in awkward sizes, give
// their inputs one after another; with VEXA_READ_ONE_STREAM the first
// alone, its exact size, and the bytes read past it handed back.
TEST(ApiReader, RestoresConcatenatedStreams) {
    const OwnedCtx owned = new_context();
    vexa_ctx* const ctx = owned.get();
    const Bytes a = two_blocks(), b = bitmap(64, 100), c, d = golden("english_600.txt");
    const Bytes pa = compress(ctx, a).out, pb = compress(ctx, b).out, pc = compress(ctx, c).out,
                pd = compress(ctx, d).out;
    const Bytes packed = joined({&pa, &pb, &pc, &pd, &pc}), plain = joined({&a, &b, &d});
    const std::vector<std::size_t> patterns[] = {{BLOCK}, {1}, {7, 4095, 65537}, {BLOCK + 3, 1}};
    for (const auto& sizes : patterns) {
        const Pulled p = pull(ctx, packed, 0, sizes, 1 + sizes[0] % 70000);
        EXPECT_EQ(p.status, VEXA_OK) << "capacities from " << sizes[0];
        EXPECT_EQ(difference(p.out, plain), "") << "capacities from " << sizes[0];
        EXPECT_EQ(p.complete, packed.size());
    }

    const Pulled one = pull(ctx, packed, VEXA_READ_ONE_STREAM);
    EXPECT_EQ(difference(one.out, a), "");
    EXPECT_EQ(one.complete, pa.size());
    const void* unused = nullptr;
    std::size_t unused_size = 0;
    ASSERT_EQ(vexa_reader_unused(ctx, &unused, &unused_size), VEXA_OK);
    const auto* from = static_cast<const std::uint8_t*>(unused);
    EXPECT_GT(unused_size, 0u);
    EXPECT_EQ(Bytes(from, from + unused_size),
              Bytes(packed.begin() + static_cast<long>(pa.size()), packed.begin() + static_cast<long>(pa.size() + unused_size)));

    // The corpus's compressed files, one after another.
    if (const std::string dir = corpus_dir(); !dir.empty()) {
        Bytes all_packed, all_plain;
        for (const auto& entry : std::filesystem::directory_iterator(dir + "/expected")) {
            if (entry.path().extension() != ".vx") continue;
            const Bytes x = read_file(entry.path().string()), y = read_file(dir + "/" + entry.path().stem().string());
            all_packed.insert(all_packed.end(), x.begin(), x.end());
            all_plain.insert(all_plain.end(), y.begin(), y.end());
        }
        const Pulled p = pull(ctx, all_packed, 0);
        EXPECT_EQ(p.status, VEXA_OK);
        EXPECT_EQ(difference(p.out, all_plain), "") << "the corpus concatenated";
    }
}

// After a complete stream only zero bytes may follow: a reader restores the
// stream whole, then reports anything else, and knows where the last
// complete stream ended. The one-stream calls restore the stream and say where it ended.
TEST(ApiReader, OnlyZerosMayFollowTheLastStream) {
    const OwnedCtx owned = new_context();
    vexa_ctx* const ctx = owned.get();
    const Bytes input = two_blocks();
    const Bytes packed = compress(ctx, input).out, next = compress(ctx, golden("english_600.txt")).out;
    const struct {
        Bytes tail;
        int status;   // VEXA_ERROR_DAMAGED stands for either failure
        std::string what;
    } cases[] = {
        {{}, VEXA_OK, "nothing"},
        {Bytes(1, 0), VEXA_OK, "1 zero"},
        {Bytes(7, 0), VEXA_OK, "7 zeros"},
        {Bytes(9, 0), VEXA_OK, "9 zeros"},
        {Bytes(1000, 0), VEXA_OK, "1000 zeros"},
        {{0x41}, VEXA_ERROR_TRUNCATED, "1 non-zero byte"},
        {{0, 0, 7}, VEXA_ERROR_TRUNCATED, "3 bytes"},
        {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, VEXA_ERROR_DAMAGED, "an empty stream's coder bytes not zero"},
        {Bytes(next.begin(), next.begin() + 20), VEXA_ERROR_TRUNCATED, "20 bytes of another stream"},
        {random_bytes(5000, 9), VEXA_ERROR_DAMAGED, "random bytes"},
    };
    const auto check = [&](const Bytes& tail, int status, const std::string& what) {
        const Bytes file = joined({&packed, &tail});
        const Pulled p = pull(ctx, file, 0, {65536});
        if (status == VEXA_ERROR_DAMAGED) {
            EXPECT_TRUE(p.status == VEXA_ERROR_DAMAGED || p.status == VEXA_ERROR_TRUNCATED) << what;
        } else {
            EXPECT_EQ(p.status, status) << what;
        }
        EXPECT_EQ(difference(p.out, input), "") << what;
        // Zeros count as the empty streams they hold, nine bytes each.
        const auto zeros = std::find_if(tail.begin(), tail.end(), [](auto x) { return x != 0; }) - tail.begin();
        EXPECT_EQ(p.complete, packed.size() + static_cast<std::size_t>(zeros) / 9 * 9) << what;

        Bytes dst(input.size());
        std::size_t size = 0, used = 0;
        EXPECT_EQ(vexa_decompress_sized(ctx, file.data(), file.size(), dst.data(), dst.size(), &size, &used), VEXA_OK)
            << what;
        EXPECT_EQ(used, packed.size()) << what;
        Reader coded{&file, 4096};
        Writer restored;
        std::uint64_t taken = 0;
        EXPECT_EQ(vexa_decompress_stream(ctx, read_pieces, &coded, write_pieces, &restored, &taken, nullptr), VEXA_OK)
            << what;
        EXPECT_EQ(taken, packed.size()) << what;
        EXPECT_EQ(difference(restored.out, input), "") << what;
    };
    for (const auto& c : cases) check(c.tail, c.status, c.what);
    for (std::size_t cut = next.size() - std::min<std::size_t>(64, next.size()); cut < next.size(); ++cut) {
        check(Bytes(next.begin(), next.begin() + static_cast<long>(cut)), VEXA_ERROR_TRUNCATED,
              "another stream cut to " + std::to_string(cut));
    }

    // Fewer than 4 bytes, alone: the same status from every entry point.
    for (const Bytes& file : {Bytes{}, Bytes{0}, Bytes{1, 2, 3}}) {
        const std::string what = std::to_string(file.size()) + " bytes alone";
        std::uint64_t length = 0;
        EXPECT_EQ(vexa_stored_length(file.data(), file.size(), &length), VEXA_ERROR_TRUNCATED) << what;
        EXPECT_EQ(call(vexa_decompress, ctx, file, 10).status, VEXA_ERROR_TRUNCATED) << what;
        Reader coded{&file};
        Writer restored;
        EXPECT_EQ(vexa_decompress_stream(ctx, read_pieces, &coded, write_pieces, &restored, nullptr, nullptr),
                  VEXA_ERROR_TRUNCATED)
            << what;
        EXPECT_EQ(pull(ctx, file, 0).status, VEXA_ERROR_TRUNCATED) << what;
        EXPECT_EQ(pull(ctx, file, VEXA_READ_ONE_STREAM).status, VEXA_ERROR_TRUNCATED) << what;
    }
}

// The reader's edges: no reader, capacity 0, bad callbacks, failures that
// stick, and a context that is at once ready for another run after a
// reader is closed half-way or overtaken by a compression.
TEST(ApiReader, EdgesAndMisuse) {
    const OwnedCtx owned = new_context();
    vexa_ctx* const ctx = owned.get();
    const Bytes input = two_blocks();
    const Bytes packed = compress(ctx, input).out;
    Bytes buf(100);
    const void* data = nullptr;
    std::size_t size = 0;

    EXPECT_EQ(vexa_reader_read(ctx, buf.data(), buf.size()), VEXA_ERROR_ARGUMENT) << "no reader open";
    EXPECT_EQ(vexa_reader_read(nullptr, buf.data(), buf.size()), VEXA_ERROR_ARGUMENT);
    EXPECT_EQ(vexa_reader_open(nullptr, read_pieces, nullptr, 0), VEXA_ERROR_ARGUMENT);
    EXPECT_EQ(vexa_reader_open(ctx, nullptr, nullptr, 0), VEXA_ERROR_ARGUMENT);
    EXPECT_EQ(vexa_reader_open(ctx, read_pieces, nullptr, 2), VEXA_ERROR_ARGUMENT);
    vexa_reader_close(nullptr);

    Reader reader{&packed};
    ASSERT_EQ(vexa_reader_open(ctx, read_pieces, &reader, 0), VEXA_OK);
    EXPECT_EQ(vexa_reader_read(ctx, nullptr, 5), VEXA_ERROR_ARGUMENT);
    EXPECT_EQ(vexa_reader_read(ctx, buf.data(), 0), 0);
    EXPECT_EQ(reader.pos, 0u) << "capacity 0 reads nothing";
    EXPECT_EQ(vexa_reader_read(ctx, buf.data(), 3), 3);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 3), Bytes(input.begin(), input.begin() + 3));
    EXPECT_EQ(vexa_reader_unused(ctx, &data, &size), VEXA_ERROR_ARGUMENT) << "before the end";
    // A compression ends the reader; so does a close. Both leave exact runs.
    EXPECT_EQ(round_trip_fault(ctx, input, packed), "");
    EXPECT_EQ(vexa_reader_read(ctx, buf.data(), buf.size()), VEXA_ERROR_ARGUMENT) << "after a compression";
    reader.pos = 0;
    ASSERT_EQ(vexa_reader_open(ctx, read_pieces, &reader, 0), VEXA_OK);
    EXPECT_EQ(vexa_reader_read(ctx, buf.data(), buf.size()), 100);
    vexa_reader_close(ctx);
    EXPECT_EQ(vexa_reader_read(ctx, buf.data(), buf.size()), VEXA_ERROR_ARGUMENT) << "after the close";
    EXPECT_EQ(round_trip_fault(ctx, input, packed), "") << "after a close half-way";

    // Read functions that fail half-way or hand out more than asked.
    Reader failing{&packed, 4096, packed.size() / 2};
    ASSERT_EQ(vexa_reader_open(ctx, read_pieces, &failing, 0), VEXA_OK);
    std::ptrdiff_t got = 0;
    while ((got = vexa_reader_read(ctx, buf.data(), buf.size())) > 0) {
    }
    EXPECT_EQ(got, VEXA_ERROR_READ);
    EXPECT_EQ(vexa_reader_read(ctx, buf.data(), 0), VEXA_ERROR_READ) << "a failure sticks";
    Reader greedy{&packed};
    ASSERT_EQ(vexa_reader_open(ctx, read_too_much, &greedy, 0), VEXA_OK);
    EXPECT_EQ(vexa_reader_read(ctx, buf.data(), buf.size()), VEXA_ERROR_READ);
    greedy.pos = 0;
    Writer w;
    EXPECT_EQ(vexa_decompress_stream(ctx, read_too_much, &greedy, write_pieces, &w, nullptr, nullptr), VEXA_ERROR_READ);
    greedy = {&input};
    EXPECT_EQ(vexa_compress_stream(ctx, input.size(), read_too_much, &greedy, write_pieces, &w, nullptr),
              VEXA_ERROR_READ);
    EXPECT_EQ(round_trip_fault(ctx, input, packed), "");
}

// The corpus (or, without it, the golden files and generated data) shared
// out to four threads with a context each; every result checked against
// the expected bytes and the input once all have joined.
TEST(ApiThreads, FourContextsAtOnceGiveTheExactBytes) {
    struct Sample {
        std::string name;
        Bytes input, packed;
    };
    std::vector<Sample> samples;
    if (const std::string dir = corpus_dir(); !dir.empty()) {
        for (const auto& entry : std::filesystem::directory_iterator(dir + "/expected")) {
            if (entry.path().extension() != ".vx") continue;
            const std::string name = entry.path().stem().string();
            samples.push_back({name, read_file(dir + "/" + name), read_file(entry.path().string())});
        }
    } else {
        const OwnedCtx ctx = new_context();
        for (const char* name : GOLDEN_FILES) samples.push_back({name, golden(name), golden(std::string(name) + ".vx")});
        for (const Bytes& input : {two_blocks(), random_bytes(100000, 5), bitmap(300, 200)}) {
            samples.push_back({"generated " + std::to_string(input.size()), input, compress(ctx.get(), input).out});
        }
    }
    // The longest first, so that the threads end together.
    std::sort(samples.begin(), samples.end(),
              [](const Sample& a, const Sample& b) { return a.input.size() > b.input.size(); });

    std::vector<std::string> faults(samples.size());
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            vexa_ctx* const ctx = vexa_create();
            for (std::size_t k; (k = next++) < samples.size();) {
                faults[k] = ctx == nullptr ? "no context"
                                           : round_trip_fault(ctx, samples[k].input, samples[k].packed);
            }
            vexa_free(ctx);
        });
    }
    for (std::thread& t : threads) t.join();
    for (std::size_t k = 0; k < samples.size(); ++k) EXPECT_EQ(faults[k], "") << samples[k].name;
}

}  // namespace
}  // namespace vexa::test
