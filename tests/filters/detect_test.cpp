// Data-class detection and the profile bytes: each recognised header, the
// pixmap width reader, the zero adjustment, the unsafe profiles that fall
// back to the generic path, and the real files of the sample corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <map>
#include <string>
#include <string_view>

#include "codec/header.hpp"
#include "filters/detect.hpp"
#include "test_support.hpp"

namespace vexa::test {
namespace {

using namespace std::string_view_literals;

const Bytes GENERIC = {1, 0, 0, 0};

// The 12 profile bytes of a structured class.
Bytes structured(std::uint8_t stride, std::uint8_t far, std::uint32_t row, std::uint8_t channels,
                 std::uint8_t width) {
    const auto r = [row](int shift) { return static_cast<std::uint8_t>(row >> shift); };
    return {0, 0, 0, 0, stride, far, r(0), r(8), r(16), r(24), channels, width};
}

// The profile's bytes in the header, after the length; `p` becomes the
// profile as written.
std::uint32_t profile_bytes(DataProfile& p, std::uint8_t* out) {
    std::uint8_t header[HEADER_BYTES_MAX];
    const WrittenHeader written = write_header(1, &p, header);
    p = written.profile;
    std::copy_n(header + LENGTH_BYTES, written.size - LENGTH_BYTES, out);
    return written.size - LENGTH_BYTES;
}

Bytes profile_bytes(DataProfile& p) {
    std::uint8_t out[PROFILE_BYTES_MAX];
    return Bytes(out, out + profile_bytes(p, out));
}

struct Classified {
    DataProfile profile;   // as left by profile_bytes
    Bytes bytes;
};

Classified classify(const Bytes& data, std::uint32_t length) {
    Classified c;
    detect_data_class(c.profile, data.data(), length);
    std::uint8_t out[PROFILE_BYTES_MAX + 4];
    std::fill(std::begin(out), std::end(out), 0xEE);
    const std::uint32_t count = profile_bytes(c.profile, out);
    c.bytes.assign(out, out + count);
    EXPECT_EQ(out[count], 0xEE) << "profile_bytes wrote past its count";
    return c;
}

Classified classify(const Bytes& data) { return classify(data, static_cast<std::uint32_t>(data.size())); }


void put_le(Bytes& b, std::size_t at, std::uint32_t v, int size) {
    for (int k = 0; k < size; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
}

void put_be(Bytes& b, std::size_t at, std::uint32_t v, int size) {
    for (int k = 0; k < size; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * (size - 1 - k)));
}

void put_text(Bytes& b, std::size_t at, std::string_view s) { std::copy(s.begin(), s.end(), b.begin() + at); }

// A canonical 44-byte WAVE header followed by some samples.
Bytes wave_file(std::uint32_t channels, std::uint32_t bits, std::string_view riff = "RIFF") {
    Bytes b = random_bytes(300, 1);
    put_text(b, 0, riff);
    put_le(b, 4, 292, 4);
    put_text(b, 8, "WAVEfmt ");
    put_le(b, 16, 16, 4);
    put_le(b, 20, 1, 2);
    put_le(b, 22, channels, 2);
    put_le(b, 24, 44100, 4);
    put_le(b, 28, 44100 * channels * bits / 8, 4);
    put_le(b, 32, channels * bits / 8, 2);
    put_le(b, 34, bits, 2);
    put_text(b, 36, "data");
    put_le(b, 40, 256, 4);
    return b;
}

// FORM/AIFF with the COMM chunk right after the form type.
Bytes aiff_file(std::uint32_t channels, std::uint32_t bits) {
    Bytes b = random_bytes(300, 2);
    put_text(b, 0, "FORM");
    put_be(b, 4, 292, 4);
    put_text(b, 8, "AIFFCOMM");
    put_be(b, 16, 18, 4);
    put_be(b, 20, channels, 2);
    put_be(b, 22, 1000, 4);   // sample frames
    put_be(b, 26, bits, 2);
    return b;
}

Bytes bitmap_file(std::uint32_t width) {
    Bytes b = random_bytes(300, 3);
    put_text(b, 0, "BM");
    put_le(b, 10, 54, 4);     // pixel data offset
    put_le(b, 14, 40, 4);     // information header size
    put_le(b, 18, width, 4);
    put_le(b, 22, 2, 4);      // height
    return b;
}

// Widths as written: 1 stands for a width of 0, where no number was read.
TEST(Detect, PixmapWidth) {
    const std::pair<std::string_view, std::uint32_t> headers[] = {
        {"P6\n640 480\n255\n", 640},
        // Only the "#" of a comment is skipped; its text is no number.
        {"P6\n# made by hand\n640 480\n255\n", 1},
        {"P6\n+5 5\n255\n", 1},
        {"P6\n-5 5\n255\n", 1},
        // NUL and "#" bytes one by one, then every C white-space character.
        {"P6\n\0#\0#\t\v\f\r \n77 1\n255\n"sv, 77},
        // White space first: the "#" after it is not skipped any more.
        {"P6\n #12 1\n255\n", 1},
        {"P6\n0640 480\n255\n", 640},
        {"P6\n12a", 12},
        {"P6\n4294967301 1\n255\n", 5},   // modulo 2^32
        {"P6\n", 1},
        {"P6\n###", 1},
        {"P6\n \n ", 1},
    };
    for (const auto& [header, row] : headers) {
        const Classified c = classify(bytes_of(header));
        EXPECT_EQ(c.bytes, structured(3, 6, row, 1, 1)) << '"' << header << '"';
        EXPECT_EQ(c.profile.row_context, 1) << '"' << header << '"';
    }
    // The digits stop at the end of the first block, even if more follow in memory.
    EXPECT_EQ(classify(bytes_of("P6\n1234 5\n"), 5).bytes, structured(3, 6, 12, 1, 1));
    EXPECT_EQ(classify(bytes_of("P6\n###7"), 6).bytes, structured(3, 6, 1, 1, 1));
    // A line feed must follow the 6.
    EXPECT_EQ(classify(bytes_of("P6 640 480\n255\n")).bytes, GENERIC);
    EXPECT_EQ(classify(bytes_of("P5\n640 480\n255\n")).bytes, GENERIC);
}

TEST(Detect, Sound) {
    struct Case {
        Bytes file;
        Bytes want;
    };
    const Case cases[] = {
        {wave_file(2, 16), structured(2, 4, AUDIO_ROW_WIDTH, 2, 2)},
        {wave_file(2, 24), structured(2, 4, AUDIO_ROW_WIDTH, 2, 3)},
        {wave_file(1, 8), structured(1, 2, AUDIO_ROW_WIDTH, 1, 1)},
        {wave_file(127, 16), structured(127, 254, AUDIO_ROW_WIDTH, 127, 2)},
        {wave_file(258, 16), structured(2, 4, AUDIO_ROW_WIDTH, 2, 2)},   // counts taken mod 256
        {wave_file(1, 4), structured(1, 2, AUDIO_ROW_WIDTH, 1, 1)},      // width 0, written as 1
        // Offsets 0 to 3 are not examined.
        {wave_file(2, 16, "JUNK"), structured(2, 4, AUDIO_ROW_WIDTH, 2, 2)},
        {aiff_file(2, 16), structured(4, 8, AUDIO_ROW_WIDTH, 2, 2)},
        {aiff_file(1, 8), structured(1, 2, AUDIO_ROW_WIDTH, 1, 1)},
        {aiff_file(2, 24), structured(6, 12, AUDIO_ROW_WIDTH, 2, 3)},
        {aiff_file(0x0102, 16), structured(4, 8, AUDIO_ROW_WIDTH, 2, 2)},   // low bytes only
        // Unsafe strides send the file down the generic path.
        {wave_file(128, 16), GENERIC},   // far stride 256 wraps to 0
        {wave_file(256, 16), GENERIC},   // stride 0
        {wave_file(0, 16), GENERIC},
        {aiff_file(2, 4), GENERIC},      // sample size below 8 bits: stride 0
        {aiff_file(64, 32), GENERIC},    // 64 x 4 wraps to 0
        {aiff_file(40, 32), GENERIC},    // stride 160, far stride 64
    };
    for (const Case& c : cases) {
        const Classified got = classify(c.file);
        EXPECT_EQ(got.bytes, c.want) << "case " << &c - cases;
        EXPECT_EQ(got.profile.row_context, 0) << "case " << &c - cases;
    }
    // A header cut short reads zeros: a WAVE file of 24 bytes has width 0.
    const Bytes wave = wave_file(2, 16);
    EXPECT_EQ(classify(wave, 24).bytes, structured(2, 4, AUDIO_ROW_WIDTH, 2, 1));
    EXPECT_EQ(classify(wave, 22).bytes, GENERIC);   // no channels
}

TEST(Detect, PicturesAndEverythingElse) {
    Classified c = classify(bitmap_file(768));
    EXPECT_EQ(c.bytes, structured(3, 6, 768, 1, 1));
    EXPECT_EQ(c.profile.row_context, 1);
    // Row distance 3 x width must not wrap.
    EXPECT_EQ(classify(bitmap_file(0x55555555)).bytes, structured(3, 6, 0x55555555, 1, 1));
    EXPECT_EQ(classify(bitmap_file(0x55555556)).bytes, GENERIC);
    EXPECT_EQ(classify(bytes_of("P6\n1431655765 1\n255\n")).bytes, structured(3, 6, 0x55555555, 1, 1));
    EXPECT_EQ(classify(bytes_of("P6\n1431655766 1\n255\n")).bytes, GENERIC);

    // The signature alone is a bitmap of width 0, written as 1.
    c = classify(bytes_of("BM"));
    EXPECT_EQ(c.bytes, structured(3, 6, 1, 1, 1));
    EXPECT_EQ(c.profile.row_context, 1);
    EXPECT_EQ(classify(bitmap_file(768), 2).bytes, structured(3, 6, 1, 1, 1));

    // A bitmap whose bytes 8 to 11 read "WAVE" turns into sound but keeps its
    // row context: safe with one channel, not with two.
    Bytes odd = bitmap_file(768);
    put_text(odd, 8, "WAVE");
    put_le(odd, 22, 1, 2);
    put_le(odd, 34, 16, 2);
    c = classify(odd);
    EXPECT_EQ(c.bytes, structured(1, 2, AUDIO_ROW_WIDTH, 1, 2));
    EXPECT_EQ(c.profile.row_context, 1);
    put_le(odd, 22, 2, 2);
    EXPECT_EQ(classify(odd).bytes, GENERIC);

    const Bytes jfif = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01, 0x00};
    c = classify(jfif);
    EXPECT_EQ(c.bytes, structured(1, 2, 1, 1, 1));
    EXPECT_EQ(c.profile.row_context, 0);
    Bytes exif = jfif;
    exif[3] = 0xE1;
    put_text(exif, 6, "Exif");
    EXPECT_EQ(classify(exif).bytes, GENERIC);
    Bytes not_j = jfif;
    not_j[6] = 'j';
    EXPECT_EQ(classify(not_j).bytes, GENERIC);

