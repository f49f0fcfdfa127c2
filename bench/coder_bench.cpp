// Throughput of the generic path's loops on one 512 KiB block: coding and
// decoding (modelled and flat body), the trial estimate that picks a block's
// rates and the interval that mostly stands in for it, the multiplier search
// that the first block pays for, and the text substitution both ways.
//
// Every coding iteration starts from fresh tables and an empty match model
// with the multiplier already chosen, as for a block of a run in progress
// whose history does not help; the resets are not timed. English text comes
// from the corpus when it is on the machine (its three plain-text books, in
// order, cut to one block), otherwise from a word generator.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "codec/context.hpp"
#include "coder/bit_models.hpp"
#include "coder/range_coder.hpp"
#include "decisions/trial_count.hpp"
#include "format/format.hpp"
#include "filters/text.hpp"
#include "model/byte_model.hpp"
#include "model/match_model.hpp"
#include "decisions/trial_interval.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace vexa;

constexpr std::uint32_t BLOCK = BLOCK_CAPACITY;

// One context for the whole program, and the rates its blocks code at.
Context& ctx() {
    static vexa_ctx* const c = create_context();
    return *c;
}
std::uint32_t rate_a = 0, rate_b = 0;

Bytes generated_text(std::size_t size) {
    static const char* const words[] = {"the", "of", "and", "to", "in", "that", "was", "with",
                                        "which", "said", "have", "this", "from", "there", "could",
                                        "little", "Alice", "queen", "thought", "nothing", "about"};
    std::mt19937 gen(1);
    Bytes out;
    while (out.size() < size) {
        for (const char* w = words[gen() % std::size(words)]; *w; ++w) out.push_back(static_cast<std::uint8_t>(*w));
        out.push_back(gen() % 11 == 0 ? '\n' : ' ');
    }
    out.resize(size);
    return out;
}

const Bytes& text_block() {
    static const Bytes block = [] {
        Bytes out;
        for (const char* name : {"alice29.txt", "lcet10.txt", "plrabn12.txt"}) {
            std::ifstream f(std::string(VEXA_CORPUS_DIR) + "/" + name, std::ios::binary);
            out.insert(out.end(), std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
            if (out.size() >= BLOCK) break;
        }
        if (out.size() < BLOCK) return generated_text(BLOCK);
        out.resize(BLOCK);
        return out;
    }();
    return block;
}

const Bytes& random_block() {
    static const Bytes block = [] {
        std::mt19937 gen(2);
        Bytes out(BLOCK);
        for (auto& b : out) b = static_cast<std::uint8_t>(gen());
        return out;
    }();
    return block;
}

enum class Kind { text, random };

const Bytes& block_of(Kind kind) { return kind == Kind::text ? text_block() : random_block(); }

// Rates the pipeline's bands would pick for each kind: quick adaptation
// for text, the slowest for noise.
std::uint8_t rate_of(Kind kind) { return kind == Kind::text ? 4 : 6; }

std::uint32_t multiplier_of(const Bytes& data) {
    reset_match_model(ctx().match);
    return choose_hash_multiplier(ctx().match, data.data(), static_cast<std::uint32_t>(data.size()));
}

void fresh_run(std::uint32_t multiplier, std::uint8_t rate) {
    init_tables(ctx().tables);
    reset_match_model(ctx().match);
    ctx().match.hash_multiplier = multiplier;
    ctx().match.multiplier_chosen = true;
    rate_a = rate;
    rate_b = rate;
}

std::ptrdiff_t read_file(void* user, void* data, std::size_t capacity) {
    return static_cast<std::ptrdiff_t>(std::fread(data, 1, capacity, static_cast<std::FILE*>(user)));
}

int write_file(void* user, const void* data, std::size_t size) {
    return std::fwrite(data, 1, size, static_cast<std::FILE*>(user)) == size ? 0 : -1;
}

void encode_into(std::FILE* out, const Bytes& data, std::uint32_t flat) {
    std::rewind(out);
    bind_io_buffer(ctx().io, nullptr, write_file, out);
    RangeCoder rc(Direction::encode, ctx().io);
    encode_generic_block(rc, ctx().tables, ctx().match, data.data(), static_cast<std::uint32_t>(data.size()), flat,
                         rate_a, rate_b);
    rc.flush();
    drain_io_buffer(ctx().io);
}

void BM_Encode(benchmark::State& state, Kind kind, std::uint32_t flat) {
    const Bytes& data = block_of(kind);
    const std::uint32_t multiplier = multiplier_of(data);
    std::FILE* const out = std::tmpfile();
    if (out == nullptr) {
        state.SkipWithError("no temporary file");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        fresh_run(multiplier, rate_of(kind));
        state.ResumeTiming();
        encode_into(out, data, flat);
    }
    std::fflush(out);
    state.counters["ratio"] = static_cast<double>(std::ftell(out)) / static_cast<double>(data.size());
    std::fclose(out);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.size()));
}

