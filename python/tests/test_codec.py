"""vexa.compress and vexa.decompress: the command line's bytes, round trips,
every kind of buffer, hostile input, wrong arguments, threads."""

import array
import random
import subprocess
import sys
import threading
import time

import pytest
import vexa

from conftest import BLOCK, KINDS, find_cli, reference_files

SIZES = (0, 1, 16, 17, BLOCK, BLOCK + 1)


@pytest.fixture(scope="module")
def cli():
    return find_cli()


# Compressing through the module must give the program's bytes, and those
# bytes must restore the file. Without a built program, the bytes kept
# beside each file stand for its output (the program's own tests pin them).
@pytest.mark.parametrize("case", reference_files(), ids=lambda case: case[0].name)
def test_same_bytes_as_the_command_line(case, cli, tmp_path):
    path, kept = case
    if cli is None:
        expected = kept.read_bytes()
    else:
        subprocess.run([cli, "c", path, tmp_path / "out.vx"], check=True, stdout=subprocess.DEVNULL)
        expected = (tmp_path / "out.vx").read_bytes()
    data = path.read_bytes()
    assert vexa.compress(data) == expected
    assert vexa.decompress(expected) == data


# `cat *.vx` restores as the files' data concatenated, through both ways of
# reading.
def test_reference_files_concatenated(tmp_path):
    cases = reference_files()
    joined = tmp_path / "all.vx"
    joined.write_bytes(b"".join(packed.read_bytes() for _, packed in cases))
    expected = b"".join(data.read_bytes() for data, _ in cases)
    assert vexa.decompress(joined.read_bytes()) == expected
    with vexa.open(joined) as f:
        assert f.read() == expected


@pytest.mark.parametrize("kind", KINDS)
def test_round_trips(samples, kind):
    for size in SIZES:
        data = samples[kind][:size]
        packed = vexa.compress(data)
        assert vexa.decompress(packed) == data, f"{kind}, {size} bytes"
        assert vexa.compress(data) == packed, f"{kind}, {size} bytes: a second run differs"


def test_every_kind_of_buffer(samples):
    data = samples["wave"][: 3 * 4096]
    packed = vexa.compress(data)
    for obj in (bytearray(data), memoryview(data), array.array("h", data), memoryview(b"xx" + data + b"yy")[2:-2]):
        assert vexa.compress(obj) == packed, type(obj).__name__
    assert vexa.decompress(bytearray(packed)) == data
    assert vexa.decompress(memoryview(b"??" + packed)[2:]) == data


def test_numpy_arrays():
    np = pytest.importorskip("numpy")
    sound = (np.sin(np.arange(100000) * 0.01) * 8000).astype("<i2").reshape(-1, 2)
    packed = vexa.compress(sound)
    assert packed == vexa.compress(sound.tobytes())
    restored = np.frombuffer(vexa.decompress(packed), dtype="<i2").reshape(-1, 2)
    assert np.array_equal(restored, sound)
    with pytest.raises(ValueError, match="contiguous"):
        vexa.compress(sound[::2])   # refused by numpy: no silent copy


def test_concatenated_streams_and_what_may_follow_them(samples):
    a, b = samples["text"][:3000], samples["bitmap"][:BLOCK + 1]
    pa, pb = vexa.compress(a), vexa.compress(b)
    assert vexa.decompress(pa + pb) == a + b
    assert vexa.decompress(vexa.compress(b"") + pa + vexa.compress(b"")) == a
    for zeros in (1, 7, 9, 1000):   # padding
        assert vexa.decompress(pa + bytes(zeros)) == a, zeros
    # Anything else after a complete stream is refused, and the message says
    # where the complete streams end.
    where = f"ends at byte {len(pa)} "
    for tail in (b"\x01", b"abc", pb[:20], pb[:-1], pb[:-64], random.Random(2).randbytes(100)):
        with pytest.raises(vexa.VexaError, match=where):
            vexa.decompress(pa + tail)
    with pytest.raises(EOFError):
        vexa.decompress(pa + pb[:-1])