    Bytes elf = random_bytes(4096, 9);
    put_text(elf, 0, "\x7F" "ELF\x02\x01\x01");
    const Bytes others[] = {english_text(4096, 1), elf, bytes_of("MZ\x90"), random_bytes(4096, 4), {}, {'B'},
                            bytes_of("FORM\0\0\0\0AIFC"sv), bytes_of("RIFF\0\0\0\0AVI LIST"sv)};
    for (const Bytes& data : others) {
        c = classify(data);
        EXPECT_EQ(c.bytes, GENERIC) << "data of " << data.size() << " bytes";
        EXPECT_EQ(c.profile.row_context, 0);
    }
}

// The rules also judge headers read back from damaged files, which can hold
// combinations that detection never forms.
TEST(Detect, SafeProfiles) {
    const auto safe = [](std::uint8_t stride, std::uint8_t far, std::uint32_t row, std::uint8_t row_context) {
        DataProfile p;
        p.class_word = CLASS_STRUCTURED;
        p.stride = stride;
        p.far_stride = far;
        p.row_width = row;
        p.channels = 1;
        p.row_context = row_context;
        return profile_is_safe(p);
    };
    EXPECT_TRUE(safe(1, 1, 1, 0));
    EXPECT_TRUE(safe(3, 9, 1, 0));
    EXPECT_FALSE(safe(0, 0, 1, 0));
    EXPECT_FALSE(safe(0, 2, 1, 0));
    EXPECT_FALSE(safe(2, 1, 1, 0));
    EXPECT_FALSE(safe(3, 4, 1, 0));   // not a multiple
    // stride x row_width must be above 0 and stay below 2^32, but only when rows are used.
    EXPECT_FALSE(safe(3, 6, 0, 1));
    EXPECT_TRUE(safe(3, 6, 0, 0));
    EXPECT_TRUE(safe(4, 8, 0x3FFFFFFF, 1));
    EXPECT_FALSE(safe(4, 8, 0x40000000, 1));
    EXPECT_TRUE(safe(4, 8, 0x40000000, 0));
    EXPECT_TRUE(safe(1, 2, 0xFFFFFFFF, 1));
    EXPECT_FALSE(safe(2, 4, 0x80000000, 1));
}

// Detection sets every field, so nothing from an earlier file survives it.
TEST(Detect, NothingCarriesOverFromAnEarlierProfile) {
    DataProfile p;
    const Bytes bitmap = bitmap_file(768);
    detect_data_class(p, bitmap.data(), static_cast<std::uint32_t>(bitmap.size()));
    ASSERT_EQ(p.row_context, 1);
    const Bytes jfif = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00};
    detect_data_class(p, jfif.data(), static_cast<std::uint32_t>(jfif.size()));
    EXPECT_EQ(p.row_context, 0);
    const Bytes text = english_text(100, 2);
    detect_data_class(p, text.data(), static_cast<std::uint32_t>(text.size()));
    EXPECT_EQ(p.class_word, CLASS_GENERIC);
    EXPECT_EQ(p.row_width, 0u);
    EXPECT_EQ(p.channels, 0);
    EXPECT_EQ(p.sample_width, 1);
    EXPECT_EQ(p.row_context, 0);
}