void BM_Decode(benchmark::State& state, Kind kind, std::uint32_t flat) {
    const Bytes& data = block_of(kind);
    const std::uint32_t multiplier = multiplier_of(data);
    std::FILE* const body = std::tmpfile();
    if (body == nullptr) {
        state.SkipWithError("no temporary file");
        return;
    }
    fresh_run(multiplier, rate_of(kind));
    encode_into(body, data, flat);
    std::fflush(body);

    Bytes out(data.size());
    for (auto _ : state) {
        state.PauseTiming();
        fresh_run(multiplier, rate_of(kind));
        std::rewind(body);
        bind_io_buffer(ctx().io, read_file, nullptr, body);
        state.ResumeTiming();
        RangeCoder rc(Direction::decode, ctx().io);
        decode_generic_block(rc, ctx().tables, ctx().match, out.data(), static_cast<std::uint32_t>(out.size()), flat,
                             rate_a, rate_b);
    }
    std::fclose(body);
    if (out != data) state.SkipWithError("decoded block differs from the input");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.size()));
}

// Time per tree decision of a trial over the block.
benchmark::Counter decisions_of(const Bytes& data) {
    return benchmark::Counter(8.0 * static_cast<double>(data.size() - 2),
                              benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The interval that stands in for the trial count, at the same rates.
void BM_TrialInterval(benchmark::State& state, Kind kind) {
    const Bytes& data = block_of(kind);
    init_tables(ctx().tables);
    CountInterval interval{};
    for (auto _ : state) {
        interval = interval_generic_block(ctx().tables, data.data(), static_cast<std::uint32_t>(data.size()),
                                          TRIAL_RATE_A, TRIAL_RATE_B);
        benchmark::DoNotOptimize(interval);
    }
    state.counters["width"] = interval.hi - interval.lo;
    state.counters["decision"] = decisions_of(data);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.size()));
}

// The trial runs with the rates the pipeline fixes for it.
void BM_Estimate(benchmark::State& state, Kind kind) {
    const Bytes& data = block_of(kind);
    init_tables(ctx().tables);
    RangeCoder rc(Direction::encode, ctx().io);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            estimate_generic_block(rc, ctx().tables, data.data(), static_cast<std::uint32_t>(data.size())));
    }
    state.counters["count/byte"] = static_cast<double>(rc.trial_count) / static_cast<double>(data.size());
    state.counters["decision"] = decisions_of(data);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.size()));
}

void BM_MultiplierSearch(benchmark::State& state, Kind kind) {
    const Bytes& data = block_of(kind);
    reset_match_model(ctx().match);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            choose_hash_multiplier(ctx().match, data.data(), static_cast<std::uint32_t>(data.size())));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.size()));
}

// The English substitution on the same text block, both ways. Each pass
// works on a fresh copy; the copy is not timed.
void BM_TextEncode(benchmark::State& state) {
    const Bytes& data = text_block();
    Bytes block(data.size()), work(data.size());
    for (auto _ : state) {
        state.PauseTiming();
        block = data;
        state.ResumeTiming();
        benchmark::DoNotOptimize(text_encode(block.data(), static_cast<std::uint32_t>(block.size()), work.data()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.size()));
}

void BM_TextDecode(benchmark::State& state) {
    const Bytes& data = text_block();
    Bytes encoded(data), block(data.size()), work(data.size());
    if (!text_encode(encoded.data(), static_cast<std::uint32_t>(encoded.size()), work.data())) {
        state.SkipWithError("the text block was refused");
        return;
    }
    bool ok = true;
    for (auto _ : state) {
        state.PauseTiming();
        block = encoded;
        state.ResumeTiming();
        ok &= text_decode(block.data(), static_cast<std::uint32_t>(block.size()), work.data());
    }
    if (!ok || block != data) state.SkipWithError("decoded text differs from the input");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.size()));
}

BENCHMARK_CAPTURE(BM_Encode, text_modelled, Kind::text, 0u)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Encode, text_flat, Kind::text, 1u)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Encode, random_modelled, Kind::random, 0u)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Encode, random_flat, Kind::random, 1u)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Decode, text_modelled, Kind::text, 0u)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Decode, text_flat, Kind::text, 1u)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Decode, random_modelled, Kind::random, 0u)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Decode, random_flat, Kind::random, 1u)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Estimate, text, Kind::text)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Estimate, random, Kind::random)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TrialInterval, text, Kind::text)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TrialInterval, random, Kind::random)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MultiplierSearch, text, Kind::text)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MultiplierSearch, random, Kind::random)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TextEncode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TextDecode)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
