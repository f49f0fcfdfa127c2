#!/usr/bin/env python3
"""Writes the committed seed corpora under fuzz/seeds/.

round_trip/, filters/ and api/ get small files of every data class the detector
knows plus text and x86-like code; decode/ gets those files compressed by
the vexa binary given as the argument, plus a few damaged ones. Seeds are
small on purpose: libFuzzer grows its own corpus from them.

    fuzz/make_seeds.py build/release/vexa
"""
import os
import random
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SEEDS = os.path.join(HERE, "seeds")
rng = random.Random(7)

WORDS = ("the of and to in that was with which nation station said have this from were there "
         "whale ship sea captain harpoon white ocean all but for had her him not now one out she "
         "you any are would could then").split()


def english(size):
    out = []
    while sum(len(w) + 1 for w in out) < size:
        out.append(rng.choice(WORDS) + rng.choice(("", "", "", ",", ".", ".\n")))
    return " ".join(out).encode()[:size]


def x86(size):
    """Code-like bytes with near calls and jumps to a few targets."""
    out = bytearray()
    targets = [rng.randrange(0, size) for _ in range(6)]
    while len(out) < size:
        if rng.random() < 0.2:
            op = rng.choice((0xE8, 0xE9))
            out += bytes([op]) + struct.pack("<i", rng.choice(targets) - len(out) - 5)
        else:
            out.append(rng.choice((0x55, 0x89, 0xE5, 0x8B, 0x45, 0x08, 0x5D, 0xC3, 0x90, 0x83, 0xEC)))
    return bytes(out[:size])


def pixels(count, channels):
    """Smooth ramps with a little noise, like a photograph."""
    return bytes((x * 3 + c * 40 + rng.randrange(4)) & 0xFF for x in range(count) for c in range(channels))


def bmp(width, height):
    row = (3 * width + 3) & ~3
    data = pixels(row * height // 3 + 1, 3)[: row * height]
    header = b"BM" + struct.pack("<IHHI", 54 + len(data), 0, 0, 54)
    header += struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    return header + data


def pixmap(width, height):
    return b"P6\n%d %d\n255\n" % (width, height) + pixels(width * height, 3)


def samples(frames, channels, width):
    out = bytearray()
    for t in range(frames):
        for c in range(channels):
            v = int(3000 * ((t * (c + 3)) % 64 - 32)) + rng.randrange(16)
            out += (v & ((1 << (8 * width)) - 1)).to_bytes(width, "little")
    return bytes(out)


def wave(channels, bits, frames=300):
    w = bits // 8
    data = samples(frames, channels, w)
    fmt = struct.pack("<HHIIHH", 1, channels, 8000, 8000 * channels * w, channels * w, bits)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data
    return b"RIFF" + struct.pack("<I", len(body)) + body


def aiff(channels, bits, frames=300):
    w = bits // 8
    data = samples(frames, channels, w)
    # COMM: channels, frames, bits, then an 80-bit rate (8000 Hz).
    comm = struct.pack(">hIh", channels, frames, bits) + bytes.fromhex("400BFA00000000000000")
    ssnd = struct.pack(">II", 0, 0) + data
    body = b"AIFF" + b"COMM" + struct.pack(">I", len(comm)) + comm + b"SSND" + struct.pack(">I", len(ssnd)) + ssnd
    return b"FORM" + struct.pack(">I", len(body)) + body


def jfif(size):
    head = b"\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
    return head + bytes(rng.randrange(256) for _ in range(size - len(head)))


def media_and_text():
    seeds = {"bmp_8x6": bmp(8, 6), "bmp_33x9": bmp(33, 9), "pixmap_16x12": pixmap(16, 12)}
    for channels in (1, 2):
        for bits in (8, 16, 24):
            seeds["wave_%dch_%dbit" % (channels, bits)] = wave(channels, bits)
    seeds["aiff_2ch_16bit"] = aiff(2, 16)
    seeds["aiff_1ch_8bit"] = aiff(1, 8)
    seeds["jfif"] = jfif(600)
    seeds["english_2k"] = english(2048)
    seeds["english_600"] = english(600)
    seeds["x86_2k"] = x86(2048)
    seeds["random_700"] = bytes(rng.randrange(256) for _ in range(700))
    seeds["zeros_40"] = bytes(40)
    seeds["short_17"] = b"abcdefghijklmnopq"
    return seeds


def write(sub, name, data):
    d = os.path.join(SEEDS, sub)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_seeds.py path/to/vexa")
    vexa = sys.argv[1]
    seeds = media_and_text()
    for name, data in seeds.items():
        write("round_trip", name, data)
        # The filter target reads its parameters from the last ten bytes.
        write("filters", name, data + bytes(rng.randrange(256) for _ in range(10)))
    # The API target takes its parameters from the last bytes of its input;
    # a generator of their own leaves the other seeds as they were.
    api_rng = random.Random(11)
    for name, data in seeds.items():
        write("api", name, data + bytes(api_rng.randrange(256) for _ in range(40)))
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = os.path.join(tmp, "in"), os.path.join(tmp, "out")
        for name, data in seeds.items():
            with open(src, "wb") as f:
                f.write(data)
            subprocess.run([vexa, "c", src, dst], check=True, stdout=subprocess.DEVNULL)
            with open(dst, "rb") as f:
                packed = f.read()
            write("decode", name, packed)
            if name in ("english_2k", "bmp_33x9"):
                write("decode", name + "_cut", packed[: len(packed) // 2])
                flipped = bytearray(packed)
                flipped[len(flipped) // 2] ^= 0x40
                write("decode", name + "_flipped", bytes(flipped))
    # Two blocks each, padded at the end (the decoder never reads past the
    # body) so that the target's length cap, which grows with the file,
    # keeps their stored length.
    two_blocks = {"zeros_two_blocks": bytes(560000), "bitmap_two_blocks": b"BM" + bytes(559998)}
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = os.path.join(tmp, "in"), os.path.join(tmp, "out")
        for name, data in two_blocks.items():
            with open(src, "wb") as f:
                f.write(data)
            subprocess.run([vexa, "c", src, dst], check=True, stdout=subprocess.DEVNULL)
            with open(dst, "rb") as f:
                packed = f.read()
            write("decode", name, packed + bytes(max(0, 600 - len(packed))))
    write("decode", "empty_file", b"\x00\x00\x00\x00")
    write("decode", "structured_zero_channels", struct.pack("<IIBBIBB", 100, 0, 3, 6, 8, 0, 1) + bytes(16))


if __name__ == "__main__":
    main()
