/*
 * libvexa: the vexa compressed format as a library.
 *
 * A compressed stream is a 4-byte little-endian length, a few profile bytes
 * and one range-coded body, which ends exactly where its decoder stops, so
 * that a file may hold several streams one after another (see the reader).
 * The same input always gives the same bytes, on every machine and through
 * every function below, and the same bytes as the `vexa` program writes.
 * The format has no checksum: most damage to a compressed stream is not
 * detected and decodes into wrong bytes of the stored length; what is
 * detected is reported (VEXA_ERROR_TRUNCATED, VEXA_ERROR_DAMAGED).
 *
 * Memory: all working memory lives in a context (vexa_ctx), about 5 MiB of
 * address space allocated once by vexa_create; nothing else is allocated,
 * per call, per block or per byte. Pages that a run does not need are never
 * touched, so small inputs keep a small resident size.
 *
 * Threads: the library holds no mutable global state. Any number of
 * contexts may be used at once in different threads; one context must not
 * be used by two threads at the same time. Functions that take no context
 * are safe to call from any thread at any time.
 *
 * Failures: every function that can fail returns a status, VEXA_OK (0) or
 * one of the negative VEXA_ERROR_* codes below. The library never prints,
 * never exits and never aborts on bad input, and a context stays usable
 * after any failure.
 */
#ifndef VEXA_H
#define VEXA_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
/* The DLL exports these functions alone; its users import them through the
 * import library, so that the same declarations serve the static library. */
#if defined(VEXA_BUILDING_LIBRARY)
#define VEXA_API __declspec(dllexport)
#else
#define VEXA_API
#endif
#elif defined(__GNUC__)
#define VEXA_API __attribute__((visibility("default")))
#else
#define VEXA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this header; the build reads it from here. */
#define VEXA_VERSION_MAJOR 0
#define VEXA_VERSION_MINOR 3
#define VEXA_VERSION_PATCH 0
#define VEXA_VERSION_NUMBER (VEXA_VERSION_MAJOR * 10000 + VEXA_VERSION_MINOR * 100 + VEXA_VERSION_PATCH)

/* Status codes. */
#define VEXA_OK 0
#define VEXA_ERROR_TRUNCATED (-1)      /* the compressed data ends before its stored length is restored */
#define VEXA_ERROR_DAMAGED (-2)        /* the compressed data holds values that no compressor writes */
#define VEXA_ERROR_TOO_LARGE (-3)      /* the input is 2^32 bytes or more: the format stores a 32-bit length */
#define VEXA_ERROR_DST_TOO_SMALL (-4)  /* the destination buffer cannot hold the result */
#define VEXA_ERROR_READ (-5)           /* the caller's read function reported a failure */
#define VEXA_ERROR_WRITE (-6)          /* the caller's write function reported a failure */
#define VEXA_ERROR_MEMORY (-7)         /* memory is short */
#define VEXA_ERROR_ARGUMENT (-8)       /* a null pointer where one is not allowed, or a similar misuse */
#define VEXA_ERROR_SHORT_INPUT (-9)    /* the input to compress ended before the length it was said to have */

/* The largest input length that the format can store. */
#define VEXA_MAX_INPUT_LENGTH 4294967295u

/* An opaque compression and decompression context. */
typedef struct vexa_ctx vexa_ctx;

/*
 * Creates a context, ready for any number of runs in either direction, one
 * at a time. Returns NULL when memory is short. Each run on a context gives
 * exactly the result that it would give on a fresh one.
 * Free it with vexa_free.
 */
VEXA_API vexa_ctx* vexa_create(void);

/* Frees a context and everything it holds. NULL is fine. */
VEXA_API void vexa_free(vexa_ctx* ctx);

/*
 * The largest compressed size of any input of src_size bytes: a destination
 * of this capacity never makes vexa_compress fail with
 * VEXA_ERROR_DST_TOO_SMALL. Returns 0 for src_size above
 * VEXA_MAX_INPUT_LENGTH (such inputs cannot be compressed), and SIZE_MAX
 * where the bound does not fit a size_t (32-bit systems, huge inputs).
 */
VEXA_API size_t vexa_compress_bound(size_t src_size);

/*
 * Compresses src[0 .. src_size-1] into dst[0 .. dst_capacity-1] and stores
 * the compressed size in *dst_size. src may be NULL when src_size is 0.
 * Returns VEXA_OK, VEXA_ERROR_DST_TOO_SMALL (dst is left with unspecified
 * contents, never written past dst_capacity, and *dst_size is 0),
 * VEXA_ERROR_TOO_LARGE (src_size above VEXA_MAX_INPUT_LENGTH) or
 * VEXA_ERROR_ARGUMENT (ctx, dst_size, or a needed src or dst is NULL).
 * The caller keeps ownership of both buffers; they must not overlap.
 */
