"""The ``marlet`` command: convert a Marlet document between its forms, or
check documents for lines the reader passes over."""

from __future__ import annotations

import argparse
import io
import json
import os
import stat
import sys
import time
from typing import BinaryIO, Callable, List, Optional, Sequence

from . import __version__
from ._dispatch import FORMATS, _options, check, format_of, open_file, replace_file
from ._errors import (
    BinaryDecodeError, CompressionError, FormatError, LossyWriteError, MarletSyntaxError, StreamError, stream_utf8_error,
)
from ._io import Records
from ._stream import _convert

NAMES = ", ".join(FORMATS)

EPILOG = f"""\
The input format comes from the file's suffix (.marl, .marlc, .json, .bin)
unless --from names it; standard input (-) always needs --from.  A file
whose suffix ends in .gz, .bz2, .xz or .zst (x.marl.gz) is read
decompressed, and -o PATH with one is written compressed.  The output
format is --to, else the suffix of -o PATH, else JSON.  JSON output is the
compact form, one line ending in a line feed, unless --indent is given.
Every writer keeps each record's fields in document order, so the same
input always gives the same bytes.  Conversions of .marl, .marlc and large
JSON files stream in bounded memory on --jobs threads, with a progress bar
on a terminal; Ctrl-C stops them with exit status 130 and no output file.

examples:
  marlet contacts.marl                       print the records as compact JSON
  marlet contacts.marl --to json --indent 2  the same, indented
  marlet contacts.marl -o contacts.marlc
  marlet contacts.marl -o contacts.bin       the binary encoding
  marlet contacts.bin --to marl              and back
  marlet big.marl -o big.json --jobs 2       any size, in bounded memory, on two threads
  cat records.json | marlet - --from json --to marlc
  marlet check contacts.marl notes.marlc     list the lines the reader skips

exit status: 0 on success, 1 for input that cannot be read or converted
(and for `check`, when it found anything), 2 for a usage error, 130 when
interrupted.
"""