// The header's profile leaves the adjusted values behind, which the
// compressor then codes with.
TEST(Detect, WriteProfileLeavesAdjustedValues) {
    DataProfile p;
    const Bytes aiff = aiff_file(2, 4);
    detect_data_class(p, aiff.data(), static_cast<std::uint32_t>(aiff.size()));
    p.stride = 2;   // safe strides, so that only the zero adjustment shows
    p.far_stride = 4;
    p.row_width = 0;
    EXPECT_EQ(profile_bytes(p), structured(2, 4, 1, 2, 1));
    EXPECT_EQ(p.sample_width, 1);
    EXPECT_EQ(p.row_width, 1u);
    EXPECT_EQ(p.class_word, CLASS_STRUCTURED);

    const Bytes wave = wave_file(256, 16);
    detect_data_class(p, wave.data(), static_cast<std::uint32_t>(wave.size()));
    EXPECT_EQ(profile_bytes(p), GENERIC);
    EXPECT_EQ(p.class_word, CLASS_GENERIC);
}

// The real files: each gets the class and profile the corpus table names.
TEST(Detect, CorpusFilesGetTheirListedProfiles) {
    const std::string dir = corpus_dir();
    if (dir.empty()) GTEST_SKIP() << "no sample corpus on this machine";
    struct Want {
        Bytes bytes;
        std::uint8_t row_context;
        bool seen;
    };
    std::map<std::string, Want> listed = {
        {"kodim07.bmp", {structured(3, 6, 768, 1, 1), 1, false}},
        {"astronaut.ppm", {structured(3, 6, 512, 1, 1), 1, false}},
        {"fireworks.jpeg", {structured(1, 2, 1, 1, 1), 0, false}},
        {"rocket.jpg", {structured(1, 2, 1, 1, 1), 0, false}},
        {"hungarian_dance_stereo16.wav", {structured(2, 4, AUDIO_ROW_WIDTH, 2, 2), 0, false}},
        {"hungarian_dance_stereo16.aiff", {structured(4, 8, AUDIO_ROW_WIDTH, 2, 2), 0, false}},
        {"librispeech_198-209-0000_mono16k.wav", {structured(1, 2, AUDIO_ROW_WIDTH, 1, 2), 0, false}},
        {"hubble_deep_field_exif.jpg", {GENERIC, 0, false}},
    };
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_regular_file() || name == "MANIFEST.md") continue;
        Bytes head = read_file(entry.path().string());
        if (head.size() > BLOCK_CAPACITY) head.resize(BLOCK_CAPACITY);
        const Classified c = classify(head);
        const auto it = listed.find(name);
        if (it == listed.end()) {
            EXPECT_EQ(c.bytes, GENERIC) << name;
        } else {
            EXPECT_EQ(c.bytes, it->second.bytes) << name;
            EXPECT_EQ(c.profile.row_context, it->second.row_context) << name;
            it->second.seen = true;
        }
    }
    for (const auto& [name, want] : listed) EXPECT_TRUE(want.seen) << name << " is missing from " << dir;
}

}  // namespace
}  // namespace vexa::test
