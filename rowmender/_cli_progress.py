"""The progress bar: on standard error, only for a person watching a terminal, and only
once the work has run for a second (a bar that flashes by is noise).

tqdm draws it (bytes, rate, and the time left when the size is known). Without tqdm the
command works the same, with no bar: the bar is a convenience, not worth failing over.
"""

from __future__ import annotations

import importlib
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

SHOW_AFTER_SECONDS = 1.0


class ProgressBar:
    """Counts bytes towards ``total`` (None: unknown); ``update`` takes the bytes done."""

    def __init__(self, label: str, total: int | None, enabled: bool = True) -> None:
        self._bar: Any = None
        if not enabled or not sys.stderr.isatty():
            return
        try:
            tqdm = importlib.import_module("tqdm")
        except ImportError:
            return
        # No monitor thread: updates come from the repair's own progress calls.
        tqdm.tqdm.monitor_interval = 0
        try:
            self._bar = tqdm.tqdm(
                desc=label,
                total=total,
                unit="B",
                unit_scale=True,
                delay=SHOW_AFTER_SECONDS,
                leave=False,
                file=sys.stderr,
                dynamic_ncols=True,
            )
        except (TypeError, KeyError):
            # A tqdm older than 4.58 has no `delay`: no bar rather than one for every run.
            self._bar = None

    @property
    def active(self) -> bool:
        return self._bar is not None

    def update(self, done: int) -> None:
        if self._bar is not None and done > self._bar.n:
            self._bar.update(done - self._bar.n)

    def close(self) -> None:
        if self._bar is not None:
            bar, self._bar = self._bar, None
            bar.close()

    def __enter__(self) -> ProgressBar:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
