#!/usr/bin/env bash
# Hostile compressed input: files cut short at every position, single bits
# flipped, bytes after a complete stream, and hand-made files holding values
# no compressor writes. Every run must end either with status 0 and exactly
# the stored number of bytes, or with status 1, "input: compressed data is
# damaged|truncated" (followed by " after the stream that ends at byte N"
# once a stream was complete) and no output left behind. Never a signal, a
# hang or a sanitizer report.
# Usage: bash damaged.sh <vexa binary> <corpus dir> <scratch dir>
set -u

# shellcheck source=common.bash
source "$(dirname "$0")/common.bash" "$@"
enter_scratch


# Decompresses $2 into out.bin; stdout in out.txt, stderr in err.txt, the
# exit status in $status. A hang shows as status 124, a signal as 128 + n.
decompress() {
    rm -f out.bin
    vexa_run "$1" 120 d "$2" out.bin
}

stored_length() { od -An -tu4 --endian=little -N4 "$1" | tr -d ' '; }

# Refused with exactly this reason, and nothing left behind.
expect_refusal() {
    local name=$1 input=$2 reason=$3
    if [ "$status" -ne 1 ] || [ "$stderr_text" != "$input: compressed data is $reason"$'\n' ]; then
        fail "$name" "status $status, stderr '$(head -c 300 err.txt)'; expected status 1 and '$input: compressed data is $reason'"
    fi
    [ ! -e out.bin ] || fail "$name" "partial output left behind"
    [ ! -s out.txt ] || fail "$name" "summary printed after a failure"
}

# Either outcome of damaged input is acceptable; anything else is not.
expect_clean_outcome() {
    local name=$1 input=$2
    case $status in
        0)
            local want
            want=$(stored_length "$input")
            [ -f out.bin ] && [ "$(stat -c %s out.bin)" = "$want" ] ||
                fail "$name" "status 0 but the output is not $want bytes long"
            ;;
        1)
            # A flip that changes how far the decoder reads ends the stream
            # early: the bytes left after it are refused.
            [[ $stderr_text =~ ^"$input: compressed data is "(damaged|truncated)( after the stream that ends at byte [1-9][0-9]*)?$'\n'$ ]] ||
                fail "$name" "status 1 with stderr '$(head -c 300 err.txt)'"
            [ ! -e out.bin ] || fail "$name" "partial output left behind"
            ;;
        124) fail "$name" "hang: no end within the time limit" ;;
        *) fail "$name" "status $status (a signal when 128 or more): $(head -c 300 err.txt)" ;;
    esac
}

# --- Test files: a short text, a short sound file, a text-filtered block and a
# two-block file whose body is longer than one 64 KiB read.
python3 - <<'EOF' || { echo "cannot generate test data" >&2; exit 1; }
import math, random, struct
rnd = random.Random(4)
words = "the whale and the ship were on the white sea with her captain".split()
def text(n, seed):
    r = random.Random(seed)
    s = ""
    while len(s) < n:
        s += r.choice(words) + r.choice("  ,.\n")
    return s[:n].encode()
open("short.txt", "wb").write(text(40, 1))
samples = b"".join(struct.pack("<hh", int(900 * math.sin(i / 5)), int(700 * math.cos(i / 7))) for i in range(5))
fmt = struct.pack("<HHIIHH", 1, 2, 8000, 32000, 4, 16)
open("short.wav", "wb").write(b"RIFF" + struct.pack("<I", 36 + len(samples)) + b"WAVEfmt " + struct.pack("<I", 16) + fmt
                              + b"data" + struct.pack("<I", len(samples)) + samples)
open("page.txt", "wb").write(text(700, 2))
code = bytearray()
while len(code) < 3000:
    code += bytes([0x48, 0x89, 0xC7, 0xE8]) + struct.pack("<i", rnd.randrange(-5000, 5000))
open("two_blocks.bin", "wb").write(text(524288, 3) + bytes(code[:3000]))
EOF
for f in short.txt short.wav page.txt two_blocks.bin; do
    "${VEXA[@]}" c "$f" "$f.vx" >/dev/null || { echo "cannot compress $f" >&2; exit 1; }
done
[ "$(stat -c %s two_blocks.bin.vx)" -gt 65600 ] || fail "setup" "two_blocks.bin.vx is too short to cross a 64 KiB read"

# --- Damaged copies, made in one go. Cuts: every position of the short files,
# every eighth of the text-filtered one. Flips: every bit of the short files'
# headers and one bit of each later byte, one bit of every fourth byte of the
# text-filtered one. For the two-block file both: its header, both sides of
# the 64 KiB read boundary, the last five flush bytes and seeded spots.
# Byte 3 bit 6 makes its length a GiB longer; byte 4 bit 0 turns its class
# word to 0, so that body bytes are read as a media profile.
mkdir -p v
python3 - <<'EOF2' || { echo "cannot make damaged copies" >&2; exit 1; }
import random
def save(name, data):
    with open(f"v/{name}", "wb") as f:
        f.write(data)
