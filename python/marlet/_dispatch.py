"""The formats by name and by suffix, and the functions that dispatch on
them: :func:`read` / :func:`write` for paths, :func:`loads` / :func:`dumps`
for strings and bytes.  The command line uses the same table."""

from __future__ import annotations

import contextlib
import os
import stat
import secrets
from typing import Any, BinaryIO, Callable, Dict, Iterator, Literal, NamedTuple, Optional, Sequence, Tuple, TypeVar, Union, cast

from . import _binary, _errors, _ext, _io, _json, _text
from ._errors import FormatError
from ._io import Data, Records, RecordsIn, StrPath, Writable

Format = Literal["marl", "marlc", "json", "binary"]
T = TypeVar("T")


class FormatInfo(NamedTuple):
    """One format: how to read it from a string and from a file object, how
    to write it, and whether it is text (UTF-8) or bytes."""

    name: str
    suffix: str
    text: bool
    loads: Callable[..., Records]
    load: Callable[..., Records]
    dumps: Callable[..., Union[str, bytes]]
    dump: Callable[..., None]
    strict: bool  # takes strict=
    lossy: bool  # takes lossy=


def _info(name: str, suffix: str, text: bool, module: Any, options: bool) -> FormatInfo:
    loads, load, dumps, dump = (getattr(module, f"{verb}_{name}") for verb in ("loads", "load", "dumps", "dump"))
    return FormatInfo(name, suffix, text, loads, load, dumps, dump, options, options)


#: The four formats by name (``"marl"``, ``"marlc"``, ``"json"``,
#: ``"binary"``), each with its file suffix, whether it is text, and its
#: ``loads`` / ``load`` / ``dumps`` / ``dump`` functions.
FORMATS: Dict[str, FormatInfo] = {
    "marl": _info("marl", ".marl", True, _text, True),
    "marlc": _info("marlc", ".marlc", True, _text, True),
    "json": _info("json", ".json", True, _json, False),
    "binary": _info("binary", ".bin", False, _binary, False),
}
SUFFIXES = {info.suffix: name for name, info in FORMATS.items()}
READABLE = ("marl", "marlc", "json")  # the formats read incrementally

#: The compressions by the suffix that may follow a format's suffix
#: (``x.marl.gz``).
COMPRESSIONS = {".gz": "gzip", ".bz2": "bz2", ".xz": "xz", ".zst": "zstd"}


def compression_of(path: StrPath) -> Optional[str]:
    """The compression named by a path's last suffix (``.gz``, ``.bz2``,
    ``.xz`` or ``.zst``, in any letter case), or None."""
    return COMPRESSIONS.get(os.path.splitext(os.fspath(path))[1].lower())


def format_of(path: StrPath) -> Optional[str]:
    """The format named by a path's suffix (``.marl``, ``.marlc``, ``.json``
    or ``.bin``, in any letter case), which a compression's suffix may
    follow (``x.marl.gz``), or None."""
    name = os.fspath(path)
    if compression_of(name) is not None:
        name = os.path.splitext(name)[0]
    return SUFFIXES.get(os.path.splitext(name)[1].lower())


def decompressed(fp: BinaryIO, path: StrPath) -> BinaryIO:
    """A binary file opened at the start of ``path``, as the bytes of the
    document it holds: decompressed when the path's suffix names a
    compression (the returned object then owns ``fp``)."""
    compression = compression_of(path)
    if compression is None:
        return fp
    try:
        # A buffered binary file object, as open() gives.
        return cast(BinaryIO, _io.Decompressed(fp, compression, os.fsdecode(path)))
    except BaseException:
        fp.close()
        raise


def open_file(path: StrPath) -> BinaryIO:
    """``path`` opened for reading the document it holds; see
    :func:`decompressed`."""
    return decompressed(open(path, "rb"), path)


def format_name(
    source: Any, format: Optional[str], allowed: Sequence[str] = tuple(FORMATS), what: str = "format", option: str = "format"
) -> str:
    """The format given, else the one of the suffix of ``source`` when it is
    a path; raises :class:`FormatError` when there is none or it is not
    ``allowed``.  ``what`` and ``option`` name the format and its argument
    in the message."""
    names = ", ".join(map(repr, allowed))
    chosen = format
    if chosen is None:
        is_path = isinstance(source, (str, os.PathLike))
        chosen = format_of(source) if is_path else None
        if chosen is None:
            shown = repr(os.fspath(source)) if is_path else "the data"
            raise FormatError(f"cannot tell the {what} of {shown} from its suffix; pass {option}= one of {names}")
    if chosen not in allowed:
        # A format of the package that this caller cannot take (binary,
        # where only text is read incrementally) is named as such.
        kind = "unsupported" if chosen in FORMATS else "unknown"
        raise FormatError(f"{kind} {what} {chosen!r}; use one of {names}")
    return chosen


def choose(format: Optional[str], path: Optional[StrPath] = None) -> FormatInfo:
    """The format given, else the one of the path's suffix."""
    return FORMATS[format_name(path, format)]


def _options(info: FormatInfo, **given: bool) -> Dict[str, Any]:
    """The strict= / lossy= options that are set, refused for a format that
    does not take them."""
    for option, value in given.items():
        if value and not getattr(info, option):
            raise FormatError(f"{option}= applies to 'marl' and 'marlc', not {info.name!r}")
    return {option: True for option, value in given.items() if value}


def loads(data: Data, format: Format, *, strict: bool = False) -> Records:
    """Read records from a string or bytes in the named format."""
    info = choose(format)
    return info.loads(data, **_options(info, strict=strict))


