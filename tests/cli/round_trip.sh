#!/usr/bin/env bash
# Whole files through the built binary: sizes around every block boundary,
# several kinds of generated data (plain, text, machine code, and media with
# odd headers), files that change character after their first block. Each
# case must compress to the same bytes twice and restore exactly.
# Usage: bash round_trip.sh <vexa binary> <corpus dir> <scratch dir>
set -u

# shellcheck source=common.bash
source "$(dirname "$0")/common.bash" "$@"
enter_scratch


run() { vexa_run_ok "$1" 300 "${@:2}"; }

# Compresses $1, optionally a second time to compare, and restores it.
# Returns non-zero when compression failed, so that callers skip their checks.
round_trip() {
    local name=$1 input=$2 twice=$3
    run "$name: compress" c "$input" a.vx
    [ "$status" -eq 0 ] || return 1
    if [ "$twice" = twice ]; then
        run "$name: compress again" c "$input" b.vx
        cmp -s a.vx b.vx || fail "$name" "two compressions of the same input differ"
    fi
    run "$name: decompress" d a.vx restored
    cmp -s "$input" restored || fail "$name" "the round trip changed the data"
    return 0
}

# Bytes 4 to 15 of a compressed file as hex: the class word and, for media,
# stride, far stride, row width, channels and sample width.
profile_hex() { od -An -tx1 -j4 -N12 "$1" | tr -d ' \n'; }

BLOCK=524288
LARGEST=$((3 * BLOCK + 5))

# One file per kind, $LARGEST bytes, reproducible; a case of size n is its
# first n bytes, so the short media cases also test cut-off headers.
mkdir -p gen
python3 - gen "$LARGEST" <<'EOF' || { echo "cannot generate test data" >&2; exit 1; }
import math, random, struct, sys

out_dir, size = sys.argv[1], int(sys.argv[2])

def tiled(head, seed):
    """head, then copies of it with every byte shifted by a varying amount:
    cheap to make, never an exact repeat, and the structure survives."""
    rnd = random.Random(seed)
    parts, total = [head], len(head)
    while total < size:
        shift = rnd.randrange(1, 256)
        parts.append(head.translate(bytes((b + shift) & 255 for b in range(256))))
        total += len(head)
    return b"".join(parts)[:size]

WORDS = ("the of and to in that was with which whichever nation station said have this from "
         "were there whale ship sea captain harpoon white ocean all but for had her him not now "
         "one out she you any are would could then caf\u00e9 na\u00efve").split()

def text(seed, n):
    rnd = random.Random(seed)
    words = []
    total = 0
    while total < n:
        w = rnd.choice(WORDS)
        if rnd.random() < 0.08:
            w += rnd.choice(".,;")
        if rnd.random() < 0.06:
            w += "\n"
        words.append(w)
        total += len(w) + 1
    return " ".join(words).encode("utf-8")[:n]

def x86(seed, n):
    # Opcode-like filler with a near call or jump every few bytes; the
    # targets come from a small set, as calls to the same functions do.
    rnd = random.Random(seed)
    targets = [rnd.randrange(0, 1 << 20) for _ in range(300)]
    out = bytearray()
    while len(out) < n:
        out += bytes(rnd.choice((0x48, 0x89, 0x8B, 0x83, 0xC3, 0x00, 0x55, 0x5D)) for _ in range(rnd.randrange(2, 9)))
        op = rnd.choice((0xE8, 0xE8, 0xE8, 0xE9))
        rel = (rnd.choice(targets) - (len(out) + 5)) & 0xFFFFFFFF
        out += bytes([op]) + struct.pack("<I", rel)
    return bytes(out[:n])

def wave(channels, bits):
    width = bits // 8
    frames = 65536 // (channels * width) + 1
    rnd = random.Random(channels * 100 + bits)
    body = bytearray()
    for f in range(frames):
        for c in range(channels):
            v = int(8000 * math.sin(f * (0.01 + 0.003 * c)) + rnd.randrange(-40, 41))
            body += (v << (bits - 16) if bits > 16 else v).to_bytes(width, "little", signed=True)
    fmt = struct.pack("<HHIIHH", 1, channels & 0xFFFF, 44100, 44100 * channels * width,
                      (channels * width) & 0xFFFF, bits)
    header = (b"RIFF" + struct.pack("<I", size - 8) + b"WAVE" + b"fmt " + struct.pack("<I", 16)
              + fmt + b"data" + struct.pack("<I", size - 44))
    return header + tiled(bytes(body), channels)[: size - len(header)]

