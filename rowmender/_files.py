"""Where the streaming functions read and write: paths, descriptors and file objects.

Sources are read by the engine straight from a descriptor when they are paths (with the
interpreter lock released) and through ``readinto`` when they are file objects. Targets
that are paths of regular files (or of files yet to be made) are written to a temporary
file in the same folder and renamed over the target only once everything succeeded;
other targets (devices, FIFOs, terminals) are written directly.
"""

from __future__ import annotations

import codecs
import errno
import os
import stat

# Not imported from typing, whose import costs more than a small repair: the names are only
# needed by type checkers.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any, Protocol, TypeGuard, Union

    PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

    class Committable(Protocol):
        def commit(self) -> None: ...
        def abort(self) -> None: ...

# Byte-order marks that mean UTF-16: how Excel saves "Unicode text".
_UTF16_MARKS = (b"\xff\xfe", b"\xfe\xff")
_RAW_UTF8 = ("utf-8", "utf-8-sig")
_DECODE_CHUNK = 1 << 20


def is_path(value: object) -> TypeGuard[PathLike]:
    return isinstance(value, (str, bytes, os.PathLike))


def describe(value: object) -> str:
    """How messages name a source or target."""
    if isinstance(value, int) and not isinstance(value, bool):
        return {0: "<stdin>", 1: "<stdout>", 2: "<stderr>"}.get(value, f"<file descriptor {value}>")
    if is_path(value):
        return os.fsdecode(os.fspath(value))
    name = getattr(value, "name", None)
    if isinstance(name, str):
        return name
    return f"<{type(value).__name__}>"


def _mark_undecodable(error: UnicodeError) -> tuple[str, int]:
    # Each byte the codec could not read becomes the surrogate that stands for the byte
    # 0xFF, which goes to the engine as that byte: never valid UTF-8 and never part of a
    # sequence, so the engine replaces each with one U+FFFD and counts it in its row.
    if not isinstance(error, UnicodeDecodeError):
        raise error
    return "\udcff" * (error.end - error.start), error.end


codecs.register_error("rowmender.mark-undecodable", _mark_undecodable)


class DecodingReader:
    """A source in another encoding, read as UTF-8: decoded chunk by chunk by an incremental
    decoder. Every byte the decoder cannot read reaches the engine as one byte that is not
    UTF-8, so that it is replaced by U+FFFD and accounted for in the row it lies in."""

    def __init__(self, read: Any, encoding: str, prefix: bytes = b"") -> None:
        self._read = read
        self._decoder = codecs.getincrementaldecoder(encoding)(errors="rowmender.mark-undecodable")
        self._pending = bytearray()
        self._prefix = prefix
        self._done = False
        self.raw_bytes_read = 0

    def readinto(self, buffer: Any) -> int:
        view = memoryview(buffer).cast("B")
        while len(self._pending) < len(view) and not self._done:
            raw = self._prefix + self._read(_DECODE_CHUNK)
            self._prefix = b""
            self.raw_bytes_read += len(raw)
            text = self._decoder.decode(raw, final=not raw)
            self._done = not raw
            self._pending += text.encode("utf-8", "surrogateescape")
        n = min(len(view), len(self._pending))
        view[:n] = self._pending[:n]
        del self._pending[:n]
        return n


def _regular_file_size(source: object) -> int | None:
    if not isinstance(source, int):
        return None
    try:
        info = os.fstat(source)
    except OSError:
        return None
    return info.st_size if stat.S_ISREG(info.st_mode) else None


def read_up_to(read: Callable[[int], bytes], size: int) -> bytes:
    """Up to ``size`` bytes: fewer only at the end of the data (a pipe gives what it has)."""
    data = b""
    while len(data) < size:
        more = read(size - len(data))
        if not more:
            break
        data += more
    return data


