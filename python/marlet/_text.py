"""The two text formats, ``.marl`` and ``.marlc``: reading (lenient or
strict), writing, and finding the lines the lenient reader passes over."""

from __future__ import annotations

import functools
from typing import Any, Callable, List, NamedTuple, Optional, Union

from . import _ext
from ._errors import LossyWriteError, MarletSyntaxError, utf8_encoding
from ._io import Data, Readable, Records, RecordsIn, Writable, bom_length, byte_writer, file_text, position, text_arg
from ._native import parse_marl


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
    found = _ext.check(data, marl, limit)
    return [Problem(pos, lineno, colno, _MESSAGES[kind].format(key=key)) for pos, lineno, colno, kind, key in found]


def _strict(data: Data, text: str, skip: int, marl: bool) -> None:
    """Raise MarletSyntaxError for the first problem of ``text``, read from
    ``data`` after ``skip`` characters or bytes; positions count in ``data``."""
    raw = text.encode("utf-8") if isinstance(data, str) else memoryview(data)[skip:]
    found = problems(raw, marl, 1)
    if found:
        first = found[0]
        pos = position(raw, first.pos)[2] if isinstance(data, str) else first.pos
        raise MarletSyntaxError(first.msg, pos + skip, first.lineno, first.colno)


def _read(parse: Callable[[str], Records], marl: bool, data: Data, strict: bool, name: str, file: bool) -> Records:
    """The records of a string reader's argument, or of what a file's read()
    gave (``file``)."""
    text = file_text(data, name) if file else text_arg(data, name)
    skip = bom_length(data) if file else 0
    # Kept short: CPython 3.11 loops forever unwinding a with block whose
    # bytecode offset needs a new int object once memory is exhausted.
    with utf8_encoding(skip):
        if strict:
            _strict(data, text, skip, marl)
        return parse(text)


def loads_marl(s: Data, *, strict: bool = False) -> Records:
    """Read the records of a ``.marl`` document given as a string (or as
    bytes, decoded strictly as UTF-8; a byte-order mark stays in the text).

    Every text is a valid document: lines that carry no field are passed
    over.  With ``strict`` such a line, or a key repeated within a record,
    raises :class:`MarletSyntaxError` naming its line and column.
    """
    return _read(parse_marl, True, s, strict, "loads_marl", False)


def load_marl(fp: Readable, *, strict: bool = False) -> Records:
    """Read the records of a ``.marl`` document from a file object.

    A binary file (the recommended mode, ``open(path, "rb")``) is decoded
    strictly as UTF-8; the error names the byte offset.  One leading
    byte-order mark is dropped.  A text file is read as it gives its text;
    note that a text file opened with the default newline handling turns a
    lone carriage return into a line end, which the format does not.
    """
    return _read(parse_marl, True, fp.read(), strict, "load_marl", True)


def loads_marlc(s: Data, *, strict: bool = False) -> Records:
    """Read the records of a ``.marlc`` (compact) document given as a string
    or as bytes; see :func:`loads_marl`."""
    return _read(_ext.load_marlc, False, s, strict, "loads_marlc", False)


def load_marlc(fp: Readable, *, strict: bool = False) -> Records:
    """Read the records of a ``.marlc`` document from a file object, binary
    or text; see :func:`load_marl`."""
    return _read(_ext.load_marlc, False, fp.read(), strict, "load_marlc", True)


def _dump(records: RecordsIn, form: str, lossy: bool, fp: Optional[Writable] = None) -> Any:
    """Runs the core's writer for ``form``: to ``fp`` as the records come,
    else into the bytes it returns."""
    write = None if fp is None else byte_writer(fp)
    return _ext.dump(records, form, lossy, write, None, loss_error(form))


def loss_error(form: str) -> Callable[[int, Optional[str], str], LossyWriteError]:
    """What the native writers call to refuse a record of ``form``."""
    return functools.partial(LossyWriteError, form="." + form)


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
    return str(_dump(records, "marlc", lossy), "utf-8")


def dump_marlc(records: RecordsIn, fp: Writable, *, lossy: bool = False) -> None:
    """Write records as ``.marlc`` to a file object (UTF-8 bytes to a binary
    file, text to a text file) as they come; refuses what
    :func:`dumps_marlc` refuses, having written the records before it."""
    _dump(records, "marlc", lossy, fp)


def dumps_marl(records: RecordsIn, *, lossy: bool = False) -> str:
    """Write records as ``.marl`` text: each record's fields one per line,
    in the mapping's own order, as ``key: value``; every line but the
    record's last is indented by two spaces.  Refuses what
    :func:`dumps_marlc` refuses (the two formats carry the same records)
    unless ``lossy`` is true."""
    return str(_dump(records, "marl", lossy), "utf-8")


def dump_marl(records: RecordsIn, fp: Writable, *, lossy: bool = False) -> None:
    """Write records as ``.marl`` to a file object as they come; see
    :func:`dumps_marl` and :func:`dump_marlc`."""
    _dump(records, "marl", lossy, fp)
