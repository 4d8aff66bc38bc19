"""What a streaming repair did, as a value that can be kept, compared, pickled and sent."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

# Counts shown in the summary only when they are not zero: how rows were altered in reading.
# Each with its label in the summary table and its words in the command line's one-line verdict.
ALTERATIONS = (
    ("rows_with_stray_quotes", "Rows with stray quotes", "with stray quotes"),
    ("rows_with_text_after_quote", "Rows with text after a quote", "with text after a closing quote"),
    ("rows_with_quotes_in_unquoted_fields", "Rows with quotes in plain fields", "with quotes in unquoted fields"),
    ("rows_with_replaced_bytes", "Rows with replaced bytes", "with bytes replaced"),
)

# The cleanup rules' counts, shown the same way; set-aside rows are also quarantined rows.
CLEANUPS = (
    ("blank_lines", "Blank lines dropped", "blank lines dropped"),
    ("preamble_rows", "Set aside: preamble", "preamble lines set aside"),
    ("repeated_headers", "Set aside: repeated headers", "repeated headers set aside"),
    ("new_sections", "Set aside: headers of another table", "headers of another table set aside"),
    ("matched_rows", "Rows matched to the header by name", "rows matched to the header by name"),
    ("footer_rows", "Set aside: summary rows", "summary rows set aside"),
    ("garbage_rows", "Set aside: rows of control bytes", "rows of control bytes set aside"),
    ("cut_off_rows", "Set aside: cut-off last row", "cut-off last row set aside"),
    ("control_bytes", "NUL bytes removed", "NUL bytes removed"),
    ("trimmed_rows", "Rows without the empty last column", "rows without the empty last column"),
    ("transcoded_rows", "Rows read in the other encoding", "rows read in the other encoding"),
)


def show_delimiter(delimiter: str) -> str:
    return "tab" if delimiter == "\t" else repr(delimiter)


def show_quoting(quote_char: str | None, escape_char: str | None, skip_initial_space: bool = False) -> str:
    """How fields were read, in words: none, '"', '"' with \\ escapes, '"' after spaces
    skipped."""
    shown = "none" if quote_char is None else repr(quote_char)
    if escape_char is not None:
        shown = f"{shown} with {escape_char} escapes"
    return f"{shown}, spaces at field starts skipped" if skip_initial_space else shown


def aligned(rows: list[tuple[str, object]]) -> str:
    """Labels and values in two columns, as the command line prints its summary."""
    width = max(len(label) for label, _ in rows)
    return "\n".join(f"{label:<{width}}  {value}" for label, value in rows)


# The report is written out rather than made by the dataclasses module: importing that
# module (and the inspect module it needs) takes longer than repairing 20 MB, and every
# process that repairs, a pool's workers included, would pay it.


class RepairReport:
    """The counts of one repair.

    The first six are those of ``SalvageSummary``: ``total_rows`` = ``salvaged_rows`` +
    ``quarantined_rows``, and ``repaired_rows`` counts the kept rows that were filled
    (``filled_rows``) or merged (``merged_rows``). ``bytes_read`` is what was read from the
    source (before decoding, for a source in another encoding); ``bytes_written`` is the
    size of the repaired output.

    The ``rows_with_...`` counts say how many rows the parser changed while reading them:
    a quote inside a quoted field kept as content (``stray_quotes``), text after a closing
    quote that continued the field, a quote kept as content of an unquoted field, bytes
    that were not valid UTF-8 (or not valid in the given encoding) replaced by U+FFFD
    (``replaced_bytes`` of them in all). ``multiline_rows`` counts rows spanning several
    physical lines: legitimate in CSV, but also how a quote that swallowed lines shows.
    ``unterminated_quote_line`` is the line on which a quoted field opened that was still
    open at the end of the input (a truncated file), or None. ``byte_order_mark`` says a
    leading byte-order mark was skipped (UTF-8's, or UTF-16's or UTF-32's that the source
    was decoded by); the ``..._line_ends`` count the rows' line ends by kind.
    ``input_cut_off`` says that a compressed input ended before its end marker (a cut-off
    download, say): the rows before the cut were repaired, the rest were never there.
    ``encoding`` is the codec the source was read in: "utf-8" when its bytes were read as
    they are, else the one it was decoded by (given, found by its byte-order mark, or
    detected with ``encoding="auto"``). ``quote_char`` and ``escape_char`` are how fields
    were read: as the settings gave them, or as the ``quoting`` rule told them from the
    head (``quote_char`` None: quotes were text; ``escape_char`` "\\": backslash escapes
    were undone; ``skip_initial_space``: spaces at the start of fields were skipped, as
    after a writer's ``, "Doe, John"``).

    The cleanup rules' counts (zero without ``cleanup``): ``blank_lines`` dropped; rows set
    aside as ``preamble_rows`` (above the header), ``repeated_headers``, ``footer_rows``
    (summary rows), ``garbage_rows`` (nothing but NUL bytes) and ``cut_off_rows`` (the
    partial last row of a cut-off input), all also counted in ``quarantined_rows``;
    ``control_bytes`` NUL bytes removed from ``rows_with_control_bytes`` rows; and
    ``trimmed_rows`` whose empty last column (a delimiter ending every line) was dropped.
    With ``encoding="auto"`` (and the cleanup's ``encoding`` rule) a UTF-8 file with rows in
    another single-byte encoding has those ``transcoded_rows`` read in ``other_encoding``;
    a file in a single-byte encoding with rows of UTF-8 has those read as UTF-8
    (``other_encoding`` "utf-8").
    ``new_sections`` counts headers of another table set aside (two exports joined), and
    ``matched_rows`` the rows below them put in the first header's columns by name;
    ``other_table_line`` is the first line of such a header naming columns the first
    header lacks (its rows are then reconciled to the first table as without cleanup),
    unless ``repair`` could read the source again and write every output again (paths of
    regular files): it then adds those ``added_columns`` to the output, empty in the first
    table's rows, named in the header, and puts the later table's rows in place by name.

    Reports are immutable, compare equal field by field, hash, pickle and copy;
    ``__match_args__`` names the fields in order (as ``to_dict`` keys them).
    """

    total_rows: int
    salvaged_rows: int
    repaired_rows: int
    quarantined_rows: int
    detected_delimiter: str
    inferred_columns: int
    bytes_read: int
    bytes_written: int
    filled_rows: int
    merged_rows: int
    rows_with_stray_quotes: int
    rows_with_text_after_quote: int
    rows_with_quotes_in_unquoted_fields: int
    rows_with_replaced_bytes: int
    replaced_bytes: int
    multiline_rows: int
    unterminated_quote_line: int | None
    byte_order_mark: bool
    lf_line_ends: int
    crlf_line_ends: int
    cr_line_ends: int
    input_cut_off: bool
    encoding: str
    quote_char: str | None
    escape_char: str | None
    skip_initial_space: bool
    blank_lines: int
    preamble_rows: int
    repeated_headers: int
    footer_rows: int
    garbage_rows: int
    cut_off_rows: int
    rows_with_control_bytes: int
    control_bytes: int
    trimmed_rows: int
    transcoded_rows: int
    other_encoding: str | None
    new_sections: int
    matched_rows: int
    other_table_line: int | None
    added_columns: tuple[str, ...]

    # The fields above, in order.
    __slots__ = __match_args__ = tuple(__annotations__)

    def __init__(
        self,
        total_rows: int,
        salvaged_rows: int,
        repaired_rows: int,
        quarantined_rows: int,
        detected_delimiter: str,
        inferred_columns: int,
        bytes_read: int,
        bytes_written: int,
        filled_rows: int = 0,
        merged_rows: int = 0,
        rows_with_stray_quotes: int = 0,
        rows_with_text_after_quote: int = 0,
        rows_with_quotes_in_unquoted_fields: int = 0,
        rows_with_replaced_bytes: int = 0,
        replaced_bytes: int = 0,
        multiline_rows: int = 0,
        unterminated_quote_line: int | None = None,
        byte_order_mark: bool = False,
        lf_line_ends: int = 0,
        crlf_line_ends: int = 0,
        cr_line_ends: int = 0,
        input_cut_off: bool = False,
        encoding: str = "utf-8",
        quote_char: str | None = '"',
        escape_char: str | None = None,
        skip_initial_space: bool = False,
        blank_lines: int = 0,
        preamble_rows: int = 0,
        repeated_headers: int = 0,
        footer_rows: int = 0,
        garbage_rows: int = 0,
        cut_off_rows: int = 0,
        rows_with_control_bytes: int = 0,
        control_bytes: int = 0,
        trimmed_rows: int = 0,
        transcoded_rows: int = 0,
        other_encoding: str | None = None,
        new_sections: int = 0,
        matched_rows: int = 0,
        other_table_line: int | None = None,
        added_columns: tuple[str, ...] = (),
    ) -> None:
        given = locals()
        given["added_columns"] = tuple(added_columns)  # immutable, as a report is
        for name in self.__slots__:
            object.__setattr__(self, name, given[name])

    def _values(self) -> tuple[Any, ...]:
        return tuple(getattr(self, name) for name in self.__slots__)

    def __repr__(self) -> str:
        return f"RepairReport({', '.join(f'{name}={getattr(self, name)!r}' for name in self.__slots__)})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, RepairReport) or other.__class__ is not self.__class__:
            return NotImplemented
        return self._values() == other._values()

    def __hash__(self) -> int:
        return hash(self._values())

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"cannot assign to field {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"cannot delete field {name!r}")

    def __reduce__(self) -> tuple[type[RepairReport], tuple[Any, ...]]:
        return (self.__class__, self._values())

    @property
    def changed_rows(self) -> bool:
        """Whether any row was repaired, set aside or altered while being read."""
        return bool(
            self.repaired_rows
            or self.quarantined_rows
            or self.rows_with_stray_quotes
            or self.rows_with_text_after_quote
            or self.rows_with_quotes_in_unquoted_fields
            or self.rows_with_replaced_bytes
            or self.unterminated_quote_line is not None
            or any(getattr(self, key) for key, _, _ in CLEANUPS)
        )

    def _summary_rows(self) -> list[tuple[str, object]]:
        """The command line's summary of the report: (label, value) pairs."""
        rows: list[tuple[str, object]] = [
            ("Rows read", self.total_rows),
            ("Rows kept", self.salvaged_rows),
            ("Rows repaired (filled or merged)", self.repaired_rows),
            ("Rows quarantined", self.quarantined_rows),
            ("Delimiter", show_delimiter(self.detected_delimiter)),
            ("Columns", self.inferred_columns),
        ]
        if self.added_columns:
            rows.append(("Columns added by a later table", ", ".join(self.added_columns)))
        if self.encoding != "utf-8":
            rows.append(("Encoding", self.encoding))
        if self.quote_char != '"' or self.escape_char is not None or self.skip_initial_space:
            rows.append(("Quoting", show_quoting(self.quote_char, self.escape_char, self.skip_initial_space)))
        if self.other_encoding is not None and self.transcoded_rows:
            rows.append(("Encoding of some rows", self.other_encoding))
        rows += [(label, getattr(self, key)) for key, label, _ in ALTERATIONS + CLEANUPS if getattr(self, key)]
        return rows

    def __str__(self) -> str:
        """The summary table the command line prints, without the names of the files."""
        return aligned(self._summary_rows())

    def _repr_html_(self) -> str:
        """The summary as an HTML table, for notebooks."""
        import html

        cells = "".join(
            f'<tr><th style="text-align:left">{html.escape(label)}</th>'
            f'<td style="text-align:right">{html.escape(str(value))}</td></tr>'
            for label, value in self._summary_rows()
        )
        return f"<table><caption>{html.escape(type(self).__name__)}</caption>{cells}</table>"

    def to_dict(self) -> dict[str, Any]:
        """The fields as a new dict, in the order above, as JSON spells them (a list of names)."""
        values = {name: getattr(self, name) for name in self.__slots__}
        values["added_columns"] = list(self.added_columns)
        return values

    @classmethod
    def _from_counts(cls, counts: dict[str, Any], **overrides: Any) -> RepairReport:
        values = {name: counts[name] for name in cls.__slots__ if name in counts}
        values.update(overrides)
        return cls(**values)
