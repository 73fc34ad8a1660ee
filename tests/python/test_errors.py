"""Argument binding, conversion errors and the exceptions they raise."""

import collections
import io
import sys
import types

import pytest

import marlet
from conftest import Records
from marlet import parse_marl, parse_marl_compact, parse_marl_via_hashmap, write_marl_compact

TEXT_FUNCTIONS = [parse_marl, parse_marl_via_hashmap, parse_marl_compact]
# Each function with its parameter's name and a valid value for it.
FUNCTIONS = [(f, "data", "a: 1") for f in TEXT_FUNCTIONS] + [(write_marl_compact, "records", [])]

BINDING_ERRORS = [
    ((), {}, "{f}() missing 1 required positional argument: '{p}'"),
    (("a", "b"), {}, "{f}() takes 1 positional arguments but 2 were given"),
    ((1, 2), {}, "{f}() takes 1 positional arguments but 2 were given"),
    (("a", "b", "c"), {}, "{f}() takes 1 positional arguments but 3 were given"),
    (("a", "b"), {"text": "x"}, "{f}() takes 1 positional arguments but 2 were given"),
    (("VALID",), {"{p}": "VALID"}, "{f}() got multiple values for argument '{p}'"),
    ((), {"text": "x"}, "{f}() got an unexpected keyword argument 'text'"),
    ((), {"{p}": "VALID", "text": "x"}, "{f}() got an unexpected keyword argument 'text'"),
    ((), {"text": "x", "{p}": "VALID"}, "{f}() got an unexpected keyword argument 'text'"),
    ((), {"DATA": "x"}, "{f}() got an unexpected keyword argument 'DATA'"),
    ((), {"\ud800": "x"}, "{f}() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    ((), {"é": "x"}, "{f}() got an unexpected keyword argument 'é'"),
]


@pytest.mark.parametrize(("function", "param", "valid"), FUNCTIONS, ids=lambda x: getattr(x, "__name__", None))
@pytest.mark.parametrize(("args", "kwargs", "message"), BINDING_ERRORS)
def test_binding_errors(function, param, valid, args, kwargs, message):
    def fill(x):
        return valid if x == "VALID" else x

    args = tuple(fill(a) for a in args)
    kwargs = {k.format(p=param): fill(v) for k, v in kwargs.items()}
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message.format(f=function.__name__, p=param),)
    assert function(valid) == function(**{param: valid})  # the module is still usable


class Outer:
    class Inner:
        pass


