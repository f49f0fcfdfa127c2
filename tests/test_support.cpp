#include "test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <string_view>
#include <sys/stat.h>

#include "decisions/block_codes.hpp"
#include "decisions/trial_count.hpp"
#include "model/byte_model.hpp"
#include "model/structured_model.hpp"

namespace vexa::test {

Context& test_context() {
    static vexa_ctx* const ctx = [] {
        vexa_ctx* c = vexa_create();
        if (c == nullptr) throw std::runtime_error("no context");
        return c;
    }();
    return *ctx;
}

BitTables& bit_tables = test_context().tables;
MatchModel& match_model = test_context().match;
IoBuffer& io_buffer = test_context().io;
TestRates test_rates;

void init_tables() { vexa::init_tables(bit_tables); }

void start_tables(std::uint8_t rate_a, std::uint8_t rate_b) {
    init_tables();
    test_rates.rate_a = rate_a;
    test_rates.rate_b = rate_b;
}
void start_trial(RangeCoder& rc) { vexa::start_trial(rc, bit_tables); }

void encode_pair_byte(RangeCoder& rc, std::uint32_t ctx_a, std::uint32_t ctx_b, std::uint32_t value) {
    vexa::encode_pair_byte(rc, bit_tables, ctx_a, ctx_b, value, test_rates.rate_a, test_rates.rate_b);
}

std::uint32_t decode_pair_byte(RangeCoder& rc, std::uint32_t ctx_a, std::uint32_t ctx_b) {
    return vexa::decode_pair_byte(rc, bit_tables, ctx_a, ctx_b, test_rates.rate_a, test_rates.rate_b);
}

void count_pair_byte(RangeCoder& rc, std::uint32_t trial_ctx_a, std::uint32_t trial_ctx_b, std::uint32_t value) {
    vexa::count_pair_byte(rc, bit_tables, trial_ctx_a, trial_ctx_b, value, test_rates.rate_a, test_rates.rate_b);
}

void encode_match_flag(RangeCoder& rc, std::uint32_t match_state, std::uint32_t bit) {
    vexa::encode_match_flag(rc, bit_tables, match_state, bit, test_rates.rate_b);
}

std::uint32_t decode_match_flag(RangeCoder& rc, std::uint32_t match_state) {
    return vexa::decode_match_flag(rc, bit_tables, match_state, test_rates.rate_b);
}

void reset_match_model() { vexa::reset_match_model(match_model); }
bool predicts(std::uint32_t x) { return match_predicts(match_model, x); }
std::uint32_t update(std::uint32_t x, std::uint32_t predicted) { return update_match_model(match_model, x, predicted); }
std::uint32_t update_window(std::uint32_t x, std::uint32_t predicted) {
    return update_match_window(match_model, x, predicted);
}

std::uint32_t choose_hash_multiplier(const std::uint8_t* block, std::uint32_t length) {
    return vexa::choose_hash_multiplier(match_model, block, length);
}

void score_hash_multipliers(const std::uint8_t* block, std::uint32_t length, std::uint32_t (&counts)[9]) {
    vexa::score_hash_multipliers(match_model, block, length, counts);
}

void encode_generic_block(RangeCoder& rc, const std::uint8_t* block, std::uint32_t length, std::uint32_t flat) {
    vexa::encode_generic_block(rc, bit_tables, match_model, block, length, flat, test_rates.rate_a, test_rates.rate_b);
}

void decode_generic_block(RangeCoder& rc, std::uint8_t* block, std::uint32_t length, std::uint32_t flat) {
    vexa::decode_generic_block(rc, bit_tables, match_model, block, length, flat, test_rates.rate_a, test_rates.rate_b);
}

std::uint32_t estimate_generic_block(RangeCoder& rc, const std::uint8_t* block, std::uint32_t length) {
    return vexa::estimate_generic_block(rc, bit_tables, block, length, test_rates.rate_a, test_rates.rate_b);
}

void encode_structured_block(RangeCoder& rc, const std::uint8_t* block, std::uint32_t length,
                             const DataProfile& profile) {
    vexa::encode_structured_block(rc, bit_tables, block, length, profile, test_rates.rate_a, test_rates.rate_b);
}

void decode_structured_block(RangeCoder& rc, std::uint8_t* block, std::uint32_t length, const DataProfile& profile) {
    vexa::decode_structured_block(rc, bit_tables, block, length, profile, test_rates.rate_a, test_rates.rate_b);
}

std::uint32_t estimate_structured_block(RangeCoder& rc, const std::uint8_t* block, std::uint32_t length,
                                        std::uint32_t start, const DataProfile& profile) {
    return vexa::estimate_structured_block(rc, bit_tables, block, length, start, profile, test_rates.rate_a,
                                           test_rates.rate_b);
}

std::uint32_t choose_delta(RangeCoder& rc, std::uint8_t* block, std::uint32_t length, DataProfile& profile,
                           TrialTally& tally) {
    return vexa::choose_delta(rc, bit_tables, block, length, profile, test_rates.rate_a, test_rates.rate_b, tally);
}

TempStream::TempStream(const Bytes& bytes) : file_(std::tmpfile()) {
    if (file_ == nullptr) throw std::runtime_error("tmpfile failed");
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file_);
    std::rewind(file_);
}

