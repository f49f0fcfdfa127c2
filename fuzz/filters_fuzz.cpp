// The block filters on their own, each on a buffer of exactly the size its
// contract allows, so that AddressSanitizer sees any step outside it:
// decoding after encoding restores the block, and the two decoders that can
// meet a damaged block (text and delta) survive raw garbage. Detection and
// the profile it writes are checked on the same bytes.
//
// Parameters come from the end of the input (FuzzedDataProvider), so the
// front stays a plain block that text and x86 seeds can shape.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "filters/branch.hpp"
#include "filters/delta.hpp"
#include "codec/header.hpp"
#include "filters/detect.hpp"
#include "filters/text.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A heap array of exactly n bytes: new[] with n = 0 still gives a distinct
// pointer that owns no byte, so even an empty block has poisoned edges.
using Exact = std::unique_ptr<std::uint8_t[]>;
Exact exact_copy(const Bytes& bytes) {
    Exact p(new std::uint8_t[bytes.size()]);
    if (!bytes.empty()) std::memcpy(p.get(), bytes.data(), bytes.size());
    return p;
}

void require(bool ok, const char* what, std::size_t len) {
    if (ok) return;
    std::fprintf(stderr, "%s (block of %zu bytes)\n", what, len);
    std::abort();
}

bool same(const std::uint8_t* p, const Bytes& bytes) {
    return bytes.empty() || std::memcmp(p, bytes.data(), bytes.size()) == 0;
}

void check_text(const Bytes& block) {
    const auto len = static_cast<std::uint32_t>(block.size());
    Exact data = exact_copy(block);
    Exact work(new std::uint8_t[len]);
    if (vexa::text_encode(data.get(), len, work.get())) {
        require(vexa::text_decode(data.get(), len, work.get()), "text_decode refused its own encoding", len);
        require(same(data.get(), block), "text round trip changed the block", len);
    } else {
        require(same(data.get(), block), "a refused text_encode changed the block", len);
    }

    // Raw garbage as an encoded block: true or false, but within bounds.
    Exact raw = exact_copy(block);
    vexa::text_decode(raw.get(), len, work.get());
}

void check_branch(const Bytes& block, std::uint32_t position) {
    const auto len = static_cast<std::uint32_t>(block.size());
    // Every block of a file lies below 2^31.
    const std::uint32_t bytes_done = position % ((std::uint32_t{1} << 31) - len);
    Exact data = exact_copy(block);
    vexa::branch_encode(data.get(), len, bytes_done);
    vexa::branch_decode(data.get(), len, bytes_done);
    require(same(data.get(), block), "branch round trip changed the block", len);
}

// `buffer` ends with the DELTA_SPARE_BYTES that the filter may touch past
// the range; they must be restored along with it.
void check_delta(const Bytes& buffer, std::uint32_t start_choice, std::uint8_t width,
                 std::uint8_t channels, std::uint8_t raw_width, std::uint8_t raw_channels) {
    if (buffer.size() < vexa::DELTA_SPARE_BYTES) return;
    const auto room = static_cast<std::uint32_t>(buffer.size() - vexa::DELTA_SPARE_BYTES);
    const std::uint32_t start = start_choice % (room + 1);

    vexa::DataProfile profile;
    profile.class_word = vexa::CLASS_STRUCTURED;
    profile.sample_width = width;
    profile.channels = channels;
    Exact data = exact_copy(buffer);
    vexa::delta_encode(data.get(), start, room - start, profile.channels, profile.sample_width);
    vexa::delta_decode(data.get(), start, room - start, profile.channels, profile.sample_width);
    require(same(data.get(), buffer), "delta round trip changed the buffer", buffer.size());

    // A damaged header can carry any width and channel count.
    vexa::DataProfile damaged = profile;
    damaged.sample_width = raw_width;
    damaged.channels = raw_channels;
    Exact raw = exact_copy(buffer);
    vexa::delta_decode(raw.get(), start, room - start, damaged.channels, damaged.sample_width);
}

void check_detect(const Bytes& block) {
    const auto len = static_cast<std::uint32_t>(block.size());
    Exact data = exact_copy(block);
    vexa::DataProfile profile;
    vexa::detect_data_class(profile, data.get(), len);
    // An empty input's header is its length alone: the compressor writes no
    // profile for it, and a reader stops after the length.
    if (len == 0) return;
    std::uint8_t bytes[vexa::HEADER_BYTES_MAX];
    const vexa::WrittenHeader written = vexa::write_header(len, &profile, bytes);
    const std::uint32_t count = written.size;
    require(count == (written.profile.class_word == vexa::CLASS_STRUCTURED ? 16u : 8u), "header byte count", len);
    const vexa::ParsedHeader parsed = vexa::read_header(bytes, count);
    require(parsed.check == vexa::HeaderCheck::complete && parsed.needed == count,
            "a written header does not read back", len);
    require(written.profile.class_word == vexa::CLASS_GENERIC || vexa::profile_is_safe(written.profile),
            "an unsafe profile stayed on the structured path", len);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    const auto position = fdp.ConsumeIntegral<std::uint32_t>();
    const auto start_choice = fdp.ConsumeIntegral<std::uint32_t>();
    const auto width = fdp.ConsumeIntegralInRange<std::uint8_t>(1, 8);
    const auto channels = fdp.ConsumeIntegralInRange<std::uint8_t>(1, 255);
    const auto raw_width = fdp.ConsumeIntegral<std::uint8_t>();
    const auto raw_channels = fdp.ConsumeIntegral<std::uint8_t>();
    const Bytes block = fdp.ConsumeRemainingBytes<std::uint8_t>();

    check_text(block);
    check_branch(block, position);
    check_delta(block, start_choice, width, channels, raw_width, raw_channels);
    check_detect(block);
    return 0;
}
