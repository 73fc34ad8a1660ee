"""The module object, its functions, PanicException and the built file."""

import inspect
import shutil
import subprocess

import pytest

import marlet
import marlet._native as native
from conftest import Records

NAMES = ["parse_marl", "parse_marl_via_hashmap", "parse_marl_compact", "write_marl_compact"]

FIRST_SENTENCES = {
    "parse_marl": "Parse Marlet-formatted text into a list of records (dict[str, str]).",
    "parse_marl_compact": "Parse `.marlc` (compact Marlet) text into a list of records\n(dict[str, str]).",
    "write_marl_compact": "Serialize a list of records (dict[str, str]) into `.marlc` text.",
    "parse_marl_via_hashmap": "Parse Marlet-formatted text into the core's records through marlet_core",
}


def test_module_attributes():
    assert native.__all__ == NAMES
    assert native.__doc__ == ""
    assert native.__name__ == "marlet._native"
    assert set(NAMES) <= set(marlet.__all__)
    assert marlet.__version__ == "0.1.0"
    assert not hasattr(native, "PanicException")


@pytest.mark.parametrize("name", NAMES)
def test_function_surface(name):
    function = getattr(native, name)
    assert getattr(marlet, name) is function
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == "marlet._native"
    assert function.__self__ is native
    parameter = "records" if name == "write_marl_compact" else "data"
    assert function.__text_signature__ == f"({parameter})"
    assert str(inspect.signature(function)) == f"({parameter})"
    assert function.__doc__.startswith(FIRST_SENTENCES[name])
    assert "\n--\n" not in function.__doc__


@pytest.fixture(scope="module")
def panic_type():
    # The type exists once any error has been fetched from a CPython call;
    # the module does not publish it, but Python's class registry knows it.
    with pytest.raises(UnicodeEncodeError):
        native.parse_marl("\ud800")
    found = [c for c in BaseException.__subclasses__() if c.__module__ == "bridge_runtime"]
    assert len(found) == 1
    return found[0]


def test_panic_exception_type(panic_type):
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__qualname__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    doc = panic_type.__doc__
    assert doc.startswith("\n") and doc.endswith("\n")
    assert "panics" in doc and "SystemExit" in doc and "BaseException" in doc


class Unprintable:
    def __str__(self):
        raise RuntimeError


@pytest.mark.parametrize(
    "message, args, printed",
    [
        ("boom", ("boom",), ["resuming an internal failure after fetching a PanicException from Python",
                             "Python stack trace below:", "PanicException: boom"]),
        (Unprintable(), ("Unwrapped panic from Python code",), []),
    ],
)
def test_panic_from_python_code_comes_back_as_a_new_panic(panic_type, capfd, message, args, printed):
    original = panic_type(message)
    with pytest.raises(BaseException) as info:
        try:
            native.write_marl_compact(Records([], on_iter=original))
        except Exception:  # pragma: no cover - it must not be caught here
            pytest.fail("PanicException was caught as an Exception")
    assert type(info.value) is panic_type
    assert info.value is not original
    assert info.value.args == args
    err = capfd.readouterr().err
    assert all(line in err for line in printed)


def _tool_output(*command):
    if shutil.which(command[0]) is None:
        pytest.skip(f"{command[0]} is not installed")
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def test_exports_exactly_seven_symbols():
    out = _tool_output("nm", "-D", "--defined-only", native.__file__)
    names = sorted(line.split()[-1] for line in out.splitlines() if line.strip())
    assert names == sorted(
        [
            "PyInit__native",
            "marlet_free_buffer",
            "marlet_free_string",
            "marlet_parse",
            "marlet_parse_binary",
            "marlet_parse_compact",
            "marlet_write_compact",
        ]
    )


def test_links_no_libpython():
    out = _tool_output("readelf", "-d", native.__file__)
    needed = [line for line in out.splitlines() if "(NEEDED)" in line]
    assert needed
    assert not any("libpython" in line for line in needed)
