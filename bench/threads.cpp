// How compression scales with threads: every corpus file compressed by one
// thread with one context, then by two threads with a context each taking
// files from a shared list, largest first. Prints the throughput of both,
// and their ratio, for each run (the order alternates between runs, so that
// drift in the machine's speed hits both alike), then medians and ranges.
// Both must produce the same compressed bytes.
//
// Last, a child process compresses every file and restores it again with
// one context through the stream functions, reading and writing files, and
// reports its peak resident memory: the context in use, and little else
// (the program, its libraries and stdio buffers, measured apart).
//
//   threads [CORPUS_DIR] [--runs N]
//   threads --memory FILE...       (the child's part)
#include <sys/wait.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "vexa.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct File {
    std::string name;
    Bytes data;
};

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "threads: %s\n", message.c_str());
    std::exit(1);
}

// The corpus files, largest first; MANIFEST.md and expected/ are not part of it.
std::vector<File> load_corpus(const fs::path& dir) {
    std::vector<File> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        if (!entry.is_regular_file() || entry.path().filename() == "MANIFEST.md") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        files.push_back({entry.path().filename().string(),
                         Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())});
    }
    if (ec || files.empty()) die("no corpus files in " + dir.string());
    std::sort(files.begin(), files.end(),
              [](const File& a, const File& b) { return a.data.size() > b.data.size(); });
    return files;
}

struct Worker {
    vexa_ctx* ctx;
    Bytes out;
    std::uint64_t packed = 0;
};

// Compresses files, taking the next one from `next`, until none is left.
void work(Worker& w, const std::vector<File>& files, std::atomic<std::size_t>& next) {
    for (std::size_t k; (k = next.fetch_add(1)) < files.size();) {
        std::size_t size = 0;
        const int status = vexa_compress(w.ctx, files[k].data.data(), files[k].data.size(), w.out.data(),
                                         w.out.size(), &size);
        if (status != VEXA_OK) die(files[k].name + ": " + vexa_strerror(status));
        w.packed += size;
    }
}

struct Timing {
    double seconds;
    std::uint64_t packed;
};

Timing run(std::vector<Worker>& workers, std::size_t threads, const std::vector<File>& files) {
    std::atomic<std::size_t> next{0};
    for (Worker& w : workers) w.packed = 0;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(work, std::ref(workers[t]), std::cref(files), std::ref(next));
    work(workers[0], files, next);
    for (std::thread& t : pool) t.join();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::uint64_t packed = 0;
    for (std::size_t t = 0; t < threads; ++t) packed += workers[t].packed;
    return {took.count(), packed};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void summarise(const char* what, const std::vector<double>& v, const char* unit) {
    std::printf("%-20s median %7.3f %s  (min %7.3f, max %7.3f)\n", what, median(v), unit,
                *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()));
}

// The peak resident size of this program's memory (VmHWM). Not getrusage:
// its ru_maxrss survives exec, and the child starts as a copy of the parent.
long max_rss_kib() {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) die("cannot read /proc/self/status");
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    }
    std::fclose(f);
    return kib;
}

std::ptrdiff_t read_file(void* user, void* buf, std::size_t capacity) {
    std::FILE* f = static_cast<std::FILE*>(user);
    const std::size_t got = std::fread(buf, 1, capacity, f);
    return std::ferror(f) ? -1 : static_cast<std::ptrdiff_t>(got);
}

int write_file(void* user, const void* buf, std::size_t size) {
    return std::fwrite(buf, 1, size, static_cast<std::FILE*>(user)) == size ? 0 : -1;
}

int discard(void*, const void*, std::size_t) { return 0; }

