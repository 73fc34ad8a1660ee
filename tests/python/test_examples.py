"""The shipped examples: the Python example runs, and every example document
reads into the records it is meant to hold."""

import pathlib
import subprocess
import sys

import pytest

import marlet

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"

# Each document with its record count and the keys every record holds.
DOCUMENTS = [
    ("contacts.marl", 5, {"name", "email", "id"}),
    ("services.marl", 5, {"service", "owner", "host", "status"}),
    ("cities.marlc", 7, {"name", "country", "population", "languages"}),
]


@pytest.mark.parametrize(("name", "count", "keys"), DOCUMENTS)
def test_documents_hold_their_records(name, count, keys):
    records = marlet.read(EXAMPLES / name)
    assert len(records) == count
    for record in records:
        assert keys <= record.keys()
    # The examples are clean data: .marlc carries them unchanged.
    assert marlet.loads_marlc(marlet.dumps_marlc(records)) == records
    # Both .marl readers agree on them.
    if name.endswith(".marl"):
        text = (EXAMPLES / name).read_text(encoding="utf-8")
        assert marlet.parse_marl_via_hashmap(text) == records


def test_every_document_is_listed_and_details():
    assert {p.name for p in EXAMPLES.glob("*") if p.suffix in (".marl", ".marlc", ".json")} == {name for name, _, _ in DOCUMENTS}
    contacts = marlet.read(EXAMPLES / "contacts.marl")
    assert [c["id"] for c in contacts] == ["1", "2", "3", "4", "5"]
    assert contacts[1]["fax"] == ""
    assert contacts[0]["note"] == "prefers letters; call only after 14:00"
    services = {s["service"]: s for s in marlet.read(EXAMPLES / "services.marl")}
    assert services["auth-api"]["health check"] == "https://auth-01.internal:8443/healthz"
    assert services["session-cache"]["status"] == "degraded"
    cities = marlet.read(EXAMPLES / "cities.marlc")
    assert {c["name"] for c in cities} >= {"Zürich", "東京", "Москва", "القاهرة"}
    assert marlet.read(EXAMPLES / "c" / "sample.marl")


@pytest.mark.parametrize("page", ["examples/python_example.py", "README.md", "docs/usage.md"])
def test_python_examples_run(tmp_path, page):
    """The Python example, and those of README and of the guide, show real behaviour: they run as shown."""
    command = [sys.executable, str(EXAMPLES.parent / page)]
    if page.endswith(".md"):
        readme = (EXAMPLES.parent / page).read_text(encoding="utf-8")
        section = readme[readme.index("Python usage") :]
        command[1:] = ["-c", section[section.index("```python\n") + 10 : section.index("```\n", section.index("```python\n") + 10)]]
        (tmp_path / "examples").symlink_to(EXAMPLES)
    result = subprocess.run(command, capture_output=True, cwd=tmp_path, timeout=60)
    assert result.returncode == 0, result.stderr.decode()
    if page.endswith(".py"):
        assert result.stderr == b""
        out = result.stdout.decode("utf-8")
        assert out.startswith("contacts.marl: 5 records\n  1. name='Ada Lovelace', email=")
        assert "refused: record 0, key ' padded key ': a key cannot start or end with whitespace in .marlc\n" in out
        for name in ("contacts.bin", "contacts.json", "contacts.marl", "contacts.marlc"):
            assert f"wrote {name}: " in out
        assert list(tmp_path.iterdir()) == []  # it cleans up after itself


def test_readme_lossy_example():
    with pytest.raises(marlet.LossyWriteError, match=r"^record 0, key 'a:b': a key cannot hold ':' in \.marl$"):
        marlet.dumps_marl([{"a:b": "c"}])
    assert marlet.dumps_marl([{"a:b": "c"}], lossy=True) == "a:b: c\n"
