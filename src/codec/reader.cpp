#include "codec/reader.hpp"

#include <algorithm>

#include "codec/context.hpp"
#include "codec/header.hpp"
#include "decisions/block_codes.hpp"
#include "filters/branch.hpp"
#include "filters/delta.hpp"
#include "filters/text.hpp"
#include "model/byte_model.hpp"
#include "vexa.h"

namespace vexa {

namespace {

// The next input byte, or false at the end of the input (or after a failed
// read); unlike get_byte, never a zero made up past the end.
bool take_byte(IoBuffer& io, std::uint8_t& b) {
    if (io.pos == io.fill) {
        if (io.ran_dry || io.failed) return false;
        refill_io_buffer(io);
        if (io.ran_dry || io.failed) return false;
    }
    b = io.data[io.pos++];
    return true;
}

int fail(StreamReader& r, int status) {
    r.phase = ReaderPhase::failed;
    r.status = status;
    return status;
}

void stream_complete(Context& ctx) {
    StreamReader& r = ctx.reader;
    r.complete_size = bytes_consumed(ctx.io);
    ++r.streams;
    r.phase = r.one_stream ? ReaderPhase::ended : ReaderPhase::between;
}

// Reads a stream's header and readies its decoder, or finds the end of the
// input. Zero bytes after a complete stream read as empty streams, and
// their short end as padding: the reader ends there. An empty stream is
// nine zeros; with the first stream only, anything may follow the length.
int begin_stream(Context& ctx) {
    StreamReader& r = ctx.reader;
    IoBuffer& io = ctx.io;
    std::uint8_t bytes[HEADER_BYTES_MAX];
    std::uint32_t got = 0;
    bool zeros = true;
    ParsedHeader header;
    while (true) {
        header = read_header(bytes, got);
        if (header.check != HeaderCheck::incomplete || got == header.needed) break;
        if (!take_byte(io, bytes[got])) break;
        zeros = zeros && bytes[got] == 0;
        ++got;
    }
    if (io.failed) return fail(r, VEXA_ERROR_READ);
    if (header.check == HeaderCheck::incomplete) {
        if (r.streams > 0 && zeros) {
            r.phase = ReaderPhase::ended;
            return VEXA_OK;
        }
        return fail(r, VEXA_ERROR_TRUNCATED);
    }
    if (header.check == HeaderCheck::damaged) return fail(r, VEXA_ERROR_DAMAGED);

    if (header.length == 0) {
        // The coder's five bytes: nothing is decoded from them, and an end
        // among them is no cut; after a complete stream it is padding.
        std::uint8_t b = 0;
        int taken = 0;
        for (; taken < 5 && take_byte(io, b); ++taken) {
            if (b != 0 && !r.one_stream) return fail(r, VEXA_ERROR_DAMAGED);
        }
        if (io.failed) return fail(r, VEXA_ERROR_READ);
        if (taken < 5 && r.streams > 0) {
            r.phase = ReaderPhase::ended;
            return VEXA_OK;
        }
        stream_complete(ctx);
        return VEXA_OK;
    }
    // start_run leaves the buffer alone: the body's first bytes may be in it.
    start_run(ctx, header.length, false);
    ctx.profile = header.profile;
    if (ctx.profile.class_word != CLASS_STRUCTURED) prepare_generic_path(ctx, header.length);
    r.coder = RangeCoder(Direction::decode, io);
    r.length = header.length;
    r.bytes_done = 0;
    r.phase = ReaderPhase::inside;
    return VEXA_OK;
}

int decode_block(Context& ctx, std::uint32_t& n) {
    StreamReader& r = ctx.reader;
    IoBuffer& io = ctx.io;
    RangeCoder& rc = r.coder;
    DataProfile& profile = ctx.profile;
    std::uint8_t* const block = ctx.block();
    const std::uint32_t bytes_done = r.bytes_done;
    n = std::min(BLOCK_CAPACITY, r.length - bytes_done);

    const std::uint32_t flat = rc.decode_direct_bit();
    const std::uint32_t rate_a = rc.decode_direct_byte();
    const std::uint32_t rate_b = rc.decode_direct_byte();
    if (rate_a < RATE_A_MIN || rate_a > RATE_A_MAX || rate_b < RATE_B_MIN || rate_b > RATE_B_MAX) {
        if (io.failed) return fail(r, VEXA_ERROR_READ);
        return fail(r, io.ran_dry ? VEXA_ERROR_TRUNCATED : VEXA_ERROR_DAMAGED);
    }
    bool intact = true;
    if (profile.class_word != CLASS_STRUCTURED) {
        const std::uint32_t text = rc.decode_direct_bit();
        decode_generic_block(rc, ctx.tables, match_for_block(ctx), block, n, flat, rate_a, rate_b);
        if (text) {
            intact = text_decode(block, n, ctx.work);
        } else if (block_filters_allowed(flat, rate_a) && branch_filter_fits(std::uint64_t{bytes_done} + n)) {
            branch_decode(block, n, bytes_done);
        }
    } else {
        profile.row_context = static_cast<std::uint8_t>(rc.decode_direct_bit());
        const std::uint32_t delta = rc.decode_direct_bit();
        // A compressor turns the row context on only where rows fit.
        intact = profile_is_safe(profile);
        if (intact) decode_structured_block(rc, ctx.tables, block, n, profile, rate_a, rate_b);
        if (intact && delta) delta_decode(block, 0, n, profile.channels, profile.sample_width);
    }
    if (io.failed) return fail(r, VEXA_ERROR_READ);
    if (io.ran_dry) return fail(r, VEXA_ERROR_TRUNCATED);
    if (!intact) return fail(r, VEXA_ERROR_DAMAGED);

    r.bytes_done = bytes_done + n;
    if (r.bytes_done == r.length) stream_complete(ctx);
    return VEXA_OK;
}

}  // namespace

std::uint64_t bytes_consumed(const IoBuffer& io) {
    // Past the end the buffer holds made-up zeros, none of them taken.
    return io.ran_dry ? io.moved : io.moved - (io.fill - io.pos);
}

void open_reader(Context& ctx, ReadFn read, void* user, bool one_stream) {
    bind_io_buffer(ctx.io, read, nullptr, user);
    StreamReader& r = ctx.reader;
    r.length = 0;
    r.bytes_done = 0;
    r.out_pos = 0;
    r.out_end = 0;
    r.complete_size = 0;
    r.streams = 0;
    r.status = VEXA_OK;
    r.phase = ReaderPhase::between;
    r.one_stream = one_stream;
}

void close_reader(Context& ctx) { ctx.reader.phase = ReaderPhase::closed; }

int next_block(Context& ctx, std::uint32_t& n) {
    StreamReader& r = ctx.reader;
    n = 0;
    r.out_pos = 0;
    r.out_end = 0;
    while (true) {
        switch (r.phase) {
            case ReaderPhase::closed: return VEXA_ERROR_ARGUMENT;
            case ReaderPhase::failed: return r.status;
            case ReaderPhase::ended: return VEXA_OK;
            case ReaderPhase::between:
                if (const int status = begin_stream(ctx); status != VEXA_OK) return status;
                break;
            case ReaderPhase::inside:
                if (const int status = decode_block(ctx, n); status != VEXA_OK) return status;
                r.out_end = n;
                return VEXA_OK;
        }
    }
}

}  // namespace vexa
