#include "coder/range_coder.hpp"

#include <cstring>

namespace vexa {

void bind_io_buffer(IoBuffer& io, ReadFn read, WriteFn write, void* user) {
    io.read = read;
    io.write = write;
    io.user = user;
    io.pos = 0;
    io.fill = 0;
    io.moved = 0;
    io.ran_dry = false;
    io.failed = false;
}

void drain_io_buffer(IoBuffer& io) {
    if (io.pos > 0 && !io.failed) {
        if (io.write(io.user, io.data, io.pos) != 0) io.failed = true;
        io.moved += io.pos;
    }
    io.pos = 0;
}

void refill_io_buffer(IoBuffer& io) {
    std::size_t got = 0;
    if (!io.ran_dry && !io.failed) {
        const std::ptrdiff_t r = io.read(io.user, io.data, IO_BUFFER_SIZE);
        // A count past the capacity is as much a failure as a negative one.
        if (r < 0 || static_cast<std::size_t>(r) > IO_BUFFER_SIZE) {
            io.failed = true;
        } else {
            got = static_cast<std::size_t>(r);
            io.moved += got;
        }
    }
    if (got == 0) {
        // Past the end: a whole buffer of zeros, so that a damaged file that
        // asks for many more bytes does not call the reader once per byte.
        std::memset(io.data, 0, IO_BUFFER_SIZE);
        got = IO_BUFFER_SIZE;
        io.ran_dry = true;
    }
    io.fill = static_cast<std::uint32_t>(got);
    io.pos = 0;
}

RangeCoder::RangeCoder(Direction dir, IoBuffer& buffer)
    : direction(dir), low(0), cache(0), cache_size(1), range(0xFFFFFFFFu),
      trial_range(0xFFFFFFFFu), trial_count(0), code(0), io(&buffer) {
    if (direction == Direction::decode) {
        for (int i = 0; i < 5; ++i) code = (code << 8) | get_byte(*io);
    }
}

void RangeCoder::flush() {
    if (direction != Direction::encode) return;
    for (int i = 0; i < 5; ++i) shift_low();
}

}  // namespace vexa
