"""The text of what readers are given, and bytes to the outputs writers
take.  String readers keep a byte-order mark; file readers drop one."""

from __future__ import annotations

import importlib
import io
import itertools
import os
from collections.abc import Iterable, Mapping
from typing import Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Protocol, Tuple, Type, TypeVar, Union

from ._errors import CompressionError, utf8_error

# Runtime aliases spell the generics through ``typing`` so that they also
# evaluate on Python 3.9.
Records = List[Dict[str, str]]
"""What every reader returns: the records in document order."""

RecordsIn = Iterable[Mapping[str, str]]
"""What every writer accepts: any iterable of mappings of str to str."""

StrPath = Union[str, "os.PathLike[str]"]
Data = Union[str, bytes, bytearray, memoryview]

_T_co = TypeVar("_T_co", covariant=True)
_T_contra = TypeVar("_T_contra", contravariant=True)


class SupportsRead(Protocol[_T_co]):
    """A file object opened for reading, in binary or in text mode."""

    def read(self) -> _T_co: ...


class SupportsWrite(Protocol[_T_contra]):
    """A file object opened for writing, in binary or in text mode."""

    def write(self, data: _T_contra, /) -> object: ...


Readable = Union[SupportsRead[bytes], SupportsRead[str]]
Writable = Union[SupportsWrite[bytes], SupportsWrite[str]]

BOM = b"\xef\xbb\xbf"


def decode(data: Union[bytes, bytearray, memoryview], skip: int = 0) -> str:
    """Strict UTF-8 decoding from byte ``skip`` on; the error names the byte
    offset in ``data``."""
    try:
        return str(memoryview(data)[skip:], "utf-8")
    except UnicodeDecodeError as error:
        raise utf8_error(error, data, skip) from None


def text_arg(data: object, name: str) -> str:
    """The text of a string reader's argument: a str as it is, bytes decoded
    strictly as UTF-8 (a byte-order mark stays part of the text)."""
    if isinstance(data, str):
        return data
    if isinstance(data, (bytes, bytearray, memoryview)):
        return decode(data)
    raise TypeError(f"{name}() takes str or bytes, not {type(data).__name__}")


def bom_length(data: Union[str, bytes, bytearray, memoryview]) -> int:
    """How much of the start of a file's content is a byte-order mark."""
    if isinstance(data, str):
        return 1 if data.startswith("\ufeff") else 0
    return 3 if bytes(data[:3]) == BOM else 0


def chunks(fp: Any, size: int) -> Tuple[int, Iterator[bytes]]:
    """The bytes of a binary or text file object, ``size`` at a time, without
    a leading byte-order mark, and how many bytes the mark took."""

    def read() -> Iterator[bytes]:
        while data := fp.read(size):
            if isinstance(data, str):
                data = data.encode("utf-8", "surrogatepass")
            elif not isinstance(data, (bytes, bytearray, memoryview)):
                raise TypeError(f"read() returned {type(data).__name__}, not str or bytes")
            yield data

    raw = read()
    head = b""  # the first bytes, until they show whether a mark is there
    for data in raw:
        head += data
        if len(head) >= len(BOM) or not BOM.startswith(head):
            break
    skip = bom_length(head)
    return skip, itertools.chain([head[skip:]] if len(head) > skip else [], raw)


def position(data: Union[bytes, bytearray, memoryview], pos: int) -> Tuple[int, int, int]:
    """The line and column (from 1) and the character offset of byte ``pos``
    of UTF-8 ``data``."""
    head = str(data[:pos], "utf-8", "replace")
    line_start = head.rfind("\n") + 1
    return head.count("\n") + 1, len(head) - line_start + 1, len(head)


def file_text(data: object, name: str) -> str:
    """The text of what a file object's read() returned, without a leading
    byte-order mark."""
    if isinstance(data, str):
        return data[bom_length(data) :]
    if isinstance(data, (bytes, bytearray, memoryview)):
        return decode(data, bom_length(data))
    raise TypeError(f"{name}: read() returned {type(data).__name__}, not str or bytes")


