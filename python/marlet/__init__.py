"""Read and write Marlet record documents.

A document is a list of records; a record maps key strings to value
strings.  ``parse_marl`` reads the ``.marl`` text format, and
``parse_marl_compact`` / ``write_marl_compact`` read and write the
``.marlc`` compact format.  All the work is done by the native extension
``marlet._native``.
"""

from ._native import parse_marl, parse_marl_compact, parse_marl_via_hashmap, write_marl_compact

__version__ = "0.1.0"

__all__ = [
    "parse_marl",
    "parse_marl_via_hashmap",
    "parse_marl_compact",
    "write_marl_compact",
]
