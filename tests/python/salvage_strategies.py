"""Random inputs and settings for the property tests: bytes that matter to the parser, a
little ordinary and non-ASCII text, and every combination of the settings."""

from hypothesis import strategies as st

PIECES = [
    b",",
    b";",
    b"\t",
    b"|",
    b'"',
    b"'",
    b" ",
    b"\r",
    b"\n",
    b"\r\n",
    b"a",
    b"bc",
    b"\xc3\xa9",
    b"\xff",
    b"\xef\xbb\xbf",
    b"x y",
]
# Whole rows too, so that longer inputs hold enough rows for inference to settle on them.
ROWS = [b"1,2,3\n", b'"q,q",z\n']


def content(max_pieces: int = 60, rows: bool = False) -> st.SearchStrategy[bytes]:
    return st.lists(st.sampled_from(PIECES + (ROWS if rows else [])), max_size=max_pieces).map(b"".join)


options = st.fixed_dictionaries(
    {
        "delimiter": st.sampled_from([None, ",", ";", "\t", "|"]),
        "quote_char": st.sampled_from(['"', "'"]),
        "fill_ragged_rows": st.booleans(),
        "merge_overflow": st.booleans(),
        "expected_columns": st.one_of(st.none(), st.integers(0, 6)),
        "repair_quotes": st.booleans(),
    }
)