def is_text_file(fp: object) -> bool:
    """Whether a file object for writing takes str rather than bytes."""
    if isinstance(fp, io.TextIOBase):
        return True
    if isinstance(fp, (io.RawIOBase, io.BufferedIOBase)):
        return False
    try:
        fp.write(b"")  # type: ignore[attr-defined]
    except TypeError:
        return True
    return False


def appends(fp: object) -> bool:
    """Whether a file object or descriptor for writing is in append mode:
    every write then goes to the end of the file, whatever its position,
    so nothing already written can be overwritten."""
    import fcntl

    try:
        fd = fp if isinstance(fp, int) else fp.fileno()  # type: ignore[attr-defined]
        if fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_APPEND:
            return True
    except (AttributeError, OSError, ValueError):
        pass  # no descriptor (io.UnsupportedOperation is an OSError)
    mode = getattr(fp, "mode", None)
    return isinstance(mode, str) and "a" in mode


def byte_writer(fp: Writable) -> Callable[[bytes], object]:
    """A function that writes UTF-8 bytes to ``fp``: all of them to a binary
    file (a file object's write() may take only part of a large chunk, for
    instance a pipe whose reader went away; the rest is written again, so
    the failure shows), decoded to a text file.  The writers hand over
    whole records, so no character is ever cut."""
    if is_text_file(fp):
        write_text = fp.write
        return lambda chunk: write_text(chunk.decode("utf-8"))  # type: ignore[arg-type]
    write = fp.write

    def write_all(chunk: bytes) -> None:
        done = write(chunk)  # type: ignore[arg-type]
        if not isinstance(done, int) or done >= len(chunk):
            return
        rest = memoryview(chunk)[done:]
        while rest:
            done = write(rest)  # type: ignore[arg-type]
            if not isinstance(done, int) or done <= 0:
                raise BlockingIOError(f"the output took only part of the data ({len(chunk) - len(rest)} of {len(chunk)} bytes)")
            rest = rest[done:]

    return write_all


# --------------------------------------------------------------------------
# Compressed files


_RAW_CHUNK = 1 << 18  # compressed bytes read at a time
_OUT_LIMIT = 1 << 20  # the most decompressed bytes one call into a decompressor returns


class Decompressor(Protocol):
    """A decompressor of one stream, shaped as ``bz2.BZ2Decompressor``:
    decompress() returns at most ``max_length`` bytes and keeps the input
    it has not used; ``needs_input`` is false while it can give more output
    without new input (it is then called with b"")."""

    @property
    def eof(self) -> bool: ...

    @property
    def unused_data(self) -> bytes: ...

    @property
    def needs_input(self) -> bool: ...

    def decompress(self, data: bytes, max_length: int) -> bytes: ...


class Codec(NamedTuple):
    """A compression: a new decompressor and compressor for one stream
    each, and the exceptions its decompressor raises for damaged input."""

    decompressor: Callable[[], Decompressor]
    compressor: Callable[[], Any]
    errors: Tuple[Type[BaseException], ...]


class _Adapter:
    """A :class:`Decompressor` around a library's own, whose end of stream
    and unused input it reports."""

    def __init__(self, inner: Any) -> None:
        self._inner = inner
        self.needs_input = True

    @property
    def eof(self) -> bool:
        return bool(self._inner.eof)

    @property
    def unused_data(self) -> bytes:
        return bytes(self._inner.unused_data)


class _Inflate(_Adapter):
    """zlib's decompressor: zlib keeps the input beyond ``max_length`` in
    ``unconsumed_tail``, and output that filled ``max_length`` may have
    more behind it."""

    def decompress(self, data: bytes, max_length: int) -> bytes:
        out: bytes = self._inner.decompress(data or self._inner.unconsumed_tail, max_length)
        self.needs_input = not self._inner.unconsumed_tail and len(out) < max_length
        return out


_Part = Optional[Tuple[int, int, Callable[[bytes, int], Any]]]  # length, most output, next measure


