"""The marlet command, run as a user runs it: python -m marlet in a subprocess."""

import json
import os
import pty
import shutil
import subprocess
import sys

import pytest

import marlet
from conftest import decode_binary

RECORDS = [{"name": "Zoë", "city": "東京", "time": "12:30"}, {"id": "2", "note": ""}]
DOCUMENTS = {
    "marl": "  name: Zoë\n  city: 東京\ntime: 12:30\n  note:\nid: 2\n",
    "marlc": "name:Zoë\ncity:東京\ntime:12:30\n\nid:2\nnote:\n\n",
    "json": json.dumps(RECORDS, ensure_ascii=False),
}


def run(*args, stdin=b"", cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "marlet", *map(str, args)], input=stdin, capture_output=True, cwd=cwd, timeout=60
    )


READ_OUTPUT = {
    "json": lambda out: json.loads(out.decode("utf-8")),
    "marlc": lambda out: marlet.parse_marl_compact(out.decode("utf-8")),
    "marl": marlet.loads_marl,
    "binary": decode_binary,
    "text": lambda out: out.decode("utf-8"),
}
# Each case: the input's name (- for standard input) and text, the arguments
# after it, the output format and the records it must hold (or, for "text",
# the exact output).
CONVERSIONS = (
    [(f"doc.{s}", DOCUMENTS[s], ["--to", t, *o], t, RECORDS) for s in DOCUMENTS for t in marlet.FORMATS for o in ([], ["-o", "out"])]
    + [("-", DOCUMENTS[s], ["--from", s, "-o", "-"], "json", RECORDS) for s in DOCUMENTS]
    + [("doc.marl", DOCUMENTS["marl"], ["-o", f"out.{t}", *a], f, RECORDS) for t, a, f in [
        ("marlc", [], "marlc"), ("JSON", [], "json"), ("bin", [], "binary"), ("marl", [], "marl"), ("marlc", ["--to", "binary"], "binary")]]
    # --from overrides the suffix.
    + [("doc.json", "a: 1\n\nb: 2\n", ["--from", f], "json", [{"a": "1"}, {"b": "2"}]) for f in ("marlc", "marl")]
    # Compact JSON is one line; --indent spreads it; --lossy writes what .marlc cannot carry.
    + [("doc.marl", '  a: 1\n  b: "x"\\\nc: é\n', [], "text", '[{"a":"1","b":"\\"x\\"\\\\","c":"é"}]\n')]
    + [("doc.marl", '  a: 1\n  b: "x"\\\nc: é\n', ["--to", "json", "--indent", "2"], "text",
        '[\n  {\n    "a": "1",\n    "b": "\\"x\\"\\\\",\n    "c": "é"\n  }\n]\n')]
    + [("doc.json", '[{"a":"1"},{"a:b":"c"}]', ["--to", "marlc", "--lossy", "-o", "out.marlc"], "text", "a:1\n\na:b:c\n\n")]
)


@pytest.mark.parametrize(("name", "text", "args", "target", "records"), CONVERSIONS)
def test_conversions(tmp_path, name, text, args, target, records):
    if name != "-":
        (tmp_path / name).write_bytes(text.encode("utf-8"))
    result = run(name, *args, stdin=text.encode("utf-8") if name == "-" else b"", cwd=tmp_path)
    out = dict(zip(args, args[1:])).get("-o", "-")
    assert (result.returncode, result.stderr) == (0, b"")
    assert READ_OUTPUT[target](result.stdout if out == "-" else (tmp_path / out).read_bytes()) == records
    assert out == "-" or result.stdout == b""


def bad_bytes(tmp_path):
    path = tmp_path / "bad.marl"
    path.write_bytes(b"name: Zo\xc3\xab\nrole: \xe2\x82 admin\n")
    return path


def make_directory(tmp_path):
    path = tmp_path / "dir.marl"
    path.mkdir()
    return path


def write(name, content):
    def make(tmp_path):
        path = tmp_path / name
        path.write_text(content, encoding="utf-8")
        return path

    return make