def flipped(data, pos, bit):
    d = bytearray(data)
    d[pos] ^= 1 << bit
    return bytes(d)
r = random.Random(12)
for name, cut_step, header, flip_step in (("short.txt.vx", 1, 8, 1), ("short.wav.vx", 1, 16, 1),
                                          ("page.txt.vx", 8, 0, 4), ("two_blocks.bin.vx", 0, 0, 0)):
    data = open(name, "rb").read()
    size = len(data)
    if cut_step:
        cuts = range(0, size, cut_step)
        spots = [(p, b) for p in range(header) for b in range(8)]
        spots += [(p, p % 8) for p in range(header, size, flip_step)]
    else:
        body_read = 8 + 65536
        cuts = [5, 8, 9, 13, body_read - 1, body_read, body_read + 1, size - 6, size - 5, size - 1]
        cuts += r.sample(range(14, size - 6), 6)
        spots = [(3, 6), (4, 0), (8, 7), (9, 3), (12, 0)]
        spots += [(r.randrange(13, size), r.randrange(8)) for _ in range(14)]
    for cut in cuts:
        save(f"{name}-cut-{cut}", data[:cut])
    for pos, bit in spots:
        save(f"{name}-flip-{pos}-{bit}", flipped(data, pos, bit))
EOF2

