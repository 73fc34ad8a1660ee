"""The ``marlet`` command: convert a Marlet document between its forms."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import BinaryIO, List, Optional, Sequence

from ._files import (
    LossyWriteError,
    Records,
    dumps_binary,
    dumps_json,
    dumps_marlc,
    format_of,
    loads_json,
    loads_marl,
    loads_marlc,
)

EPILOG = """\
The input format comes from the file's suffix (.marl, .marlc, .json) unless
--from names it; standard input (-) always needs --from.  The output format
is --to, else the suffix of -o PATH (.json or .marlc), else JSON.  JSON
output is the compact form, one line ending in a line feed, unless --indent
is given.

examples:
  marlet contacts.marl                       print the records as compact JSON
  marlet contacts.marl --to json --indent 2  the same, indented
  marlet contacts.marl -o contacts.marlc
  marlet contacts.marl --to binary -o contacts.bin
  cat records.json | marlet - --from json --to marlc

exit status: 0 on success, 1 for input that cannot be read or converted,
2 for a usage error.
"""


class UserError(Exception):
    """A mistake to report in one line, with the exit status it ends with."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def build_parser() -> argparse.ArgumentParser:
    """The command's argument parser."""
    parser = argparse.ArgumentParser(
        prog="marlet",
        description="Convert a Marlet document to JSON, .marlc or the binary encoding.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("input", metavar="INPUT", help="the document to read, or - for standard input")
    parser.add_argument(
        "--from",
        dest="source",
        choices=["marl", "marlc", "json"],
        help="the input format (default: from INPUT's suffix)",
    )
    parser.add_argument(
        "--to",
        dest="target",
        choices=["json", "marlc", "binary"],
        help="the output format (default: from the suffix of -o PATH, .json or .marlc, else json)",
    )
    parser.add_argument(
        "--indent", type=int, metavar="N", help="indent JSON output by N spaces per level (only with --to json)"
    )
    parser.add_argument(
        "--lossy",
        action="store_true",
        help="write .marlc even for records it cannot carry unchanged (only with --to marlc)",
    )
    parser.add_argument("-o", "--output", metavar="PATH", help="write to PATH instead of standard output")
    return parser


def _read_input(name: str) -> bytes:
    try:
        if name == "-":
            return sys.stdin.buffer.read()
        with open(name, "rb") as fp:
            return fp.read()
    except OSError as error:
        raise UserError(f"cannot read {name}: {error.strerror or error}") from None


def _decode(data: bytes, shown: str) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        byte = data[error.start]
        raise UserError(
            f"{shown}: input is not UTF-8: byte 0x{byte:02x} at offset {error.start} ({error.reason})"
        ) from None


def _records(text: str, source: str, shown: str) -> Records:
    if source == "marl":
        return loads_marl(text)
    if source == "marlc":
        return loads_marlc(text)
    try:
        return loads_json(text)
    except json.JSONDecodeError as error:
        raise UserError(f"{shown}:{error.lineno}:{error.colno}: {error.msg}") from None


def _render(records: Records, args: argparse.Namespace) -> bytes:
    if args.target == "binary":
        return dumps_binary(records)
    if args.target == "marlc":
        try:
            return dumps_marlc(records, lossy=args.lossy).encode("utf-8")
        except LossyWriteError as error:
            raise UserError(f"{error} (--lossy writes it anyway)") from None
    return (dumps_json(records, indent=args.indent) + "\n").encode("utf-8")


def _check_usage(args: argparse.Namespace) -> str:
    """Settle the input and output formats and refuse option combinations
    that make no sense; returns the input format."""
    if args.target is None:
        output = format_of(args.output) if args.output not in (None, "-") else None
        if output == "marl":
            raise UserError(".marl has no writer; use --to json or --to marlc", 2)
        args.target = output or "json"
    if args.indent is not None:
        if args.target != "json":
            raise UserError("--indent applies only to --to json", 2)
        if args.indent < 0:
            raise UserError("--indent must be 0 or more", 2)
    if args.lossy and args.target != "marlc":
        raise UserError("--lossy applies only to --to marlc", 2)
    source: Optional[str] = args.source
    if source is None:
        if args.input == "-":
            raise UserError("reading standard input needs --from marl, marlc or json", 2)
        source = format_of(args.input)
        if source is None:
            raise UserError(
                f"cannot tell the format of {args.input} from its suffix; use --from marl, marlc or json", 2
            )
    to_stdout = args.output in (None, "-")
    if args.target == "binary" and to_stdout and sys.stdout.isatty():
        raise UserError("refusing to write binary output to a terminal; use -o PATH or redirect it", 2)
    return source


def _write_output(data: bytes, output: Optional[str]) -> None:
    if output in (None, "-"):
        stdout: BinaryIO = sys.stdout.buffer
        stdout.write(data)
        stdout.flush()
        return
    assert output is not None
    try:
        with open(output, "wb") as fp:
            fp.write(data)
    except OSError as error:
        raise UserError(f"cannot write {output}: {error.strerror or error}") from None


def _run(argv: List[str]) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit_:
        # argparse has printed the usage or the help already.
        return exit_.code if isinstance(exit_.code, int) else 2
    source = _check_usage(args)
    shown = "<stdin>" if args.input == "-" else args.input
    text = _decode(_read_input(args.input), shown)
    data = _render(_records(text, source, shown), args)
    # Everything is converted before the output is opened, so a failed
    # conversion never leaves a truncated file behind.
    _write_output(data, args.output)
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command with ``argv`` (default: ``sys.argv[1:]``) and return
    its exit status.  User mistakes are reported on standard error as one
    ``marlet: error: ...`` line, never as a traceback."""
    arguments = list(sys.argv[1:] if argv is None else argv)
    try:
        return _run(arguments)
    except UserError as error:
        print(f"marlet: error: {error}", file=sys.stderr)
        return error.status
    except BrokenPipeError:
        # The reader went away (``marlet x.marl | head``): not an error
        # worth a message, but stdout must not be flushed again at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
