/* Every function of the 0.2.0 header, called as a program built against it
 * calls them: all must behave as that header says with today's library. */
#include <stdio.h>
#include <string.h>
#include <vexa.h>

struct memory {
    unsigned char bytes[4096];
    size_t size, pos;
};

static ptrdiff_t read_memory(void* user, void* buf, size_t capacity) {
    struct memory* m = user;
    size_t n = m->size - m->pos < capacity ? m->size - m->pos : capacity;
    memcpy(buf, m->bytes + m->pos, n);
    m->pos += n;
    return (ptrdiff_t)n;
}

static int write_memory(void* user, const void* buf, size_t size) {
    struct memory* m = user;
    if (size > sizeof m->bytes - m->size) return -1;
    memcpy(m->bytes + m->size, buf, size);
    m->size += size;
    return 0;
}

int main(void) {
    static const char text[] = "one stream, then its restored copy, then the same through the streams";
    static struct memory plain, packed, restored;
    unsigned char buffer[4096];
    size_t size = 0, out_size = 0;
    uint64_t length = 0, in = 0, out = 0;
    vexa_ctx* ctx = vexa_create();
    int ok = ctx != NULL && vexa_compress_bound(sizeof text) <= sizeof buffer &&
             vexa_compress(ctx, text, sizeof text, buffer, sizeof buffer, &size) == VEXA_OK &&
             vexa_stored_length(buffer, size, &length) == VEXA_OK && length == sizeof text;
    memcpy(plain.bytes, text, sizeof text);
    plain.size = sizeof text;
    ok = ok && vexa_compress_stream(ctx, sizeof text, read_memory, &plain, write_memory, &packed, &out) == VEXA_OK &&
         out == size && memcmp(packed.bytes, buffer, size) == 0;
    ok = ok && vexa_decompress_stream(ctx, read_memory, &packed, write_memory, &restored, &in, &out) == VEXA_OK &&
         in == size && out == sizeof text && memcmp(restored.bytes, text, sizeof text) == 0;
    ok = ok && vexa_decompress(ctx, buffer, size, buffer + size, sizeof text, &out_size) == VEXA_OK &&
         out_size == sizeof text && memcmp(buffer + size, text, sizeof text) == 0;
    printf("a 0.2.0 program on vexa %s: %s\n", vexa_version(), ok ? vexa_strerror(VEXA_OK) : "FAILED");
    vexa_free(ctx);
    return ok ? 0 : 1;
}