class Source:
    """The engine's view of a source: a descriptor or an object with readinto, the first
    bytes already taken from it, and how to name it."""

    def __init__(self, source: object, encoding: str | None) -> None:
        self.name = describe(source)
        self._owned_fd: int | None = None
        self.decoder: DecodingReader | None = None
        if encoding is not None:
            encoding = codecs.lookup(encoding).name  # LookupError for an unknown codec
        if is_path(source):
            fd = os.open(os.fspath(source), os.O_RDONLY | os.O_CLOEXEC)
            self._owned_fd = fd
            try:
                if stat.S_ISDIR(os.fstat(fd).st_mode):
                    raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), self.name)
            except BaseException:
                self.close()
                raise
            self.engine_source: Any = fd
            read = lambda size: os.read(fd, size)  # noqa: E731
        elif isinstance(source, int) and not isinstance(source, bool):
            # An open descriptor (standard input, say) is read as it is and left open.
            descriptor = source
            self.engine_source = descriptor
            read = lambda size: os.read(descriptor, size)  # noqa: E731
        elif hasattr(source, "readinto") or hasattr(source, "read"):
            self.engine_source = source
            read = source.read if hasattr(source, "read") else None
        else:
            raise TypeError(
                f"source must be a path, a file descriptor or a readable binary file object, not {type(source).__name__}"
            )
        self._total = _regular_file_size(self.engine_source)
        self.prefix = b""
        if encoding in _RAW_UTF8:
            return
        if encoding is None:
            if read is None:
                return
            # Look at the first two bytes for a UTF-16 byte-order mark; they go to the engine
            # first when there is none.
            self.prefix = read_up_to(read, 2)
            if isinstance(self.prefix, str):
                raise TypeError("source must be opened in binary mode")
            if self.prefix not in _UTF16_MARKS:
                return
            encoding = "utf-16"
        if read is None:
            raise TypeError("a source in another encoding needs a read() method")
        self.decoder = DecodingReader(read, encoding, self.prefix)
        self.prefix = b""
        self.engine_source = self.decoder

    def bytes_read(self, engine_bytes: int) -> int:
        """What was read from the source when the engine has read `engine_bytes`."""
        return self.decoder.raw_bytes_read if self.decoder is not None else engine_bytes

    def total(self) -> int | None:
        """The source's size when it is a regular file."""
        return self._total

    def close(self) -> None:
        if self._owned_fd is not None:
            fd, self._owned_fd = self._owned_fd, None
            os.close(fd)


class Target:
    """A target being written: a path (atomically where it can be) or a file object."""

    def __init__(self, target: object) -> None:
        self.name = describe(target)
        self._fd: int | None = None
        self._temporary: str | None = None
        self._final: str | None = None
        self.engine_target: Any
        if isinstance(target, int) and not isinstance(target, bool):
            # An open descriptor (standard output, say) is written as it is and left open.
            self.engine_target = target
            return
        if not is_path(target):
            if not hasattr(target, "write"):
                raise TypeError(
                    f"target must be a path, a file descriptor or a writable binary file object, "
                    f"not {type(target).__name__}"
                )
            self.engine_target = target
            return
        # A symbolic link is followed: the file it names is replaced and the link stays.
        path = os.fsdecode(os.path.realpath(os.fspath(target)))
        try:
            info: os.stat_result | None = os.stat(path)
        except FileNotFoundError:
            info = None
        if info is not None and stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), self.name)
        if info is not None and not stat.S_ISREG(info.st_mode):
            # A device, FIFO, terminal or socket is written as it is: renaming a file over
            # a device node would be a disaster.
            self._fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC)
            self.engine_target = self._fd
            return
        folder, base = os.path.split(path)
        for attempt in range(100):
            candidate = os.path.join(folder, f".{base}.{os.getpid()}.{attempt}.rowmender-tmp")
            try:
                # Created as a new file would be (0o666 less the umask); an existing
                # target's permission bits are put back below.
                self._fd = os.open(candidate, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            except FileExistsError:
                continue
            except OSError as error:
                if error.filename == candidate:
                    error.filename = self.name
                raise
            self._temporary = candidate
            break
        else:
            raise FileExistsError(errno.EEXIST, "cannot make a temporary file", os.path.join(folder, base))
        if info is not None:
            os.fchmod(self._fd, stat.S_IMODE(info.st_mode))
        self._final = path
        self.engine_target = self._fd

    def commit(self) -> None:
        """Puts the written file in place."""
        if self._fd is not None:
            fd, self._fd = self._fd, None
            os.close(fd)
        if self._temporary is not None:
            temporary, self._temporary = self._temporary, None
            os.replace(temporary, self._final)  # type: ignore[arg-type]

    def abort(self) -> None:
        """Leaves the target as it was: the temporary file goes."""
        if self._fd is not None:
            fd, self._fd = self._fd, None
            os.close(fd)
        if self._temporary is not None:
            temporary, self._temporary = self._temporary, None
            try:
                os.unlink(temporary)
            except OSError:
                pass


def file_identity(value: object) -> tuple[int, int] | None:
    """Device and inode of a path that names an existing regular file."""
    if not is_path(value):
        return None
    try:
        info = os.stat(os.fspath(value))
    except OSError:
        return None
    return (info.st_dev, info.st_ino) if stat.S_ISREG(info.st_mode) else None


class all_or_nothing:
    """Outputs added to the list are put in place together when the block succeeds, in the
    order they were added (the repaired file first), and all dropped when it fails."""

    def __init__(self) -> None:
        self._outputs: list[Committable] = []

    def __enter__(self) -> list[Committable]:
        return self._outputs

    def __exit__(self, kind: object, error: object, traceback: object) -> None:
        outputs = self._outputs
        if kind is not None:
            for output in outputs:
                output.abort()
            return
        for output in outputs:
            try:
                output.commit()
            except BaseException:
                # The outputs not yet in place go; those in place stay (their abort does
                # nothing once committed).
                for every in outputs:
                    every.abort()
                raise
