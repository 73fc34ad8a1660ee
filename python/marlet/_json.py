"""The JSON form: an array of objects whose member values are strings.

Reading goes through the standard decoder, which keeps each object's member
order; when it fails, or what it returns is not that shape, the core's
reader says where the text was rejected.  Writing is native.
"""

from __future__ import annotations

import json
import re
from typing import NoReturn, Optional, Tuple

from . import _ext
from ._errors import JSONError
from ._io import Data, Readable, Records, RecordsIn, Writable, bom_length, byte_writer, file_text, text_arg

_SURROGATE = re.compile("[\ud800-\udfff]")


def _fail(msg: str, doc: str, pos: int, skip: Optional[int]) -> NoReturn:
    raise JSONError(msg, doc, pos, skip)


def _shape_fault(value: object) -> Optional[str]:
    """What keeps a decoded value from being a record list, or None."""
    if not isinstance(value, list):
        return "the top level is not an array"
    for index, record in enumerate(value):
        if not isinstance(record, dict):
            return f"record {index} is not an object"
        for key, item in record.items():
            if not isinstance(item, str):
                return f"record {index}, key {key!r}: the value is not a string"
            if _SURROGATE.search(key):
                return f"record {index}: a key holds a lone surrogate"
            if _SURROGATE.search(item):
                return f"record {index}, key {key!r}: the value holds a lone surrogate"
    return None


def _may_hold_surrogates(doc: str) -> bool:
    """Whether the strings of ``doc`` might hold a surrogate code point: a
    ``\\uD...`` escape or a raw surrogate.  Cheap checks only."""
    if "\\ud" in doc or "\\uD" in doc:
        return True
    if doc.isascii():
        return False
    try:
        doc.encode("utf-8")
    except UnicodeEncodeError:
        return True
    return False


def _rejection(doc: str) -> Optional[Tuple[int, int]]:
    """(byte offset, character offset) where the core's reader rejects
    ``doc``, or None when it accepts it."""
    raw = _SURROGATE.search(doc)
    if raw is not None:
        # A raw surrogate has no UTF-8 form: the text is rejected there.
        return -1, raw.start()
    result: Optional[Tuple[int, int]] = _ext.json_rejection(doc)
    return result


def _describe(doc: str, pos: int) -> str:
    """A message for a rejection at ``pos`` that the standard decoder did
    not describe, from what stands before it."""
    if pos >= len(doc):
        return "the text ends before the record list does"
    before = doc[:pos].rstrip(" \t\r\n")
    if not before:
        return "the top level is not an array"
    if before[-1] in "[," and doc[pos] != "{":
        return "a record is not an object"
    if before[-1] == ":" and doc[pos] != '"':
        return "a member value is not a string"
    return f"unexpected {doc[pos]!r}"


def loads_json(s: Data) -> Records:
    """Read records from their JSON form: an array of objects whose member
    values are strings, each object's members in their order.  Whitespace
    between tokens is allowed, and a key that occurs twice in one object
    keeps its last value.  Bytes are decoded strictly as UTF-8.

    Anything else raises :class:`json.JSONDecodeError` (also a
    :class:`MarletError`) whose ``pos`` (in characters of a str, in bytes
    of bytes), ``lineno`` and ``colno`` point at the offending text:
    malformed JSON, a top level other than an array, an
    element other than an object, a member value other than a string, or a
    ``\\u`` escape that leaves a lone surrogate.
    """
    return _loads(text_arg(s, "loads_json"), None if isinstance(s, str) else 0)


def _loads(doc: str, skip: Optional[int]) -> Records:
    """The records of ``doc``; an error's ``pos`` counts bytes after
    ``skip`` bytes dropped before ``doc`` when ``doc`` was decoded from
    bytes, characters when ``skip`` is None."""
    try:
        value = json.loads(doc)
    except json.JSONDecodeError as error:
        _fail(error.msg, doc, error.pos, skip)
    except (ValueError, RecursionError):
        # Numbers too long for int(), nesting too deep for the decoder:
        # never the right shape.
        where = _rejection(doc)
        pos = 0 if where is None else where[1]
        _fail(_describe(doc, pos), doc, pos, skip)
    fault = _shape_fault(value)
    if fault is None and not _may_hold_surrogates(doc):
        return value  # type: ignore[no-any-return]  # checked just above
    where = _rejection(doc)
    if where is None:
        return value  # type: ignore[no-any-return]
    _fail(fault or _describe(doc, where[1]), doc, where[1], skip)


def load_json(fp: Readable) -> Records:
    """Read records from their JSON form in a file object, binary (decoded
    strictly as UTF-8) or text; one leading byte-order mark is dropped.
    Raises as :func:`loads_json` does; for a binary file ``pos`` is the
    byte offset in what it gave, the mark included."""
    data = fp.read()
    return _loads(file_text(data, "load_json"), None if isinstance(data, str) else bom_length(data))


def dumps_json(records: RecordsIn, *, indent: Optional[int] = None) -> str:
    """Write records in their JSON form, fields in each mapping's own order.

    Without ``indent`` the text is compact, with no whitespace at all, and
    escapes only ``"``, ``\\`` and control characters; non-ASCII text stands
    as it is.  With ``indent`` each member goes on a line of its own,
    indented by that many spaces per level.
    """
    text: str = _ext.dump(records, "json", False, None, None, None).decode("utf-8")
    if indent is None:
        return text
    return json.dumps(json.loads(text), ensure_ascii=False, indent=indent)


def dump_json(records: RecordsIn, fp: Writable, *, indent: Optional[int] = None) -> None:
    """Write records in their JSON form to a file object as they come: UTF-8
    bytes to a binary file, text to a text file.  No line feed is added at
    the end."""
    if indent is not None:
        byte_writer(fp)(dumps_json(records, indent=indent).encode("utf-8"))
        return
    _ext.dump(records, "json", False, byte_writer(fp), None, None)