class _ZstdFrame(_Adapter):
    """zstandard's decompressor of one frame.

    zstandard returns all the output of the input it is given, however
    large, so the input is measured first and handed over a whole block at
    a time, as many blocks as give at most ``max_length`` bytes together:
    each block's header tells its length and how much it gives (its run for
    an RLE block, at most 128 KiB for a compressed one).  Frame headers,
    checksums and skippable frames give nothing and go through as they
    arrive.  The decompressor itself still checks everything it is given.
    """

    _BLOCK_MAX = 1 << 17  # the most a compressed block gives

    def __init__(self, zstd: Any) -> None:
        super().__init__(zstd.ZstdDecompressor().decompressobj())
        self._zstd = zstd
        self._input = b""  # compressed bytes not handed over yet
        self._free = 0  # bytes still to hand over of a part that gives nothing
        self._next: Callable[[bytes, int], _Part] = self._start  # measures the next part
        self._waiting: _Part = None  # the next part, measured, until it can be handed over
        self._checksum = 0  # the length of the frame's checksum

    # Each measure takes the input and where the next part starts in it, and
    # returns None until it has the bytes it needs, then the part's length,
    # the most output it gives, and the measure of the part after it.

    def _start(self, data: bytes, at: int) -> _Part:
        if len(data) - at < 4:
            return None
        magic = int.from_bytes(data[at : at + 4], "little")
        if magic & ~0xF == 0x184D2A50:  # a skippable frame: its length, then that many bytes
            return (8 + int.from_bytes(data[at + 4 : at + 8], "little"), 0, self._rest) if len(data) - at >= 8 else None
        if magic != 0xFD2FB528:
            return self._rest(data, at)  # the decompressor names what is wrong
        if len(data) - at < 5:
            return None  # the header's size is told by its fifth byte
        size = self._zstd.frame_header_size(data[at : at + 5])
        if len(data) - at < size:
            return None
        self._checksum = 4 if self._zstd.get_frame_parameters(data[at : at + size]).has_checksum else 0
        return size, 0, self._block

    def _block(self, data: bytes, at: int) -> _Part:
        if len(data) - at < 3:
            return None
        header = int.from_bytes(data[at : at + 3], "little")
        last, kind, size = header & 1, (header >> 1) & 3, header >> 3
        length = 3 + (1 if kind == 1 else size) + (self._checksum if last else 0)
        return length, size if kind < 2 else self._BLOCK_MAX, self._rest if last else self._block

    def _rest(self, data: bytes, at: int) -> _Part:
        """Whatever follows the frame, or input that is no frame, handed over
        whole: the decompressor keeps the first as unused_data and rejects
        the second."""
        return (len(data) - at, 0, self._rest) if len(data) > at else None

    def decompress(self, data: bytes, max_length: int) -> bytes:
        data = self._input + data
        end, room = 0, max_length
        self.needs_input = True
        while True:
            if self._free:
                step = min(self._free, len(data) - end)
                end, self._free = end + step, self._free - step
                if self._free:
                    break
            self._waiting = self._waiting or self._next(data, end)
            if self._waiting is None:
                break
            length, gives, after = self._waiting
            if not gives:
                self._free = length
            elif end + length > len(data):
                break
            elif gives > room and room < max_length:
                self.needs_input = False
                break
            else:
                end, room = end + length, room - gives
            self._waiting, self._next = None, after
        self._input = data[end:]
        out: bytes = self._inner.decompress(data[:end])
        return out


def codec(compression: str) -> Codec:
    """The codec of ``"gzip"``, ``"bz2"``, ``"xz"`` or ``"zstd"``.  Levels
    and checksums are those of the command-line tools; gzip output carries
    no name and no time, so the same records give the same bytes."""
    if compression == "gzip":
        import zlib

        return Codec(lambda: _Inflate(zlib.decompressobj(31)), lambda: zlib.compressobj(6, zlib.DEFLATED, 31), (zlib.error,))
    if compression == "bz2":
        import bz2

        return Codec(bz2.BZ2Decompressor, lambda: bz2.BZ2Compressor(9), (OSError, EOFError))
    if compression == "xz":
        import lzma

        return Codec(lzma.LZMADecompressor, lambda: lzma.LZMACompressor(lzma.FORMAT_XZ), (lzma.LZMAError,))
    try:
        zstd: Any = importlib.import_module("zstandard")
    except ImportError as exc:
        raise ImportError("marlet needs zstandard for .zst files; install it with: pip install marlet[zstd]") from exc
    compressor = zstd.ZstdCompressor(level=3, write_checksum=True)
    return Codec(lambda: _ZstdFrame(zstd), compressor.compressobj, (zstd.ZstdError,))


