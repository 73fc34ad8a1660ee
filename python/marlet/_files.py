"""Loading and dumping records from and to strings, files and paths.

The functions follow the shape of :mod:`json` and :mod:`tomllib`:
``loads_*`` read a string, ``load_*`` read a file object, ``dumps_*`` return
a string (or bytes), ``dump_*`` write to a file object, and :func:`read` /
:func:`write` work on paths and pick the format from the file's suffix.

Reading goes through the native readers unchanged.  Writing ``.marlc`` adds
one thing the native writer does not do: it refuses records that would not
read back as written, unless ``lossy=True`` is passed.
"""

from __future__ import annotations

import json
import os
import re
import struct
from collections.abc import Iterable, Mapping
from typing import Callable, Dict, List, Literal, NoReturn, Optional, Protocol, TypeVar, Union, cast

from ._native import parse_marl, parse_marl_compact, write_marl_compact

__all__ = [
    "LossyWriteError",
    "loads_marl",
    "load_marl",
    "loads_marlc",
    "load_marlc",
    "dumps_marlc",
    "dump_marlc",
    "loads_json",
    "load_json",
    "dumps_json",
    "dump_json",
    "dumps_binary",
    "dump_binary",
    "read",
    "write",
]

# Runtime aliases spell the generics through ``typing`` so that they also
# evaluate on Python 3.9.
Records = List[Dict[str, str]]
"""What every reader returns: the records in document order."""

RecordsIn = Iterable[Mapping[str, str]]
"""What every writer accepts: any iterable of mappings of str to str."""

StrPath = Union[str, "os.PathLike[str]"]
ReadFormat = Literal["marl", "marlc", "json"]
WriteFormat = Literal["marlc", "json", "binary"]

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


class LossyWriteError(ValueError):
    """A record that ``.marlc`` cannot carry was given to a ``.marlc`` writer.

    ``index`` is the record's position in the input, ``key`` the offending
    field's key (``None`` when the record itself is empty) and ``reason``
    what the format cannot hold.
    """

    def __init__(self, index: int, key: Optional[str], reason: str) -> None:
        where = f"record {index}" if key is None else f"record {index}, key {key!r}"
        super().__init__(f"{where}: {reason} in .marlc")
        self.index = index
        self.key = key
        self.reason = reason


# The 25 code points with the Unicode property White_Space: the readers trim
# exactly these, so a key or value that starts or ends with one of them
# comes back shorter.
_WHITESPACE = frozenset(
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    "\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a"
    "\u2028\u2029\u202f\u205f\u3000"
)


def _loss(key: str, value: str) -> Optional[str]:
    """Why this field would not read back from ``.marlc`` as written, or None."""
    if not key:
        return "a key cannot be empty"
    if ":" in key:
        return "a key cannot hold ':'"
    if "\n" in key:
        return "a key cannot hold a line feed"
    if key[0] in _WHITESPACE or key[-1] in _WHITESPACE:
        return "a key cannot start or end with whitespace"
    if "\n" in value:
        return "a value cannot hold a line feed"
    if value and (value[0] in _WHITESPACE or value[-1] in _WHITESPACE):
        return "a value cannot start or end with whitespace"
    return None


def _records_list(records: RecordsIn, *, marlc: bool = False) -> Records:
    """Check that ``records`` are mappings of str to str and return them as a
    list of dicts (the caller's list itself when it already is one).

    With ``marlc`` also refuse every record that would not survive a
    ``.marlc`` write and read.
    """
    given = records
    out: list[Mapping[str, str]] = records if isinstance(records, list) else list(records)
    for index, record in enumerate(out):
        if not isinstance(record, dict):
            if not isinstance(record, Mapping):
                raise TypeError(f"record {index} is {type(record).__name__}, not a mapping of str to str")
            if out is given:
                out = list(out)  # never modify the caller's list
            record = out[index] = dict(record)
        if marlc and not record:
            raise LossyWriteError(index, None, "a record cannot be empty")
        for key, value in record.items():
            if not isinstance(key, str):
                raise TypeError(f"record {index}: key {key!r} is {type(key).__name__}, not str")
            if not isinstance(value, str):
                raise TypeError(f"record {index}, key {key!r}: value is {type(value).__name__}, not str")
            if marlc:
                # Fast path first: most fields are plainly fine.
                if key and value and ":" not in key and "\n" not in key and "\n" not in value:
                    if (
                        key[0] not in _WHITESPACE
                        and key[-1] not in _WHITESPACE
                        and value[0] not in _WHITESPACE
                        and value[-1] not in _WHITESPACE
                    ):
                        continue
                reason = _loss(key, value)
                if reason is not None:
                    raise LossyWriteError(index, key, reason)
    return cast(Records, out)  # every element is a dict by now


