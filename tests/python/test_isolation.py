"""What other Python code can see of the module: objects under construction
(through the garbage collector's hooks) and other interpreters.

Each case runs in a fresh interpreter, so that a crash shows as a failure
and the first import of the module is the one under test."""

import re
import subprocess
import sys
import textwrap

import pytest

import marlet  # noqa: F401  (the calls below name it)

# A collector hook as memory profilers install them: on every collection it
# walks every object the collector knows and reads each container's items.
GC_WALK = """
import gc, marlet
walks = 0
def walk(phase, info):
    global walks
    walks += 1
    for o in gc.get_objects():
        if type(o) is list:
            for x in o: pass
        elif type(o) is dict:
            for x in o.items(): pass
gc.callbacks.append(walk)
gc.set_threshold(10)
"""

TEXT = "\\n\\n".join(f"k{i % 7}: v{i}\\n  n: {i}\\n\\u00e9: x" for i in range(1000))
CALLS = {
    "parse_marl": f'marlet.parse_marl("{TEXT}")',
    "parse_marl_via_hashmap": f'marlet.parse_marl_via_hashmap("{TEXT}")',
    "parse_marl_compact": f'marlet.parse_marl_compact("{TEXT}")',
    "write_marl_compact": "marlet.write_marl_compact([{'k': str(i), 'v': 'w'} for i in range(1000)])",
    "reported": 'marlet.parse_marl_compact("k: v\\n\\n" * 1000)',
}


def run_python(source):
    return subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=600)


@pytest.mark.parametrize("name", CALLS)
def test_collector_never_sees_a_half_built_result(name):
    source = GC_WALK + f"result = {CALLS[name]}\nassert walks > 0\nprint(len(result))\n"
    done = run_python(source)
    assert (done.returncode, done.stdout) == (0, f"{len(eval(CALLS[name]))}\n"), done.stderr


# Ours, or CPython's own where it refuses the module itself (isolated
# interpreters of 3.12 and later).
REFUSED = (
    r"marlet\._native does not support subinterpreters: it was already initialised in another interpreter"
    r"|marlet\._ext does not support subinterpreters: only the main interpreter may import it"
    r"|module (marlet\.)?(_native|_ext) does not support loading in subinterpreters"
)

# A refused import in another interpreter, before and after the main
# interpreter imports the module.  A module alone is imported there under a
# bare package, so that the package's order of imports does not decide
# which module is tried.
SUBINTERPRETER = textwrap.dedent(
    """
    import importlib, importlib.util, sys
    try:
        import _interpreters as I
        new = I.create
    except ImportError:
        import _xxsubinterpreters as I
        new = (lambda: I.create(isolated=True)) if sys.version_info >= (3, 12) else I.create
    path = list(importlib.util.find_spec("marlet").submodule_search_locations)
    bare = f"import sys, types\\nsys.modules['marlet'] = types.ModuleType('marlet')\\nsys.modules['marlet'].__path__ = {path!r}\\n"
    script = ("" if "NAME" == "marlet" else bare) + "try:\\n import NAME\\nexcept ImportError as e: print('sub:', e)"

    def in_subinterpreter():
        i = new()
        try:
            I.run_string(i, script)
        finally:
            I.destroy(i)

    in_subinterpreter()
    import marlet, NAME as module
    print(marlet.parse_marl("a: 1"))
    in_subinterpreter()
    del sys.modules["NAME"]
    print(importlib.import_module("NAME") is module)
    """
)


# Each module the package ships, and the package, which imports them first.
@pytest.mark.parametrize(
    ("name", "refused_by", "same"), [("marlet", "_native", False), ("marlet._native", "_native", True), ("marlet._ext", "_ext", False)]
)
def test_refused_subinterpreter_does_not_lock_out_the_main_one(name, refused_by, same):
    pytest.importorskip("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
    done = run_python(SUBINTERPRETER.replace("NAME", name))
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[1::2] == ["[{'a': '1'}]", str(same)]
    assert all(re.fullmatch(f"sub: ({REFUSED})", line) and refused_by in line for line in lines[::2]), lines