# Cut short: the decoder always needs every byte the compressor wrote, so
# each cut of a file with a non-zero length is refused as truncated, also
# below 4 bytes, where not even the length is there.
for f in v/*-cut-*; do
    decompress "$f" "$f"
    expect_refusal "$f" "$f" truncated
done
# Flipped bits: either outcome, cleanly.
for f in v/*-flip-*; do
    decompress "$f" "$f"
    expect_clean_outcome "$f" "$f"
done

# --- After a complete stream only zeros may follow, as padding; anything
# else is refused, and the message says where the last complete stream ends.
for zeros in 1 7 9 1000; do
    { cat short.txt.vx; head -c "$zeros" /dev/zero; } > tail.vx
    decompress "$zeros zero bytes after a stream" tail.vx
    [ "$status" -eq 0 ] && cmp -s out.bin short.txt || fail "$zeros zero bytes after a stream" "status $status or a different output"
done
end=$(stat -c %s short.txt.vx)
page_size=$(stat -c %s page.txt.vx)
# refused_after NAME REASON END: tail.vx, refused for REASON after byte END.
refused_after() {
    decompress "$1" tail.vx
    expect_refusal "$1" tail.vx "$2 after the stream that ends at byte $3"
}
{ cat short.txt.vx; printf x; } > tail.vx
refused_after "1 byte after a stream" truncated "$end"
{ cat short.txt.vx; printf abc; } > tail.vx
refused_after "3 bytes after a stream" truncated "$end"
{ cat short.txt.vx; printf '\0\0\0\0\0\0x'; } > tail.vx
refused_after "an empty stream's coder bytes not zero" damaged "$end"
{ cat short.txt.vx page.txt.vx; printf x; } > tail.vx
refused_after "1 byte after two streams" truncated "$((end + page_size))"
for n in 20 $((page_size - 64)) $((page_size - 6)) $((page_size - 5)) $((page_size - 1)); do
    { cat short.txt.vx; head -c "$n" page.txt.vx; } > tail.vx
    refused_after "a second stream cut after $n of $page_size bytes" truncated "$end"
done
# Random bytes: either reason, with the same end.
{ cat short.txt.vx; dd if=two_blocks.bin.vx bs=1000 skip=7 count=1 status=none; } > tail.vx
decompress "stream followed by random bytes" tail.vx
[[ $status -eq 1 && $stderr_text =~ ^"tail.vx: compressed data is "(damaged|truncated)" after the stream that ends at byte $end"$'\n'$ ]] ||
    fail "stream followed by random bytes" "status $status, stderr '$(head -c 300 err.txt)'"
[ ! -e out.bin ] || fail "stream followed by random bytes" "partial output left behind"

# --- Hand-made files. The encoder below mirrors the range coder for direct
# bits and for byte trees on fresh tables; it must first reproduce the file
# of the one-byte input "A" exactly.
python3 - <<'EOF' || { echo "cannot craft test files" >&2; exit 1; }
import struct

class Encoder:
    def __init__(self):
        self.low, self.range, self.cache, self.cache_size, self.out = 0, 0xFFFFFFFF, 0, 1, bytearray()
        self.table_a, self.table_b = {}, {}

    def shift_low(self):
        word, carry = self.low & 0xFFFFFFFF, self.low >> 32
        if word < 0xFF000000 or carry:
            self.out.append((self.cache + carry) & 0xFF)
            self.out += bytes([(0xFF + carry) & 0xFF]) * (self.cache_size - 1)
            self.cache, self.cache_size = word >> 24, 0
        self.cache_size += 1
        self.low = (word << 8) & 0xFFFFFFFF

    def bit(self, bound, bit):
        if bit:
            self.range = bound
        else:
            self.low += bound
            self.range -= bound
        while self.range < 1 << 24:
            self.range = (self.range << 8) & 0xFFFFFFFF
            self.shift_low()

    def direct_bit(self, bit):
        self.bit(self.range >> 1, bit)

    def direct_byte(self, value):
        for k in range(7, -1, -1):
            self.direct_bit((value >> k) & 1)

    def head_byte(self, value, rate_a, rate_b):   # a pair byte under contexts (0, 0)
        node = 1
        for k in range(7, -1, -1):
            bit = (value >> k) & 1
            a, b = self.table_a.get(node, 1024), self.table_b.get(node, 1024)
            self.bit((self.range >> 12) * (a + b), bit)
            self.table_a[node] = a + ((2048 - a) >> rate_a) if bit else a - (a >> rate_a)
            self.table_b[node] = b + ((2048 - b) >> rate_b) if bit else b - (b >> rate_b)
            node = 2 * node + bit

    def flush(self):
        for _ in range(5):
            self.shift_low()
        return bytes(self.out)

def generic_file(data, flat=0, rate_a=3, rate_b=2, text=0, multiplier=0):
    e = Encoder()
    e.direct_bit(flat)
    e.direct_byte(rate_a)
    e.direct_byte(rate_b)
    e.direct_bit(text)
    e.direct_byte(multiplier & 0xFF)
    e.direct_byte(multiplier >> 8)
    for value in data:
        e.head_byte(value, rate_a, rate_b)
    return struct.pack("<II", len(data), 1) + e.flush()

def save(name, data):
    with open(name, "wb") as f:
        f.write(data)

save("crafted_A.vx", generic_file(b"A"))
for rate_a, rate_b in ((2, 2), (7, 2), (255, 2), (3, 1), (3, 7), (0, 0)):
    save(f"crafted_rates_{rate_a}_{rate_b}.vx", generic_file(b"A", rate_a=rate_a, rate_b=rate_b))
# A text code at the end of a one-byte block expands past the block.
save("crafted_text_overrun.vx", generic_file(bytes([130]), text=1))
EOF
printf 'A' > a.txt
"${VEXA[@]}" c a.txt a.vx >/dev/null
if ! cmp -s a.vx crafted_A.vx; then
    fail "crafting encoder" "does not reproduce the file of 'A'; hand-made cases skipped"
else
    for f in crafted_rates_*.vx crafted_text_overrun.vx; do
        decompress "$f" "$f"
        expect_refusal "$f" "$f" damaged
    done
fi

# --- Patched headers. A media header with 0 channels or a sample width of 0.
printf 'BM' > bm.bin
"${VEXA[@]}" c bm.bin bm.vx >/dev/null
for offset in 14 15; do
    cp bm.vx zero_field.vx
    printf '\0' | dd of=zero_field.vx bs=1 seek="$offset" conv=notrunc status=none
    decompress "media header with byte $offset zero" zero_field.vx
    expect_refusal "media header with byte $offset zero" zero_field.vx damaged
done
# A media file cut inside its 16-byte header.
head -c 12 bm.vx > short_header.vx
decompress "media header cut at 12 bytes" short_header.vx
expect_refusal "media header cut at 12 bytes" short_header.vx truncated
# Any class word other than 0 is the generic path.
cp a.vx class7.vx
printf '\7' | dd of=class7.vx bs=1 seek=4 conv=notrunc status=none
decompress "class word 7" class7.vx
[ "$status" -eq 0 ] && cmp -s out.bin a.txt || fail "class word 7" "status $status or a different output"
# A stored length of 0 means an empty output; the coder's five bytes after
# it are zeros, or cut off.
for tail in "" '\0\0' '\0\0\0\0\0'; do
    printf "\0\0\0\0$tail" > zero_length.vx
    decompress "length 0 followed by '$tail'" zero_length.vx
    [ "$status" -eq 0 ] && [ -f out.bin ] && [ ! -s out.bin ] ||
        fail "length 0 followed by '$tail'" "status $status or a non-empty output"
done
printf '\0\0\0\0garbage after the length' > zero_length.vx
decompress "length 0 followed by garbage" zero_length.vx
expect_refusal "length 0 followed by garbage" zero_length.vx damaged

echo "damaged.sh: $checks runs, $failed failed checks"
[ "$failed" -eq 0 ]