class BrokenName(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class NumberName(type):
    def __getattribute__(cls, name):
        return 42 if name == "__qualname__" else super().__getattribute__(name)


def surrogate_named():
    cls = type("S", (), {})
    cls.__qualname__ = "\udc80"
    return cls()


WRONG_TEXT = [
    (5, "int"),
    (None, "NoneType"),
    (b"a: 1", "bytes"),
    (bytearray(b"a"), "bytearray"),
    (["a: 1"], "list"),
    (Outer.Inner(), "Outer.Inner"),
    (BrokenName("T", (), {})(), "<failed to extract type name>"),
    (NumberName("T", (), {})(), "<failed to extract type name>"),
    (surrogate_named(), "<failed to extract type name>"),
]




def generator():
    yield {"a": "1"}


WRONG_RECORDS = [
    ("abc", "Can't extract `str` to `Vec`"),
    (type("Text", (str,), {})("abc"), "Can't extract `str` to `Vec`"),
    ("", "Can't extract `str` to `Vec`"),
    ({"a": "b"}, "'dict' object cannot be converted to 'Sequence'"),
    ({"a", "b"}, "'set' object cannot be converted to 'Sequence'"),
    (generator(), "'generator' object cannot be converted to 'Sequence'"),
    (iter([{"a": "1"}]), "'list_iterator' object cannot be converted to 'Sequence'"),
    (5, "'int' object cannot be converted to 'Sequence'"),
    (None, "'NoneType' object cannot be converted to 'Sequence'"),
    (b"a", "'int' object cannot be converted to 'PyDict'"),
    ([1], "'int' object cannot be converted to 'PyDict'"),
    ([{}, {"a": "1"}, "a: 1"], "'str' object cannot be converted to 'PyDict'"),
    ([types.MappingProxyType({"a": "1"})], "'mappingproxy' object cannot be converted to 'PyDict'"),
    ([collections.UserDict(a="1")], "'UserDict' object cannot be converted to 'PyDict'"),
    ([{"a": 1}], "'int' object cannot be converted to 'PyString'"),
    ([{1: "a"}], "'int' object cannot be converted to 'PyString'"),
    ([{"a": "1", "b": None}], "'NoneType' object cannot be converted to 'PyString'"),
    ([{"a": b"1"}], "'bytes' object cannot be converted to 'PyString'"),
    ([{"a": "1"}, {"b": Outer.Inner()}], "'Outer.Inner' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize(
    ("function", "argument", "message"),
    [(f, d, f"argument 'data': '{t}' object cannot be converted to 'PyString'") for f in TEXT_FUNCTIONS for d, t in WRONG_TEXT]
    + [(write_marl_compact, records, f"argument 'records': {m}") for records, m in WRONG_RECORDS],
)
def test_arguments_of_wrong_type(function, argument, message):
    with pytest.raises(TypeError) as info:
        function(argument)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__ is True


LONE_SURROGATES = ["\ud800", "é\U0001f600: \udfff", "a: \udfff", "\udc80: b", "  k: v\n  x\ud83d: y"]
SURROGATE_RECORDS = [[{"\ud800": "v"}], [{"k": "\udfff"}], [{"a": "1"}, {"k": "x\udc80y"}], [{type("T", (str,), {})("\ud800"): "v"}]]
PACKAGE_READERS = [marlet.loads_marl, marlet.loads_marlc, lambda s: marlet.load_marlc(io.StringIO(s), strict=True)]
PACKAGE_WRITERS = [marlet.dumps_marl, marlet.dumps_marlc, marlet.dumps_json, marlet.dumps_binary]


# The native functions raise CPython's own error; the package's functions a
# MarletError that is also a UnicodeEncodeError, with the offset in the text
# read (None in a record written).
@pytest.mark.parametrize(
    ("function", "argument"),
    [(f, d) for f in TEXT_FUNCTIONS + PACKAGE_READERS for d in LONE_SURROGATES]
    + [(f, r) for f in [write_marl_compact] + PACKAGE_WRITERS for r in SURROGATE_RECORDS],
)
def test_lone_surrogates(function, argument):
    with pytest.raises(UnicodeEncodeError) as info:
        function(argument)
    assert "argument" not in str(info.value)
    assert isinstance(info.value, marlet.MarletError) is (function in PACKAGE_READERS + PACKAGE_WRITERS)
    if function in PACKAGE_READERS + PACKAGE_WRITERS:
        where = next(i for i, c in enumerate(argument) if "\ud800" <= c <= "\udfff") if function in PACKAGE_READERS else None
        assert info.value.pos == where


@pytest.mark.parametrize("length", [ValueError("len"), TypeError("len"), 0, 10**9, sys.maxsize])
def test_length_is_only_a_hint(length):
    assert write_marl_compact(Records([{"a": "1"}, {"b": "2"}], length=length)) == "a:1\n\nb:2\n\n"


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize(
    ("items", "where", "error", "cause"),
    [
        ([{"a": "1"}], where, error, None)
        for where in ("on_iter", "on_next")
        for error in (ValueError("boom"), KeyboardInterrupt(), TypeErrorSubclass("boom"), TypeError("bad item"))
    ]
    + [([], "on_next", TypeError("bad item"), KeyError("root"))],
)
def test_iteration_errors(items, where, error, cause):
    error.__cause__ = cause
    with pytest.raises(type(error)) as info:
        write_marl_compact(Records(items, **{where: error}))
    assert type(info.value) is type(error) and (info.value is error) == (type(error) is not TypeError)
    if type(error) is TypeError:
        assert info.value.args == ("argument 'records': bad item",)
        assert info.value.__cause__ is cause and info.value.__suppress_context__ is True


def test_unprintable_type_error_is_reported_as_unraisable(monkeypatch):
    class Unprintable:
        def __str__(self):
            raise RuntimeError("no text")

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    with pytest.raises(TypeError) as info:
        write_marl_compact(Records([], on_next=TypeError(Unprintable())))
    assert info.value.args == ("argument 'records': <unprintable TypeError object>",)
    assert len(seen) == 1
    assert type(seen[0].exc_value) is RuntimeError

