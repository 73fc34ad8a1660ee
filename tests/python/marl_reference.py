"""A plain-Python statement of the reading rules, and input generators.

The model is written from the format's rules, independently of the native
code, so differential tests compare the extension against something that
shares none of its scanning code.
"""

import itertools

from hypothesis import strategies as st

# The 25 code points with the Unicode White_Space property.  Python's
# str.isspace() is a different set (it also accepts U+001C..U+001F), so the
# set is spelled out.
WHITESPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)
assert len(WHITESPACE) == 25

# Characters that look like whitespace or separators but are not.
LOOKALIKES = "\ufeff\u200b\uff1a\x1c\x1d\x1e\x1f\u180e\u00ad"


def lines(text):
    """Cut after every line feed; drop it and one carriage return before it."""
    pieces = text.split("\n")
    out = [p[:-1] if p.endswith("\r") else p for p in pieces[:-1]]
    if pieces[-1]:
        out.append(pieces[-1])
    return out


def split_field(line):
    """(key, value) of a line at its first colon, or None."""
    key, colon, value = line.partition(":")
    key = key.strip(WHITESPACE)
    if not colon or not key:
        return None
    return key, value.strip(WHITESPACE)


def read_marl(text):
    records, current = [], {}
    for line in lines(text):
        rest = line.lstrip(WHITESPACE)
        if not rest:
            continue
        field = split_field(rest)
        if field:
            current[field[0]] = field[1]
        if len(rest) == len(line) and current:
            records.append(current)
            current = {}
    if current:
        records.append(current)
    return records


def read_marl_compact(text):
    records, current = [], {}
    for line in lines(text):
        trimmed = line.strip(WHITESPACE)
        if not trimmed:
            if current:
                records.append(current)
                current = {}
            continue
        field = split_field(trimmed)
        if field:
            current[field[0]] = field[1]
    if current:
        records.append(current)
    return records


def survives_compact_round_trip(records):
    """Whether writing `records` as .marlc and reading them back is lossless."""

    def clean(s):
        return "\n" not in s and s == s.strip(WHITESPACE)

    return all(
        record and all(key and ":" not in key and clean(key) and clean(value) for key, value in record.items())
        for record in records
    )


def is_compact_text_of(text, records):
    """Whether `text` is what the compact writer may produce for `records`:
    each record's `key:value` lines in some order, then an empty line."""
    if not records:
        return text == ""
    lines = [f"{key}:{value}\n" for key, value in records[0].items()]
    for order in itertools.permutations(lines):
        head = "".join(order) + "\n"
        if text.startswith(head) and is_compact_text_of(text[len(head) :], records[1:]):
            return True
    return False


# Pieces that meet the reading rules' corner cases: every whitespace kind,
# look-alikes, line ends, colons, non-ASCII text of every UTF-8 length, NUL.
PIECES = (
    list(WHITESPACE)
    + list(LOOKALIKES)
    + ["\n", "\r", "\r\n", "\n\n", ":", ": ", "::", "\x00", "é", "日本", "\U0001f600", "k", "key", "v", "a b", "x:y"]
)

pieces_text = st.lists(st.sampled_from(PIECES) | st.text(max_size=4), max_size=40).map("".join)

# Lines shaped like documents: optional indent, key, colon, value.
structured_line = st.tuples(
    st.sampled_from(["", " ", "  ", "\t", "\u3000", "\xa0", "\ufeff", "\u200b"]),
    st.text(max_size=6),
    st.sampled_from([":", ": ", " : ", "", "\uff1a"]),
    st.text(max_size=6),
    st.sampled_from(["\n", "\r\n", "\r", "", "\n\n", "\n \n"]),
).map("".join)
structured_text = st.lists(structured_line, max_size=20).map("".join)

marl_texts = pieces_text | structured_text

# Records for the writer: keys and values drawn to hit every round-trip
# condition (empty, colons, line feeds, surrounding whitespace).
field_text = st.lists(
    st.sampled_from(["a", "b", "key", "é", "日本", " ", "\t", "\r", "\n", ":", "\x00", "\ufeff", "\u3000"])
    | st.text(max_size=3),
    max_size=5,
).map("".join)
records_strategy = st.lists(st.dictionaries(field_text, field_text, max_size=4), max_size=5)

# Texts of each kind of str: Latin-1 only, the BMP only, or any code point
# (none a surrogate), so each of the three code unit widths is read.
def _texts_up_to(widest):
    pieces = [p for p in PIECES if max(map(ord, p)) <= widest]
    chars = st.characters(max_codepoint=widest, exclude_categories=("Cs",))
    return st.lists(st.sampled_from(pieces) | st.text(chars, max_size=4), max_size=40).map("".join)


str_kind_texts = st.sampled_from([0xFF, 0xFFFF, 0x10FFFF]).flatmap(_texts_up_to)
