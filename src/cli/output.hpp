// The output's life: private while it is written, removed if the run fails
// or is interrupted, given the input's attributes once it is complete. One
// interface, a POSIX body (output_posix.cpp) and a Windows one
// (output_windows.cpp).
#pragma once

#include "cli/files.hpp"

#ifdef _WIN32
#include <string>
#endif

namespace vexa::cli {

// Once at start: an interruption (a signal, Ctrl-C) removes the output
// being written and clears the progress line before the program stops.
void catch_interruptions();

struct OutputFile {
    File file;
    FileFacts facts;
    // The data goes to our own standard output (a pipe to ssh, say): it
    // must stay pure, so the summary goes to standard error; and the file
    // there, if any, is the caller's to keep or remove.
    bool to_stdout = false;
    // The data goes where standard error does: no progress line into it.
    bool to_stderr = false;
    // A file of ours, removed unless `keep_output` completes it.
    bool partial = false;
#ifdef _WIN32
    std::wstring path;              // to remove it by name where the system cannot
    bool deleted_on_close = false;  // the system deletes it when its handle closes
#else
    bool existed = false;
    mode_t old_mode = 0;
#endif

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();
};

// Creates or replaces the file at `path` and learns where it leads.
bool open_output(const char* path, OutputFile& out, SystemError& error);

// Completes the output: the input's attributes where it had a file's
// (`input` null for a pipe or a device), then closes it; from then on it is
// no longer removed. Failures to copy attributes change nothing about the
// data and are not reported; a failed close is.
bool keep_output(OutputFile& out, const FileFacts* input, SystemError& error);

}  // namespace vexa::cli
