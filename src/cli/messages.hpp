// What the program says: the usage text, "path: reason" for a failure, and
// the summary line of a completed run.
#pragma once

#include <cstdint>

#include "cli/files.hpp"

namespace vexa::cli {

// On standard output, for a command line that is not one of the two forms.
void print_usage();

// "path: reason" on standard error, after clearing any progress line.
// Returns the program's status for a failed run.
int fail(const char* path, const char* reason);
inline int fail(const char* path, SystemError error) { return fail(path, describe(error)); }

// The library's reason, and once a stream has been complete, where the
// last one ended: the first `complete` bytes of the input restore on their
// own (`head -c`), which is worth knowing about a long concatenation.
int fail_decoding(const char* path, int status, std::uint64_t complete);

// "in (n bytes) -> out (m bytes) in s.ss s." on standard output, or on
// standard error when the data itself went to standard output.
void print_summary(bool to_stderr, const char* in_path, std::uint64_t bytes_in, const char* out_path,
                   std::uint64_t bytes_out, long long milliseconds);

}  // namespace vexa::cli
