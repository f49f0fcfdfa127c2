"""vexa.open and VexaFile: reading in every pattern, seeking, text mode,
writing, and failures of the data, the source and the caller; the pull
reader beneath them."""

import io
import itertools
import os
import subprocess
import sys

import pytest
import vexa
from vexa import _vexa

from conftest import BLOCK


@pytest.fixture(scope="module")
def packed(english):
    return vexa.compress(english)


@pytest.fixture
def packed_path(tmp_path, packed):
    path = tmp_path / "english.vx"
    path.write_bytes(packed)
    return path


class OneWay(io.RawIOBase):
    """A source that cannot seek and gives at most `most` bytes a read,
    as a pipe does."""

    def __init__(self, data, most=1000):
        self._data = memoryview(data)
        self._most = most

    def readable(self):
        return True

    def readinto(self, buffer):
        n = min(len(buffer), self._most, len(self._data))
        buffer[:n] = self._data[:n]
        self._data = self._data[n:]
        return n


def task_count():
    return len(os.listdir("/proc/self/task"))


def test_reads_of_every_size_give_the_data(packed_path, packed, english):
    for sizes in ((1, 7, 4093), (BLOCK - 1,), (BLOCK + 3,), (100000, 1)):
        with vexa.open(packed_path) as f:
            parts = []
            while part := f.read(sizes[len(parts) % len(sizes)]):
                parts.append(part)
        assert b"".join(parts) == english, sizes
    with vexa.open(io.BufferedReader(OneWay(packed))) as f:
        assert f.read() == english
    with vexa.open(packed_path) as f:
        buffer = bytearray(5000)
        assert f.readinto(buffer) == 5000 and buffer == english[:5000]
        assert f.read1(10) == english[5000:5010]
        assert f.peek(1)[:1] == english[5010:5011]


def test_lines_and_iteration(packed_path, english):
    lines = english.splitlines(keepends=True)
    with vexa.open(packed_path) as f:
        assert f.readline() == lines[0]
        assert f.readline(3) == lines[1][:3]
        assert f.readline() == lines[1][3:]
        assert list(f) == lines[2:]
        assert f.readline() == b""
    with vexa.open(packed_path, "rt", encoding="ascii") as t:
        assert t.readlines() == english.decode().splitlines(keepends=True)


def test_seek_and_tell(packed_path, packed, english):
    with vexa.open(packed_path) as f:
        assert f.seekable()
        assert f.read(10) == english[:10] and f.tell() == 10
        assert f.seek(BLOCK + 5) == BLOCK + 5 and f.read(4) == english[BLOCK + 5:BLOCK + 9]
        assert f.seek(3) == 3 and f.read(4) == english[3:7]            # backwards: decoded again
        assert f.seek(-6, io.SEEK_END) == len(english) - 6 and f.read() == english[-6:]
        assert f.seek(-10, io.SEEK_CUR) == len(english) - 10 and f.read(2) == english[-10:-8]
        assert f.seek(len(english) + 100) == len(english) and f.read() == b""
        with pytest.raises(ValueError):
            f.seek(0, 7)
    # Two streams that start part-way into their file: the end is found by
    # decoding both.
    source = io.BytesIO(b"prefix" + packed + packed)
    source.seek(6)
    with vexa.open(source) as f:
        f.read(100)
        f.seek(0)
        assert f.read(20) == english[:20]
        assert f.seek(-5, io.SEEK_END) == 2 * len(english) - 5 and f.read() == english[-5:]
        assert f.seek(len(english) - 2) == len(english) - 2 and f.read(4) == english[-2:] + english[:2]
    with vexa.open(io.BufferedReader(OneWay(packed))) as f:
        assert not f.seekable()
        assert f.read(3) == english[:3] and f.tell() == 3
        with pytest.raises(io.UnsupportedOperation):
            f.seek(0)


def test_write_and_read_back(tmp_path, english):
    path = tmp_path / "w.vx"
    with vexa.open(path, "wb") as f:
        assert f.writable() and not f.readable()
        for i in range(0, len(english), 100003):
            assert f.write(memoryview(english)[i:i + 100003]) == len(english[i:i + 100003])
        assert f.tell() == len(english)
        with pytest.raises(io.UnsupportedOperation):
            f.read()
        with pytest.raises(io.UnsupportedOperation):
            f.seek(0)
        assert not path.read_bytes()   # nothing before close()
    assert path.read_bytes() == vexa.compress(english)
    with vexa.open(path) as f:
        assert f.read() == english

    target = io.BytesIO()
    with vexa.VexaFile(target, "w") as f:
        f.write(b"")
    assert not target.closed and target.getvalue() == vexa.compress(b"")

    text = "caf\u00e9 na\u00efve\nline two\r\nthree"
    with vexa.open(tmp_path / "t.vx", "wt", encoding="utf-8", newline="") as t:
        t.write(text)
    with vexa.open(tmp_path / "t.vx", "rt", encoding="utf-8", newline="") as t:
        assert t.read() == text
    with vexa.open(tmp_path / "t.vx", "rt", encoding="utf-8") as t:
        assert t.read() == text.replace("\r\n", "\n")

    # Appending adds a stream; reading restores both.
    with vexa.open(path, "a") as f:
        f.write(b"appended")
    with vexa.open(path, "at", encoding="ascii") as t:
        t.write(" and text")
    assert vexa.decompress(path.read_bytes()) == english + b"appended and text"

    with pytest.raises(FileExistsError):
        vexa.open(path, "xb")
    with vexa.open(tmp_path / "new.vx", "x") as f:
        f.write(b"abc")
    assert vexa.decompress((tmp_path / "new.vx").read_bytes()) == b"abc"


