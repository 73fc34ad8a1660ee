"""Read and write Marlet record documents.

A document is a list of records; a record maps key strings to value
strings.  Four forms carry them: the ``.marl`` text format, the ``.marlc``
compact format, the JSON form and the binary encoding (``.bin``).  Each
has ``loads_*`` / ``load_*`` readers (strings or bytes, file objects) and
``dumps_*`` / ``dump_*`` writers; :func:`read` / :func:`write` work on
paths and take the format from the suffix, and :func:`loads` /
:func:`dumps` take its name.  Writers keep each mapping's own field order,
so the same records always give the same bytes.

``parse_marl``, ``parse_marl_via_hashmap``, ``parse_marl_compact`` and
``write_marl_compact`` are the native module's functions as they are.
Every error of the package is a :class:`MarletError`.
"""

# The native modules come first, so that another interpreter, which they
# refuse, imports nothing else: some extension modules of the standard
# library (hashlib's, on CPython 3.12) leave behind in an isolated
# interpreter what later crashes the main one.
from . import _native, _ext
from ._arrow import dump_arrow, iter_arrow, read_arrow, read_range
from ._binary import dump_binary, dumps_binary, load_binary, loads_binary
from ._dispatch import FORMATS, check, dump, dumps, format_of, loads, read, write
from ._errors import BinaryDecodeError, CompressionError, FormatError, LossyWriteError, MarletError, MarletSyntaxError, StreamError
from ._json import dump_json, dumps_json, load_json, loads_json
from ._stream import convert, iter_records
from ._native import parse_marl, parse_marl_compact, parse_marl_via_hashmap, write_marl_compact
from ._text import dump_marl, dump_marlc, dumps_marl, dumps_marlc, load_marl, load_marlc, loads_marl, loads_marlc

__version__ = "0.1.0"

__all__ = [
    "parse_marl", "parse_marl_via_hashmap", "parse_marl_compact", "write_marl_compact",
    "loads_marl", "load_marl", "dumps_marl", "dump_marl",
    "loads_marlc", "load_marlc", "dumps_marlc", "dump_marlc",
    "loads_json", "load_json", "dumps_json", "dump_json",
    "loads_binary", "load_binary", "dumps_binary", "dump_binary",
    "loads", "dumps", "dump", "read", "write", "check", "format_of", "FORMATS",
    "MarletError", "LossyWriteError", "FormatError", "MarletSyntaxError", "BinaryDecodeError",
    "iter_records", "convert", "StreamError", "CompressionError",
    "read_arrow", "iter_arrow", "dump_arrow", "read_range",
]