TempStream::~TempStream() { std::fclose(file_); }

Bytes TempStream::contents() const {
    std::fflush(file_);
    const long here = std::ftell(file_);
    std::rewind(file_);
    Bytes out(static_cast<std::size_t>(here));
    const std::size_t got = std::fread(out.data(), 1, out.size(), file_);
    out.resize(got);
    std::fseek(file_, here, SEEK_SET);
    return out;
}

namespace {

std::ptrdiff_t read_stream(void* user, void* data, std::size_t capacity) {
    auto* const file = static_cast<std::FILE*>(user);
    const std::size_t got = std::fread(data, 1, capacity, file);
    return got == 0 && std::ferror(file) ? -1 : static_cast<std::ptrdiff_t>(got);
}

int write_stream(void* user, const void* data, std::size_t size) {
    return std::fwrite(data, 1, size, static_cast<std::FILE*>(user)) == size ? 0 : -1;
}

std::ptrdiff_t read_vector(void* user, void* data, std::size_t capacity) {
    auto& [bytes, pos] = *static_cast<std::pair<const Bytes*, std::size_t>*>(user);
    const std::size_t n = std::min(capacity, bytes->size() - pos);
    std::copy_n(bytes->data() + pos, n, static_cast<std::uint8_t*>(data));
    pos += n;
    return static_cast<std::ptrdiff_t>(n);
}

int write_vector(void* user, const void* data, std::size_t size) {
    const auto* const p = static_cast<const std::uint8_t*>(data);
    static_cast<Bytes*>(user)->insert(static_cast<Bytes*>(user)->end(), p, p + size);
    return 0;
}

}  // namespace

void bind_io_buffer(std::FILE* stream) { vexa::bind_io_buffer(io_buffer, read_stream, write_stream, stream); }
void drain() { drain_io_buffer(io_buffer); }
void refill_io_buffer() { vexa::refill_io_buffer(io_buffer); }
void put_byte(std::uint8_t b) { vexa::put_byte(io_buffer, b); }
std::uint8_t get_byte() { return vexa::get_byte(io_buffer); }
std::FILE* io_stream() { return static_cast<std::FILE*>(io_buffer.user); }

Bytes encode_to_bytes(const std::function<void(RangeCoder&)>& body) {
    TempStream out;
    bind_io_buffer(out.get());
    RangeCoder rc(Direction::encode, io_buffer);
    body(rc);
    rc.flush();
    drain();
    return out.contents();
}

RangeCoder decoder_for(const Bytes& body) {
    static std::unique_ptr<TempStream> stream;
    stream = std::make_unique<TempStream>(body);
    bind_io_buffer(stream->get());
    return RangeCoder(Direction::decode, io_buffer);
}

void expect_body_consumed(std::size_t body_size, const std::string& what) {
    EXPECT_FALSE(io_buffer.ran_dry) << what << ": decoder read past the body";
    EXPECT_EQ(io_buffer.pos, io_buffer.fill) << what << ": bytes left in the buffer";
    EXPECT_EQ(std::ftell(io_stream()), static_cast<long>(body_size)) << what << ": stream not read to its end";
}

Bytes compress_bytes(const Bytes& input, RunResult* result) {
    std::pair<const Bytes*, std::size_t> reader{&input, 0};
    Bytes out;
    const RunResult r = compress(test_context(), input.size(), read_vector, &reader, write_vector, &out);
    if (result != nullptr) *result = r;
    return out;
}

