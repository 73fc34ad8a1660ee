"""The text of what readers are given, and bytes to the outputs writers
take.  String readers keep a byte-order mark; file readers drop one."""

from __future__ import annotations

import io
import itertools
import os
from collections.abc import Iterable, Mapping
from typing import Any, Callable, Dict, Iterator, List, Protocol, Tuple, TypeVar, Union

from ._errors import utf8_error

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
