#include "codec/pipeline.hpp"

#include <algorithm>
#include <cstddef>

#include "codec/header.hpp"
#include "codec/reader.hpp"
#include "decisions/block_codes.hpp"
#include "filters/delta.hpp"
#include "filters/branch.hpp"
#include "filters/text.hpp"
#include "model/byte_model.hpp"
#include "vexa.h"

namespace vexa {

namespace {

RunResult failure(int status) {
    RunResult result;
    result.status = status;
    return result;
}

// Reads exactly n bytes in pieces of READ_PIECE.
int read_block(ReadFn read, void* user, std::uint8_t* block, std::uint32_t n) {
    for (std::uint32_t done = 0; done < n;) {
        const std::uint32_t piece = std::min(READ_PIECE, n - done);
        const std::ptrdiff_t got = read(user, block + done, piece);
        if (got < 0 || got > static_cast<std::ptrdiff_t>(piece)) return VEXA_ERROR_READ;
        if (got == 0) return VEXA_ERROR_SHORT_INPUT;
        done += static_cast<std::uint32_t>(got);
    }
    return VEXA_OK;
}

void encode_generic_path(Context& ctx, RangeCoder& rc, std::uint32_t n, std::uint32_t flat, RateBand rates,
                         std::uint32_t bytes_done) {
    std::uint8_t* const block = ctx.block();
    const bool filters_allowed = block_filters_allowed(flat, rates.rate_a);
    const bool text = filters_allowed && text_encode(block, n, ctx.work);
    rc.encode_direct_bit(text);
    if (!text && filters_allowed && branch_filter_fits(std::uint64_t{bytes_done} + n)) {
        branch_encode(block, n, bytes_done);
    }
    encode_generic_block(rc, ctx.tables, match_for_block(ctx), block, n, flat, rates.rate_a, rates.rate_b);
}

void encode_structured_path(Context& ctx, RangeCoder& rc, std::uint32_t n, RateBand rates, TrialTally& tally) {
    std::uint8_t* const block = ctx.block();
    const DataProfile& profile = ctx.profile;
    const std::uint32_t delta = choose_delta(rc, ctx.tables, block, n, profile, rates.rate_a, rates.rate_b, tally);
    rc.encode_direct_bit(profile.row_context);
    rc.encode_direct_bit(delta);
    if (delta) delta_encode(block, 0, n, profile.channels, profile.sample_width);
    encode_structured_block(rc, ctx.tables, block, n, profile, rates.rate_a, rates.rate_b);
}

}  // namespace

RunResult compress(Context& ctx, std::uint64_t input_length, ReadFn read, void* read_user, WriteFn write,
                   void* write_user) {
    if (input_length > MAX_INPUT_LENGTH) return failure(VEXA_ERROR_TOO_LARGE);
    const auto length = static_cast<std::uint32_t>(input_length);
    close_reader(ctx);
    start_run(ctx, length, true);

    bind_io_buffer(ctx.io, nullptr, write, write_user);
    RangeCoder rc(Direction::encode, ctx.io);
    RunResult done;
    std::uint8_t* const block = ctx.block();
    std::uint8_t header[HEADER_BYTES_MAX];
    std::uint32_t header_bytes = 0;
    if (length == 0) {
        header_bytes = write_header(0, nullptr, header).size;
        if (write(write_user, header, header_bytes) != 0) return failure(VEXA_ERROR_WRITE);
    }

    for (std::uint32_t bytes_done = 0; bytes_done < length;) {
        const std::uint32_t n = std::min(BLOCK_CAPACITY, length - bytes_done);
        if (const int status = read_block(read, read_user, block, n); status != VEXA_OK) return failure(status);

        if (bytes_done == 0) {
            detect_data_class(ctx.profile, block, n);
            const WrittenHeader written = write_header(length, &ctx.profile, header);
            header_bytes = written.size;
            ctx.profile = written.profile;
            if (ctx.profile.class_word != CLASS_STRUCTURED) prepare_generic_path(ctx, length);
            if (write(write_user, header, header_bytes) != 0) return failure(VEXA_ERROR_WRITE);
        }

        const BlockCodes codes = choose_codes(rc, ctx.tables, block, n, done.rate_trials);
        const std::uint32_t flat = codes.flat;
        const RateBand rates = codes.rates;
        rc.encode_direct_bit(flat);
        rc.encode_direct_byte(rates.rate_a);
        rc.encode_direct_byte(rates.rate_b);

        if (ctx.profile.class_word != CLASS_STRUCTURED) {
            encode_generic_path(ctx, rc, n, flat, rates, bytes_done);
        } else {
            encode_structured_path(ctx, rc, n, rates, done.delta_trials);
        }
        bytes_done += n;
        if (ctx.io.failed) return failure(VEXA_ERROR_WRITE);
    }

    rc.flush();
    drain_io_buffer(ctx.io);
    if (ctx.io.failed) return failure(VEXA_ERROR_WRITE);
    done.bytes_in = length;
    done.bytes_out = header_bytes + ctx.io.moved;
    return done;
}

RunResult decompress(Context& ctx, ReadFn read, void* read_user, WriteFn write, void* write_user) {
    open_reader(ctx, read, read_user, true);
    RunResult done;
    std::uint32_t n = 0;
    while ((done.status = next_block(ctx, n)) == VEXA_OK && n > 0) {
        if (write(write_user, ctx.block(), n) != 0) {
            done.status = VEXA_ERROR_WRITE;
            break;
        }
        done.bytes_out += n;
    }
    close_reader(ctx);
    if (done.status != VEXA_OK) return failure(done.status);
    done.bytes_in = ctx.reader.complete_size;
    return done;
}

}  // namespace vexa
