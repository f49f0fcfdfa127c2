"""Compression with vexa, in the shape of the standard library's bz2 and lzma.

    >>> import vexa
    >>> packed = vexa.compress(b"Hello, world. " * 100)
    >>> vexa.decompress(packed) == b"Hello, world. " * 100
    True

compress() and decompress() work on whole bytes-like objects; open() and
VexaFile read and write compressed files. Compressed bytes are exactly those
of the vexa program, and reading restores every stream of concatenated files,
as the program does. Coding releases the GIL, so threads compress in parallel.

With fsspec installed, fsspec (and through it pandas and Dask) reads and
writes vexa files as the compression "vexa", inferred from the extension
".vx", in every process that has imported vexa.
"""

from __future__ import annotations

import builtins
import importlib.util
import io
import os
import sys
import tempfile
from types import ModuleType
from typing import IO, Any, Callable, Optional, Union, cast

from ._vexa import BLOCK_CAPACITY as _BLOCK_CAPACITY
from ._vexa import LIBRARY_VERSION as _LIBRARY_VERSION
from ._vexa import MAX_INPUT_LENGTH, VexaError, VexaTruncatedError, compress, decompress
from ._vexa import Reader as _Reader
from ._vexa import compress_stream as _compress_stream

__all__ = ["MAX_INPUT_LENGTH", "VexaError", "VexaFile", "VexaTruncatedError", "compress", "decompress", "open"]
__version__: str = _LIBRARY_VERSION

_PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

_READ_CHUNK = _BLOCK_CAPACITY   # one block: the most the reader decodes at once


def _readinto_of(fp: IO[bytes]) -> Callable[[memoryview], int]:
    """The source's readinto, or one made of its read."""
    readinto = getattr(fp, "readinto", None)
    if readinto is not None:
        return cast(Callable[[memoryview], int], readinto)
    read = fp.read

    def read_into(buffer: memoryview) -> int:
        data = read(len(buffer))
        buffer[:len(data)] = data   # refuses str, and more bytes than asked for
        return len(data)

    return read_into


class _RestoredStream(io.RawIOBase):
    """The restored bytes of every stream in a binary file object, read from
    its current position. Seeking works on seekable sources by decoding
    again from the start (backwards) or decoding and dropping bytes
    (forwards), as bz2 and lzma do."""

    def __init__(self, fp: IO[bytes]) -> None:
        self._fp = fp
        seekable = getattr(fp, "seekable", None)
        self._start = fp.tell() if seekable is not None and seekable() else None
        self._reader = _Reader(_readinto_of(fp))
        self._pos = 0
        self._size: Optional[int] = None   # known once the end has been read

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return self._start is not None

    def readinto(self, buffer: Any) -> int:
        n = self._reader.readinto(buffer)
        self._pos += n
        if self._reader.eof:
            self._size = self._pos
        return n

    def readall(self) -> bytes:
        data = self._reader.readall()
        self._pos += len(data)
        self._size = self._pos
        return data

    def tell(self) -> int:
        return self._pos

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        if self._start is None:
            raise io.UnsupportedOperation("the underlying file is not seekable")
        if whence == io.SEEK_CUR:
            offset += self._pos
        elif whence == io.SEEK_END:
            # Streams store their own lengths, but where each one ends is
            # known only by decoding it.
            while self._size is None:
                self._skip(self._pos + _READ_CHUNK)
            offset += self._size
        elif whence != io.SEEK_SET:
            raise ValueError(f"invalid whence ({whence!r}, should be 0, 1 or 2)")
        offset = max(offset, 0)
        if offset < self._pos:
            self._reader.close()
            self._fp.seek(self._start)
            self._reader = _Reader(_readinto_of(self._fp))
            self._pos = 0
        self._skip(offset)
        return self._pos

    def _skip(self, offset: int) -> None:
        scratch = bytearray(min(offset - self._pos, _READ_CHUNK))
        while self._pos < offset:
            # Only 0 is the end: a short count can come before a failure,
            # which the next call raises.
            if self.readinto(memoryview(scratch)[: offset - self._pos]) == 0:
                break

    def close(self) -> None:
        if not self.closed:
            self._reader.close()
        super().close()


