"""A str that is not ASCII is read in its own code units, without a UTF-8
copy; the result is that of reading its UTF-8 form."""

import ctypes
import sys

from hypothesis import given

from conftest import NATIVE_READERS
from marl_reference import str_kind_texts
from marlet import parse_marl

_as_utf8 = ctypes.pythonapi.PyUnicode_AsUTF8AndSize
_as_utf8.argtypes = [ctypes.py_object, ctypes.c_void_p]
_as_utf8.restype = ctypes.c_void_p


def with_utf8_form(text):
    """A copy of `text` that keeps its UTF-8 form, as CPython does once it
    made one: the readers then read that form."""
    copy = text.encode().decode()
    assert _as_utf8(copy, None) is not None
    return copy


@given(str_kind_texts)
def test_code_units_read_like_utf8(text):
    units = text.encode().decode()
    utf8 = with_utf8_form(text)
    size = sys.getsizeof(units)
    if not text.isascii() and units is not utf8:  # one character below U+0100 is a shared object
        assert sys.getsizeof(utf8) > size  # the copy does hold its UTF-8 form
    for parse, reference in NATIVE_READERS:
        expected = parse(utf8)
        assert expected == reference(text)
        assert parse(units) == expected
    assert [list(r.items()) for r in parse_marl(units)] == [list(r.items()) for r in parse_marl(utf8)]
    assert sys.getsizeof(units) == size  # no UTF-8 copy was made
