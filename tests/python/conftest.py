import ctypes
import io
import json
import os
import struct

import pytest
from hypothesis import HealthCheck, settings

import marlet._native
from marl_reference import read_marl, read_marl_compact
from marlet import parse_marl, parse_marl_compact, parse_marl_via_hashmap

# The machine is shared and small: no per-example deadline.
settings.register_profile("marlet", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "marlet"))

# The native text readers, each with the reference reader it must agree with.
NATIVE_READERS = [(parse_marl, read_marl), (parse_marl_via_hashmap, read_marl), (parse_marl_compact, read_marl_compact)]


class CLibrary:
    """The six C exports of a shared object, called through ctypes."""

    def __init__(self, path):
        self.path = path
        lib = ctypes.CDLL(path)
        for name in ("marlet_parse", "marlet_parse_compact", "marlet_write_compact"):
            fn = getattr(lib, name)
            fn.restype = ctypes.c_void_p
            fn.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
        lib.marlet_free_string.restype = None
        lib.marlet_free_string.argtypes = [ctypes.c_void_p]
        lib.marlet_parse_binary.restype = ctypes.c_int
        lib.marlet_parse_binary.argtypes = [
            ctypes.c_char_p,
            ctypes.c_size_t,
            ctypes.POINTER(ctypes.c_void_p),
            ctypes.POINTER(ctypes.c_size_t),
        ]
        lib.marlet_free_buffer.restype = None
        lib.marlet_free_buffer.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
        self.lib = lib

    def _string(self, fn, data):
        pointer = fn(data, len(data))
        if not pointer:
            return None
        try:
            return ctypes.string_at(pointer).decode("utf-8")
        finally:
            self.lib.marlet_free_string(pointer)

    def parse(self, data):
        """Records of .marl bytes as decoded JSON, or None for a null result."""
        text = self._string(self.lib.marlet_parse, data)
        return None if text is None else json.loads(text)

    def parse_compact(self, data):
        text = self._string(self.lib.marlet_parse_compact, data)
        return None if text is None else json.loads(text)

    def write_compact(self, json_bytes):
        return self._string(self.lib.marlet_write_compact, json_bytes)

    def parse_binary(self, data):
        """Records decoded from the binary encoding, or None for failure."""
        buffer, length = ctypes.c_void_p(), ctypes.c_size_t()
        if not self.lib.marlet_parse_binary(data, len(data), ctypes.byref(buffer), ctypes.byref(length)):
            return None
        try:
            raw = ctypes.string_at(buffer, length.value)
        finally:
            self.lib.marlet_free_buffer(buffer, length)
        return decode_binary(raw)


class Unseekable(io.RawIOBase):
    """A binary stream that can only be read or written in order, and hands
    out at most `step` bytes per read when given one."""

    def __init__(self, data=b"", step=None):
        self.data, self.at, self.out, self.step = data, 0, bytearray(), step

    def readable(self):
        return True

    def writable(self):
        return True

    def readinto(self, buffer):
        n = min(len(buffer), len(self.data) - self.at, self.step or len(buffer))
        buffer[:n] = self.data[self.at : self.at + n]
        self.at += n
        return n

    def write(self, data):
        self.out += data
        return len(data)


def table_of(records, columns=None):
    """The Arrow table of string columns that holds these records."""
    import pyarrow as pa

    if columns is None:
        columns = list(dict.fromkeys(k for r in records for k in r))
    return pa.table({c: pa.array([r.get(c) for r in records], pa.string()) for c in columns})


def decode_binary(raw):
    def u32(at):
        return struct.unpack_from("<I", raw, at)[0], at + 4

    def chunk(at):
        n, at = u32(at)
        return raw[at : at + n].decode("utf-8"), at + n

    count, at = u32(0)
    records = []
    for _ in range(count):
        fields, at = u32(at)
        record = {}
        for _ in range(fields):
            key, at = chunk(at)
            value, at = chunk(at)
            assert key not in record
            record[key] = value
        records.append(record)
    assert at == len(raw)
    return records


@pytest.fixture(scope="session", params=["extension", "libmarlet"])
def clib(request):
    """The C exports of the extension module itself, and of libmarlet.so when
    MARLET_LIB names one."""
    if request.param == "extension":
        return CLibrary(marlet._native.__file__)
    path = os.environ.get("MARLET_LIB")
    if not path:
        pytest.skip("MARLET_LIB does not name a libmarlet.so")
    return CLibrary(path)


class Records:
    """A sequence of dicts whose protocol methods can be made to fail."""

    def __init__(self, items, *, length=None, on_iter=None, on_next=None):
        self.items, self.length, self.on_iter, self.on_next = items, length, on_iter, on_next

    def __getitem__(self, index):
        return self.items[index]

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __iter__(self):
        if self.on_iter is not None:
            raise self.on_iter
        return RecordsIterator(self.items, self.on_next)


class RecordsIterator:
    def __init__(self, items, error):
        self.items, self.error = list(items), error

    def __iter__(self):
        return self

    def __next__(self):
        if self.items:
            return self.items.pop(0)
        if self.error is not None:
            raise self.error
        raise StopIteration
