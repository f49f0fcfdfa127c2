// One run: check the command line, open the input and then the output, run
// the pipeline of the chosen direction, report. Every failure ends with a
// message on standard error, status 1, and no partial output left behind.
#include "driver/driver.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "driver/pipeline.hpp"

namespace vexa {

namespace {

const char* const USAGE =
    "experimental vexa method v.0.01            \n"
    "To compress:   vexa c input output\n"
    "To decompress: vexa d input output\n";

// The output path, once we have created or truncated a regular file there.
// Read by the signal handler, hence volatile and of the plainest type.
const char* volatile partial_output = nullptr;

void remove_partial_output() {
    if (partial_output != nullptr) std::remove(partial_output);
    partial_output = nullptr;
}

// An interrupted run must not leave a half-written file that looks complete:
// remove it, then die of the same signal so the caller sees why we stopped.
extern "C" void on_fatal_signal(int sig) {
    if (partial_output != nullptr) unlink(partial_output);
    signal(sig, SIG_DFL);
    raise(sig);
}

// A signal the caller set to be ignored stays ignored: a background job
// keeps ignoring SIGINT, and an ignored SIGXFSZ or SIGPIPE turns into a
// failed write, which is reported like any other.
void catch_fatal_signals() {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) {
        struct sigaction current {};
        if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            signal(sig, on_fatal_signal);
        }
    }
}

// "path: reason"; the message is formed before the removal can touch errno.
int fail(const char* path, const char* reason) {
    std::fprintf(stderr, "%s: %s\n", path, reason);
    remove_partial_output();
    return 1;
}

int fail_errno(const char* path, int err) { return fail(path, std::strerror(err != 0 ? err : EIO)); }

// Elapsed wall time in milliseconds. clock_gettime rather than <chrono>:
// the one call from the C++ runtime would otherwise load its whole shared
// library, 1.5 MiB of resident memory.
long long now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

int report(const RunResult& r, const char* in_path, const char* out_path) {
    switch (r.status) {
        case RunStatus::ok: return 0;
        case RunStatus::read_failed: return fail_errno(in_path, r.error);
        case RunStatus::input_changed: return fail(in_path, "file shrank while it was being compressed");
        case RunStatus::too_large: return fail(in_path, "cannot compress: not a regular file of less than 2 GiB");
        case RunStatus::write_failed: return fail_errno(out_path, r.error);
        case RunStatus::truncated: return fail(in_path, "compressed data is truncated");
        case RunStatus::damaged: return fail(in_path, "compressed data is damaged");
    }
    return fail(in_path, "unknown failure");
}

}  // namespace

int run(int argc, char** argv) {
    if (argc != 4 || (argv[1][0] != 'c' && argv[1][0] != 'd')) {
        std::fputs(USAGE, stdout);
        return 1;
    }
    const bool compressing = argv[1][0] == 'c';
    const char* const in_path = argv[2];
    const char* const out_path = argv[3];
    const long long start = now_ms();

    std::FILE* const in = std::fopen(in_path, "rb");
    if (in == nullptr) return fail_errno(in_path, errno);

    // Refuse before the output is opened: opening it would truncate the input.
    struct stat in_stat {}, out_stat {};
    if (fstat(fileno(in), &in_stat) != 0) return fail_errno(in_path, errno);
    if (S_ISDIR(in_stat.st_mode)) return fail_errno(in_path, EISDIR);
    if (stat(out_path, &out_stat) == 0 && out_stat.st_dev == in_stat.st_dev &&
        out_stat.st_ino == in_stat.st_ino) {
        return fail(out_path, "is the input file; refusing to overwrite it");
    }
    if (compressing && S_ISREG(in_stat.st_mode) &&
        static_cast<unsigned long long>(in_stat.st_size) > MAX_INPUT_LENGTH) {
        return fail(in_path, "too large: vexa compresses files of less than 2 GiB");
    }

    catch_fatal_signals();
    std::FILE* const out = std::fopen(out_path, "wb");
    if (out == nullptr) return fail_errno(out_path, errno);
    // Decompression hands the stream 4096-byte pieces; with stdio's own
    // 4 KiB buffer each became a system call of its own.
    static char out_buffer[65536];
    std::setvbuf(out, out_buffer, _IOFBF, sizeof out_buffer);
    if (fstat(fileno(out), &out_stat) == 0 && S_ISREG(out_stat.st_mode)) partial_output = out_path;

    if (!allocate_work_buffer()) return fail("vexa", "cannot allocate working memory");

    const RunResult result = compressing ? compress(in, out) : decompress(in, out);
    if (result.status != RunStatus::ok) return report(result, in_path, out_path);

    if (std::fflush(out) != 0) return fail_errno(out_path, errno);
    if (std::fclose(out) != 0) return fail_errno(out_path, errno);
    partial_output = nullptr;
    const long long end = now_ms();

    // The counts are what the run read and wrote: the streams' positions for
    // files, and still right for a pipe, which has no position.
    std::printf("%s (%ld bytes) -> %s (%ld bytes) in %1.2f s.\n", in_path,
                static_cast<long>(result.bytes_in), out_path, static_cast<long>(result.bytes_out),
                static_cast<double>(end - start) / 1000.0);
    std::fclose(in);
    return 0;
}

}  // namespace vexa
