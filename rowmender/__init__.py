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

# The redundant alias marks the version as re-exported for type checkers, since it is not
# in __all__.
from ._rowmender_backend import __version__ as __version__  # noqa: F401

# Not imported from typing, whose import alone would cost more than the rest of the package.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._files import NotTextError, SameFileError
    from ._many import repair_many
    from ._repaired_stream import RepairedStream, open_repaired
    from ._report import RepairReport
    from ._stream import RowStream, repair, rows

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
    "SameFileError",
    "NotTextError",
    "open_repaired",
    "RepairedStream",
]

# The streaming road's Python side loads on first use: a script that only reads a file with
# open() starts as fast as one that does not import rowmender at all.
_LAZY = {
    "repair": "._stream",
    "rows": "._stream",
    "RowStream": "._stream",
    "RepairReport": "._report",
    "repair_many": "._many",
    "SameFileError": "._files",
    "NotTextError": "._files",
    "open_repaired": "._repaired_stream",
    "RepairedStream": "._repaired_stream",
}


def __getattr__(name: str) -> object:
    if name in _LAZY:
        import importlib

        value = getattr(importlib.import_module(_LAZY[name], __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))
