"""Rescue damaged delimited text files (CSV, semicolon, tab and bar separated).

rowmender parses tolerantly, works out the delimiter and the column count, reconciles every
row to one width and sets aside what it may not reconcile, reporting what it did in counts.
"""

from ._rowmender_backend import (
    SalvageReader,
    SalvageSummary,
    open,
    salvage_file,
    sniff,
)
from ._many import repair_many
from ._report import RepairReport
from ._stream import RowStream, repair, rows

# The redundant alias marks the version as re-exported for type checkers, since it is not
# in __all__.
from ._rowmender_backend import __version__ as __version__

__all__ = [
    "salvage_file",
    "sniff",
    "open",
    "SalvageSummary",
    "SalvageReader",
    "repair",
    "rows",
    "RepairReport",
    "RowStream",
    "repair_many",
]
