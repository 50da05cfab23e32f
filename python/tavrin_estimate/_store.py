"""Result files that a long run can trust: checked on reading, replaced whole on writing, and
held by one run at a time.

A file is a JSON object with a format tag, a version and a `checksum`: "sha256:" and the hex
digest of the canonical JSON (sorted keys, no spaces, ASCII only) of the object without that
field. Reading refuses, with a message that names the file and says what is wrong, anything
that is not a regular file of sane size (a FIFO is never waited on, /dev/zero never read),
empty, binary, truncated or malformed JSON, a duplicated key, values nested too deeply or
numbers too large to be counts, another file format or version, and a file changed after it
was written.

Writing goes to a temporary file in the target's folder, which is flushed to the disk and
renamed over the target, after which the folder itself is flushed: a crash or `kill -9` at
any moment leaves either the old or the new content, never a mixture. A replaced file keeps
its mode, owner and group; a new one is created with the user's umask. A symbolic link is
written through: its target gets the new content and the link stays. A file that is
read-only, or whose owner or group this user could not keep, is refused before a run starts.

While a run uses a file it holds an advisory lock on a sidecar `.NAME.lock` beside the target
(the target itself is replaced on every save, so a lock on it would not last): a second run on
the same file refuses to start, and a single save (Estimate.save) takes the same lock for its
moment, marked as a save: a save or a run that meets a save waits for it, while one that meets
a run is refused. The lock binds only those who take it: before each save a run checks that
the file is still the one it read or last wrote, and refuses to overwrite what another writer put there. Temporary files are removed on every path out of a save; those
left by a run that was killed during a save are removed by the next run that holds the lock,
which alone may have written them.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import hashlib
import json
import math
import os
import re
import secrets
import stat
import sys
import time
from types import TracebackType
from typing import Any, Callable, Collection, Dict, List, Mapping, Optional, Tuple, Type, Union

CHECKSUM_FIELD = "checksum"
CHECKSUM_PREFIX = "sha256:"
# Far above any result (a result with a count for every block of 10^12 boardings takes about
# 80 MB), far below what would exhaust memory.
MAX_FILE_BYTES = 256 << 20
# A result nests a few levels; this refuses a file built to exhaust the parser's recursion.
MAX_DEPTH = 32
# Below CPython's own limit on converting digits to an int (4300), whose message is obscure.
MAX_INT_DIGITS = 4000
DEFAULT_CHECKPOINT_SECONDS = 60.0

_TEMPORARY_SUFFIX = ".tavrin-tmp"
# The mark after the process number in a lock file held for one save, not for a run.
_SAVING_MARK = " save"
# A save that meets another waits for it, polling from 1 ms up to 50 ms between tries; a holder
# still saving after this long (a stale mark) is refused as a run would be.
_LOCK_POLL_SECONDS = 0.001
_LOCK_POLL_MAX_SECONDS = 0.05
_SAVE_WAIT_SECONDS = 60.0
# A holder writes its mark just after it takes the lock: a lock file found unmarked is
# looked at again for this long before its holder counts as a run.
_UNMARKED_WAIT_SECONDS = 1.0
_TOKEN_HEX_DIGITS = 16
# Leaves room for the dot, the token and the suffix within a 255-byte file name.
_NAME_KEPT = 200

PathLike = Union[str, "os.PathLike[str]"]


class FileRefused(ValueError):
    """A result file that cannot be used (a `ValueError`); ``str()`` names the file and the
    problem.

    Parameters
    ----------
    path : str or os.PathLike
        The file, kept as ``path`` (a str).
    problem : str
        What is wrong with it, kept as ``problem``.
    """

    def __init__(self, path: PathLike, problem: str) -> None:
        super().__init__(f"{os.fspath(path)}: {problem}")
        self.path = os.fspath(path)
        self.problem = problem


class _Malformed(ValueError):
    """A problem found while parsing, raised through the JSON parser's hooks."""


