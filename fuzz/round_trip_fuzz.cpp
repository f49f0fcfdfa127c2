// Compression of arbitrary bytes, then decompression: both must report ok
// and the restored bytes must equal the input exactly. Media headers at the
// front send the input down the structured path with whatever geometry they
// claim, so its seed inputs hold one header of every class.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/pipeline.hpp"

namespace {

const char* status_name(vexa::RunStatus s) {
    switch (s) {
        case vexa::RunStatus::ok: return "ok";
        case vexa::RunStatus::read_failed: return "read_failed";
        case vexa::RunStatus::input_changed: return "input_changed";
        case vexa::RunStatus::too_large: return "too_large";
        case vexa::RunStatus::write_failed: return "write_failed";
        case vexa::RunStatus::truncated: return "truncated";
        case vexa::RunStatus::damaged: return "damaged";
    }
    return "unknown";
}

// Streams over memory: fmemopen wants a writable pointer even to read, and
// a real one even for an empty buffer.
std::FILE* reader(std::uint8_t* bytes, std::size_t size) {
    static std::uint8_t none;
    std::FILE* const f = fmemopen(size != 0 ? bytes : &none, size, "rb");
    if (f == nullptr) std::abort();
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!vexa::allocate_work_buffer()) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> input(data, data + size);

    char* packed = nullptr;
    std::size_t packed_size = 0;
    std::FILE* in = reader(input.data(), size);
    std::FILE* out = open_memstream(&packed, &packed_size);
    const vexa::RunResult c = vexa::compress(in, out);
    std::fclose(in);
    std::fclose(out);
    if (c.status != vexa::RunStatus::ok) {
        std::fprintf(stderr, "compress of %zu bytes: %s\n", size, status_name(c.status));
        std::abort();
    }

    char* restored = nullptr;
    std::size_t restored_size = 0;
    in = reader(reinterpret_cast<std::uint8_t*>(packed), packed_size);
    out = open_memstream(&restored, &restored_size);
    const vexa::RunResult d = vexa::decompress(in, out);
    std::fclose(in);
    std::fclose(out);
    if (d.status != vexa::RunStatus::ok) {
        std::fprintf(stderr, "decompress of %zu packed bytes (input %zu): %s\n", packed_size, size,
                     status_name(d.status));
        std::abort();
    }
    if (restored_size != size) {
        std::fprintf(stderr, "restored %zu bytes of %zu\n", restored_size, size);
        std::abort();
    }
    for (std::size_t k = 0; k < size; ++k) {
        if (static_cast<std::uint8_t>(restored[k]) != input[k]) {
            std::fprintf(stderr, "restored byte %zu of %zu is %02X, not %02X\n", k, size,
                         static_cast<std::uint8_t>(restored[k]), input[k]);
            std::abort();
        }
    }
    std::free(packed);
    std::free(restored);
    return 0;
}