def test_bad_data_and_failing_sources(packed, english):
    for cut in (2, 20, len(packed) // 2, len(packed) - 1):
        with vexa.open(io.BytesIO(packed[:cut])) as f:
            with pytest.raises(vexa.VexaError, match="truncated|damaged"):
                f.read()
            with pytest.raises(vexa.VexaError):   # and again, not a hang or a crash
                f.read(1)
    with vexa.open(io.BytesIO(packed + bytes(100))) as f:   # padding
        assert f.read() == english
    # All that comes before bytes that are not a stream is read, then they
    # are refused, with where the complete streams end.
    for tail, error in ((packed[:20], vexa.VexaTruncatedError), (b"\x07" * 20, vexa.VexaError)):
        with vexa.open(io.BytesIO(packed + tail)) as f:
            parts = []
            with pytest.raises(error, match=f"ends at byte {len(packed)} "):
                while part := f.read1(100000):
                    parts.append(part)
            assert b"".join(parts) == english
        with vexa.open(io.BytesIO(packed + tail)) as f, pytest.raises(error):
            f.read()

    class Failing(OneWay):
        def readinto(self, buffer):
            if len(self._data) < len(packed) // 2:
                raise OSError("disk on fire")
            return super().readinto(buffer)

    with vexa.open(io.BufferedReader(Failing(packed, most=4096), 4096)) as f:
        assert f.read(1000) == english[:1000]
        with pytest.raises(OSError, match="disk on fire"):
            f.read()

    class NotBytes:
        def read(self, n):
            return "text"

    with vexa.open(NotBytes()) as f, pytest.raises(TypeError):
        f.read(1)


def test_wrong_arguments(tmp_path, packed_path):
    for mode in ("a+", "rw", "rbt", "", "wtb", "r+"):
        with pytest.raises(ValueError):
            vexa.open(tmp_path / "x.vx", mode)
    with pytest.raises(ValueError):
        vexa.open(packed_path, "rb", encoding="utf-8")
    with pytest.raises(TypeError):
        vexa.open(42)
    with pytest.raises(TypeError):
        vexa.open(io.BytesIO(), "w").write("text")
    f = vexa.open(packed_path)
    f.close()
    f.close()
    assert f.closed
    with pytest.raises(ValueError):
        f.read()


def test_the_pull_reader_at_its_edges(packed, english):
    r = _vexa.Reader(io.BytesIO(packed).readinto)
    assert r.readinto(bytearray(0)) == 0 and not r.eof
    got = bytearray()
    for size in itertools.cycle((1, 3, 4093, BLOCK + 7)):
        buffer = bytearray(size)
        n = r.readinto(buffer)
        if n == 0:
            break
        got += buffer[:n]
    assert got == english and r.eof
    assert r.readinto(bytearray(5)) == 0 and r.readall() == b""   # after the end
    r.close()
    r.close()
    with pytest.raises(ValueError):
        r.readinto(bytearray(1))

    half = _vexa.Reader(io.BytesIO(packed).readinto)
    assert half.readinto(bytearray(BLOCK + 1)) == BLOCK + 1
    half.close()
    with pytest.raises(ValueError):
        half.readall()


def test_readers_take_no_thread_and_go_on_after_fork(packed, english):
    before = task_count()
    readers = [vexa.open(io.BytesIO(packed)) for _ in range(20)]
    for f in readers:
        assert f.read(10) == english[:10]
    assert task_count() == before
    for f in readers[:10]:
        f.close()
    del f, readers   # the rest by garbage collection, unclosed

    with vexa.open(io.BytesIO(packed)) as f:
        f.read(10)
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                code = 0 if f.read() == english[10:] else 2
            finally:
                os._exit(code)
        assert os.waitpid(pid, 0)[1] == 0
        assert f.read() == english[10:]


def test_reading_uses_fixed_memory(tmp_path):
    # 16 MB of zeros compresses to a few KB; restoring them through a reader
    # must not raise the peak resident size of a fresh process by more than
    # its context and buffers.
    path = tmp_path / "zeros.vx"
    path.write_bytes(vexa.compress(bytes(16 * 10**6)))
    script = (
        "import resource, sys, vexa\n"
        "base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "with vexa.open(sys.argv[1]) as f:\n"
        "    while f.read(1 << 20): pass\n"
        "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base)\n"
    )
    grown_kib = int(subprocess.run([sys.executable, "-c", script, str(path)], check=True, cwd=tmp_path,
                                   capture_output=True, text=True).stdout)
    assert grown_kib < 10 * 1024