class VexaFile(io.BufferedIOBase):
    """A file object that reads vexa compressed data or writes a stream of it.

    `filename` is a path (str, bytes or os.PathLike), opened and closed here,
    or a binary file object, which is used from its current position and left
    open. `mode` is "r"/"rb" to read, "w"/"wb" to write, "x"/"xb" to create
    a file that must not exist yet, or "a"/"ab" to append a stream.

    Reading restores every stream of the file, one after another, as
    concatenated files hold them; zero bytes may follow the last one, as
    padding, and anything else raises VexaError once the data before it has
    been read. It decodes one block (512 KiB) at a time on the calling
    thread, with fixed memory whatever the size: one context (about 5 MiB
    of address space), held until the end of the data or close(), and a
    buffer of `buffer_size` bytes. Seeking is supported when the source is
    seekable, by decoding again.

    Writing collects the data in a temporary file, because the format stores
    the length first; close() compresses it into the target as one stream.
    Nothing reaches the target before close(), and the temporary file takes
    as much disk space as the uncompressed data.
    """

    def __init__(self, filename: Union[_PathLike, IO[bytes]], mode: str = "r", *,
                 buffer_size: int = io.DEFAULT_BUFFER_SIZE) -> None:
        self._is_closed = True   # until there is something to close
        self._reader: Optional[io.BufferedReader] = None
        self._pending: Optional[io.BufferedRandom] = None
        if mode in ("r", "rb"):
            self._mode = "rb"
        elif mode in ("w", "wb", "x", "xb", "a", "ab"):
            self._mode = mode[0] + "b"
        else:
            raise ValueError(f"invalid mode: {mode!r}")
        if isinstance(filename, (str, bytes, os.PathLike)):
            self._fp: IO[bytes] = builtins.open(filename, self._mode)
            self._close_fp = True
            self.name: Union[str, bytes] = os.fspath(filename)
        elif hasattr(filename, "read" if self._mode == "rb" else "write"):
            self._fp = filename
            self._close_fp = False
            self.name = getattr(filename, "name", "")
        else:
            raise TypeError("filename must be a str, bytes or os.PathLike object, or a binary file object")
        try:
            if self._mode == "rb":
                self._reader = io.BufferedReader(_RestoredStream(self._fp), buffer_size)
            else:
                self._pending = cast(io.BufferedRandom, tempfile.TemporaryFile())
        except BaseException:
            if self._close_fp:
                self._fp.close()
            raise
        self._is_closed = False

    # ---- state

    @property
    def mode(self) -> str:
        """"rb", "wb", "xb" or "ab"."""
        return self._mode

    @property
    def closed(self) -> bool:
        """True once close() has been called."""
        return self._is_closed

    def _check_open(self) -> None:
        if self._is_closed:
            raise ValueError("I/O operation on closed file")

    def _check_reading(self) -> io.BufferedReader:
        self._check_open()
        if self._reader is None:
            raise io.UnsupportedOperation("file not open for reading")
        return self._reader

    def _check_writing(self) -> io.BufferedRandom:
        self._check_open()
        if self._pending is None:
            raise io.UnsupportedOperation("file not open for writing")
        return self._pending

    def close(self) -> None:
        """Finish the file: when writing, compress the collected data into
        the target now. Closes the target or source if it was opened here."""
        if self._is_closed:
            return
        try:
            if self._reader is not None:
                self._reader.close()
            elif self._pending is not None:
                pending = self._pending
                size = pending.tell()
                pending.seek(0)
                _compress_stream(size, pending.readinto, self._fp.write)
        finally:
            try:
                if self._pending is not None:
                    self._pending.close()
                if self._close_fp:
                    self._fp.close()
            finally:
                self._is_closed = True
                self._reader = None
                self._pending = None

    def fileno(self) -> int:
        """The file descriptor of the underlying file."""
        self._check_open()
        return self._fp.fileno()

    def seekable(self) -> bool:
        """Whether seek() works: when reading from a seekable source."""
        return self.readable() and self._check_reading().seekable()

    def readable(self) -> bool:
        """Whether the file was opened for reading."""
        self._check_open()
        return self._reader is not None

    def writable(self) -> bool:
        """Whether the file was opened for writing."""
        self._check_open()
        return self._pending is not None

    # ---- reading

    def read(self, size: Optional[int] = -1) -> bytes:
        """Read up to `size` restored bytes; all that is left when size is
        negative or None. Returns b"" at the end."""
        return self._check_reading().read(size)

    def read1(self, size: int = -1) -> bytes:
        """Read restored bytes, decoding at most once: what is buffered, or
        else up to one block."""
        return self._check_reading().read1(size)

    def readinto(self, buffer: Any) -> int:
        """Read restored bytes into a writable bytes-like object."""
        return self._check_reading().readinto(buffer)

    def peek(self, size: int = 0) -> bytes:
        """Return buffered bytes without moving the position; at least one
        unless at the end."""
        return self._check_reading().peek(size)

    def readline(self, size: Optional[int] = -1) -> bytes:
        """Read one line, up to and including b"\\n"."""
        return self._check_reading().readline(size)

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        """Move to a position of the restored data (emulated: backwards
        decodes again from the start). io.UnsupportedOperation when the
        source is not seekable or the file is open for writing."""
        return self._check_reading().seek(offset, whence)

    def tell(self) -> int:
        """The position in the restored data, or the bytes written so far."""
        if self._pending is not None:
            return self._pending.tell()
        return self._check_reading().tell()

    # ---- writing

    def write(self, data: Any) -> int:
        """Add a bytes-like object to the data to compress; returns its
        length in bytes."""
        pending = self._check_writing()
        with memoryview(data) as view:
            size = view.nbytes
            if pending.tell() + size > MAX_INPUT_LENGTH:
                raise ValueError("vexa compresses less than 4 GiB in one stream")
            pending.write(view)
        return size

    def flush(self) -> None:
        """Nothing reaches the target before close(); kept for the file API."""
        self._check_open()


