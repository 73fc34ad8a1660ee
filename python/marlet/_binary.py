"""The binary encoding: 32-bit little-endian counts and lengths followed by
the raw UTF-8 bytes of keys and values.  Encoding and decoding are native."""

from __future__ import annotations

import struct
from collections.abc import Sized
from typing import Union

from . import _ext
from ._errors import BinaryDecodeError, FormatError, MarletError
from ._io import Records, RecordsIn, SupportsRead, SupportsWrite, appends, byte_writer, is_text_file


def dumps_binary(records: RecordsIn) -> bytes:
    """Encode records in the length-prefixed binary form.

    All numbers are unsigned 32-bit little-endian: the record count, then
    per record its field count, then per field the key's length in bytes,
    the key's UTF-8 bytes, the value's length and the value's bytes.
    Fields stand in each mapping's own order.  Raises :class:`ValueError`
    when a count or length does not fit in 32 bits.
    """
    data: bytes = _ext.dump(records, "binary", False, None, None, None)
    return data


def _seekable(fp: object) -> bool:
    try:
        return bool(fp.seekable())  # type: ignore[attr-defined]
    except (AttributeError, OSError, ValueError):
        return False


def dump_binary(records: RecordsIn, fp: SupportsWrite[bytes]) -> None:
    """Write the binary encoding of records to a binary file object as they
    come.

    The encoding starts with the record count.  A sized collection (a
    list, a tuple) is counted first; other records (a generator) need a
    file that can seek and is not in append mode, to patch the count in at
    the end, and raise :class:`FormatError` before writing anywhere else.
    A file opened in text mode raises :class:`TypeError` before writing.
    """
    if is_text_file(fp):
        raise TypeError("dump_binary() writes bytes: open the file in binary mode ('wb'), not in text mode")
    if isinstance(records, Sized):
        expected = len(records)
        count = _ext.dump(records, "binary", False, byte_writer(fp), expected, None)
        if count != expected:
            raise MarletError(f"the records changed in number while they were written ({expected}, then {count})")
        return
    if not _seekable(fp) or appends(fp):
        raise FormatError(
            "the binary encoding starts with the record count: give the records as a list, "
            "or write to a file that can seek and is not in append mode"
        )
    start = fp.tell()  # type: ignore[attr-defined]
    count = _ext.dump(records, "binary", False, byte_writer(fp), None, None)
    end = fp.tell()  # type: ignore[attr-defined]
    fp.seek(start)  # type: ignore[attr-defined]
    byte_writer(fp)(struct.pack("<I", count))
    fp.seek(end)  # type: ignore[attr-defined]


def loads_binary(data: Union[bytes, bytearray, memoryview]) -> Records:
    """Decode the binary encoding back into records, fields in their encoded
    order.  Truncated or inconsistent data (a length or count beyond the
    end, a key or value that is not UTF-8, a key twice in one record, bytes
    after the last record) raises :class:`BinaryDecodeError` with the byte
    offset ``pos`` of the fault."""
    if isinstance(data, str):
        raise TypeError("loads_binary() takes bytes, not str")
    return _ext.load_binary(data, BinaryDecodeError)


def load_binary(fp: SupportsRead[bytes]) -> Records:
    """Decode the binary encoding read from a binary file object; see
    :func:`loads_binary`."""
    return loads_binary(fp.read())
