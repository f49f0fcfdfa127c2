// Helpers shared by the unit tests: one context for the whole test program,
// the model's operations on it at the test's chosen rates, whole runs in
// memory, and reproducible data.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "codec/context.hpp"
#include "codec/pipeline.hpp"
#include "coder/bit_models.hpp"
#include "coder/range_coder.hpp"
#include "filters/detect.hpp"
#include "model/match_model.hpp"
#include "decisions/trial_interval.hpp"
#include "vexa.h"

namespace vexa::test {

using Bytes = std::vector<std::uint8_t>;
using Cells = std::vector<Prob>;

// The test program's run state: one context, reached by these names.
Context& test_context();
extern BitTables& bit_tables;
extern MatchModel& match_model;
extern IoBuffer& io_buffer;

// The rates the operations below code at, as a block's codes would set them.
struct TestRates {
    std::uint32_t rate_a = 0, rate_b = 0;
};
extern TestRates test_rates;

// The model's operations on the test context at test_rates.
void init_tables();
// Fresh tables, and the rates that the tests of the structured coder use unless they say otherwise.
void start_tables(std::uint8_t rate_a = 4, std::uint8_t rate_b = 3);
void start_trial(RangeCoder& rc);
void encode_pair_byte(RangeCoder& rc, std::uint32_t ctx_a, std::uint32_t ctx_b, std::uint32_t value);
std::uint32_t decode_pair_byte(RangeCoder& rc, std::uint32_t ctx_a, std::uint32_t ctx_b);
void count_pair_byte(RangeCoder& rc, std::uint32_t trial_ctx_a, std::uint32_t trial_ctx_b, std::uint32_t value);
void encode_match_flag(RangeCoder& rc, std::uint32_t match_state, std::uint32_t bit);
std::uint32_t decode_match_flag(RangeCoder& rc, std::uint32_t match_state);
void reset_match_model();
bool predicts(std::uint32_t x);
std::uint32_t update(std::uint32_t x, std::uint32_t predicted);
std::uint32_t update_window(std::uint32_t x, std::uint32_t predicted);
std::uint32_t choose_hash_multiplier(const std::uint8_t* block, std::uint32_t length);
void score_hash_multipliers(const std::uint8_t* block, std::uint32_t length, std::uint32_t (&counts)[9]);
void encode_generic_block(RangeCoder& rc, const std::uint8_t* block, std::uint32_t length, std::uint32_t flat);
void decode_generic_block(RangeCoder& rc, std::uint8_t* block, std::uint32_t length, std::uint32_t flat);
std::uint32_t estimate_generic_block(RangeCoder& rc, const std::uint8_t* block, std::uint32_t length);
void encode_structured_block(RangeCoder& rc, const std::uint8_t* block, std::uint32_t length,
                             const DataProfile& profile);
void decode_structured_block(RangeCoder& rc, std::uint8_t* block, std::uint32_t length, const DataProfile& profile);
std::uint32_t estimate_structured_block(RangeCoder& rc, const std::uint8_t* block, std::uint32_t length,
                                        std::uint32_t start, const DataProfile& profile);
std::uint32_t choose_delta(RangeCoder& rc, std::uint8_t* block, std::uint32_t length, DataProfile& profile,
                           TrialTally& tally);

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

// The test context's IoBuffer on a file, for reading or writing, and the
// buffer's operations on it.
void bind_io_buffer(std::FILE* stream);
void drain();
void refill_io_buffer();
void put_byte(std::uint8_t b);
std::uint8_t get_byte();
// The file the IoBuffer was last bound to.
std::FILE* io_stream();

// Runs `body` on a fresh encoder bound to a temporary file, flushes, drains
// and returns the body's bytes.
Bytes encode_to_bytes(const std::function<void(RangeCoder&)>& body);

// Binds the IoBuffer to a temporary file of `body` and returns a fresh decoder.
// The stream lives until the next call.
RangeCoder decoder_for(const Bytes& body);

// The decoder asked for every byte of the body and never for one more.
void expect_body_consumed(std::size_t body_size, const std::string& what);

// A block as the pipelines frame it: CONTEXT_REACH zero bytes in front and
// DELTA_SPARE_BYTES behind, and nothing more, so that the sanitizer build
// catches any access beyond them.
class FramedBlock {
public:
    explicit FramedBlock(const Bytes& content);
    std::uint8_t* block() { return storage_.data() + CONTEXT_REACH; }
    std::uint32_t length() const {
        return static_cast<std::uint32_t>(storage_.size() - CONTEXT_REACH - DELTA_SPARE_BYTES);
    }
    Bytes content() const;
    Bytes& storage() { return storage_; }

private:
    Bytes storage_;
};

DataProfile make_profile(std::uint8_t stride, std::uint8_t far_stride, std::uint32_t row_width,
                         std::uint8_t row_context, std::uint8_t channels = 1, std::uint8_t sample_width = 1);

// Whole runs in memory on the test context. `result`, when given, receives
// the run's status and counts.
Bytes compress_bytes(const Bytes& input, RunResult* result = nullptr);
Bytes decompress_bytes(const Bytes& compressed, RunResult* result = nullptr);

// The tree cells a byte visits below `base`, for the node lists the tests write out.
std::vector<std::uint32_t> cells_at(std::uint32_t base, std::vector<std::uint32_t> nodes);

// Reproducible data of several kinds.
Bytes bytes_of(std::string_view s);
Bytes random_bytes(std::size_t size, std::uint32_t seed);
Bytes english_text(std::size_t size, std::uint32_t seed);
// Smooth samples per component with a little noise: close to what the
// filters and contexts are made for.
Bytes smooth_samples(std::size_t size, std::uint32_t stride, std::uint32_t seed);
Bytes read_file(const std::string& path);

// Directory of the sample corpus, or "" when it is not present on this machine.
std::string corpus_dir();

// The golden files: tiny inputs in tests/golden, each beside NAME.vx, its
// exact compressed bytes.
inline constexpr const char* GOLDEN_FILES[] = {"empty",         "byte_41",         "bitmap_signature", "text_20.txt",
                                               "wave_tiny.wav", "pixmap_tiny.ppm", "english_600.txt"};
Bytes golden(const std::string& name);

// "" when equal; else the sizes and the first difference, never megabytes of bytes.
std::string difference(const Bytes& got, const Bytes& want);

// Compresses and restores through the public buffer calls on ctx, into
// destinations of the documented sizes: vexa_compress_bound and the stored
// length. "" when both give the expected bytes, else what went wrong and
// the first difference. Asserts nothing, so that other threads can call it.
std::string round_trip_fault(vexa_ctx* ctx, const Bytes& input, const Bytes& packed);

}  // namespace vexa::test
