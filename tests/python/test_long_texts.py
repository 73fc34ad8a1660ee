"""Long non-ASCII texts, read in their own code units, and a lone surrogate far into one."""

import random

import pytest

from conftest import NATIVE_READERS

LINES = ["k: v", "  é: 日本", "\u3000x: 1", "id: 7", "", "   ", "\r", "\t: y", "é", ": z", "a:b:c  ", "\ufeffk: w",
         "  note: \U0001f600", "k: \x85"]


def long_text(seed, stretch):
    """About 400,000 characters of lines drawn from LINES; `stretch` makes
    one run of indented lines (a record of 40,000 fields) in the middle."""
    rng = random.Random(seed)
    lines = [rng.choice(LINES) for _ in range(40_000)]
    if stretch:
        lines[20_000:20_000] = [f"  f{i}: é" for i in range(40_000)]
    return rng.choice(["\n", "\r\n"]).join(lines) + rng.choice(["", "\n"])


@pytest.mark.parametrize("stretch", [False, True])
@pytest.mark.parametrize(("parse", "reference"), NATIVE_READERS)
def test_long_non_ascii_text(parse, reference, stretch):
    text = long_text(len(reference.__name__), stretch)
    assert parse(text) == reference(text)
    text = long_text(1, stretch) + "\nk: \ud800"  # a lone surrogate far into one
    with pytest.raises(UnicodeEncodeError) as info:
        parse(text)
    assert info.value.start == len(text) - 1