def _text_of(data: Union[str, bytes], name: str) -> str:
    if isinstance(data, str):
        return data
    if isinstance(data, (bytes, bytearray, memoryview)):
        return str(data, "utf-8")  # strict: raises UnicodeDecodeError
    raise TypeError(f"{name}: read() returned {type(data).__name__}, not str or bytes")


def _require_str(s: object, name: str) -> str:
    if not isinstance(s, str):
        hint = f"; decode it first or use {name.replace('loads_', 'load_')}" if isinstance(s, (bytes, bytearray)) else ""
        raise TypeError(f"{name}() takes str, not {type(s).__name__}{hint}")
    return s


def _write_to(fp: Writable, text: str) -> None:
    """Write ``text`` to a text file, or its UTF-8 bytes to a binary one."""
    try:
        fp.write(text)  # type: ignore[arg-type]  # tried first, then bytes
    except TypeError:
        fp.write(text.encode("utf-8"))  # type: ignore[arg-type]


# --------------------------------------------------------------------------
# .marl


def loads_marl(s: str) -> Records:
    """Read the records of a ``.marl`` document given as a string.

    Every string is a valid document: lines that carry no field are passed
    over, so the result may be an empty list.
    """
    return parse_marl(_require_str(s, "loads_marl"))


def load_marl(fp: Readable) -> Records:
    """Read the records of a ``.marl`` document from a file object.

    A binary file (the recommended mode, ``open(path, "rb")``) is decoded
    strictly as UTF-8 and raises :class:`UnicodeDecodeError` at the first
    ill-formed byte.  A text file is read as it gives its text; note that a
    text file opened with the default newline handling turns a lone
    carriage return into a line end, which the format does not.
    """
    return parse_marl(_text_of(fp.read(), "load_marl"))


# --------------------------------------------------------------------------
# .marlc


def loads_marlc(s: str) -> Records:
    """Read the records of a ``.marlc`` (compact) document given as a string."""
    return parse_marl_compact(_require_str(s, "loads_marlc"))


def load_marlc(fp: Readable) -> Records:
    """Read the records of a ``.marlc`` document from a file object, binary
    (decoded strictly as UTF-8) or text; see :func:`load_marl`."""
    return parse_marl_compact(_text_of(fp.read(), "load_marlc"))


def dumps_marlc(records: RecordsIn, *, lossy: bool = False) -> str:
    """Write records as ``.marlc`` text.

    ``.marlc`` escapes nothing, so it cannot carry an empty record, an empty
    key, a key with ``:``, a line feed in a key or value, or whitespace at
    either end of a key or value.  Such a record raises
    :class:`LossyWriteError` (a :class:`ValueError`) naming its index and
    key, unless ``lossy`` is true, in which case it is written as it stands
    and reads back changed or not at all.

    Fields are written in each record's own iteration order.
    """
    return write_marl_compact(_records_list(records, marlc=not lossy))


def dump_marlc(records: RecordsIn, fp: Writable, *, lossy: bool = False) -> None:
    """Write records as ``.marlc`` to a file object: UTF-8 bytes to a binary
    file, text to a text file.  Refuses what :func:`dumps_marlc` refuses,
    before writing anything."""
    _write_to(fp, dumps_marlc(records, lossy=lossy))


# --------------------------------------------------------------------------
# JSON form


def _json_error(message: str, doc: str, pos: int) -> NoReturn:
    raise json.JSONDecodeError(message, doc, pos)


# The standard decoder's string scanner: from the index after an opening
# quote, the decoded string and the index after its closing quote; raises
# json.JSONDecodeError with the position of a malformed string.
_scanstring: Callable[[str, int], tuple[str, int]] = getattr(json.decoder, "scanstring")
_JSON_WHITESPACE = re.compile(r"[ \t\n\r]*")

_SURROGATE = re.compile("[\ud800-\udfff]")


def _may_hold_surrogates(doc: str) -> bool:
    """Whether the strings that ``doc`` decodes to might hold a surrogate
    code point: it has a ``\\uD...`` escape or a raw surrogate.  Cheap
    checks only; the caller then looks at each string."""
    if "\\ud" in doc or "\\uD" in doc:
        return True
    if doc.isascii():
        return False
    try:
        doc.encode("utf-8")
    except UnicodeEncodeError:
        return True
    return False


