// Compression of arbitrary bytes, then decompression: both must report ok
// and the restored bytes must equal the input exactly, and the compressed
// size must stay within the promised bound. Media headers at the front send
// the input down the structured path with whatever geometry they claim, so
// its seed inputs hold one header of every class.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "vexa.h"

namespace {

vexa_ctx* context() {
    static vexa_ctx* const ctx = vexa_create();
    if (ctx == nullptr) std::abort();
    return ctx;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> packed(vexa_compress_bound(size));
    std::size_t packed_size = 0;
    const int c = vexa_compress(context(), data, size, packed.data(), packed.size(), &packed_size);
    if (c != VEXA_OK) {
        std::fprintf(stderr, "compress of %zu bytes: %s\n", size, vexa_strerror(c));
        std::abort();
    }

    std::vector<std::uint8_t> restored(size);
    std::size_t restored_size = 0;
    const int d = vexa_decompress(context(), packed.data(), packed_size, restored.data(), restored.size(),
                                  &restored_size);
    if (d != VEXA_OK) {
        std::fprintf(stderr, "decompress of %zu packed bytes (input %zu): %s\n", packed_size, size, vexa_strerror(d));
        std::abort();
    }
    if (restored_size != size) {
        std::fprintf(stderr, "restored %zu bytes of %zu\n", restored_size, size);
        std::abort();
    }
    for (std::size_t k = 0; k < size; ++k) {
        if (restored[k] != data[k]) {
            std::fprintf(stderr, "restored byte %zu of %zu is %02X, not %02X\n", k, size, restored[k], data[k]);
            std::abort();
        }
    }
    return 0;
}
