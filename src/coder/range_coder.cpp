#include "coder/range_coder.hpp"

#include <cerrno>

namespace vexa {

IoBuffer io_buffer;

void bind_io_buffer(std::FILE* stream) {
    io_buffer.stream = stream;
    io_buffer.pos = 0;
    io_buffer.fill = 0;
    io_buffer.moved = 0;
    io_buffer.ran_dry = false;
    io_buffer.failed = false;
    io_buffer.error = 0;
}

void drain() {
    if (io_buffer.pos > 0 && !io_buffer.failed) {
        if (std::fwrite(io_buffer.data, 1, io_buffer.pos, io_buffer.stream) != io_buffer.pos) {
            io_buffer.failed = true;
            io_buffer.error = errno;
        }
        io_buffer.moved += io_buffer.pos;
    }
    io_buffer.pos = 0;
}

void refill_io_buffer() {
    std::size_t got = 0;
    if (!io_buffer.ran_dry) {
        got = std::fread(io_buffer.data, 1, IO_BUFFER_SIZE, io_buffer.stream);
        io_buffer.moved += got;
        if (got == 0 && std::ferror(io_buffer.stream) && !io_buffer.failed) {
            io_buffer.failed = true;
            io_buffer.error = errno;
        }
    }
    if (got == 0) {
        // Past the end: a whole buffer of zeros, so that a damaged file that
        // asks for many more bytes does not call fread once per byte.
        for (auto& b : io_buffer.data) b = 0;
        got = IO_BUFFER_SIZE;
        io_buffer.ran_dry = true;
    }
    io_buffer.fill = static_cast<std::uint32_t>(got);
    io_buffer.pos = 0;
}

RangeCoder::RangeCoder(std::int32_t dir)
    : direction(dir), low(0), cache(0), cache_size(1), range(0xFFFFFFFFu),
      trial_range(0xFFFFFFFFu), trial_count(0), code(0) {
    if (direction == 1) {
        for (int i = 0; i < 5; ++i) code = (code << 8) | get_byte();
    }
}

void RangeCoder::flush() {
    if (direction != 0) return;
    for (int i = 0; i < 5; ++i) shift_low();
}

}  // namespace vexa
