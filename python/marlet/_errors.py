"""The package's errors: every one is a :class:`MarletError`.

Each carries what a user needs to find the fault: ``pos`` (the offset in the
input, in characters for text and in bytes for bytes or files; None when the
fault has no place) and, for text, ``lineno`` and ``colno`` (from 1).
"""

from __future__ import annotations

import contextlib
import json
from typing import Iterator, Optional, Tuple, Union

__all__ = ["MarletError", "LossyWriteError", "FormatError", "MarletSyntaxError", "BinaryDecodeError", "StreamError", "CompressionError"]


class MarletError(ValueError):
    """Base class of the package's own errors (a :class:`ValueError`)."""

    pos: Optional[int] = None
    lineno: Optional[int] = None
    colno: Optional[int] = None


class LossyWriteError(MarletError):
    """A record that ``.marlc`` or ``.marl`` cannot carry was given to its
    writer.

    ``index`` is the record's position in the input, ``key`` the offending
    field's key (``None`` when the record itself is empty) and ``reason``
    what the format cannot hold.
    """

    def __init__(self, index: int, key: Optional[str], reason: str, form: str = ".marlc") -> None:
        where = f"record {index}" if key is None else f"record {index}, key {key!r}"
        super().__init__(f"{where}: {reason} in {form}")
        self.index = index
        self.key = key
        self.reason = reason


class FormatError(MarletError):
    """A format that is unknown, cannot be told from a path, or cannot be
    used that way (such as a writer for a format that has none)."""


class MarletSyntaxError(MarletError):
    """A line that the lenient ``.marl`` / ``.marlc`` reader passes over, or
    a key repeated within a record, found by a strict reader."""

    def __init__(self, msg: str, pos: int, lineno: int, colno: int) -> None:
        super().__init__(f"line {lineno}, column {colno}: {msg}")
        self.msg = msg
        self.pos = pos
        self.lineno = lineno
        self.colno = colno


class BinaryDecodeError(MarletError):
    """Binary data that is not a well-formed encoding; ``pos`` is the byte
    offset of the fault."""

    def __init__(self, msg: str, pos: int) -> None:
        super().__init__(f"{msg} (at byte {pos})")
        self.msg = msg
        self.pos = pos


class StreamError(MarletError):
    """Input that cannot be read: ill-formed UTF-8 or JSON that is not an
    array of objects of string values.  ``pos`` is the byte offset in the
    file where it was found.  A :class:`MarletError`."""

    def __init__(self, message: str, pos: int) -> None:
        super().__init__(message)
        self.pos: int = pos


class CompressionError(MarletError):
    """A compressed file (``.gz``, ``.bz2``, ``.xz``, ``.zst``) whose stream
    is damaged or cut short.  The message names the file; ``filename``
    holds it.  Where the damage lies in the decompressed text is unknown,
    so ``pos`` is None."""

    def __init__(self, filename: str, compression: str, reason: str) -> None:
        super().__init__(f"{filename}: cannot decompress its {compression} stream: {reason}")
        self.filename = filename


def stream_utf8_error(data: bytes, pos: int) -> StreamError:
    """The error for ill-formed UTF-8 at byte ``pos``; ``data`` holds the
    bytes from there on (four are enough to tell why)."""
    try:
        data.decode("utf-8")
        reason = "ill-formed"
    except UnicodeDecodeError as error:
        reason = error.reason
    return StreamError(f"input is not UTF-8: byte 0x{data[0]:02x} at offset {pos} ({reason})", pos)


def native_stream_error(error: ValueError, skipped: int = 0) -> Optional[StreamError]:
    """The package's error for a native reader's ValueError(message, offset,
    bytes), or None for any other ValueError."""
    if len(error.args) != 3:
        return None
    message, pos, data = error.args
    pos += skipped
    if data:
        return stream_utf8_error(data, pos)
    return StreamError(f"{message.rsplit(' at byte offset ', 1)[0]} at byte offset {pos}", pos)


class JSONError(MarletError, json.JSONDecodeError):  # type: ignore[misc]  # int positions, never None
    """A text that is not the JSON form of a record list: both a
    :class:`MarletError` and a :class:`json.JSONDecodeError`.

    ``lineno`` and ``colno`` count characters of ``doc``.  ``pos`` counts
    them too, unless ``skip`` is given: ``doc`` was then decoded from bytes
    that began with ``skip`` more (a byte-order mark a file reader
    dropped), and ``pos`` is the offset in those bytes.
    """

    def __init__(self, msg: str, doc: str, pos: int, skip: Optional[int] = None) -> None:
        super().__init__(msg, doc, pos)
        self._where = (pos, skip)
        if skip is not None:
            self.pos = skip + len(doc[:pos].encode("utf-8"))
            self.args = (f"{msg}: line {self.lineno} column {self.colno} (byte {self.pos})",)

    def __reduce__(self) -> Tuple[type, Tuple[str, str, int, Optional[int]]]:
        return type(self), (self.msg, self.doc, *self._where)


class UTF8Error(MarletError, UnicodeDecodeError):
    """Bytes that are not UTF-8: both a :class:`MarletError` and a
    :class:`UnicodeDecodeError`; ``pos`` is the byte offset."""


def utf8_error(error: UnicodeDecodeError, data: Union[bytes, bytearray, memoryview], skip: int) -> UTF8Error:
    """The package's form of a strict UTF-8 decoding error of ``data`` from
    byte ``skip`` on."""
    out = UTF8Error(error.encoding, bytes(data), error.start + skip, error.end + skip, error.reason)
    out.pos = out.start
    return out


class UTF8EncodeError(MarletError, UnicodeEncodeError):
    """A str that has no UTF-8 form (it holds a lone surrogate): both a
    :class:`MarletError` and a :class:`UnicodeEncodeError`; ``pos`` is the
    character offset in the text read, None for a record's key or value."""


def utf8_encode_error(error: UnicodeEncodeError, pos: Optional[int] = None) -> UTF8EncodeError:
    """The package's form of a strict UTF-8 encoding error."""
    out = UTF8EncodeError(error.encoding, error.object, error.start, error.end, error.reason)
    out.pos = pos
    return out


@contextlib.contextmanager
def utf8_encoding(skip: int = 0) -> Iterator[None]:
    """Turns a strict UTF-8 encoding error of the text being read into the
    package's, at its offset (``skip`` characters stood before the text)."""
    try:
        yield
    except UnicodeEncodeError as error:
        raise utf8_encode_error(error, error.start + skip) from None