# Each case: the arguments (a callable makes the input file in tmp_path and
# stands for it), standard input, exit status, and the whole error line
# after "marlet: error: " ({path} is the input's path).
ERRORS = [
    ([lambda p: p / "missing.marl"], b"", 1, "cannot read {path}: No such file or directory"),
    ([make_directory], b"", 1, "cannot read {path}: Is a directory"),
    ([bad_bytes], b"", 1, "{path}: input is not UTF-8: byte 0xe2 at offset 17 (invalid continuation byte)"),
    (["-", "--from", "marlc"], b"\xffa: 1", 1, "<stdin>: input is not UTF-8: byte 0xff at offset 0 (invalid start byte)"),
    ([write("d.json", '[{"a":"1"},\n {"b": 2}]')], b"", 1, "{path}:2:8: a member value is not a string"),
    ([write("d.json", '{"a": "1"}')], b"", 1, "{path}:1:1: the top level is not an array"),
    ([write("d.json", '[\n"a"]')], b"", 1, "{path}:2:1: a record is not an object"),
    ([write("d.json", '[{"a":"\\udc00"}]')], b"", 1, "{path}:1:8: a string holds a lone surrogate"),
    (["-", "--from", "json"], b"[" + b"1" * 5000 + b"]", 1, "<stdin>:1:2: a record is not an object"),
    (["-", "--from", "binary"], b"\x01\0\0\0", 1, "<stdin>: the record count 1 needs at least 4 more bytes, but 0 remain (at byte 0)"),
    (["-", "--from", "marl", "--strict"], b"  a: 1\nb\n", 1, "<stdin>:2:1: the line has no ':', so it carries no field"),
    ([write("d.marl", "x\n\ufeffa: 1\n"), "--to", "marlc"], b"", 1, "record 0, key '\\ufeffa': the first key of a "
     "document cannot start with U+FEFF (read as a byte-order mark) in .marlc (--lossy writes it anyway)"),
    (["-", "--from", "marl", "--to", "binary"], b"a: 1\n", 1, "binary output needs its record count first: write it "
     "to a file that can seek and is not in append mode, or read the input from a file"),
    ([write("d.json", '[{"a":"1"},]')], b"", 1, "{path}:1:12: a record is not an object"),
    (["-", "--from", "json"], b"", 1, "<stdin>:1:1: the text ended before the array closed"),
    ([write("d.txt", "a: 1")], b"", 2, "cannot tell the format of {path} from its suffix; use --from marl, marlc, json, binary"),
    (["check", lambda p: p / "notes.txt"], b"", 2, "cannot tell the format of {path} from its suffix; use --from marl, "
     "marlc, json, binary"),
    (["-"], b"a: 1", 2, "reading standard input needs --from marl, marlc, json, binary"),
    ([write("d.marl", "a: 1"), "--to", "marlc", "--indent", "2"], b"", 2, "--indent applies only to --to json"),
    ([write("d.marl", "a: 1"), "--indent", "-1"], b"", 2, "--indent must be 0 or more"),
    ([write("d.marl", "a: 1"), "--lossy"], b"", 2, "--lossy applies only to --to marl and --to marlc"),
    ([write("d.json", "[]"), "--strict"], b"", 2, "--strict applies only to .marl and .marlc input"),
    (
        [write("d.marl", "a: 1"), "-o", lambda p: p / "out.txt"],
        b"",
        2,
        "cannot tell the output format of {out} from its suffix; use --to marl, --to marlc, --to json, --to binary",
    ),
    ([write("d.marl", "a: 1"), "-o", lambda p: p / "no" / "out.json"], b"", 1, "cannot write {out}: No such file or directory"),
    ([write("d.json", '[{"a":"1"},{"a:b":"c"}]'), "--to", "marlc", "-o", lambda p: p / "out.marlc"], b"", 1,
     "record 1, key 'a:b': a key cannot hold ':' in .marlc (--lossy writes it anyway)"),
]


@pytest.mark.parametrize(("args", "stdin", "status", "message"), ERRORS)
def test_errors_are_one_line(tmp_path, args, stdin, status, message):
    args = [a(tmp_path) if callable(a) else a for a in args]
    result = run(*args, stdin=stdin)
    path = next((str(a) for a in args if not isinstance(a, str)), None)
    out = str(args[-1])
    assert result.returncode == status
    assert result.stdout == b""
    assert result.stderr.decode("utf-8") == f"marlet: error: {message.format(path=path, out=out)}\n"
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(("out", "."))]  # no output, not even a partial one


@pytest.mark.parametrize(
    ("args", "status", "output"),
    [
        ([], 2, "marlet: error: the following arguments are required: INPUT"),
        (["x.marl", "--indent", "two"], 2, "marlet: error: argument --indent: invalid int value: 'two'"),
        (["--help"], 0, "usage: marlet "),
        (["--version"], 0, f"marlet {marlet.__version__}\n"),
    ],
)
def test_usage_errors_help_and_version(args, status, output):
    result = run(*args)
    assert result.returncode == status
    text = (result.stdout or result.stderr).decode()
    assert (text.splitlines()[-1] if status else text).startswith(output)
    assert args != ["--help"] or "examples:\n  marlet contacts.marl" in text
    assert args != ["--version"] or text == output


def test_binary_is_not_written_to_a_terminal(tmp_path):
    document = tmp_path / "doc.marl"
    document.write_text("a: 1\n", encoding="utf-8")
    controller, terminal = pty.openpty()
    try:
        result = subprocess.run(
            [sys.executable, "-m", "marlet", str(document), "--to", "binary"],
            stdout=terminal,
            stderr=subprocess.PIPE,
            timeout=60,
        )
    finally:
        os.close(terminal)
        os.close(controller)
    assert result.returncode == 2
    assert result.stderr.decode() == (
        "marlet: error: refusing to write binary output to a terminal; use -o PATH or redirect it\n"
    )