def test_truncated_and_damaged_data_raise_vexa_error(samples):
    packed = vexa.compress(samples["text"][:3000])
    for cut in range(len(packed)):
        with pytest.raises(vexa.VexaTruncatedError):
            vexa.decompress(packed[:cut])
    # As bz2 and lzma raise EOFError, and gzip an OSError.
    assert issubclass(vexa.VexaTruncatedError, EOFError) and issubclass(vexa.VexaError, OSError)
    with pytest.raises(vexa.VexaError, match="^compressed data is truncated$"):
        vexa.decompress(packed[:-1])
    with pytest.raises(vexa.VexaError, match="^compressed data is damaged$"):
        vexa.decompress(vexa.compress(b"")[:-1] + b"\x01")   # an empty stream's coder bytes are zeros
    # A length of 4 GiB - 1 over a short body: refused, never allocated.
    # Under a limit of 1 GB of address space, 24 bytes that claim 2 GiB are
    # an error of the data, not MemoryError.
    with pytest.raises(vexa.VexaTruncatedError):
        vexa.decompress(b"\xff\xff\xff\xff" + packed[4:])
    script = ("import resource, sys, vexa\n"
              "resource.setrlimit(resource.RLIMIT_AS, (10**9, 10**9))\n"
              "data = (2**31).to_bytes(4, 'little') + vexa.compress(bytes(100))[4:24]\n"
              "try:\n    vexa.decompress(data)\nexcept vexa.VexaError as e:\n    print(type(e).__name__)\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert (done.returncode, done.stdout) == (0, "VexaTruncatedError\n"), done.stderr

    # Damage anywhere else either decodes into bytes of the stored length
    # (there is no checksum) or is refused; nothing else may happen.
    rnd = random.Random(1)
    big = vexa.compress(samples["bitmap"][:40000] + samples["text"][:40000])
    for trial in range(100):
        damaged = bytearray(big)
        for _ in range(rnd.randrange(1, 4)):
            damaged[rnd.randrange(4, len(damaged))] ^= 1 << rnd.randrange(8)
        try:
            assert len(vexa.decompress(damaged)) == 80000, f"trial {trial}"
        except vexa.VexaError:
            pass


def test_wrong_arguments():
    for bad in ("text", 3, None, [1, 2]):
        with pytest.raises(TypeError):
            vexa.compress(bad)
        with pytest.raises(TypeError):
            vexa.decompress(bad)
    with pytest.raises(TypeError):
        vexa.compress()
    with pytest.raises(TypeError):
        vexa.compress(b"a", b"b")


def test_input_of_4_gib_is_refused():
    np = pytest.importorskip("numpy")
    try:
        huge = np.zeros(vexa.MAX_INPUT_LENGTH + 1, dtype=np.uint8)   # pages never touched
    except MemoryError:
        pytest.skip("no 4 GiB of address space")
    with pytest.raises(ValueError, match="4 GiB"):
        vexa.compress(huge)


def test_threads_compress_at_once_without_the_gil(samples):
    inputs = [samples[kind] for kind in KINDS]
    expected = [vexa.compress(data) for data in inputs]
    results = {}
    start = threading.Barrier(len(inputs))

    def work(i):
        start.wait()
        packed = vexa.compress(inputs[i])
        results[i] = (packed, vexa.decompress(packed))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(inputs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, data in enumerate(inputs):
        assert results[i] == (expected[i], data), KINDS[i]

    # While one thread is inside compress(), this one keeps running: the GIL
    # is free. Were it held, this thread would stand still for nearly all of
    # the call.
    span = {}

    def timed():
        span["start"] = time.perf_counter()
        vexa.compress(inputs[0] * 2)
        span["end"] = time.perf_counter()

    worker = threading.Thread(target=timed)
    steps = []
    worker.start()
    while worker.is_alive():
        steps.append(time.perf_counter())
    worker.join()
    marks = [span["start"], *(t for t in steps if span["start"] < t < span["end"]), span["end"]]
    longest_stop = max(b - a for a, b in zip(marks, marks[1:]))
    assert longest_stop < (span["end"] - span["start"]) / 3, f"stood still {longest_stop:.3f} s"
