#ifndef _WIN32

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>

#include "cli/console.hpp"
#include "cli/output.hpp"

namespace vexa::cli {

namespace {

// The file to remove if the run fails: the output's resolved path while it
// is partial. Read by the signal handler, hence volatile and of the
// plainest type; one output per process, so one record.
const char* volatile partial_output = nullptr;
char partial_output_path[PATH_MAX];

void forget_partial() { partial_output = nullptr; }

// An interrupted run must not leave a half-written file that looks
// complete: remove it, then die of the same signal so the caller sees why
// we stopped.
extern "C" void on_fatal_signal(int sig) {
    if (partial_output != nullptr) unlink(partial_output);
    erase_progress_line();
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

// A signal the caller set to be ignored stays ignored: a background job
// keeps ignoring SIGINT, and an ignored SIGXFSZ or SIGPIPE turns into a
// failed write, which is reported like any other.
void catch_interruptions() {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) {
        struct sigaction current {};
        if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            signal(sig, on_fatal_signal);
        }
    }
}

OutputFile::~OutputFile() {
    if (!partial) return;
    file.close();
    if (partial_output != nullptr) std::remove(partial_output);
    forget_partial();
}

// Private while it is written: created 0600, and an existing file, which
// keeps its mode through O_TRUNC, made so.
bool open_output(const char* path, OutputFile& out, SystemError& error) {
    out.existed = stat(path, &out.facts.stat) == 0;
    out.file.adopt(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0600));
    if (!out.file.is_open() || fstat(out.file.native(), &out.facts.stat) != 0) {
        error = errno;
        return false;
    }
    FileFacts standard;
    out.to_stdout = fstat(STDOUT_FILENO, &standard.stat) == 0 && same_file(standard, out.facts);
    out.to_stderr = fstat(STDERR_FILENO, &standard.stat) == 0 && same_file(standard, out.facts);
    out.facts.kind = S_ISREG(out.facts.stat.st_mode) ? FileKind::regular : FileKind::pipe;
    out.old_mode = out.facts.stat.st_mode & 07777;
    if (out.facts.kind == FileKind::regular && !out.to_stdout) {
        // The file removed on failure is the one written, also through a
        // symbolic link.
        partial_output = realpath(path, partial_output_path) != nullptr ? partial_output_path : path;
        out.partial = true;
        if ((out.old_mode & 07077) != 0) fchmod(out.file.native(), 0600);
    }
    return true;
}

namespace {

// The input's permission bits, its owner and group where we may set them,
// its access and modification times.
void copy_attributes(int fd, const struct stat& in, const struct stat& out) {
    gid_t group = out.st_gid;
    if (fchown(fd, in.st_uid, in.st_gid) == 0 || fchown(fd, static_cast<uid_t>(-1), in.st_gid) == 0) {
        group = in.st_gid;
    }
    mode_t mode = in.st_mode & 0777;
    // A group other than the input's gets no more than everyone else.
    if (group != in.st_gid) mode = (mode & ~static_cast<mode_t>(070)) | ((mode & 07) << 3);
    fchmod(fd, mode);
#ifdef __APPLE__
    const timespec times[2] = {in.st_atimespec, in.st_mtimespec};
#else
    const timespec times[2] = {in.st_atim, in.st_mtim};
#endif
    futimens(fd, times);
}

}  // namespace

bool keep_output(OutputFile& out, const FileFacts* input, SystemError& error) {
    if (out.partial && input != nullptr) {
        copy_attributes(out.file.native(), input->stat, out.facts.stat);
    } else if (out.partial) {
        // From a pipe or a device there is nothing to copy: the mode a new
        // file gets, or the one the existing file had.
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(out.file.native(), out.existed ? out.old_mode : 0666 & ~mask);
    }
    if (!out.file.close(error)) return false;
    out.partial = false;
    forget_partial();
    return true;
}

}  // namespace vexa::cli

#endif
