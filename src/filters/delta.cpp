#include "filters/delta.hpp"

#include <algorithm>

#include "format/byte_order.hpp"

namespace vexa {

namespace {

// The previous value of a lane is always the unfiltered sample: the encoder
// keeps what it read, the decoder what it produced. Differences wrap in the
// sample's own width.
template <std::uint32_t W, bool ENCODE>
void walk(std::uint8_t* p, const std::uint8_t* end, std::uint32_t lanes) {
    constexpr std::uint32_t mask = W == 4 ? 0xFFFFFFFFu : (1u << (8 * W)) - 1;
    std::uint32_t prev_sample[DELTA_LANES] = {};
    std::uint32_t lane = 0;
    for (; p < end; p += W) {
        const std::uint32_t stored = load_le<W>(p);
        const std::uint32_t sample = ENCODE ? stored : (stored + prev_sample[lane]) & mask;
        store_le<W>(p, ENCODE ? (stored - prev_sample[lane]) & mask : sample);
        prev_sample[lane] = sample;
        if (++lane == lanes) lane = 0;
    }
}

template <bool ENCODE>
void delta(std::uint8_t* buffer, std::uint32_t start, std::uint32_t count, std::uint32_t channels,
           std::uint32_t sample_width) {
    const std::uint32_t lanes = std::min<std::uint32_t>(channels, DELTA_LANES);
    if (count == 0 || lanes == 0) return;
    std::uint8_t* const p = buffer + start;
    const std::uint8_t* const end = p + count;
    switch (sample_width) {
        case 1:
        case 3: walk<1, ENCODE>(p, end, lanes); break;
        case 2: walk<2, ENCODE>(p, end, lanes); break;
        case 4: walk<4, ENCODE>(p, end, lanes); break;
        default: break;
    }
}

}  // namespace

void delta_encode(std::uint8_t* buffer, std::uint32_t start, std::uint32_t count, std::uint32_t channels,
                  std::uint32_t sample_width) {
    delta<true>(buffer, start, count, channels, sample_width);
}

void delta_decode(std::uint8_t* buffer, std::uint32_t start, std::uint32_t count, std::uint32_t channels,
                  std::uint32_t sample_width) {
    delta<false>(buffer, start, count, channels, sample_width);
}

}  // namespace vexa
