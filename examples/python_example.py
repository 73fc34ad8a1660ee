"""Read a Marlet document, show its records, and write them as .marlc and JSON.

Run it with the package installed:

    python examples/python_example.py [DOCUMENT]

DOCUMENT defaults to contacts.marl beside this script.
"""

import pathlib
import sys
import tempfile

import marlet


def main() -> None:
    here = pathlib.Path(__file__).resolve().parent
    source = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else here / "contacts.marl"

    # read() picks the reader from the suffix: .marl, .marlc or .json.
    records = marlet.read(source)
    print(f"{source.name}: {len(records)} records")
    for number, record in enumerate(records, 1):
        # A record's field order carries no meaning; sort for a stable view.
        fields = ", ".join(f"{key}={value!r}" for key, value in sorted(record.items()))
        print(f"  {number}. {fields}")

    with tempfile.TemporaryDirectory() as tmp:
        out = pathlib.Path(tmp)

        # .marlc refuses what it could not read back unchanged ...
        try:
            marlet.dumps_marlc([{"time": "12:30", " padded key ": "x"}])
        except ValueError as error:
            print(f"refused: {error}")

        # ... and these records are all fine for it.
        marlet.write(out / "contacts.marlc", records)
        marlet.write(out / "contacts.json", records)
        with open(out / "contacts.bin", "wb") as fp:
            marlet.dump_binary(records, fp)

        for path in sorted(out.iterdir()):
            print(f"wrote {path.name}: {path.stat().st_size} bytes")

        # Both text forms read back as the same records.
        assert marlet.read(out / "contacts.marlc") == records
        assert marlet.read(out / "contacts.json") == records

    print(marlet.dumps_json(records[:1], indent=2))


if __name__ == "__main__":
    main()