VEXA_API int vexa_compress(vexa_ctx* ctx, const void* src, size_t src_size,
                           void* dst, size_t dst_capacity, size_t* dst_size);

/*
 * Restores the data of the compressed stream at the start of
 * src[0 .. src_size-1] into dst[0 .. dst_capacity-1] and stores its length
 * in *dst_size. Bytes after the end of that stream are ignored (see
 * vexa_decompress_sized to learn where it ends). vexa_stored_length tells
 * the capacity needed beforehand.
 * Returns VEXA_OK, VEXA_ERROR_TRUNCATED (also for fewer than 4 bytes),
 * VEXA_ERROR_DAMAGED, VEXA_ERROR_DST_TOO_SMALL (nothing is decoded then:
 * the stored length is checked first; *dst_size is 0) or
 * VEXA_ERROR_ARGUMENT. On any failure *dst_size is 0 and the contents of
 * dst are unspecified, but never hold a byte that was not decoded from src.
 */
VEXA_API int vexa_decompress(vexa_ctx* ctx, const void* src, size_t src_size,
                             void* dst, size_t dst_capacity, size_t* dst_size);

/*
 * vexa_decompress that also stores in *src_used (if not NULL) the exact size
 * of the stream it restored: src + *src_used is the first byte after it,
 * the start of whatever follows (another stream, or data of the caller's).
 * *src_used is 0 after a failure.
 */
VEXA_API int vexa_decompress_sized(vexa_ctx* ctx, const void* src, size_t src_size,
                                   void* dst, size_t dst_capacity, size_t* dst_size,
                                   size_t* src_used);

/*
 * Reads the uncompressed length from the header of a compressed stream
 * (its first 4 bytes) into *length, without decoding anything. No context
 * needed. Returns VEXA_OK, VEXA_ERROR_TRUNCATED (fewer than 4 bytes) or
 * VEXA_ERROR_ARGUMENT. The length is what the header claims: nothing is
 * known to back it until the stream has been decoded, so a caller that
 * allocates it up front should bound it first.
 */
VEXA_API int vexa_stored_length(const void* src, size_t src_size, uint64_t* length);

/*
 * Streams, for data larger than memory. The library calls the caller's
 * functions from inside vexa_compress_stream and vexa_decompress_stream,
 * on the calling thread, with buffers of its own (up to 512 KiB):
 *
 * A read function places up to `capacity` bytes in `buf` and returns how
 * many it placed: 0 means the end of the data, a negative value a failure
 * (the run then ends with VEXA_ERROR_READ, as it does when the count
 * exceeds `capacity`). Short counts are fine.
 *
 * A write function takes all `size` bytes of `buf` and returns 0, or
 * anything else on failure (the run then ends with VEXA_ERROR_WRITE, and
 * no further call is made).
 *
 * `user` is passed through untouched.
 */
typedef ptrdiff_t (*vexa_read_fn)(void* user, void* buf, size_t capacity);
typedef int (*vexa_write_fn)(void* user, const void* buf, size_t size);

/*
 * Compresses exactly src_size bytes taken from `read` into a compressed
 * stream handed to `write`. The format stores the length first, so it must
 * be known beforehand; reading more than src_size bytes is never attempted.
 * On success *dst_size (if not NULL) receives the number of bytes written.
 * Returns VEXA_OK, VEXA_ERROR_SHORT_INPUT (`read` ended early),
 * VEXA_ERROR_READ, VEXA_ERROR_WRITE, VEXA_ERROR_TOO_LARGE or
 * VEXA_ERROR_ARGUMENT. After a failure, what was written is not a complete
 * compressed stream and should be discarded.
 */
VEXA_API int vexa_compress_stream(vexa_ctx* ctx, uint64_t src_size,
                                  vexa_read_fn read, void* read_user,
                                  vexa_write_fn write, void* write_user,
                                  uint64_t* dst_size);

/*
 * Restores one compressed stream taken from `read`, handing the restored
 * bytes to `write` one block (at most 512 KiB) at a time, each block only
 * once it has been decoded whole. `read` may be asked for up to 64 KiB more
 * than the stream holds; those bytes are not restored. On success
 * *src_size (if not NULL) receives the exact size of the stream, which is
 * where whatever follows it starts, and *dst_size (if not NULL) the bytes
 * written. Returns VEXA_OK, VEXA_ERROR_TRUNCATED, VEXA_ERROR_DAMAGED,
 * VEXA_ERROR_READ, VEXA_ERROR_WRITE or VEXA_ERROR_ARGUMENT. After a
 * failure the output is incomplete and should be discarded; every byte
 * written was decoded from `read`'s data, never left over from earlier.
 * To restore every stream of a concatenation, use the reader below.
 */
