#include "filters/detect.hpp"

#include "format/byte_order.hpp"

namespace vexa {

namespace {

struct HeaderBytes {
    const std::uint8_t* data;
    std::uint32_t length;
    std::uint32_t at(std::uint32_t k) const { return k < length ? data[k] : 0; }
    template <std::uint32_t W>
    std::uint32_t le(std::uint32_t k) const {
        std::uint8_t bytes[W];
        for (std::uint32_t j = 0; j < W; ++j) bytes[j] = static_cast<std::uint8_t>(at(k + j));
        return load_le<W>(bytes);
    }
    bool text_at(std::uint32_t k, const char* s) const {
        for (; *s; ++s, ++k)
            if (at(k) != static_cast<std::uint8_t>(*s)) return false;
        return true;
    }
};

bool is_c_space(std::uint32_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The pixmap width: only "#" and NUL bytes are skipped one by one (a comment
// line is not skipped as a whole), then white space, then an unsigned
// decimal number taken modulo 2^32. No sign is accepted. Stays inside the
// block; no digit leaves the width at 0.
std::uint32_t parse_pixmap_width(const HeaderBytes& b) {
    std::uint32_t k = 3;
    while (k < b.length && (b.data[k] == 0x00 || b.data[k] == '#')) ++k;
    while (k < b.length && is_c_space(b.data[k])) ++k;
    std::uint32_t width = 0;
    while (k < b.length && b.data[k] >= '0' && b.data[k] <= '9') width = width * 10 + (b.data[k++] - '0');
    return width;
}

}  // namespace

void detect_data_class(DataProfile& profile, const std::uint8_t* data, std::uint32_t length) {
    const HeaderBytes b{data, length};
    DataProfile& p = profile;
    p = DataProfile{};

    // Pictures of three bytes a pixel, in rows.
    const bool bitmap = b.at(0) == 'B' && b.at(1) == 'M';
    const bool pixmap = b.at(0) == 'P' && b.at(1) == '6' && b.at(2) == '\n';
    if (bitmap || pixmap) {
        p.class_word = CLASS_STRUCTURED;
        p.stride = 3;
        p.far_stride = 6;
        p.row_width = bitmap ? b.le<4>(18) : parse_pixmap_width(b);
        p.channels = 1;
        p.sample_width = 1;
        p.row_context = 1;
    } else {
        p.class_word = CLASS_GENERIC;
        p.stride = 1;
        p.far_stride = 2;
    }

    if (b.text_at(0, "FORM") && b.text_at(8, "AIFF")) {
        const std::uint32_t ch = b.at(21), w = b.at(27) >> 3;
        p.class_word = CLASS_STRUCTURED;
        p.channels = static_cast<std::uint8_t>(ch);
        p.stride = static_cast<std::uint8_t>(ch * w);
        p.far_stride = static_cast<std::uint8_t>(2 * ch * w);
        p.row_width = AUDIO_ROW_WIDTH;
        p.sample_width = static_cast<std::uint8_t>(w);
    }

    if (b.text_at(8, "WAVE")) {
        const std::uint32_t ch = b.le<2>(22), w = b.le<2>(34) >> 3;
        p.class_word = CLASS_STRUCTURED;
        p.channels = static_cast<std::uint8_t>(ch);
        p.stride = static_cast<std::uint8_t>(ch);
        p.far_stride = static_cast<std::uint8_t>(2 * ch);
        p.row_width = AUDIO_ROW_WIDTH;
        p.sample_width = static_cast<std::uint8_t>(w);
    }

    if (b.at(0) == 0xFF && b.at(1) == 0xD8 && b.at(2) == 0xFF && b.at(3) == 0xE0 && b.at(6) == 'J') {
        p.class_word = CLASS_STRUCTURED;
        p.stride = 1;
        p.far_stride = 2;
        p.row_width = 0;
        p.channels = 1;
        p.sample_width = 1;
    }
}

bool profile_is_safe(const DataProfile& p) {
    if (p.stride < 1 || p.far_stride < p.stride || p.far_stride % p.stride != 0) return false;
    // A row distance of 0 would take the byte being decoded as its own context.
    return !p.row_context || (p.row_width != 0 && std::uint64_t{p.stride} * p.row_width < (std::uint64_t{1} << 32));
}

}  // namespace vexa
