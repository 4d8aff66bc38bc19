"""Rescue damaged delimited text files (CSV, semicolon, tab and bar separated).

rowmender parses tolerantly, works out the delimiter and the column count, reconciles every
row to one width and sets aside what it may not reconcile, reporting what it did in counts.
"""

from ._rowmender_backend import (
    SalvageReader,
    SalvageSummary,
    __version__,
    open,
    salvage_file,
    sniff,
)

__all__ = ["salvage_file", "sniff", "open", "SalvageSummary", "SalvageReader"]
