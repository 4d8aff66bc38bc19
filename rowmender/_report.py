"""What a streaming repair did, as a value that can be kept, compared, pickled and sent."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any


@dataclass(frozen=True)
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
    leading UTF-8 byte-order mark was skipped; the ``..._line_ends`` count the rows' line
    ends by kind.
    """

    total_rows: int
    salvaged_rows: int
    repaired_rows: int
    quarantined_rows: int
    detected_delimiter: str
    inferred_columns: int
    bytes_read: int
    bytes_written: int
    filled_rows: int = 0
    merged_rows: int = 0
    rows_with_stray_quotes: int = 0
    rows_with_text_after_quote: int = 0
    rows_with_quotes_in_unquoted_fields: int = 0
    rows_with_replaced_bytes: int = 0
    replaced_bytes: int = 0
    multiline_rows: int = 0
    unterminated_quote_line: int | None = None
    byte_order_mark: bool = False
    lf_line_ends: int = 0
    crlf_line_ends: int = 0
    cr_line_ends: int = 0

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
        )

    def to_dict(self) -> dict[str, Any]:
        """The fields as a new dict, in the order above."""
        return dataclasses.asdict(self)

    @classmethod
    def _from_counts(cls, counts: dict[str, Any], **overrides: Any) -> RepairReport:
        values = {field.name: counts[field.name] for field in dataclasses.fields(cls) if field.name in counts}
        values.update(overrides)
        return cls(**values)