# --- Checked JSON ------------------------------------------------------------------------------


def canonical_json(value: Any) -> str:
    """The one text of a JSON value that its checksum covers."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=True, allow_nan=False)


def checksum(document: Mapping[str, Any]) -> str:
    """The checksum of a document (the field itself, if present, left out)."""
    body = {key: value for key, value in document.items() if key != CHECKSUM_FIELD}
    return CHECKSUM_PREFIX + hashlib.sha256(canonical_json(body).encode("ascii")).hexdigest()


def encode(document: Mapping[str, Any]) -> bytes:
    """The file content of `document` with its checksum added last: one top-level key per line,
    each value on one line. ValueError for anything JSON cannot hold exactly (NaN, infinity,
    objects other than dicts, lists, str, int, float, bool and None)."""
    if CHECKSUM_FIELD in document:
        raise ValueError(f"the key {CHECKSUM_FIELD!r} is the file's own")
    try:
        sealed = checksum(document)
        lines = [
            f"  {json.dumps(key)}: {json.dumps(value, ensure_ascii=True, allow_nan=False, separators=(', ', ': '))}"
            for key, value in [*document.items(), (CHECKSUM_FIELD, sealed)]
        ]
    except TypeError as exc:
        raise ValueError(f"not a JSON document: {exc}") from None
    return ("{\n" + ",\n".join(lines) + "\n}\n").encode("ascii")


def _check_depth(document: Any) -> None:
    """Refuse nesting deeper than MAX_DEPTH (the parser itself stops at the recursion limit,
    which is far deeper than a result and too close to it for the checksum's own encoding)."""
    level: List[Any] = [document]
    for _ in range(MAX_DEPTH):
        level = [child for value in level if isinstance(value, (dict, list))
                 for child in (value.values() if isinstance(value, dict) else value)]
        if not level:
            return
    if any(isinstance(value, (dict, list)) for value in level):
        raise _Malformed(f"nests values more than {MAX_DEPTH} levels deep")


def _object(pairs: List[Tuple[str, Any]]) -> Dict[str, Any]:
    result: Dict[str, Any] = {}
    for key, value in pairs:
        if key in result:
            raise _Malformed(f"holds the key {key!r} twice")
        result[key] = value
    return result


def _int(text: str) -> int:
    digits = len(text.lstrip("-"))
    if digits > MAX_INT_DIGITS:
        raise _Malformed(f"holds a number of {digits:,} digits")
    return int(text)


def _float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise _Malformed(f"holds the number {text[:40]}, too large for a float")
    return value


def _constant(text: str) -> Any:
    raise _Malformed(f"holds {text}, which is no JSON number")


def _brief(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def decode(data: bytes, *, kind: str, versions: Collection[int], retired: Mapping[int, str] = {}) -> Dict[str, Any]:
    """The document of a file's content (checksum field removed), or ValueError saying what is
    wrong with it (a message to follow the file's name). `retired` maps versions no longer
    read to the message that says why."""
    if not data.strip():
        raise ValueError("is empty" if not data else "holds only white space")
    if b"\0" in data:
        raise ValueError("is binary, not a saved result")
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise ValueError("is binary (not UTF-8 text), not a saved result") from None
    try:
        document = json.loads(text, object_pairs_hook=_object, parse_int=_int, parse_float=_float,
                              parse_constant=_constant)
        _check_depth(document)
    except _Malformed as exc:
        raise ValueError(str(exc)) from None
    except json.JSONDecodeError as exc:
        # A string left open runs to the end of the text: also a file cut short.
        if exc.pos >= len(text.rstrip()) or exc.msg.startswith("Unterminated string"):
            raise ValueError("is truncated: its JSON stops before the end") from None
        raise ValueError(f"is not JSON: {exc.msg} at line {exc.lineno} column {exc.colno}") from None
    except RecursionError:
        raise ValueError(f"nests values more than {MAX_DEPTH} levels deep") from None
    if not isinstance(document, dict):
        raise ValueError(f"is not a saved result: it holds a JSON {type(document).__name__}, not an object")
    tag = document.get("format")
    if tag != kind:
        raise ValueError(f"is not a saved result: its format tag is {_brief(tag)}, not {kind!r}"
                         if tag is not None else "is not a saved result: it has no format tag")
    version = document.get("version")
    number = version if isinstance(version, int) and not isinstance(version, bool) else None
    if number is not None and number in retired:
        raise ValueError(retired[number])
    if number not in versions:
        known = ", ".join(str(v) for v in sorted(versions))
        raise ValueError(f"has format version {_brief(version)}; this program reads version {known}")
    sealed = document.pop(CHECKSUM_FIELD, None)
    if sealed is None:
        raise ValueError("has no checksum")
    if not isinstance(sealed, str) or not re.fullmatch(re.escape(CHECKSUM_PREFIX) + "[0-9a-f]{64}", sealed):
        raise ValueError(f"has a malformed checksum {_brief(sealed)}")
    if checksum(document) != sealed:
        raise ValueError("was changed after it was written: its checksum does not match its content")
    return document


# --- Files ---------------------------------------------------------------------------------------


def _describe_kind(mode: int) -> str:
    for test, name in ((stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return name
    return "not a regular file"


def read_bounded(path: PathLike, limit: int = MAX_FILE_BYTES) -> Optional[bytes]:
    """The content of the regular file at `path` (symbolic links followed), None when nothing
    is there; FileRefused for anything else or for more than `limit` bytes. Never blocks on a
    FIFO or a device: the file is opened non-blocking and looked at before it is read."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except FileNotFoundError:
        return None
    except OSError as exc:
        raise FileRefused(path, f"cannot be read: {exc.strerror}") from None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise FileRefused(path, f"is {_describe_kind(info.st_mode)}, not a saved result")
        chunks: List[bytes] = []
        size = 0
        while size <= limit:
            chunk = os.read(fd, min(1 << 20, limit + 1 - size))
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
        if size > limit:
            raise FileRefused(path, f"is larger than any saved result ({limit:,} bytes at most)")
        return b"".join(chunks)
    except OSError as exc:
        raise FileRefused(path, f"cannot be read: {exc.strerror}") from None
    finally:
        os.close(fd)


def read_document(path: PathLike, *, kind: str, versions: Collection[int], retired: Mapping[int, str] = {},
                  max_bytes: int = MAX_FILE_BYTES) -> Dict[str, Any]:
    """The checked document of the file at `path`, read without taking its lock (a file that a
    run is writing is always whole); FileRefused for a missing file as for a malformed one."""
    data = read_bounded(path, max_bytes)
    if data is None:
        raise FileRefused(path, "does not exist")
    try:
        return decode(data, kind=kind, versions=versions, retired=retired)
    except ValueError as exc:
        raise FileRefused(path, str(exc)) from None


def _fsync_folder(folder: str) -> None:
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    except OSError as exc:
        # Some file systems cannot flush a folder; the rename is then as durable as they allow.
        if exc.errno not in (errno.EINVAL, errno.ENOTSUP, errno.EBADF):
            raise
    finally:
        os.close(fd)


def _temporary_pattern(name: str) -> re.Pattern[str]:
    return re.compile(re.escape(f".{name[:_NAME_KEPT]}.") + f"[0-9a-f]{{{_TOKEN_HEX_DIGITS}}}"
                      + re.escape(_TEMPORARY_SUFFIX))


def write_atomically(target: str, data: bytes, *, like: Optional[os.stat_result] = None) -> None:
    """Replace the file `target` (a resolved path: no symbolic link) by `data` in one step.
    With `like` (the stat of the file being replaced) the new file gets its owner, group and
    mode; without, the mode that the umask leaves of 0o666."""
    folder, name = os.path.split(target)
    folder = folder or "."
    temporary = os.path.join(folder, f".{name[:_NAME_KEPT]}.{secrets.token_hex(_TOKEN_HEX_DIGITS // 2)}{_TEMPORARY_SUFFIX}")
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666)
    try:
        try:
            if like is not None:
                mine = os.fstat(fd)
                if (like.st_uid, like.st_gid) != (mine.st_uid, mine.st_gid):
                    os.fchown(fd, like.st_uid, like.st_gid)
                # After fchown, which clears the set-user-ID and set-group-ID bits.
                os.fchmod(fd, stat.S_IMODE(like.st_mode))
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
        os.rename(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    _fsync_folder(folder)


def _can_keep_owner(info: os.stat_result) -> bool:
    euid = os.geteuid()
    if euid == 0:
        return True
    return info.st_uid == euid and (info.st_gid == os.getegid() or info.st_gid in os.getgroups())


class ResultFile:
    """The result file of one run, held from open() to close() (or the `with` block).

    open() checks the path before any boarding runs: the folder exists and can be written, the
    file is absent or a regular file that this user may replace keeping its mode and owner, no
    other run holds it; it returns the checked document it holds, or None. save() replaces it
    atomically. Every refusal is a FileRefused naming the path as given.
    """

    def __init__(self, path: PathLike, *, kind: str, versions: Collection[int], retired: Mapping[int, str] = {},
                 max_bytes: int = MAX_FILE_BYTES) -> None:
        self.path = os.fspath(path)
        self.kind = kind
        self.versions = frozenset(versions)
        self.retired = dict(retired)
        self.max_bytes = max_bytes
        # Symbolic links are resolved once: the run writes through them to their target.
        self.target = os.path.realpath(self.path)
        self._folder, self._name = os.path.split(self.target)
        self._lock_path = os.path.join(self._folder, f".{self._name[:_NAME_KEPT]}.lock")
        self._lock_fd: Optional[int] = None
        # What the file was when it was read or last written (empty: absent), to see another writer.
        self._seen: Tuple[int, ...] = ()

    def refused(self, problem: str) -> FileRefused:
        return FileRefused(self.path, problem)

    @property
    def locked(self) -> bool:
        return self._lock_fd is not None

    def open(self) -> Optional[Dict[str, Any]]:
        if self._lock_fd is not None:
            raise RuntimeError(f"{self.path} is open already")
        self._check_folder()
        self._check_kind()
        self._lock()
        try:
            self._remove_stale_temporaries()
            self._seen = ()
            data = read_bounded(self.target, self.max_bytes)
            if data is None:
                return None
            info = os.stat(self.target)
            self._seen = _identity(info)
            self._check_replaceable(info)
            try:
                return decode(data, kind=self.kind, versions=self.versions, retired=self.retired)
            except ValueError as exc:
                raise self.refused(str(exc)) from None
        except BaseException:
            self.close()
            raise

    def save(self, document: Mapping[str, Any]) -> None:
        """Replace the file by `document` (plus its checksum). OSError or FileRefused when it
        cannot be written; the file then holds what it held before."""
        if self._lock_fd is None:
            raise RuntimeError(f"{self.path} is not open")
        data = encode(document)
        try:
            like: Optional[os.stat_result] = os.stat(self.target)
        except FileNotFoundError:
            like = None
        if like is not None:
            if _identity(like) != self._seen:
                raise self.refused(
                    "was replaced by another writer since this run read or saved it: left as it is, not"
                    " overwritten"
                )
            self._check_replaceable(like)
        write_atomically(self.target, data, like=like)
        with contextlib.suppress(OSError):
            self._seen = _identity(os.stat(self.target))

    def save_once(self, document: Mapping[str, Any]) -> None:
        """Hold the lock for one save, then let it go: FileRefused when a run holds the file,
        when the path is not a regular file (a device or a FIFO is never replaced) or when
        the folder cannot be written, as open() refuses them; another save is waited for."""
        os.stat(self._folder or ".")  # a missing folder is the OSError that writing would raise
        self._check_folder()
        self._check_kind()
        self._lock(saving=True)
        try:
            try:
                like: Optional[os.stat_result] = os.stat(self.target)
            except FileNotFoundError:
                like = None
            if like is not None:
                self._check_regular(like)  # what appeared since the check above
            write_atomically(self.target, encode(document), like=like)
        finally:
            self.close()

    def close(self) -> None:
        """Release the lock (removing the sidecar while still holding it, so a run waiting for
        it finds that it locked a removed file and tries again)."""
        fd, self._lock_fd = self._lock_fd, None
        if fd is None:
            return
        try:
            with contextlib.suppress(OSError):
                os.unlink(self._lock_path)
        finally:
            os.close(fd)

    def __enter__(self) -> ResultFile:
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()

    def _check_folder(self) -> None:
        where = self._folder or "."
        try:
            info = os.stat(where)
        except FileNotFoundError:
            raise self.refused(f"its folder {where} does not exist") from None
        except OSError as exc:
            raise self.refused(f"its folder {where} cannot be used: {exc.strerror}") from None
        if not stat.S_ISDIR(info.st_mode):
            raise self.refused(f"{where} is not a folder")
        if not os.access(where, os.W_OK | os.X_OK):
            raise self.refused(f"cannot write in its folder {where}")

    def _check_kind(self) -> None:
        """A device, FIFO, socket or folder is refused before a lock file is made beside it."""
        try:
            info = os.stat(self.target)
        except FileNotFoundError:
            return
        except OSError as exc:
            raise self.refused(f"cannot be read: {exc.strerror}") from None
        self._check_regular(info)

    def _check_regular(self, info: os.stat_result) -> None:
        if not stat.S_ISREG(info.st_mode):
            raise self.refused(f"is {_describe_kind(info.st_mode)}, not a saved result")

    def _check_replaceable(self, info: os.stat_result) -> None:
        self._check_regular(info)
        if not info.st_mode & 0o222 or not os.access(self.target, os.W_OK):
            raise self.refused("is read-only: make it writable to continue the run in it")
        if not _can_keep_owner(info):
            raise self.refused(
                f"belongs to user {info.st_uid} and group {info.st_gid}, which a new version"
                " written by this user could not keep: continue the run in a copy"
            )

    def _lock(self, saving: bool = False) -> None:
        """Take the sidecar's lock, marked with this process and whether it is held for one
        save. A holder that is saving is waited for (a save takes a moment); a run that holds
        the file is refused at once."""
        waiting_since: Dict[bool, float] = {}  # by whether the holder is marked
        pause = _LOCK_POLL_SECONDS
        while True:
            try:
                try:
                    fd = os.open(self._lock_path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666)
                except PermissionError:
                    fd = os.open(self._lock_path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
            except OSError as exc:
                raise self.refused(f"cannot be locked: {self._lock_path}: {exc.strerror}") from None
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                holder, holder_saving = _read_holder(fd)
                os.close(fd)
                # A holder that has not written its mark yet has only just taken the lock.
                patience = _SAVE_WAIT_SECONDS if holder_saving else _UNMARKED_WAIT_SECONDS if holder is None else 0.0
                now = time.monotonic()
                if now - waiting_since.setdefault(holder is not None, now) < patience:
                    time.sleep(pause)
                    pause = min(2.0 * pause, _LOCK_POLL_MAX_SECONDS)
                    continue
                who = f"another run (process {holder})" if holder else "another run"
                raise self.refused(f"is in use by {who}; wait for it to end or use another file") from None
            except OSError as exc:
                os.close(fd)
                raise self.refused(f"cannot be locked: {exc.strerror}") from None
            # The holder before us may have removed the sidecar after we opened it: then the
            # lock is on a file nobody else will look at, and we take the new one.
            try:
                current = os.stat(self._lock_path, follow_symlinks=False)
            except FileNotFoundError:
                current = None
            mine = os.fstat(fd)
            if current is not None and (current.st_dev, current.st_ino) == (mine.st_dev, mine.st_ino):
                break
            os.close(fd)
        with contextlib.suppress(OSError):
            os.ftruncate(fd, 0)
            os.pwrite(fd, f"{os.getpid()}{_SAVING_MARK if saving else ''}\n".encode("ascii"), 0)
        self._lock_fd = fd

    def _remove_stale_temporaries(self) -> None:
        """Temporary files of this target left by a run killed during a save: only files with
        the exact name form of ours, regular, of this user, found while we hold the lock (no
        live run writes them then)."""
        pattern = _temporary_pattern(self._name)
        try:
            names = os.listdir(self._folder or ".")
        except OSError:
            return
        for name in names:
            if not pattern.fullmatch(name):
                continue
            path = os.path.join(self._folder, name)
            with contextlib.suppress(OSError):
                info = os.stat(path, follow_symlinks=False)
                if stat.S_ISREG(info.st_mode) and info.st_uid == os.geteuid():
                    os.unlink(path)


def _identity(info: os.stat_result) -> Tuple[int, ...]:
    """What changes when a file is replaced or written to."""
    return (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns)


def _read_holder(fd: int) -> Tuple[Optional[int], bool]:
    """The process that holds a lock file and whether it holds it for one save; (None, False)
    for a lock file not marked yet."""
    with contextlib.suppress(OSError, ValueError):
        text = os.pread(fd, 32, 0).decode("ascii").strip()
        saving = text.endswith(_SAVING_MARK)
        text = text[: -len(_SAVING_MARK)] if saving else text
        if text.isdigit():
            return int(text), saving
    return None, False


# --- Checkpoints ---------------------------------------------------------------------------------


def check_checkpoint_seconds(value: object) -> float:
    """Seconds between checkpoints: a finite number >= 0 (0 saves after every call)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"checkpoint_seconds must be a number, not {type(value).__name__}")
    seconds = float(value)
    if not (seconds >= 0.0 and math.isfinite(seconds)):
        raise ValueError(f"checkpoint_seconds must be a finite number of seconds >= 0, got {value!r}")
    return seconds


def _warn(message: str) -> None:
    # Standard error may be closed or a broken pipe; a warning must not end the run.
    with contextlib.suppress(OSError, ValueError, AttributeError):
        print(message, file=sys.stderr, flush=True)


class Checkpointer:
    """Calls `save` when `seconds` have passed since the last save (or since creation). The run
    calls maybe_save() between kernel calls. A failed save is reported by `warn` and retried one
    interval later; the run goes on (its end saves again, and says so if that fails too). Only
    the first of consecutive failures is reported."""

    def __init__(self, save: Callable[[], None], seconds: float = DEFAULT_CHECKPOINT_SECONDS, *,
                 clock: Callable[[], float] = time.monotonic, warn: Callable[[str], None] = _warn) -> None:
        self._save = save
        self.seconds = check_checkpoint_seconds(seconds)
        self._clock = clock
        self._warn = warn
        self._last = clock()
        self.saves = 0
        self.failures = 0
        self.spent = 0.0
        self._failing = False

    def maybe_save(self) -> bool:
        """Save if an interval has passed; True when a save was made."""
        if self._clock() - self._last < self.seconds:
            return False
        return self.save_now()

    def save_now(self) -> bool:
        started = time.perf_counter()
        try:
            self._save()
        except (OSError, ValueError) as exc:
            self.failures += 1
            if not self._failing:
                self._warn(f"warning: checkpoint not saved ({exc}); the run goes on and tries again"
                           f" every {self.seconds:g} s")
            self._failing = True
            return False
        finally:
            self.spent += time.perf_counter() - started
            self._last = self._clock()
        self.saves += 1
        self._failing = False
        return True