// The child: one context compresses every file and restores it, streamed
// from and to files, nothing held whole. Prints its peak resident size
// before the context was created and after all.
int memory_child(int count, char** paths) {
    const long before = max_rss_kib();
    vexa_ctx* ctx = vexa_create();
    if (ctx == nullptr) die("out of memory");
    for (int k = 0; k < count; ++k) {
        std::FILE* in = std::fopen(paths[k], "rb");
        std::FILE* packed = std::tmpfile();
        std::error_code ec;
        const std::uint64_t length = fs::file_size(paths[k], ec);
        if (in == nullptr || packed == nullptr || ec) die(std::string("cannot open ") + paths[k]);
        int status = vexa_compress_stream(ctx, length, read_file, in, write_file, packed, nullptr);
        if (status == VEXA_OK) {
            std::rewind(packed);
            status = vexa_decompress_stream(ctx, read_file, packed, discard, nullptr, nullptr, nullptr);
        }
        if (status != VEXA_OK) die(std::string(paths[k]) + ": " + vexa_strerror(status));
        std::fclose(in);
        std::fclose(packed);
    }
    vexa_free(ctx);
    std::printf("%ld %ld\n", before, max_rss_kib());
    return 0;
}

// Runs this program again as the child and prints what it measured.
void report_memory(const char* self, const std::vector<File>& files, const fs::path& dir) {
    std::vector<std::string> paths;
    for (const File& f : files) paths.push_back((dir / f.name).string());
    std::vector<char*> argv{const_cast<char*>(self), const_cast<char*>("--memory")};
    for (std::string& p : paths) argv.push_back(p.data());
    argv.push_back(nullptr);
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) die("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
    pid_t pid = 0;
    if (posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ) != 0) {
        die("cannot start the memory child");
    }
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    char text[128] = {};
    const ssize_t got = read(pipe_fds[0], text, sizeof text - 1);
    close(pipe_fds[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    long before = 0, peak = 0;
    if (got <= 0 || !WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0 ||
        std::sscanf(text, "%ld %ld", &before, &peak) != 2) {
        die("the memory child failed");
    }
    std::printf("peak resident memory of a process whose one context compressed and restored every file\n"
                "through streams: %.2f MiB, of which %.2f MiB before the context was created\n",
                peak / 1024.0, before / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--memory") == 0) return memory_child(argc - 2, argv + 2);
    fs::path dir = VEXA_CORPUS_DIR;
    int runs = 5;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--runs") == 0 && k + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++k]));
        } else {
            dir = argv[k];
        }
    }

    const std::vector<File> files = load_corpus(dir);
    std::uint64_t total = 0;
    for (const File& f : files) total += f.data.size();
    // Contexts and destinations made and faulted in once, outside the timing.
    std::vector<Worker> workers(2);
    for (Worker& w : workers) {
        w.ctx = vexa_create();
        if (w.ctx == nullptr) die("out of memory");
        w.out.assign(vexa_compress_bound(files.front().data.size()), 0);
    }
    std::printf("%zu files, %llu bytes, from %s; %d runs, %u hardware threads\n", files.size(),
                static_cast<unsigned long long>(total), dir.string().c_str(), runs,
                std::thread::hardware_concurrency());
    run(workers, 1, files);   // warm-up: pages of both paths in, caches filled

    std::vector<double> one, two, ratio;
    for (int r = 0; r < runs; ++r) {
        Timing t1{}, t2{};
        if (r % 2 == 0) {
            t1 = run(workers, 1, files);
            t2 = run(workers, 2, files);
        } else {
            t2 = run(workers, 2, files);
            t1 = run(workers, 1, files);
        }
        if (t1.packed != t2.packed) die("one and two threads gave different compressed sizes");
        one.push_back(total / t1.seconds / 1e6);
        two.push_back(total / t2.seconds / 1e6);
        ratio.push_back(t1.seconds / t2.seconds);
        std::printf("run %d: 1 thread %6.2f MB/s, 2 threads %6.2f MB/s, ratio %.3f (%llu compressed bytes)\n", r + 1,
                    one.back(), two.back(), ratio.back(), static_cast<unsigned long long>(t1.packed));
    }
    summarise("1 thread", one, "MB/s");
    summarise("2 threads", two, "MB/s");
    summarise("2 threads / 1", ratio, "x   ");
    for (Worker& w : workers) vexa_free(w.ctx);

    report_memory(argv[0], files, dir);
    return 0;
}
