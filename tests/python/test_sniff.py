"""Delimiter detection on text samples."""

import pytest

import rowmender


@pytest.mark.parametrize("sample, expected", [
    ("", ","),
    ("\ufeff", ","),
    ("a;b;c", ","),                                  # one counted row is too few to score
    ("a;b;c\n", ","),
    ("a;b;c\nd;e;f", ";"),
    ("a;b;c\nd;e;f\n", ";"),
    ("a\tb\tc\nd\te\tf\n", "\t"),
    ("a|b\nc|d\r\ne|f\r", "|"),
    ("a;b\n\n   \nc;d\n", ";"),                     # blank and whitespace-only lines are not counted
    ("id\n1;2\n3;4\n", ";"),
    ("a,b;c\nd,e;f\n", ","),                          # a tie keeps the earlier candidate
    ("\ufeff\na;b", ","),                             # the mark is skipped, not a row of its own
    ("\ufeffa;b\nc;d\n", ";"),
    ("a,b\n" * 50 + "a;b;c;d\n" * 200, ","),          # only the first 50 counted rows matter
    ('"x;y",b\n"z;w",c\n', ","),                      # delimiters inside quotes do not count
    ('"a"\t"b"\n"c"\t"d"\n', "\t"),                   # cleanly quoted tab-separated lines
    ("é;ü\n日本;語\n", ";"),
])
def test_sniff(sample, expected):
    assert rowmender.sniff(sample) == expected


def test_bom_makes_no_difference():
    for sample in ("a|b\nc|d\n", "x\ny;z\n", "a,b\tc\nd,e\tf\n"):
        assert rowmender.sniff("\ufeff" + sample) == rowmender.sniff(sample)

