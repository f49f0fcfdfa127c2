#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vexa.h>

int main(void) {
    const char text[] = "to be compressed, to be restored, to be compressed and restored again";
    size_t bound = vexa_compress_bound(sizeof text), packed_size = 0, restored_size = 0;
    unsigned char *packed = malloc(bound), restored[sizeof text];
    vexa_ctx *ctx = vexa_create();
    int status = packed && ctx ? vexa_compress(ctx, text, sizeof text, packed, bound, &packed_size) : VEXA_ERROR_MEMORY;
    if (status == VEXA_OK)
        status = vexa_decompress(ctx, packed, packed_size, restored, sizeof restored, &restored_size);
    if (status == VEXA_OK && (restored_size != sizeof text || memcmp(restored, text, sizeof text) != 0))
        status = VEXA_ERROR_DAMAGED;
    printf("vexa %s: %zu bytes, %zu compressed: %s\n", vexa_version(), sizeof text, packed_size, vexa_strerror(status));
    vexa_free(ctx);
    free(packed);
    return status == VEXA_OK ? 0 : 1;
}