def aiff(channels, bits):
    width = max(1, bits // 8)
    rnd = random.Random(bits)
    body = bytearray()
    for f in range(65536 // (channels * width) + 1):
        for c in range(channels):
            v = int(3000 * math.sin(f * 0.02 * (c + 1)) + rnd.randrange(-20, 21)) >> (16 - 8 * width)
            body += v.to_bytes(width, "big", signed=True)
    comm = b"COMM" + struct.pack(">IhIh", 18, channels, 0, bits) + b"\x40\x0e\xac\x44" + bytes(6)
    header = b"FORM" + struct.pack(">I", size - 8) + b"AIFF" + comm + b"SSND" + struct.pack(">III", size - 46, 0, 0)
    return header + tiled(bytes(body), bits)[: size - len(header)]

def pixels(width, seed):
    rnd = random.Random(seed)
    rows = []
    for y in range(64 if width < 4096 else 1):
        rows.append(bytes((x * 3 // 4 + y * 2 + (x % 3) * 40 + rnd.randrange(0, 6)) & 255
                          for x in range(3 * min(width, 1024))))
    return tiled(b"".join(rows), seed)

def bitmap(width):
    header = (b"BM" + struct.pack("<IHHI", size, 0, 0, 54) + struct.pack("<IiiHHIIiiII", 40, width, 64, 1, 24, 0, 0, 0, 0, 0, 0))
    return header + pixels(width, width & 0xFFFF)[: size - 54]

def pixmap(header):
    return header + pixels(640, 7)[: size - len(header)]

jfif = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
kinds = {
    "zeros": bytes(size),
    "random": random.Random(5).randbytes(size),
    "text": text(3, size),
    "x86": x86(9, size),
    "bmp": bitmap(256),
    "bmp_huge_width": bitmap(0x7FFFFFFF),   # row distance past 2^32: generic
    "bmp_wide": bitmap(0x50000000),         # row distance just below 2^32
    "ppm": pixmap(b"P6\n640 480\n255\n"),
    "ppm_no_width": pixmap(b"P6\n# no width read here\n640 480\n255\n"),
    "wav3": wave(3, 16),
    "wav40": wave(40, 16),
    "wav24": wave(2, 24),
    "wav256": wave(256, 16),                # stride 0: generic
    "aiff16": aiff(2, 16),
    "aiff4": aiff(1, 4),                    # sample width 0: generic
    "jfif": jfif + random.Random(11).randbytes(size - len(jfif)),
}
for name, data in kinds.items():
    assert len(data) == size, name
    with open(f"{out_dir}/{name}", "wb") as f:
        f.write(data)

# Files whose first block decides the class and whose later blocks do not fit it.
B = 524288
mixed = {
    "text_then_random": text(21, B) + random.Random(22).randbytes(B) + text(23, 1000),
    "text_then_x86": text(24, B) + x86(25, B + 17),
    "random_then_text": random.Random(26).randbytes(B) + text(27, B + 1),
    "wav_then_text": kinds["wav3"][:B] + text(28, 600000),
    "bmp_then_zeros": kinds["bmp"][:B] + bytes(B) + b"\x01",
}
for name, data in mixed.items():
    with open(f"{out_dir}/mixed_{name}", "wb") as f:
        f.write(data)
EOF

# Class word and profile of each kind, as the detection should find them in
# the whole file (row widths and channel counts little-endian).
declare -A PROFILE=(
    [zeros]=01000000 [random]=01000000 [text]=01000000 [x86]=01000000
    [bmp]=000000000306000100000101
    [bmp_huge_width]=01000000
    [bmp_wide]=000000000306000000500101
    [ppm]=000000000306800200000101
    [ppm_no_width]=000000000306010000000101
    [wav3]=000000000306ffffffff0302
    [wav40]=000000002850ffffffff2802
    [wav24]=000000000204ffffffff0203
    [wav256]=01000000
    [aiff16]=000000000408ffffffff0202
    [aiff4]=01000000
    [jfif]=000000000102010000000101
)

# Loose bounds on the compressed size of the largest plain files: they catch
# a coder that stops modelling or a flat mode that expands, without pinning
# exact sizes.
declare -A BOUND=([zeros]=2000 [random]=$((LARGEST + LARGEST / 100)) [text]=$((LARGEST / 3)))

# Plain kinds get every size; media kinds every size up to the first
# boundary crossing (their later blocks behave like the plain kinds', and
# the sanitizer build is slow).
SMALL_SIZES="0 1 2 16 17 511 512"
# The small cases and the mixed files also go into one concatenation, which
# must restore them all in order: streams of both paths, empty and of
# several blocks, one after another.
: > all.vx
: > all.bin
for kind in zeros random text x86 bmp bmp_huge_width bmp_wide ppm ppm_no_width wav3 wav40 wav24 wav256 aiff16 aiff4 jfif; do
    case $kind in
        zeros | random | text | x86) sizes="$SMALL_SIZES $((BLOCK - 1)) $BLOCK $((BLOCK + 1)) $LARGEST" ;;
        *) sizes="$SMALL_SIZES $((BLOCK + 1))" ;;
    esac
    for size in $sizes; do
        head -c "$size" "gen/$kind" > in.bin
        # A second compression of every small case and of the largest one.
        twice=once
        if [ "$size" -le 512 ] || [ "$size" = "${sizes##* }" ]; then twice=twice; fi
        round_trip "$kind/$size" in.bin "$twice" || continue
        if [ "$size" -le 512 ]; then cat a.vx >> all.vx && cat in.bin >> all.bin; fi
        if [ "$size" -ge 512 ]; then
            got=$(profile_hex a.vx)
            want=${PROFILE[$kind]}
            [ "${got:0:${#want}}" = "$want" ] || fail "$kind/$size" "header bytes 4.. are $got, expected $want"
        fi
        if [ "$size" = "$LARGEST" ] && [ -n "${BOUND[$kind]:-}" ]; then
            packed=$(stat -c %s a.vx)
            [ "$packed" -le "${BOUND[$kind]}" ] || fail "$kind/$size" "compressed to $packed bytes, expected at most ${BOUND[$kind]}"
        fi
    done
done

for file in gen/mixed_*; do
    name=${file#gen/}
    round_trip "$name" "$file" once || continue
    cat a.vx >> all.vx && cat "$file" >> all.bin
    case $name in
        mixed_wav_* | mixed_bmp_*) want=00000000 ;;
        *) want=01000000 ;;
    esac
    got=$(profile_hex a.vx)
    [ "${got:0:8}" = "$want" ] || fail "$name" "class word is ${got:0:8}, expected $want (first block decides)"
done

run "concatenated streams" d all.vx restored
cmp -s all.bin restored || fail "concatenated streams" "$(cmp all.bin restored 2>&1 | head -1)"

echo "round_trip.sh: $checks runs, $failed failed checks"
[ "$failed" -eq 0 ]
