#include "test_support.hpp"

#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <sys/stat.h>

namespace vexa::test {

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

Bytes encode_to_bytes(const std::function<void(RangeCoder&)>& body) {
    TempStream out;
    bind_io_buffer(out.get());
    RangeCoder rc(0);
    body(rc);
    rc.flush();
    drain();
    return out.contents();
}

RangeCoder decoder_for(const Bytes& body) {
    static std::unique_ptr<TempStream> stream;
    stream = std::make_unique<TempStream>(body);
    bind_io_buffer(stream->get());
    return RangeCoder(1);
}

Bytes compress_bytes(const Bytes& input, RunResult* result) {
    if (!allocate_work_buffer()) throw std::runtime_error("no work buffer");
    TempStream in(input), out;
    const RunResult r = compress(in.get(), out.get());
    if (result != nullptr) *result = r;
    return out.contents();
}

Bytes decompress_bytes(const Bytes& compressed, RunResult* result) {
    if (!allocate_work_buffer()) throw std::runtime_error("no work buffer");
    TempStream in(compressed), out;
    const RunResult r = decompress(in.get(), out.get());
    if (result != nullptr) *result = r;
    return out.contents();
}

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

}  // namespace vexa::test