class Decompressed(io.BufferedIOBase):
    """The decompressed bytes of a compressed binary file, which it owns.

    The file is decompressed a piece of at most 1 MiB at a time, however
    much the input expands, so memory stays bounded; streams joined one
    after another (``cat a.gz b.gz``) read as one.  A damaged stream, or a
    file that ends inside one, raises :class:`CompressionError` naming the
    file.  Seeking back starts the decompression again, so a conversion can
    read the text twice.
    """

    def __init__(self, raw: Any, compression: str, name: str) -> None:
        super().__init__()
        self._codec = codec(compression)
        self.raw = raw
        self.name = name
        self._compression = compression
        self._restart()

    def _restart(self) -> None:
        self._decompressor = self._codec.decompressor()
        self._fed = False  # whether the current stream was given any bytes
        self._pending = b""  # decompressed, not returned yet
        self._pos = 0

    def _error(self, reason: str) -> CompressionError:
        return CompressionError(self.name, self._compression, reason)

    def _piece(self) -> bytes:
        """The next decompressed bytes, at most _OUT_LIMIT of them however
        much the input expands; b"" at the end of the file."""
        while True:
            data = b""
            if self._decompressor.eof:
                # Another stream may follow the one that ended.
                data = self._decompressor.unused_data
                self._decompressor, self._fed = self._codec.decompressor(), False
            if self._decompressor.needs_input:
                data = data or self.raw.read(_RAW_CHUNK)
                if not data:
                    if self._fed:
                        raise self._error("the file ends before the stream does")
                    return b""
                self._fed = True
            try:
                out: bytes = self._decompressor.decompress(data, _OUT_LIMIT)
            except self._codec.errors as error:
                raise self._error(str(error) or type(error).__name__) from None
            if out:
                return out

    def read(self, size: Optional[int] = -1) -> bytes:
        parts = []
        want = -1 if size is None or size < 0 else size
        have = 0
        while want < 0 or have < want:
            piece, self._pending = self._pending or self._piece(), b""
            if not piece:
                break
            if want >= 0 and have + len(piece) > want:
                piece, self._pending = piece[: want - have], piece[want - have :]
            parts.append(piece)
            have += len(piece)
        self._pos += have
        return b"".join(parts)

    read1 = read

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return bool(self.raw.seekable())

    def tell(self) -> int:
        return self._pos

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        """Go to ``offset`` from the start (the only ``whence`` taken): back
        by decompressing again from the start, forward by reading on."""
        if whence != io.SEEK_SET:
            raise io.UnsupportedOperation("a compressed file seeks only from its start")
        if offset < self._pos:
            self.raw.seek(0)
            self._restart()
        while self._pos < offset and self.read(min(offset - self._pos, _OUT_LIMIT)):
            pass
        return self._pos

    def close(self) -> None:
        if not self.closed:
            try:
                self.raw.close()
            finally:
                super().close()


class Compressing(io.BufferedIOBase):
    """Writes what it is given compressed to a binary file, which it leaves
    open; close() ends the stream.  It cannot seek: what is written cannot
    be patched afterwards, so a binary encoding is counted first."""

    def __init__(self, raw: Any, compression: str) -> None:
        super().__init__()
        self._compressor = codec(compression).compressor()
        self._write = raw.write

    def writable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return False

    def write(self, data: Any) -> int:
        self._write(self._compressor.compress(data))
        return memoryview(data).nbytes

    def close(self) -> None:
        if not self.closed:
            try:
                self._write(self._compressor.flush())
            finally:
                super().close()
