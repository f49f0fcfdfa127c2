// Decompression of arbitrary bytes. There is no checksum, so the decoder
// meets whatever a file holds: it must end with a status, stay inside its
// buffers, and when it says ok it must have written exactly the stored
// length. Any status other than ok is a fine answer.
//
// The stored length is cut down, because the decoder only notices that the
// input ran out at the end of a block: a 40-byte file that claims 512 KiB
// costs a whole block's decoding. The cap grows with the file, 1 KiB of
// output per byte of input, so short inputs stay fast and inputs of a few
// hundred bytes can still reach a second block.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "format/byte_order.hpp"
#include "format/format.hpp"
#include "vexa.h"

namespace {

constexpr std::uint32_t LENGTH_CAP = vexa::BLOCK_CAPACITY + 65536;

std::uint32_t length_cap(std::size_t size) {
    return static_cast<std::uint32_t>(std::min<std::size_t>(LENGTH_CAP, 4096 + 1024 * size));
}

vexa_ctx* context() {
    static vexa_ctx* const ctx = vexa_create();
    if (ctx == nullptr) std::abort();
    return ctx;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> file(data, data + size);
    std::uint32_t length = 0;
    if (size >= 4) {
        length = vexa::load_le32(file.data()) % length_cap(size);
        vexa::store_le32(file.data(), length);
    }

    std::vector<std::uint8_t> restored(length);
    std::size_t restored_size = 0;
    const int status =
        vexa_decompress(context(), file.data(), file.size(), restored.data(), restored.size(), &restored_size);
    if (status == VEXA_OK && (size < 4 || restored_size != length)) {
        std::fprintf(stderr, "decompress said ok after %zu of %u bytes\n", restored_size, length);
        std::abort();
    }
    return 0;
}