VEXA_API int vexa_decompress_stream(vexa_ctx* ctx,
                                    vexa_read_fn read, void* read_user,
                                    vexa_write_fn write, void* write_user,
                                    uint64_t* src_size, uint64_t* dst_size);

/*
 * The reader: restored bytes that the caller pulls, as it reads a file.
 *
 * Streams can be concatenated (`cat a.vx b.vx > ab.vx`): the reader
 * restores every stream of its input, one after another, and ends at the
 * end of the input. After the last complete stream only zero bytes may
 * follow, as padding; anything else is reported (VEXA_ERROR_TRUNCATED when
 * the input ends inside a stream, VEXA_ERROR_DAMAGED otherwise), and
 * vexa_reader_complete_size then tells where the last complete stream
 * ended. With VEXA_READ_ONE_STREAM it stops at the end of the first stream
 * instead and reads nothing past it but what its last refill took, which
 * vexa_reader_unused hands back.
 *
 * The reader lives in the context and uses its memory alone: no thread, no
 * allocation. It decodes one block (at most 512 KiB) at a time, when the
 * bytes restored so far have all been handed out, and calls `read` on the
 * calling thread, from inside vexa_reader_read only, for up to 64 KiB at a
 * time. One reader per context; any other run on the context (compressing
 * or decompressing) ends it, as does vexa_reader_close.
 */
#define VEXA_READ_ONE_STREAM 1u   /* stop after the first stream */

/*
 * Opens a reader on ctx over the compressed bytes that `read` supplies;
 * flags is 0 or VEXA_READ_ONE_STREAM. Nothing is read yet. Ends any run
 * that was open on ctx. Returns VEXA_OK or VEXA_ERROR_ARGUMENT (ctx or read
 * NULL, an unknown flag).
 */
VEXA_API int vexa_reader_open(vexa_ctx* ctx, vexa_read_fn read, void* read_user, unsigned flags);

/*
 * Places up to `capacity` restored bytes in buf and returns how many it
 * placed: at least 1 while there are restored bytes to come (often fewer
 * than asked, at a block's end), 0 at the end of the data, or a negative
 * status: VEXA_ERROR_TRUNCATED, VEXA_ERROR_DAMAGED, VEXA_ERROR_READ, or
 * VEXA_ERROR_ARGUMENT (no open reader on ctx, buf NULL with a capacity).
 * A capacity of 0 returns 0 and reads nothing. After the end or a failure
 * every further call returns the same again. Every byte placed was decoded
 * from `read`'s data; a block is handed out only once it has been decoded
 * whole, so the bytes placed before a failure are correct.
 */
VEXA_API ptrdiff_t vexa_reader_read(vexa_ctx* ctx, void* buf, size_t capacity);

/*
 * The compressed bytes taken up by the complete streams so far: where the
 * last complete stream ended, and where the next one starts (0 before the
 * first has ended, or without an open reader).
 */
VEXA_API uint64_t vexa_reader_complete_size(const vexa_ctx* ctx);

/*
 * Once vexa_reader_read has returned 0: the bytes that the reader took from
 * `read` past the end of the last stream, which the caller would otherwise
 * lose (with VEXA_READ_ONE_STREAM, the start of whatever follows the
 * stream). *data points into the context and stays valid until the next
 * call on ctx. Returns VEXA_OK, or VEXA_ERROR_ARGUMENT (a NULL pointer, no
 * open reader, or a reader that has not reached its end).
 */
VEXA_API int vexa_reader_unused(const vexa_ctx* ctx, const void** data, size_t* size);

/*
 * Ends the reader on ctx, at any point; the context is at once ready for
 * any other run. NULL, or a context without an open reader, is fine.
 */
VEXA_API void vexa_reader_close(vexa_ctx* ctx);

/*
 * A static English phrase for a status, e.g. "compressed data is
 * truncated"; never NULL (unknown codes give "unknown status").
 */
VEXA_API const char* vexa_strerror(int status);

/* The library's version, "MAJOR.MINOR.PATCH". */
VEXA_API const char* vexa_version(void);

/*
 * The library's version as VEXA_VERSION_NUMBER gives it. A program linked
 * to the shared library may run with another one than the header it was
 * built with describes; comparing the two tells.
 */
VEXA_API unsigned vexa_version_number(void);

#ifdef __cplusplus
}
#endif

#endif /* VEXA_H */