def open(filename: Union[_PathLike, IO[bytes]], mode: str = "rb", *, encoding: Optional[str] = None,
         errors: Optional[str] = None, newline: Optional[str] = None) -> Union[VexaFile, io.TextIOWrapper]:
    """Open a vexa compressed file in binary or text mode, as bz2.open does.

    `filename` is a path or a binary file object. Binary modes are "r", "rb",
    "w", "wb", "x", "xb", "a" and "ab" and give a VexaFile; text modes "rt",
    "wt", "xt" and "at" wrap one in io.TextIOWrapper with `encoding`, `errors`
    and `newline`, which binary modes refuse.
    """
    if "t" in mode:
        if "b" in mode:
            raise ValueError(f"invalid mode: {mode!r}")
    else:
        if encoding is not None:
            raise ValueError("argument 'encoding' not supported in binary mode")
        if errors is not None:
            raise ValueError("argument 'errors' not supported in binary mode")
        if newline is not None:
            raise ValueError("argument 'newline' not supported in binary mode")
    binary = VexaFile(filename, mode.replace("t", ""))
    if "t" in mode:
        return io.TextIOWrapper(cast(IO[bytes], binary), io.text_encoding(encoding), errors, newline)
    return binary


# ---- fsspec

def _register_with_fsspec(compression: ModuleType) -> None:
    compression.register_compression("vexa", VexaFile, "vx", force=True)


class _RegisterWhenFsspecLoads:
    """Registers vexa with fsspec as fsspec.compression is first imported:
    importing fsspec here would add a tenth of a second to every
    `import vexa`, used with fsspec or not."""

    def find_spec(self, name: str, path: Any, target: Any = None) -> Any:
        if name != "fsspec.compression":
            return None
        for finder in sys.meta_path:
            find = getattr(finder, "find_spec", None)
            found = find(name, path, target) if finder is not self and find is not None else None
            if found is not None:
                break
        else:
            return None
        loader = found.loader
        if loader is None or not hasattr(loader, "exec_module"):
            return found
        exec_module = loader.exec_module

        # A module may be found and never loaded: the finder stays until the
        # module has really been run.
        def exec_and_register(module: ModuleType) -> None:
            exec_module(module)
            _register_with_fsspec(module)
            if self in sys.meta_path:
                sys.meta_path.remove(self)

        loader.exec_module = exec_and_register
        return found


if "fsspec.compression" in sys.modules:
    _register_with_fsspec(sys.modules["fsspec.compression"])
elif importlib.util.find_spec("fsspec") is not None:
    sys.meta_path.insert(0, _RegisterWhenFsspecLoads())
