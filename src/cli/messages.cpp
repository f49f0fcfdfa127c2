#include "cli/messages.hpp"

#include <charconv>
#include <cstdio>

#include "cli/console.hpp"
#include "vexa.h"

namespace vexa::cli {

namespace {

// A count in full, whatever the width of long on the system: a long of 32
// bits, as on Windows, would wrap at 2 GiB.
struct Count {
    char text[24];
    explicit Count(std::uint64_t n) { *std::to_chars(text, text + sizeof text - 1, n).ptr = '\0'; }
};

}  // namespace

void print_usage() {
    print(Stream::out, {"experimental vexa method v.0.01            \n"
                        "To compress:   vexa c input output\n"
                        "To decompress: vexa d input output\n"});
}

int fail(const char* path, const char* reason) {
    erase_progress_line();
    print(Stream::err, {path, ": ", reason, "\n"});
    return 1;
}

int fail_decoding(const char* path, int status, std::uint64_t complete) {
    if (complete == 0) return fail(path, vexa_strerror(status));
    const Count end(complete);
    erase_progress_line();
    print(Stream::err, {path, ": ", vexa_strerror(status), " after the stream that ends at byte ", end.text, "\n"});
    return 1;
}

// The counts are what the run read and wrote: right for a pipe too, which
// has no position.
void print_summary(bool to_stderr, const char* in_path, std::uint64_t bytes_in, const char* out_path,
                   std::uint64_t bytes_out, long long milliseconds) {
    const Count in(bytes_in), out(bytes_out);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%1.2f", static_cast<double>(milliseconds) / 1000.0);
    erase_progress_line();
    print(to_stderr ? Stream::err : Stream::out,
          {in_path, " (", in.text, " bytes) -> ", out_path, " (", out.text, " bytes) in ", seconds, " s.\n"});
}

}  // namespace vexa::cli
