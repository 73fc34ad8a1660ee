"""Read a Marlet document, show its records, and write them in every form.

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

    # read() picks the reader from the suffix: .marl, .marlc, .json or .bin.
    records = marlet.read(source)
    print(f"{source.name}: {len(records)} records")
    for number, record in enumerate(records, 1):
        # Fields come in document order.
        fields = ", ".join(f"{key}={value!r}" for key, value in record.items())
        print(f"  {number}. {fields}")

    with tempfile.TemporaryDirectory() as tmp:
        out = pathlib.Path(tmp)

        # .marlc and .marl refuse what they could not read back unchanged ...
        try:
            marlet.dumps_marlc([{"time": "12:30", " padded key ": "x"}])
        except marlet.LossyWriteError as error:
            print(f"refused: {error}")

        # ... and these records are all fine for them.
        for suffix in (".marl", ".marlc", ".json", ".bin"):
            marlet.write(out / f"contacts{suffix}", records)

        for path in sorted(out.iterdir()):
            print(f"wrote {path.name}: {path.stat().st_size} bytes")
            # Every form reads back as the same records.
            assert marlet.read(path) == records

    print(marlet.dumps_json(records[:1], indent=2))


if __name__ == "__main__":
    main()