def _locate_shape_error(doc: str) -> NoReturn:
    """Raise the error for the first place where ``doc`` leaves the shape
    "array of objects of string values", with its position.

    The walk reads only that shape: strings through the standard decoder's
    ``scanstring``, structure by hand.  It stops at the first value of any
    other kind, so it needs no recursion however deep the document nests.
    """

    def skip(i: int) -> int:
        match = _JSON_WHITESPACE.match(doc, i)
        assert match is not None  # the pattern matches the empty string
        return match.end()

    def string(i: int, what: str) -> tuple[str, int]:
        s, end = _scanstring(doc, i + 1)
        if _SURROGATE.search(s):
            _json_error(f"{what} holds a lone surrogate", doc, i)
        return s, end

    def expect(i: int, char: str, message: str) -> int:
        if doc[i : i + 1] != char:
            _json_error(message, doc, i)
        return skip(i + 1)

    i = skip(0)
    if doc[i : i + 1] != "[":
        _json_error("the top level is not an array", doc, i)
    i = skip(i + 1)
    index = 0
    if doc[i : i + 1] != "]":
        while True:
            if doc[i : i + 1] != "{":
                _json_error(f"record {index} is not an object", doc, i)
            i = skip(i + 1)
            if doc[i : i + 1] == "}":
                i += 1
            else:
                while True:
                    if doc[i : i + 1] != '"':
                        _json_error("Expecting property name enclosed in double quotes", doc, i)
                    key, i = string(i, f"record {index}: a key")
                    i = expect(skip(i), ":", "Expecting ':' delimiter")
                    if doc[i : i + 1] != '"':
                        _json_error(f"record {index}, key {key!r}: the value is not a string", doc, i)
                    _, i = string(i, f"record {index}, key {key!r}: the value")
                    i = skip(i)
                    if doc[i : i + 1] == "}":
                        i += 1
                        break
                    i = expect(i, ",", "Expecting ',' delimiter")
            i = skip(i)
            if doc[i : i + 1] == "]":
                break
            i = expect(i, ",", "Expecting ',' delimiter")
            index += 1
    i = skip(i + 1)
    if i < len(doc):
        _json_error("Extra data", doc, i)
    # Not reached for a document that the standard decoder read whole.
    _json_error("the document nests too deeply", doc, i)


def _is_records(value: object, doc: str) -> bool:
    if not isinstance(value, list):
        return False
    for record in value:
        if not isinstance(record, dict):
            return False
        for item in record.values():
            if not isinstance(item, str):
                return False
    if _may_hold_surrogates(doc):
        # Rare: only then decode-check each string for a lone surrogate.
        for record in value:
            for key, item in record.items():
                if _SURROGATE.search(key) or _SURROGATE.search(item):
                    return False
    return True


def loads_json(s: str) -> Records:
    """Read records from their JSON form: an array of objects whose member
    values are strings.  Whitespace between tokens is allowed, and a key
    that occurs twice in one object keeps its last value.

    Anything else raises :class:`json.JSONDecodeError` (a
    :class:`ValueError`) whose ``lineno`` and ``colno`` (1-based) point at
    the offending text: malformed JSON, a top level other than an array, an
    element other than an object, a member value other than a string, or a
    ``\\u`` escape that leaves a lone surrogate.
    """
    doc = _require_str(s, "loads_json")
    try:
        value = json.loads(doc)
    except RecursionError:
        # Deep nesting is never the right shape; the walk finds where.
        _locate_shape_error(doc)
    if _is_records(value, doc):
        return value  # type: ignore[no-any-return]  # checked just above
    _locate_shape_error(doc)


def load_json(fp: Readable) -> Records:
    """Read records from their JSON form in a file object, binary (decoded
    strictly as UTF-8, so a byte-order mark is an error) or text; raises as
    :func:`loads_json` does."""
    return loads_json(_text_of(fp.read(), "load_json"))


def dumps_json(records: RecordsIn, *, indent: Optional[int] = None) -> str:
    """Write records in their JSON form.

    Without ``indent`` the text is compact, with no whitespace at all, and
    escapes only ``"``, ``\\`` and control characters; non-ASCII text stands
    as it is.  With ``indent`` each member goes on a line of its own,
    indented by that many spaces per level.
    """
    checked = _records_list(records)
    if indent is None:
        return json.dumps(checked, ensure_ascii=False, separators=(",", ":"))
    return json.dumps(checked, ensure_ascii=False, indent=indent)


