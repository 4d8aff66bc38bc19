"""What a streaming repair did, as a value that can be kept, compared, pickled and sent."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True)
class RepairReport:
    """The counts of one repair.

    The first six are those of ``SalvageSummary``: ``total_rows`` = ``salvaged_rows`` +
    ``quarantined_rows``, and ``repaired_rows`` counts the kept rows that were filled or
    merged. ``bytes_read`` is what was read from the source (before decoding, for a source
    in another encoding); ``bytes_written`` is the size of the repaired output.
    """

    total_rows: int
    salvaged_rows: int
    repaired_rows: int
    quarantined_rows: int
    detected_delimiter: str
    inferred_columns: int
    bytes_read: int
    bytes_written: int

    def to_dict(self) -> dict[str, Any]:
        """The fields as a new dict, in the order above."""
        return dataclasses.asdict(self)

    @classmethod
    def _from_counts(cls, counts: dict[str, Any], **overrides: Any) -> RepairReport:
        values = {field.name: counts.get(field.name, 0) for field in dataclasses.fields(cls)}
        values.update(overrides)
        return cls(**values)