Bytes decompress_bytes(const Bytes& compressed, RunResult* result) {
    std::pair<const Bytes*, std::size_t> reader{&compressed, 0};
    Bytes out;
    const RunResult r = decompress(test_context(), read_vector, &reader, write_vector, &out);
    if (result != nullptr) *result = r;
    return out;
}

std::vector<std::uint32_t> cells_at(std::uint32_t base, std::vector<std::uint32_t> nodes) {
    for (auto& n : nodes) n += base;
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes random_bytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes out(size);
    for (auto& b : out) b = static_cast<std::uint8_t>(gen());
    return out;
}

Bytes english_text(std::size_t size, std::uint32_t seed) {
    static const char* const words[] = {
        "the", "of", "and", "to", "in", "that", "was", "with", "which", "whichever", "nation",
        "station", "said", "have", "this", "from", "were", "there", "whale", "ship", "sea",
        "captain", "harpoon", "white", "ocean", "all", "but", "for", "had", "her", "him",
        "not", "now", "one", "out", "she", "you", "any", "are", "would", "could", "then"};
    std::mt19937 gen(seed);
    Bytes out;
    out.reserve(size + 16);
    while (out.size() < size) {
        const char* w = words[gen() % std::size(words)];
        if (gen() % 13 == 0 && !out.empty()) out.push_back(gen() % 2 ? '.' : ',');
        if (!out.empty()) out.push_back(gen() % 17 == 0 ? '\n' : ' ');
        for (; *w; ++w) out.push_back(static_cast<std::uint8_t>(*w));
    }
    out.resize(size);
    return out;
}

Bytes smooth_samples(std::size_t size, std::uint32_t stride, std::uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint32_t prev = i >= stride ? out[i - stride] : 100 + 20 * (i % 5);
        out[i] = static_cast<std::uint8_t>(prev + gen() % 7 - 3);
    }
    return out;
}

FramedBlock::FramedBlock(const Bytes& content) : storage_(CONTEXT_REACH + content.size() + DELTA_SPARE_BYTES, 0) {
    std::copy(content.begin(), content.end(), block());
}

Bytes FramedBlock::content() const {
    return Bytes(storage_.begin() + CONTEXT_REACH, storage_.end() - DELTA_SPARE_BYTES);
}

DataProfile make_profile(std::uint8_t stride, std::uint8_t far_stride, std::uint32_t row_width,
                         std::uint8_t row_context, std::uint8_t channels, std::uint8_t sample_width) {
    DataProfile p;
    p.class_word = CLASS_STRUCTURED;
    p.stride = stride;
    p.far_stride = far_stride;
    p.row_width = row_width;
    p.row_context = row_context;
    p.channels = channels;
    p.sample_width = sample_width;
    return p;
}

Bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string corpus_dir() {
    struct stat st {};
    const std::string dir = VEXA_CORPUS_DIR;
    return stat((dir + "/MANIFEST.md").c_str(), &st) == 0 ? dir : std::string();
}

Bytes golden(const std::string& name) { return read_file(std::string(VEXA_GOLDEN_DIR) + "/" + name); }

std::string difference(const Bytes& got, const Bytes& want) {
    if (got == want) return "";
    const auto diff = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    return std::to_string(got.size()) + " bytes instead of " + std::to_string(want.size()) +
           ", first difference at " + std::to_string(diff.first - got.begin());
}

std::string round_trip_fault(vexa_ctx* ctx, const Bytes& input, const Bytes& packed) {
    Bytes out(vexa_compress_bound(input.size()));
    std::size_t size = 0;
    int status = vexa_compress(ctx, input.data(), input.size(), out.data(), out.size(), &size);
    if (status != VEXA_OK) return std::string("compressing: ") + vexa_strerror(status);
    out.resize(size);
    if (const std::string d = difference(out, packed); !d.empty()) return "compressed to " + d;

    std::uint64_t length = 0;
    status = vexa_stored_length(packed.data(), packed.size(), &length);
    if (status != VEXA_OK || length != input.size()) return "stored length " + std::to_string(length);
    Bytes restored(length);
    status = vexa_decompress(ctx, packed.data(), packed.size(), restored.data(), restored.size(), &size);
    if (status != VEXA_OK) return std::string("decompressing: ") + vexa_strerror(status);
    restored.resize(size);
    if (const std::string d = difference(restored, input); !d.empty()) return "restored " + d;
    return "";
}

}  // namespace vexa::test
