// The public functions: argument checks, memory adapters for the buffer
// calls, and the status texts. Everything else is the pipelines'.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "codec/bound.hpp"
#include "codec/context.hpp"
#include "codec/header.hpp"
#include "codec/pipeline.hpp"
#include "codec/reader.hpp"
#include "vexa.h"

namespace {

#define VEXA_STRINGIFY2(x) #x
#define VEXA_STRINGIFY(x) VEXA_STRINGIFY2(x)
constexpr const char VERSION[] =
    VEXA_STRINGIFY(VEXA_VERSION_MAJOR) "." VEXA_STRINGIFY(VEXA_VERSION_MINOR) "." VEXA_STRINGIFY(VEXA_VERSION_PATCH);
#undef VEXA_STRINGIFY
#undef VEXA_STRINGIFY2

struct MemoryReader {
    const std::uint8_t* data;
    std::size_t left;
};

std::ptrdiff_t read_memory(void* user, void* buf, std::size_t capacity) {
    auto& r = *static_cast<MemoryReader*>(user);
    const std::size_t n = capacity < r.left ? capacity : r.left;
    if (n > 0) std::memcpy(buf, r.data, n);
    r.data += n;
    r.left -= n;
    return static_cast<std::ptrdiff_t>(n);
}

// Refuses a write that would not fit rather than writing part of it.
struct MemoryWriter {
    std::uint8_t* data;
    std::size_t capacity;
    std::size_t size;
    bool overflow;
};

int write_memory(void* user, const void* buf, std::size_t size) {
    auto& w = *static_cast<MemoryWriter*>(user);
    if (size > w.capacity - w.size) {
        w.overflow = true;
        return -1;
    }
    if (size > 0) std::memcpy(w.data + w.size, buf, size);
    w.size += size;
    return 0;
}

}  // namespace