def dumps(records: RecordsIn, format: Format, *, lossy: bool = False) -> Union[str, bytes]:
    """Write records in the named format: str for the text formats, bytes
    for ``"binary"``."""
    info = choose(format)
    return info.dumps(records, **_options(info, lossy=lossy))


def read(path: StrPath, format: Optional[Format] = None, *, strict: bool = False) -> Records:
    """Read the records of a file.

    The format is ``format`` when given, else the path's suffix: ``.marl``,
    ``.marlc``, ``.json`` or ``.bin``, which ``.gz``, ``.bz2``, ``.xz`` or
    ``.zst`` may follow for a compressed file (``.zst`` needs
    ``marlet[zstd]``).  Text is decoded strictly as UTF-8 and one leading
    byte-order mark is dropped.  Raises :class:`FormatError` for a suffix
    that names no format, :class:`CompressionError` for a damaged
    compressed file, and what the ``load_*`` function of the format raises.
    """
    info = choose(format, path)
    options = _options(info, strict=strict)
    with open_file(path) as fp:
        return info.load(fp, **options)


def write(path: StrPath, records: RecordsIn, format: Optional[Format] = None, *, lossy: bool = False) -> None:
    """Write records to a file, replacing it.

    The format is ``format`` when given, else the path's suffix (see
    :func:`read`).  The records may be any iterable of mappings, a
    generator included; they are written as they come.  The output goes to
    a new file beside the path that replaces it only once it is complete,
    so a refused record (see :func:`dumps_marlc`; ``lossy`` applies to
    ``.marl`` and ``.marlc``) or any other failure leaves an existing file
    untouched.  A compression's suffix after the format's (``x.json.gz``)
    compresses the file; the binary encoding is then written only from
    records given as a list, since its record count comes first.
    """
    info = choose(format, path)
    options = _options(info, lossy=lossy)
    replace_file(path, lambda fp: info.dump(records, fp, **options))


def replace_file(path: StrPath, fill: Callable[[BinaryIO], T]) -> T:
    """Run fill(fp) on a new binary file that then replaces ``path``, and
    return what it returns; on any failure the path is left as it was.  A
    device or a pipe is written directly.  When the path's suffix names a
    compression, ``fp`` compresses what it is given (and cannot seek); the
    stream is ended before the file replaces the path."""
    compression = compression_of(path)
    if compression is not None:
        write = fill

        def fill(raw: BinaryIO) -> T:
            with _io.Compressing(raw, compression) as fp:
                return write(fp)  # type: ignore[arg-type]

    try:
        st: Optional[os.stat_result] = os.stat(path)
    except FileNotFoundError:
        st = None
    if st is not None and not stat.S_ISREG(st.st_mode):
        with open(path, "wb") as fp:
            return fill(fp)
    # Through a symbolic link, the file it names is replaced.
    target = os.path.realpath(path)
    # The temporary name does not grow with the path's, so that a file name
    # as long as the system allows can still be written.
    temporary = os.path.join(os.path.dirname(target), f".marlet-{secrets.token_hex(4)}.tmp")
    # Created with the usual permissions (0o666 less the umask), like open();
    # an existing file's permissions are kept.
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        if st is not None:
            os.chmod(temporary, stat.S_IMODE(st.st_mode))
        with open(fd, "wb") as fp:
            result = fill(fp)
        os.replace(temporary, target)
        return result
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def dump(records: RecordsIn, fp: Writable, format: Format, *, lossy: bool = False) -> None:
    """Write records to a file object in the named format."""
    info = choose(format)
    info.dump(records, fp, **_options(info, lossy=lossy))


def check(path: StrPath, format: Optional[Format] = None) -> "list[_text.Problem]":
    """Every problem a strict reader would raise for, in document order: for
    ``.marl`` and ``.marlc`` each line the lenient reader passes over and
    each key repeated within a record; for the JSON form and the binary
    encoding the one place where reading fails.  ``pos`` is a byte offset
    in the file (in its decompressed bytes for a compressed file).  Text
    that is not UTF-8 gives one problem at the first ill-formed byte."""
    info = choose(format, path)
    with open_file(path) as fp:
        if not info.strict:
            try:
                info.load(fp)
            except _errors.CompressionError:
                raise
            except (_errors.MarletError, UnicodeDecodeError) as error:
                pos, lineno, colno = (getattr(error, name, None) or 0 for name in ("pos", "lineno", "colno"))
                return [_text.Problem(pos, lineno, colno, getattr(error, "msg", None) or str(error))]
            return []
        with _contents(fp) as whole:
            skip = _io.bom_length(whole)
            with whole[skip:] as body:
                bad = _ext.utf8_error(body)
                if bad is not None:
                    line, column, _ = _io.position(body, bad)
                    return [_text.Problem(bad + skip, line, column, f"byte 0x{body[bad]:02x} is not UTF-8")]
                return [p._replace(pos=p.pos + skip) for p in _text.problems(body, info.name == "marl")]


@contextlib.contextmanager
def _contents(fp: BinaryIO) -> Iterator[memoryview]:
    """All the bytes of an open file: a regular file's mapped, what anything
    else gives read (a pipe, a FIFO, a terminal or a file under /proc, whose
    size stat does not tell, or a compressed file's decompressed bytes)."""
    import mmap

    st = None if isinstance(fp, _io.Decompressed) else os.fstat(fp.fileno())
    if st is not None and stat.S_ISREG(st.st_mode) and st.st_size > 0:
        with mmap.mmap(fp.fileno(), 0, access=mmap.ACCESS_READ) as mapped, memoryview(mapped) as whole:
            yield whole
    else:
        with memoryview(fp.read()) as whole:
            yield whole