def test_main_and_the_console_script_return_the_status(tmp_path, capsys):
    from marlet._cli import main

    document = tmp_path / "doc.marlc"
    for name in ("doc.marlc", "doc.marl"):
        (tmp_path / name).write_text("a: 1\n", encoding="utf-8")
    assert main([str(document), "-o", str(tmp_path / "out.json")]) == 0
    assert main([str(tmp_path / "missing.marl")]) == 1
    assert main(["--bogus"]) == 2
    assert main(["--help"]) == 0
    assert (tmp_path / "out.json").read_text(encoding="utf-8") == '[{"a":"1"}]\n'
    assert "marlet: error: cannot read" in capsys.readouterr().err
    script = shutil.which("marlet", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("no marlet console script beside this interpreter")
    result = subprocess.run([script, str(document.with_suffix(".marl"))], capture_output=True, timeout=60)
    assert (result.returncode, result.stdout) == (0, b'[{"a":"1"}]\n')


def test_binary_both_ways_and_deterministic(tmp_path):
    document = tmp_path / "doc.marlc"
    document.write_text(DOCUMENTS["marlc"], encoding="utf-8")
    assert run(document, "-o", tmp_path / "doc.bin").returncode == 0
    outputs = {run(tmp_path / "doc.bin", "--to", target).stdout for target in ["marlc"] * 3}
    assert outputs == {DOCUMENTS["marlc"].encode("utf-8")}
    back = run(tmp_path / "doc.bin", "--to", "marl")
    assert back.stdout.decode("utf-8") == DOCUMENTS["marl"].replace("  note:\nid: 2", "  id: 2\nnote:")
    # Appended to a file: counted first from a file (named, or on standard input), refused from a pipe.
    stdin = f"{sys.executable} -m marlet - --from marlc --to binary >>app.bin"
    command = f"{sys.executable} -m marlet doc.marlc --to binary >>app.bin; {stdin} <doc.marlc; cat doc.marlc | {stdin}"
    assert subprocess.run(["bash", "-c", command], cwd=tmp_path, capture_output=True, timeout=60).returncode == 1
    assert (tmp_path / "app.bin").read_bytes() == (tmp_path / "doc.bin").read_bytes() * 2


OUTPUT_FAULTS = [
    # (shell redirection, exit status, standard error)
    (">/dev/full", 1, "marlet: error: cannot write standard output: No space left on device\n"),
    (">&-", 1, "marlet: error: cannot write standard output: it is closed\n"),
    ("| head -c 10 >/dev/null", 141, ""),
]


@pytest.mark.parametrize(("redirect", "status", "stderr"), OUTPUT_FAULTS)
def test_output_faults_are_one_line(tmp_path, redirect, status, stderr):
    document = tmp_path / "big.marlc"
    document.write_text("k:v\n\n" * 200_000, encoding="utf-8")
    command = f"{sys.executable} -m marlet {document} --to marlc 2>{tmp_path}/err {redirect}; echo $? >{tmp_path}/rc"
    subprocess.run(["bash", "-c", command], timeout=60, check=True)
    assert int((tmp_path / "rc").read_text()) == status or redirect.startswith("|")
    assert (tmp_path / "err").read_text() == stderr
    if redirect.startswith("|"):
        result = subprocess.run(
            ["bash", "-o", "pipefail", "-c", f"{sys.executable} -m marlet {document} --to marlc | head -c 10 >/dev/null"],
            timeout=60,
        )
        assert result.returncode == status


def test_check_lists_every_problem(tmp_path):
    good = tmp_path / "good.marlc"
    good.write_text("a:1\n\n", encoding="utf-8")
    bad = tmp_path / "bad.marl"
    bad.write_text("  a: 1\nno colon\n  : empty\n  k: 1\n  k: 2\nz: 3\n", encoding="utf-8")
    # A pipe's size is 0 to stat: what it gives is read all the same.
    piped = run("check", "--from", "marl", "/dev/stdin", stdin=bad.read_bytes())
    for result, shown in [(run("check", good, bad), bad), (piped, "/dev/stdin")]:
        assert result.returncode == 1
        assert result.stdout.decode().splitlines() == [
            f"{shown}:2:1: the line has no ':', so it carries no field",
            f"{shown}:3:3: the key before ':' is empty, so the line carries no field",
            f"{shown}:5:3: the key 'k' repeats within its record; the later value replaces the earlier one",
        ]
    assert run("check", good).returncode == 0
    json_doc = tmp_path / "d.json"
    json_doc.write_text('[{"a": 1}]', encoding="utf-8")
    result = run("check", json_doc)
    assert (result.returncode, result.stdout.decode()) == (1, f"{json_doc}:1:8: a member value is not a string\n")
