"""The two text formats, ``.marl`` and ``.marlc``: reading (lenient or
strict), writing, and finding the lines the lenient reader passes over."""

from __future__ import annotations

from typing import Callable, List, NamedTuple, Optional, Union

from . import _ext
from ._errors import LossyWriteError, MarletSyntaxError, utf8_encoding
from ._io import Data, Readable, Records, RecordsIn, Writable, bom_length, byte_writer, decode, file_text, text_arg
from ._native import parse_marl


def _parse_marlc(text: str) -> Records:
    # The core's reader with each record's fields in document order (the
    # native parse_marl_compact gives them in hash order).
    records: Records = _ext.load_marlc(text)
    return records

class Problem(NamedTuple):
    """A line the lenient reader passes over, or a repeated key."""

    pos: int  #: byte offset in the text's UTF-8 form
    lineno: int
    colno: int  #: in characters
    msg: str


_MESSAGES = {
    "no_colon": "the line has no ':', so it carries no field",
    "empty_key": "the key before ':' is empty, so the line carries no field",
    "repeated_key": "the key {key!r} repeats within its record; the later value replaces the earlier one",
}


def problems(data: Union[bytes, bytearray, memoryview], marl: bool, limit: int = 0) -> List[Problem]:
    """What a strict reader of ``data`` (valid UTF-8) objects to, in
    document order: at most ``limit`` problems, all of them for 0."""
    found = []
    for pos, lineno, colno, kind, key in _ext.check(data, marl, limit):
        found.append(Problem(pos, lineno, colno, _MESSAGES[kind].format(key=key)))
    return found


def _strict(data: Data, marl: bool) -> None:
    """Raise MarletSyntaxError for the first problem of ``data``; positions
    count characters for str and bytes for bytes."""
    raw = data.encode("utf-8") if isinstance(data, str) else data
    found = problems(raw, marl, 1)
    if found:
        first = found[0]
        pos = len(decode(raw[: first.pos])) if isinstance(data, str) else first.pos
        raise MarletSyntaxError(first.msg, pos, first.lineno, first.colno)


def _loads(parse: Callable[[str], Records], marl: bool, data: Data, strict: bool, name: str) -> Records:
    text = text_arg(data, name)
    with utf8_encoding():
        if strict:
            _strict(data, marl)
        return parse(text)


def _load(parse: Callable[[str], Records], marl: bool, fp: Readable, strict: bool, name: str) -> Records:
    data = fp.read()
    if strict and isinstance(data, (bytes, bytearray, memoryview)):
        text = file_text(data, name)  # raises for bytes that are not UTF-8
        skip = bom_length(data)
        found = problems(memoryview(data)[skip:], marl, 1)
        if found:
            first = found[0]
            raise MarletSyntaxError(first.msg, first.pos + skip, first.lineno, first.colno)
        return parse(text)
    text = file_text(data, name)
    with utf8_encoding(bom_length(data)):
        if strict:
            _strict(text, marl)
        return parse(text)


def loads_marl(s: Data, *, strict: bool = False) -> Records:
    """Read the records of a ``.marl`` document given as a string (or as
    bytes, decoded strictly as UTF-8; a byte-order mark stays in the text).

    Every text is a valid document: lines that carry no field are passed
    over.  With ``strict`` such a line, or a key repeated within a record,
    raises :class:`MarletSyntaxError` naming its line and column.
    """
    return _loads(parse_marl, True, s, strict, "loads_marl")


def load_marl(fp: Readable, *, strict: bool = False) -> Records:
    """Read the records of a ``.marl`` document from a file object.

    A binary file (the recommended mode, ``open(path, "rb")``) is decoded
    strictly as UTF-8; the error names the byte offset.  One leading
    byte-order mark is dropped.  A text file is read as it gives its text;
    note that a text file opened with the default newline handling turns a
    lone carriage return into a line end, which the format does not.
    """
    return _load(parse_marl, True, fp, strict, "load_marl")


def loads_marlc(s: Data, *, strict: bool = False) -> Records:
    """Read the records of a ``.marlc`` (compact) document given as a string
    or as bytes; see :func:`loads_marl`."""
    return _loads(_parse_marlc, False, s, strict, "loads_marlc")


def load_marlc(fp: Readable, *, strict: bool = False) -> Records:
    """Read the records of a ``.marlc`` document from a file object, binary
    or text; see :func:`load_marl`."""
    return _load(_parse_marlc, False, fp, strict, "load_marlc")


def _loss_error(form: str) -> Callable[[int, Optional[str], str], LossyWriteError]:
    return lambda index, key, reason: LossyWriteError(index, key, reason, form)


_MARLC_LOSS = _loss_error(".marlc")
_MARL_LOSS = _loss_error(".marl")


def dumps_marlc(records: RecordsIn, *, lossy: bool = False) -> str:
    """Write records as ``.marlc`` text, fields in each mapping's own order.

    ``.marlc`` escapes nothing, so it cannot carry an empty record, an empty
    key, a key with ``:``, a line feed in a key or value, whitespace at
    either end of a key or value, or a first key starting with U+FEFF
    (taken for a byte-order mark when the file is read).  Such a record
    raises :class:`LossyWriteError` naming its index and key, unless
    ``lossy`` is true, in which case it is written as it stands and reads
    back changed or not at all.
    """
    text: str = _ext.dump(records, "marlc", lossy, None, None, _MARLC_LOSS).decode("utf-8")
    return text


def dump_marlc(records: RecordsIn, fp: Writable, *, lossy: bool = False) -> None:
    """Write records as ``.marlc`` to a file object (UTF-8 bytes to a binary
    file, text to a text file) as they come; refuses what
    :func:`dumps_marlc` refuses, having written the records before it."""
    _ext.dump(records, "marlc", lossy, byte_writer(fp), None, _MARLC_LOSS)


def dumps_marl(records: RecordsIn, *, lossy: bool = False) -> str:
    """Write records as ``.marl`` text: each record's fields one per line,
    in the mapping's own order, as ``key: value``; every line but the
    record's last is indented by two spaces.  Refuses what
    :func:`dumps_marlc` refuses (the two formats carry the same records)
    unless ``lossy`` is true."""
    text: str = _ext.dump(records, "marl", lossy, None, None, _MARL_LOSS).decode("utf-8")
    return text


def dump_marl(records: RecordsIn, fp: Writable, *, lossy: bool = False) -> None:
    """Write records as ``.marl`` to a file object as they come; see
    :func:`dumps_marl` and :func:`dump_marlc`."""
    _ext.dump(records, "marl", lossy, byte_writer(fp), None, _MARL_LOSS)
