// Helpers shared by the unit tests: run the coder or a whole pipeline in
// memory (through temporary files, the only streams the code knows) and
// produce reproducible data.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "coder/range_coder.hpp"
#include "driver/pipeline.hpp"

namespace vexa::test {

using Bytes = std::vector<std::uint8_t>;

// A temporary file holding `bytes`, positioned at its start; closed on destruction.
class TempStream {
public:
    explicit TempStream(const Bytes& bytes = {});
    ~TempStream();
    TempStream(const TempStream&) = delete;
    TempStream& operator=(const TempStream&) = delete;
    std::FILE* get() const { return file_; }
    Bytes contents() const;   // everything written so far

private:
    std::FILE* file_;
};

// Runs `body` on a fresh encoder bound to a temporary file, flushes, drains
// and returns the body's bytes.
Bytes encode_to_bytes(const std::function<void(RangeCoder&)>& body);

// Binds the IoBuffer to a temporary file of `body` and returns a fresh decoder.
// The stream lives until the next call.
RangeCoder decoder_for(const Bytes& body);

// Whole pipelines in memory. `result`, when given, receives the run's status.
Bytes compress_bytes(const Bytes& input, RunResult* result = nullptr);
Bytes decompress_bytes(const Bytes& compressed, RunResult* result = nullptr);

// Reproducible data of several kinds.
Bytes random_bytes(std::size_t size, std::uint32_t seed);
Bytes english_text(std::size_t size, std::uint32_t seed);
Bytes read_file(const std::string& path);

// Directory of the sample corpus, or "" when it is not present on this machine.
std::string corpus_dir();

}  // namespace vexa::test
