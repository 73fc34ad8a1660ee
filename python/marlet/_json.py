"""The JSON form: an array of objects whose member values are strings.

Reading and writing are native: the core's reader builds the records in
document order and says where and why a text was rejected.
"""

from __future__ import annotations

import json
from typing import Optional

from . import _ext
from ._errors import JSONError
from ._io import Data, Readable, Records, RecordsIn, Writable, bom_length, byte_writer, file_text, text_arg


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
    # An error's pos counts characters of a str, bytes of bytes.
    return _ext.load_json(text_arg(s, "loads_json"), JSONError, None if isinstance(s, str) else 0)


def load_json(fp: Readable) -> Records:
    """Read records from their JSON form in a file object, binary (decoded
    strictly as UTF-8) or text; one leading byte-order mark is dropped.
    Raises as :func:`loads_json` does; for a binary file ``pos`` is the
    byte offset in what it gave, the mark included."""
    data = fp.read()
    return _ext.load_json(file_text(data, "load_json"), JSONError, None if isinstance(data, str) else bom_length(data))


def dumps_json(records: RecordsIn, *, indent: Optional[int] = None) -> str:
    """Write records in their JSON form, fields in each mapping's own order.

    Without ``indent`` the text is compact, with no whitespace at all, and
    escapes only ``"``, ``\\`` and control characters; non-ASCII text stands
    as it is.  With ``indent`` each member goes on a line of its own,
    indented by that many spaces per level.
    """
    text = str(_ext.dump(records, "json", False, None, None, None), "utf-8")
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
