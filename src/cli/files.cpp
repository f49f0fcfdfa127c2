#include <cstring>

#include "cli/files.hpp"
#include "vexa.h"

namespace vexa::cli {

namespace {

bool all_zero(const char* p, std::size_t n) { return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0); }

}  // namespace

// Runs of zeros are skipped rather than written, so a stream of zeros costs
// no disk.
bool spool(File& input, const char* input_path, File& copy, std::uint64_t& length,
           void (*on_bytes)(void* user, std::size_t n), void* user, SpoolFailure& failure) {
    SystemError error = 0;
    if (!open_temporary(copy, failure.path, error)) {
        failure.reason = describe(error);
        return false;
    }
    static char chunk[65536];
    length = 0;
    for (;;) {
        const std::ptrdiff_t got = input.read_some(chunk, sizeof chunk, error);
        if (got < 0) {
            failure = {input_path, describe(error)};
            return false;
        }
        if (got == 0) break;
        length += static_cast<std::uint64_t>(got);
        if (length > VEXA_MAX_INPUT_LENGTH) {
            failure = {input_path, vexa_strerror(VEXA_ERROR_TOO_LARGE)};
            return false;
        }
        const auto n = static_cast<std::size_t>(got);
        if (!(all_zero(chunk, n) ? skip_forward(copy, n, error) : copy.write_all(chunk, n, error))) {
            failure.reason = describe(error);
            return false;
        }
        on_bytes(user, n);
    }
    if (!end_and_rewind(copy, length, error)) {
        failure.reason = describe(error);
        return false;
    }
    return true;
}

}  // namespace vexa::cli