extern "C" {

vexa_ctx* vexa_create(void) {
    return vexa::create_context();
}

void vexa_free(vexa_ctx* ctx) { vexa::destroy_context(ctx); }

size_t vexa_compress_bound(size_t src_size) {
    if (src_size > VEXA_MAX_INPUT_LENGTH) return 0;
    const std::uint64_t bound = vexa::compressed_size_bound(src_size);
    return bound > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(bound);
}

int vexa_compress(vexa_ctx* ctx, const void* src, size_t src_size, void* dst, size_t dst_capacity,
                  size_t* dst_size) {
    if (dst_size != nullptr) *dst_size = 0;
    if (ctx == nullptr || dst_size == nullptr || (src == nullptr && src_size > 0) || dst == nullptr) {
        return VEXA_ERROR_ARGUMENT;
    }
    if (src_size > VEXA_MAX_INPUT_LENGTH) return VEXA_ERROR_TOO_LARGE;
    MemoryReader reader{static_cast<const std::uint8_t*>(src), src_size};
    MemoryWriter writer{static_cast<std::uint8_t*>(dst), dst_capacity, 0, false};
    const vexa::RunResult r = vexa::compress(*ctx, src_size, read_memory, &reader, write_memory, &writer);
    if (r.status != VEXA_OK) return writer.overflow ? VEXA_ERROR_DST_TOO_SMALL : r.status;
    *dst_size = writer.size;
    return VEXA_OK;
}

int vexa_decompress(vexa_ctx* ctx, const void* src, size_t src_size, void* dst, size_t dst_capacity,
                    size_t* dst_size) {
    return vexa_decompress_sized(ctx, src, src_size, dst, dst_capacity, dst_size, nullptr);
}

int vexa_decompress_sized(vexa_ctx* ctx, const void* src, size_t src_size, void* dst, size_t dst_capacity,
                          size_t* dst_size, size_t* src_used) {
    if (dst_size != nullptr) *dst_size = 0;
    if (src_used != nullptr) *src_used = 0;
    if (ctx == nullptr || dst_size == nullptr || (src == nullptr && src_size > 0) ||
        (dst == nullptr && dst_capacity > 0)) {
        return VEXA_ERROR_ARGUMENT;
    }
    // Checked before anything is decoded, so that a small destination costs
    // no work; the pipeline's writes are then known to fit.
    std::uint64_t length = 0;
    if (vexa_stored_length(src, src_size, &length) == VEXA_OK && length > dst_capacity) {
        return VEXA_ERROR_DST_TOO_SMALL;
    }
    MemoryReader reader{static_cast<const std::uint8_t*>(src), src_size};
    MemoryWriter writer{static_cast<std::uint8_t*>(dst), dst_capacity, 0, false};
    const vexa::RunResult r = vexa::decompress(*ctx, read_memory, &reader, write_memory, &writer);
    if (r.status != VEXA_OK) return writer.overflow ? VEXA_ERROR_DST_TOO_SMALL : r.status;
    *dst_size = writer.size;
    if (src_used != nullptr) *src_used = static_cast<size_t>(r.bytes_in);
    return VEXA_OK;
}

int vexa_stored_length(const void* src, size_t src_size, uint64_t* length) {
    if (length != nullptr) *length = 0;
    if (length == nullptr || (src == nullptr && src_size > 0)) return VEXA_ERROR_ARGUMENT;
    if (src_size < vexa::LENGTH_BYTES) return VEXA_ERROR_TRUNCATED;
    *length = vexa::read_header(static_cast<const std::uint8_t*>(src), vexa::LENGTH_BYTES).length;
    return VEXA_OK;
}

int vexa_compress_stream(vexa_ctx* ctx, uint64_t src_size, vexa_read_fn read, void* read_user,
                         vexa_write_fn write, void* write_user, uint64_t* dst_size) {
    if (dst_size != nullptr) *dst_size = 0;
    if (ctx == nullptr || read == nullptr || write == nullptr) return VEXA_ERROR_ARGUMENT;
    const vexa::RunResult r = vexa::compress(*ctx, src_size, read, read_user, write, write_user);
    if (r.status == VEXA_OK && dst_size != nullptr) *dst_size = r.bytes_out;
    return r.status;
}

int vexa_decompress_stream(vexa_ctx* ctx, vexa_read_fn read, void* read_user, vexa_write_fn write,
                           void* write_user, uint64_t* src_size, uint64_t* dst_size) {
    if (src_size != nullptr) *src_size = 0;
    if (dst_size != nullptr) *dst_size = 0;
    if (ctx == nullptr || read == nullptr || write == nullptr) return VEXA_ERROR_ARGUMENT;
    const vexa::RunResult r = vexa::decompress(*ctx, read, read_user, write, write_user);
    if (r.status == VEXA_OK) {
        if (src_size != nullptr) *src_size = r.bytes_in;
        if (dst_size != nullptr) *dst_size = r.bytes_out;
    }
    return r.status;
}

int vexa_reader_open(vexa_ctx* ctx, vexa_read_fn read, void* read_user, unsigned flags) {
    if (ctx == nullptr || read == nullptr || (flags & ~VEXA_READ_ONE_STREAM) != 0) return VEXA_ERROR_ARGUMENT;
    vexa::open_reader(*ctx, read, read_user, (flags & VEXA_READ_ONE_STREAM) != 0);
    return VEXA_OK;
}

ptrdiff_t vexa_reader_read(vexa_ctx* ctx, void* buf, size_t capacity) {
    if (ctx == nullptr) return VEXA_ERROR_ARGUMENT;
    vexa::StreamReader& r = ctx->reader;
    if (r.phase == vexa::ReaderPhase::closed || (buf == nullptr && capacity > 0)) return VEXA_ERROR_ARGUMENT;
    if (r.phase == vexa::ReaderPhase::failed) return r.status;
    if (capacity == 0) return 0;
    while (r.out_pos == r.out_end) {
        std::uint32_t n = 0;
        if (const int status = vexa::next_block(*ctx, n); status != VEXA_OK) return status;
        if (n == 0) return 0;
    }
    const std::size_t n = std::min<std::size_t>({capacity, r.out_end - r.out_pos, PTRDIFF_MAX});
    std::memcpy(buf, ctx->block() + r.out_pos, n);
    r.out_pos += static_cast<std::uint32_t>(n);
    return static_cast<ptrdiff_t>(n);
}

uint64_t vexa_reader_complete_size(const vexa_ctx* ctx) {
    if (ctx == nullptr || ctx->reader.phase == vexa::ReaderPhase::closed) return 0;
    return ctx->reader.complete_size;
}

int vexa_reader_unused(const vexa_ctx* ctx, const void** data, size_t* size) {
    if (data != nullptr) *data = nullptr;
    if (size != nullptr) *size = 0;
    if (ctx == nullptr || data == nullptr || size == nullptr || ctx->reader.phase != vexa::ReaderPhase::ended) {
        return VEXA_ERROR_ARGUMENT;
    }
    const vexa::IoBuffer& io = ctx->io;
    *data = io.data + io.pos;
    *size = io.ran_dry ? 0 : io.fill - io.pos;
    return VEXA_OK;
}

void vexa_reader_close(vexa_ctx* ctx) {
    if (ctx != nullptr) vexa::close_reader(*ctx);
}

const char* vexa_strerror(int status) {
    switch (status) {
        case VEXA_OK: return "success";
        case VEXA_ERROR_TRUNCATED: return "compressed data is truncated";
        case VEXA_ERROR_DAMAGED: return "compressed data is damaged";
        case VEXA_ERROR_TOO_LARGE: return "too large: vexa compresses files of less than 4 GiB";
        case VEXA_ERROR_DST_TOO_SMALL: return "destination buffer is too small";
        case VEXA_ERROR_READ: return "read failed";
        case VEXA_ERROR_WRITE: return "write failed";
        case VEXA_ERROR_MEMORY: return "cannot allocate working memory";
        case VEXA_ERROR_ARGUMENT: return "invalid argument";
        case VEXA_ERROR_SHORT_INPUT: return "file shrank while it was being compressed";
        default: return "unknown status";
    }
}

const char* vexa_version(void) { return VERSION; }

unsigned vexa_version_number(void) { return VEXA_VERSION_NUMBER; }

}  // extern "C"
