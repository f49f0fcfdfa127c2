"""vexa.compress and vexa.decompress: the command line's bytes, round trips,
every kind of buffer, hostile input, wrong arguments, threads."""

import array
import random
import subprocess
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
    # Bytes after the end of the stream are not the stream's.
    assert vexa.decompress(packed + b"trailing") == data


def test_numpy_arrays():
    np = pytest.importorskip("numpy")
    sound = (np.sin(np.arange(100000) * 0.01) * 8000).astype("<i2").reshape(-1, 2)
    packed = vexa.compress(sound)
    assert packed == vexa.compress(sound.tobytes())
    restored = np.frombuffer(vexa.decompress(packed), dtype="<i2").reshape(-1, 2)
    assert np.array_equal(restored, sound)
    with pytest.raises(ValueError, match="contiguous"):
        vexa.compress(sound[::2])   # refused by numpy: no silent copy


def test_truncated_and_damaged_data_raise_vexa_error(samples):
    packed = vexa.compress(samples["text"][:3000])
    for cut in range(len(packed)):
        with pytest.raises(vexa.VexaError):
            vexa.decompress(packed[:cut])
    with pytest.raises(vexa.VexaError, match="truncated"):
        vexa.decompress(packed[:-1])
    with pytest.raises(vexa.VexaError, match="damaged"):
        vexa.decompress(b"\x01\x00")
    # A length of 4 GiB - 1 over a short body: refused, not trusted.
    with pytest.raises(vexa.VexaError, match="truncated"):
        vexa.decompress(b"\xff\xff\xff\xff" + packed[4:])

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
