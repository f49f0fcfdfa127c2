#include "codec/header.hpp"

#include "filters/detect.hpp"
#include "format/byte_order.hpp"

namespace vexa {

WrittenHeader write_header(std::uint32_t length, const DataProfile* profile, std::uint8_t (&out)[HEADER_BYTES_MAX]) {
    store_le32(out, length);
    if (profile == nullptr) return {LENGTH_BYTES, DataProfile{}};
    DataProfile p = *profile;
    if (p.class_word == CLASS_STRUCTURED) {
        if (p.sample_width == 0) p.sample_width = 1;
        if (p.row_width == 0) p.row_width = 1;
        if (p.channels == 0) p.channels = 1;
        if (!profile_is_safe(p)) p.class_word = CLASS_GENERIC;
    }
    std::uint8_t* const q = out + LENGTH_BYTES;
    store_le32(q, p.class_word);
    if (p.class_word != CLASS_STRUCTURED) return {LENGTH_BYTES + CLASS_WORD_BYTES, p};
    q[4] = p.stride;
    q[5] = p.far_stride;
    store_le32(q + 6, p.row_width);
    q[10] = p.channels;
    q[11] = p.sample_width;
    return {HEADER_BYTES_MAX, p};
}

ParsedHeader read_header(const std::uint8_t* bytes, std::uint32_t size) {
    ParsedHeader h;
    if (size < LENGTH_BYTES) return h;
    h.length = load_le32(bytes);
    // An empty input's file ends after the length.
    if (h.length == 0) {
        h.check = HeaderCheck::complete;
        return h;
    }
    h.needed = LENGTH_BYTES + CLASS_WORD_BYTES;
    if (size < h.needed) return h;
    h.profile.class_word = load_le32(bytes + LENGTH_BYTES);
    if (h.profile.class_word != CLASS_STRUCTURED) {
        h.check = HeaderCheck::complete;
        return h;
    }
    h.needed = HEADER_BYTES_MAX;
    if (size < h.needed) return h;
    const std::uint8_t* const q = bytes + LENGTH_BYTES;
    DataProfile& p = h.profile;
    p.stride = q[4];
    p.far_stride = q[5];
    p.row_width = load_le32(q + 6);
    p.channels = q[10];
    p.sample_width = q[11];
    // A compressor sends every profile that its coder cannot restore down the
    // generic path. With stride 0 no lane would be decoded, and the block's
    // earlier contents would reach the output; zero widths stall the delta
    // filter.
    const bool safe = profile_is_safe(p) && p.channels != 0 && p.sample_width != 0;
    h.check = safe ? HeaderCheck::complete : HeaderCheck::damaged;
    return h;
}

}  // namespace vexa
