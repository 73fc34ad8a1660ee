"""How the conveniences are meant to be called, checked by test_typing.py
with mypy --strict against the installed package; never run.

Each `# type: ignore[...]` marks a mistake that mypy must report: in strict
mode an ignore that suppresses nothing is itself an error.
"""

import io
import pathlib
from typing import Dict, List, Optional

import marlet


def uses(path: pathlib.Path, text: str) -> None:
    records: List[Dict[str, str]] = marlet.read(path)
    records = marlet.read(str(path), format="marlc")
    records = marlet.loads_marl(text) + marlet.loads_marlc(text) + marlet.loads_json(text)
    with open(path, "rb") as binary:
        records = marlet.load_marl(binary)
    with open(path, encoding="utf-8", newline="") as textfile:
        records = marlet.load_json(textfile)

    compact: str = marlet.dumps_marlc(records, lossy=True)
    as_json: str = marlet.dumps_json(records, indent=2)
    encoded: bytes = marlet.dumps_binary(records)
    marlet.dump_marlc(records, io.BytesIO())
    marlet.dump_json(records, io.StringIO(), indent=None)
    marlet.dump_binary(records, io.BytesIO())
    marlet.write(path, records)
    marlet.write(path, [{"a": "1"}], "binary")
    marlet.write(path, (r for r in records), "marlc", lossy=True)

    try:
        marlet.dumps_marlc(records)
    except marlet.LossyWriteError as error:
        index: int = error.index
        key: Optional[str] = error.key
        print(index, key, error.reason, compact, as_json, encoded)


def mistakes(path: pathlib.Path) -> None:
    marlet.dumps_marlc([{"a": 1}])  # type: ignore[dict-item]
    marlet.dumps_marlc([], True)  # type: ignore[call-arg]
    marlet.read(path, format="yaml")  # type: ignore[arg-type]
    marlet.write(path, [], "xml")  # type: ignore[arg-type]
    marlet.dump_binary([], io.StringIO())  # type: ignore[arg-type]
    marlet.loads_marl(1)  # type: ignore[arg-type]
    count: int = marlet.loads_json("[]")  # type: ignore[assignment]
    print(count)
