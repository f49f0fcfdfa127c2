"""Shared fixtures: where the repository's files are, the command line if it
has been built, and seeded data of the kinds the compressor treats apart."""

import math
import os
import random
import struct
from pathlib import Path

import pytest
from vexa._vexa import BLOCK_CAPACITY as BLOCK

REPO = Path(__file__).resolve().parents[2]
CORPUS = Path(os.environ.get("VEXA_CORPUS", REPO.parent / "shared" / "corpus"))


def reference_files():
    """(input, its compressed bytes as kept beside it): the golden files,
    the shipped samples, and the corpus when it is there."""
    golden = REPO / "tests" / "golden"
    pairs = [(p, p.with_name(p.name + ".vx")) for p in sorted(golden.iterdir())]
    for folder in (REPO / "tests" / "samples", CORPUS):
        if folder.is_dir():
            pairs += [(p, folder / "expected" / (p.name + ".vx")) for p in sorted(folder.iterdir())]
    return [(data, packed) for data, packed in pairs if data.is_file() and packed.is_file()]


def find_cli():
    """The vexa program: $VEXA_CLI, else a release or test build in build/."""
    named = os.environ.get("VEXA_CLI")
    candidates = [Path(named)] if named else [REPO / "build" / "release" / "vexa", REPO / "build" / "test" / "vexa"]
    return next((p for p in candidates if p.is_file() and os.access(p, os.X_OK)), None)


WORDS = ("the of and to in that was with which nation said have this from were there whale ship sea "
         "captain white ocean all but for had her him not now one out she you would could then").split()


def text(n, seed=3):
    rnd = random.Random(seed)
    words = []
    total = 0
    while total < n:
        w = rnd.choice(WORDS) + (rnd.choice(".,;") if rnd.random() < 0.08 else "")
        w += "\n" if rnd.random() < 0.06 else ""
        words.append(w)
        total += len(w) + 1
    return " ".join(words).encode()[:n]


def bitmap(n, width=256):
    """A 24-bit Windows bitmap: smooth rows with a little noise."""
    rows = 64
    header = (b"BM" + struct.pack("<IHHI", n, 0, 0, 54)
              + struct.pack("<IiiHHIIiiII", 40, width, rows, 1, 24, 0, 0, 0, 0, 0, 0))
    rnd = random.Random(width)
    image = bytes((x * 3 // 4 + y * 2 + (x % 3) * 40 + rnd.randrange(6)) & 255
                  for y in range(rows) for x in range(3 * width))
    return (header + image * (n // len(image) + 1))[:n]


def wave(n, channels=2):
    """16-bit PCM WAVE: a sine per channel with a little noise."""
    rnd = random.Random(channels)
    frames = n // (2 * channels) + 1
    samples = [int(8000 * math.sin(f * (0.01 + 0.003 * c))) + rnd.randrange(-40, 41)
               for f in range(frames) for c in range(channels)]
    body = struct.pack(f"<{len(samples)}h", *samples)
    fmt = struct.pack("<HHIIHH", 1, channels, 44100, 44100 * 2 * channels, 2 * channels, 16)
    header = b"RIFF" + struct.pack("<I", n - 8) + b"WAVEfmt " + struct.pack("<I", 16) + fmt + b"data" + struct.pack("<I", n - 44)
    return (header + body)[:n]


KINDS = ("text", "random", "bitmap", "wave")
LARGEST = BLOCK + 1


@pytest.fixture(scope="session")
def samples():
    """One sample of each kind, LARGEST bytes; a case of size n is its first
    n bytes, so that small media cases cut their headers short."""
    return {
        "text": text(LARGEST),
        "random": random.Random(5).randbytes(LARGEST),
        "bitmap": bitmap(LARGEST),
        "wave": wave(LARGEST),
    }


@pytest.fixture(scope="session")
def english():
    """A few blocks of text with lines, for the file tests."""
    return text(3 * BLOCK + 4321, seed=11)
