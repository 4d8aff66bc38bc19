"""fsspec URLs for ``repair_many``: which strings are URLs, and writing to one as repair()
writes a local file, under a temporary name moved into place once the file is done."""

from __future__ import annotations

import contextlib
import errno
import importlib
import os
import posixpath
import re
import uuid
from collections.abc import Iterator
from types import ModuleType

# A scheme, possibly behind fsspec's chained ones ("simplecache::s3://..."), then "://".
_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*(?:::[A-Za-z][A-Za-z0-9+.-]*)*://")

# The optional modules' packages: Debian's, and pip's.
_PACKAGES = {
    "fsspec": ("python3-fsspec", "fsspec"),
    "distributed": ("python3-dask python3-distributed", '"dask[distributed]"'),
}


def optional_module(name: str, purpose: str) -> ModuleType:
    """Imports an optional dependency, or says which package brings it."""
    try:
        return importlib.import_module(name)
    except ImportError as error:
        debian, pip = _PACKAGES[name]
        raise ImportError(
            f"{purpose} needs the {name} module: `apt install {debian}` on Debian, or `pip install {pip}`",
            name=name,
        ) from error


def is_url(location: str) -> bool:
    return _URL.match(location) is not None


def in_this_process(location: str) -> bool:
    """Whether a URL names a filesystem that lives in this process's memory (fsspec's
    ``memory://``): a worker process would read and write a copy of its own, and what it
    wrote would be lost with it."""
    return is_url(location) and "memory" in location.split("://", 1)[0].split("::")


def base_name(location: str) -> str:
    # URLs take "/" whatever the local system uses; after a trailing one, there is no name.
    if is_url(location):
        return posixpath.basename(location.split("://", 1)[1])
    return os.path.basename(location)


def join(folder: str, name: str) -> str:
    return folder.rstrip("/") + "/" + name if is_url(folder) else os.path.join(folder, name)


class UrlOutput:
    """An output on an fsspec filesystem, written under a temporary name and moved into place
    once the repair succeeded, so that a failure leaves what was there before, as repair()
    does for local paths."""

    def __init__(self, url: str) -> None:
        fsspec = optional_module("fsspec", f"writing {url}")
        self._fs, self._path = fsspec.core.url_to_fs(url)
        folder, name = posixpath.split(self._path)
        self._temporary = posixpath.join(folder, f".{name}.{uuid.uuid4().hex}.rowmender-tmp")
        with naming(url):
            protocols = self._fs.protocol if isinstance(self._fs.protocol, tuple) else (self._fs.protocol,)
            if "file" in protocols:
                # Object stores have no folders to make (and making one may create a bucket).
                self._fs.makedirs(folder, exist_ok=True)
            self.file = self._fs.open(self._temporary, "wb")

    def commit(self) -> None:
        self.file.close()
        self._fs.mv(self._temporary, self._path)

    def abort(self) -> None:
        with contextlib.suppress(Exception):
            self.file.close()
        with contextlib.suppress(Exception):
            self._fs.rm(self._temporary)


# The errors some fsspec filesystems raise with only a path for their message, and what
# they mean.
_ERRNO_OF = {
    FileNotFoundError: errno.ENOENT,
    IsADirectoryError: errno.EISDIR,
    NotADirectoryError: errno.ENOTDIR,
    PermissionError: errno.EACCES,
    FileExistsError: errno.EEXIST,
}


@contextlib.contextmanager
def naming(url: str) -> Iterator[None]:
    """Gives the file errors of an fsspec filesystem the form local ones have: an errno, its
    message and, as the filename, the URL the caller gave rather than the filesystem's own
    path."""
    try:
        yield
    except OSError as error:
        code = error.errno if error.errno is not None else _ERRNO_OF.get(type(error))
        if code is None:
            raise
        try:
            named = type(error)(code, os.strerror(code), url)
        except Exception:  # a subclass whose constructor takes other arguments
            raise error from None
        raise named from error