class UserError(Exception):
    """A mistake to report in one line, with the exit status it ends with."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def build_parser() -> argparse.ArgumentParser:
    """The converter's argument parser."""
    parser = argparse.ArgumentParser(
        prog="marlet",
        description=f"Convert a Marlet document between its forms ({NAMES}), or `marlet check FILE...`.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("input", metavar="INPUT", help="the document to read, or - for standard input")
    parser.add_argument("--from", dest="source", choices=list(FORMATS), help="the input format (default: from INPUT's suffix)")
    parser.add_argument("--to", dest="target", choices=list(FORMATS), help="the output format (default: from the suffix of -o PATH, else json)")
    parser.add_argument("--indent", type=int, metavar="N", help="indent JSON output by N spaces per level (only with --to json)")
    parser.add_argument("--lossy", action="store_true", help="write .marl or .marlc even for records it cannot carry unchanged")
    parser.add_argument("--strict", action="store_true", help="fail on the first line the .marl / .marlc reader would pass over")
    parser.add_argument("-o", "--output", metavar="PATH", help="write to PATH instead of standard output")
    parser.add_argument("--jobs", type=int, metavar="N", help="read .marl and .marlc input on N threads (default: one per CPU)")
    parser.add_argument("--quiet", action="store_true", help="show no progress bar")
    parser.add_argument("--version", action="version", version=f"marlet {__version__}")
    return parser


def _os_error(what: str, error: OSError) -> UserError:
    return UserError(f"cannot {what}: {error.strerror or error}")


def _read_input(name: str) -> bytes:
    try:
        if name == "-":
            return sys.stdin.buffer.read()
        with open_file(name) as fp:
            return fp.read()
    except OSError as error:
        raise _os_error(f"read {name}", error) from None


def _records(data: bytes, source: str, shown: str, strict: bool) -> Records:
    info = FORMATS[source]
    try:
        return info.load(io.BytesIO(data), **_options(info, strict=strict))
    except UnicodeDecodeError as error:
        raise UserError(f"{shown}: {stream_utf8_error(data[error.start : error.start + 4], error.start)}") from None
    except (json.JSONDecodeError, MarletSyntaxError) as error:
        raise UserError(f"{shown}:{error.lineno}:{error.colno}: {error.msg}") from None
    except BinaryDecodeError as error:
        raise UserError(f"{shown}: {error}") from None


def _check_usage(args: argparse.Namespace) -> str:
    """Settle the input and output formats and refuse option combinations
    that make no sense; returns the input format."""
    if args.output == "-":
        args.output = None
    if args.target is None:
        if args.output is None:
            args.target = "json"
        else:
            args.target = format_of(args.output)
            if args.target is None:
                raise UserError(f"cannot tell the output format of {args.output} from its suffix; use --to {NAMES.replace(', ', ', --to ')}", 2)
    if args.indent is not None:
        if args.target != "json":
            raise UserError("--indent applies only to --to json", 2)
        if args.indent < 0:
            raise UserError("--indent must be 0 or more", 2)
    if args.lossy and not FORMATS[args.target].lossy:
        raise UserError("--lossy applies only to --to marl and --to marlc", 2)
    source: Optional[str] = args.source
    if source is None:
        if args.input == "-":
            raise UserError(f"reading standard input needs --from {NAMES}", 2)
        source = format_of(args.input)
        if source is None:
            raise UserError(f"cannot tell the format of {args.input} from its suffix; use --from {NAMES}", 2)
    if args.jobs is not None and args.jobs < 1:
        raise UserError("--jobs must be 1 or more", 2)
    if args.strict and not FORMATS[source].strict:
        raise UserError("--strict applies only to .marl and .marlc input", 2)
    if args.target == "binary" and args.output is None and sys.stdout is not None and sys.stdout.isatty():
        raise UserError("refusing to write binary output to a terminal; use -o PATH or redirect it", 2)
    return source


def _writer(records: Records, args: argparse.Namespace) -> Callable[[BinaryIO], None]:
    info = FORMATS[args.target]
    options = _options(info, lossy=args.lossy)
    if args.target == "json":
        options["indent"] = args.indent

    def fill(fp: BinaryIO) -> None:
        info.dump(records, fp, **options)
        if args.target == "json":
            fp.write(b"\n")

    return fill


def _stdout() -> BinaryIO:
    if sys.stdout is None:
        raise UserError("cannot write standard output: it is closed")
    return sys.stdout.buffer


def _run(argv: List[str]) -> int:
    args = build_parser().parse_args(argv)
    source = _check_usage(args)
    shown = "<stdin>" if args.input == "-" else args.input
    try:
        if _streams(args, source):
            _convert_streaming(args, source, shown)
            return 0
        fill = _writer(_records(_read_input(args.input), source, shown, args.strict), args)
        if args.output is not None:
            # A new file replaces PATH only when it is complete: a failed
            # conversion never leaves a truncated file.
            replace_file(args.output, fill)
            return 0
        stdout = _stdout()
        fill(stdout)
        stdout.flush()
    except LossyWriteError as error:
        raise UserError(f"{error} (--lossy writes it anyway)") from None
    except (CompressionError, ImportError) as error:
        raise UserError(str(error)) from None
    except BrokenPipeError:
        raise
    except OSError as error:
        raise _os_error(f"write {'standard output' if args.output is None else args.output}", error) from None
    return 0


# Below this size a JSON input is read whole, so that an error names its
# line and column; above it the conversion streams and names the byte.
JSON_WHOLE_LIMIT = 64 << 20
# Inputs from this size on show a progress bar on a terminal.
PROGRESS_FROM = 4 << 20


def _input_size(name: str) -> Optional[int]:
    """The size of a regular input file, else None."""
    try:
        info = os.stat(name)
    except OSError:
        return None
    return info.st_size if stat.S_ISREG(info.st_mode) else None


def _streams(args: argparse.Namespace, source: str) -> bool:
    """Whether the conversion goes through convert(): bounded memory, every
    core.  Indented JSON, strict reading and binary input read the whole
    input instead, and so do small JSON files (see JSON_WHOLE_LIMIT)."""
    if args.indent is not None or args.strict or source == "binary":
        return False
    if args.input == "-":
        return source != "json"
    size = _input_size(args.input)
    if size is None:
        # Not a regular file: a missing path or a directory is reported by
        # the reading path; pipes and devices stream.
        return os.path.exists(args.input) and not os.path.isdir(args.input) and source != "json"
    return source != "json" or size > JSON_WHOLE_LIMIT


class Progress:
    """A progress bar on standard error, redrawn at most ten times a second."""

    def __init__(self, total: int) -> None:
        self.total = total
        self.start = time.monotonic()
        self.drawn = 0.0

    def __call__(self, done: int) -> None:
        now = time.monotonic()
        if now - self.drawn < 0.1:
            return
        self.drawn = now
        part = min(done / self.total, 1.0)
        bar = "#" * int(part * 30)
        rate = done / max(now - self.start, 1e-6) / 1e6
        sys.stderr.write(f"\r[{bar:.<30}] {part:4.0%}  {done / 1e6:,.0f} of {self.total / 1e6:,.0f} MB  {rate:,.0f} MB/s")
        sys.stderr.flush()

    def clear(self) -> None:
        if self.drawn:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


def _convert_streaming(args: argparse.Namespace, source: str, shown: str) -> None:
    """Convert through native code: bounded memory, --jobs threads, Ctrl-C
    answered between rounds, no partial output file."""
    size = None if args.input == "-" else _input_size(args.input)
    progress = None
    if not args.quiet and size is not None and size >= PROGRESS_FROM and sys.stderr is not None and sys.stderr.isatty():
        progress = Progress(size)
    destination: object = args.output  # through a temporary file beside it, or a device in place
    try:
        if args.output is None:
            out = _stdout()
            out.flush()
            destination = out.fileno()
        _convert(
            0 if args.input == "-" else args.input, destination, source, args.target, args.jobs,
            lossy=args.lossy, final_newline=args.target == "json", progress=progress,
        )
    except StreamError as error:
        raise UserError(f"{shown}: {error}") from None
    except FormatError as error:
        raise UserError(str(error)) from None
    except OSError as error:
        if error.filename is not None and error.filename == args.input:
            raise _os_error(f"read {shown}", error) from None
        raise
    finally:
        if progress is not None:
            progress.clear()


def _check(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(
        prog="marlet check",
        description="List every line of .marl / .marlc documents that the reader passes over (no ':', an empty key) "
        "and every key repeated within a record, as FILE:LINE:COLUMN: message; for JSON and binary "
        "documents, the place where reading fails.  Exit status 1 when anything is found.",
    )
    parser.add_argument("files", metavar="FILE", nargs="+", help="the documents to check")
    parser.add_argument("--from", dest="source", choices=list(FORMATS), help="their format (default: from each suffix)")
    args = parser.parse_args(argv)
    out = _stdout()
    status = 0
    for path in args.files:
        if args.source is None and format_of(path) is None:
            print(f"marlet: error: cannot tell the format of {path} from its suffix; use --from {NAMES}", file=sys.stderr)
            status = max(status, 2)
            continue
        try:
            found = check(path, args.source)
        except OSError as error:
            print(f"marlet: error: {_os_error(f'read {path}', error)}", file=sys.stderr)
            status = max(status, 1)
            continue
        except (CompressionError, ImportError) as error:
            print(f"marlet: error: {error}", file=sys.stderr)
            status = max(status, 1)
            continue
        if found:
            status = max(status, 1)
            out.write("".join(f"{path}:{p.lineno}:{p.colno}: {p.msg}\n" for p in found).encode("utf-8", "surrogateescape"))
    out.flush()
    return status


def _quiet_stdout() -> None:
    """Point standard output at /dev/null, so that the interpreter's final
    flush of what is still buffered cannot fail again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
    except OSError:
        pass


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command with ``argv`` (default: ``sys.argv[1:]``) and return
    its exit status.  User mistakes and failed writes are reported on
    standard error as one ``marlet: error: ...`` line, never as a
    traceback."""
    arguments = list(sys.argv[1:] if argv is None else argv)
    try:
        if arguments[:1] == ["check"]:
            return _check(arguments[1:])
        return _run(arguments)
    except SystemExit as exit_:
        # argparse has printed the usage, the help or the version already.
        return exit_.code if isinstance(exit_.code, int) else 2
    except UserError as error:
        print(f"marlet: error: {error}", file=sys.stderr)
        if sys.stdout is not None and "standard output" in str(error):
            _quiet_stdout()
        return error.status
    except BrokenPipeError:
        # The reader went away (``marlet x.marl | head``): nothing worth a
        # message, but the output is incomplete, so the status is not 0.
        _quiet_stdout()
        return 141
    except KeyboardInterrupt:
        return 130
