// Stream failures that the fuzzer found swallowed, through the public API.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "vexa.h"

namespace {

// Hands out an empty input's 9-byte stream one byte per call and fails at
// call `fail_at`.
struct ByteByByte {
    unsigned char data[9] = {};
    std::size_t pos = 0;
    int calls = 0;
    int fail_at;
};

std::ptrdiff_t read_one(void* user, void* buf, std::size_t capacity) {
    auto& s = *static_cast<ByteByByte*>(user);
    if (++s.calls == s.fail_at) return -1;
    if (s.pos == sizeof s.data || capacity == 0) return 0;
    std::memcpy(buf, s.data + s.pos++, 1);
    return 1;
}

int accept(void*, const void*, std::size_t) { return 0; }

// Past the length, where an empty input's stream holds only the coder's
// flush bytes, a failing read still ends the run as a read failure.
TEST(StreamFailure, ReadFailingAfterAnEmptyInputsLengthIsReported) {
    vexa_ctx* ctx = vexa_create();
    ASSERT_NE(ctx, nullptr);
    for (int fail_at = 1; fail_at <= 9; ++fail_at) {
        ByteByByte source{};
        source.fail_at = fail_at;
        EXPECT_EQ(vexa_decompress_stream(ctx, read_one, &source, accept, nullptr, nullptr, nullptr), VEXA_ERROR_READ)
            << "read failing at call " << fail_at;
    }
    ByteByByte whole{};
    whole.fail_at = 0;
    EXPECT_EQ(vexa_decompress_stream(ctx, read_one, &whole, accept, nullptr, nullptr, nullptr), VEXA_OK);
    vexa_free(ctx);
}

}  // namespace
