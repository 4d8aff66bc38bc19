"""sniff() from Python: str in, str out. The detection rules themselves are tested on bytes in
the engine's own tests; here, what the conversion between str and the engine's bytes may
break: each candidate coming back as its one-character str, non-ASCII text, and the
byte-order mark, which reaches Python as U+FEFF."""

import pytest

import rowmender


@pytest.mark.parametrize(
    "sample, expected",
    [
        ("a,b\nc,d\n", ","),
        ("a;b\nc;d\n", ";"),
        ("a\tb\nc\td\n", "\t"),
        ("a|b\nc|d\n", "|"),
        ("é;ü\n日本;語\n", ";"),
        ("", ","),
        ("\ufeff", ","),
        ("\ufeffa;b\nc;d\n", ";"),
        ("\ufeff\na;b", ","),  # the mark is skipped, not a row of its own
    ],
)
def test_sniff(sample, expected):
    result = rowmender.sniff(sample)
    assert type(result) is str
    assert result == expected


def test_bom_makes_no_difference():
    for sample in ("a|b\nc|d\n", "x\ny;z\n", "a,b\tc\nd,e\tf\n"):
        assert rowmender.sniff("\ufeff" + sample) == rowmender.sniff(sample)