def dump_json(records: RecordsIn, fp: Writable, *, indent: Optional[int] = None) -> None:
    """Write records in their JSON form to a file object: UTF-8 bytes to a
    binary file, text to a text file.  No line feed is added at the end."""
    _write_to(fp, dumps_json(records, indent=indent))


# --------------------------------------------------------------------------
# Binary encoding

_U32 = struct.Struct("<I")


def dumps_binary(records: RecordsIn) -> bytes:
    """Encode records in the length-prefixed binary form.

    All numbers are unsigned 32-bit little-endian: the record count, then
    per record its field count, then per field the key's length in bytes,
    the key's UTF-8 bytes, the value's length and the value's bytes.
    Fields stand in each record's iteration order.  Raises
    :class:`ValueError` when a count or length does not fit in 32 bits.
    """
    checked = _records_list(records)
    pack = _U32.pack
    parts = []
    try:
        parts.append(pack(len(checked)))
        for record in checked:
            parts.append(pack(len(record)))
            for key, value in record.items():
                key_bytes = key.encode("utf-8")
                value_bytes = value.encode("utf-8")
                parts += (pack(len(key_bytes)), key_bytes, pack(len(value_bytes)), value_bytes)
    except struct.error:
        raise ValueError("a count or length does not fit the binary encoding's 32 bits") from None
    return b"".join(parts)


def dump_binary(records: RecordsIn, fp: SupportsWrite[bytes]) -> None:
    """Write the binary encoding of records to a binary file object."""
    fp.write(dumps_binary(records))


# --------------------------------------------------------------------------
# Paths

_SUFFIXES = {".marl": "marl", ".marlc": "marlc", ".json": "json"}


def format_of(path: StrPath) -> Optional[str]:
    """The format named by a path's suffix (``"marl"``, ``"marlc"`` or
    ``"json"``, in any letter case), or None."""
    return _SUFFIXES.get(os.path.splitext(os.fspath(path))[1].lower())


def read(path: StrPath, format: Optional[ReadFormat] = None) -> Records:
    """Read the records of a file.

    The format is ``format`` when given, else the path's suffix: ``.marl``,
    ``.marlc`` or ``.json``.  The file is decoded strictly as UTF-8.  Raises
    :class:`ValueError` for a suffix that names no format, and what the
    ``load_*`` function of the format raises.
    """
    chosen = format or format_of(path)
    if chosen not in ("marl", "marlc", "json"):
        raise ValueError(
            f"cannot tell the format of {os.fspath(path)!r} from its suffix; pass format='marl', 'marlc' or 'json'"
            if chosen is None
            else f"unknown format {chosen!r}; use 'marl', 'marlc' or 'json'"
        )
    with open(path, "rb") as fp:
        text = _text_of(fp.read(), "read")
    if chosen == "marl":
        return parse_marl(text)
    if chosen == "marlc":
        return parse_marl_compact(text)
    return loads_json(text)


def write(path: StrPath, records: RecordsIn, format: Optional[WriteFormat] = None, *, lossy: bool = False) -> None:
    """Write records to a file, replacing it.

    The format is ``format`` when given (``"marlc"``, ``"json"`` or
    ``"binary"``), else the path's suffix: ``.marlc`` or ``.json``.  Nothing
    writes ``.marl``.  The whole output is made before the file is opened,
    so a refused record (see :func:`dumps_marlc`; ``lossy`` applies to
    ``.marlc`` only) leaves an existing file untouched.
    """
    chosen = format or format_of(path)
    data: bytes
    if chosen == "marlc":
        data = dumps_marlc(records, lossy=lossy).encode("utf-8")
    elif chosen == "json":
        data = dumps_json(records).encode("utf-8")
    elif chosen == "binary":
        data = dumps_binary(records)
    elif chosen == "marl":
        raise ValueError(f"cannot write {os.fspath(path)!r}: .marl has no writer; use .marlc or .json")
    elif chosen is None:
        raise ValueError(
            f"cannot tell the format of {os.fspath(path)!r} from its suffix; pass format='marlc', 'json' or 'binary'"
        )
    else:
        raise ValueError(f"unknown format {chosen!r}; use 'marlc', 'json' or 'binary'")
    with open(path, "wb") as fp:
        fp.write(data)
