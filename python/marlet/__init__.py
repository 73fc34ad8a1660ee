"""Read and write Marlet record documents.

A document is a list of records; a record maps key strings to value
strings.  ``parse_marl`` reads the ``.marl`` text format, and
``parse_marl_compact`` / ``write_marl_compact`` read and write the
``.marlc`` compact format.  All the work is done by the native extension
``marlet._native``.

The ``load*`` / ``dump*`` functions and ``read`` / ``write`` wrap them for
strings, file objects and paths, add the JSON form and the binary
encoding, and refuse ``.marlc`` writes that would lose data.
"""

from ._arrow import iter_arrow, read_arrow, read_range
from ._files import (
    LossyWriteError,
    dump_binary,
    dump_json,
    dump_marlc,
    dumps_binary,
    dumps_json,
    dumps_marlc,
    load_json,
    load_marl,
    load_marlc,
    loads_json,
    loads_marl,
    loads_marlc,
    read,
    write,
)
from ._native import parse_marl, parse_marl_compact, parse_marl_via_hashmap, write_marl_compact

__version__ = "0.1.0"

__all__ = [
    "parse_marl",
    "parse_marl_via_hashmap",
    "parse_marl_compact",
    "write_marl_compact",
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
    "LossyWriteError",
    "read_arrow",
    "iter_arrow",
    "read_range",
]
