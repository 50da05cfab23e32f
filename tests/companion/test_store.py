"""Result files: checked reading, atomic replacement, locking, checkpoints."""

from __future__ import annotations

import concurrent.futures
import importlib.util
import json
import multiprocessing
import os
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import warnings
from pathlib import Path
from typing import Any, Callable, Dict, List

import pytest

from tavrin_estimate import Estimate, FileRefused, _store, estimate
from tavrin_estimate.__main__ import main
from tavrin_estimate._store import (
    Checkpointer,
    ResultFile,
    checksum,
    decode,
    encode,
    read_bounded,
)

from .support import random_moments

KIND = "store test"
KIND_RESULT = "tavrin_estimate result"
DOCUMENT: Dict[str, Any] = {"format": KIND, "version": 2, "successes": 12, "ranges": [[0, 30]], "cols": "AB\u00e9"}
GOOD = encode(DOCUMENT)


def opened(path: Path) -> ResultFile:
    return ResultFile(path, kind=KIND, versions={2})


def test_encoded_document_reads_back_and_its_checksum_covers_the_content() -> None:
    """encode() adds the checksum last, one key per line; decode() gives back the document;
    the checksum is the SHA-256 of the canonical JSON without it."""
    text = GOOD.decode()
    assert text.startswith('{\n  "format": "store test",\n') and text.endswith('"\n}\n')
    assert decode(GOOD, kind=KIND, versions={2}) == DOCUMENT
    assert json.loads(text)["checksum"] == checksum(DOCUMENT)
    assert checksum({"b": 1, "a": [1.5]}) == checksum({"a": [1.5], "b": 1, "checksum": "ignored"})
    with pytest.raises(ValueError):
        encode({**DOCUMENT, "elapsed": float("nan")})


MALFORMED = [
    (b"", "is empty"),
    (b" \n\t", "holds only white space"),
    (b"\x00\x00\x01\x02", "is binary"),
    (b"\xff\xfe{", "is binary (not UTF-8"),
    (GOOD[: len(GOOD) // 2], "is truncated"),
    (GOOD[:-3], "is truncated"),
    (b'{"format": "store test"} x', "is not JSON: Extra data at line 1 column 26"),
    (b"[1, 2]", "it holds a JSON list, not an object"),
    (b"{}", "it has no format tag"),
    (b'{"format": "tavrin_estimate result", "version": 2}', "format tag is 'tavrin_estimate result'"),
    (GOOD.replace(b'"version": 2', b'"version": 99'), "has format version 99; this program reads version 2"),
    (GOOD.replace(b'"version": 2', b'"version": true'), "has format version True"),
    (GOOD.replace(b'"version": 2', b'"version": [2]'), "has format version [2]"),
    (GOOD.replace(b',\n  "checksum"', b',\n  "unsealed"'), "has no checksum"),
    (GOOD.replace(b'"sha256:', b'"md5:'), "has a malformed checksum"),
    (GOOD.replace(b'"successes": 12', b'"successes": 13'), "was changed after it was written"),
    (GOOD.replace(b'"successes": 12', b'"successes": 12, "successes": 13'), "holds the key 'successes' twice"),
    (b'{"format": "store test", "n": ' + b"[" * 100_000 + b"]" * 100_000 + b"}", "more than 32 levels deep"),
    (b'{"format": "store test", "n": ' + b"[" * 32 + b"]" * 32 + b"}", "more than 32 levels deep"),
    (b'{"format": "store test", "n": 1' + b"0" * 5000 + b"}", "holds a number of 5,001 digits"),
    (b'{"format": "store test", "n": 1e400}', "holds the number 1e400, too large for a float"),
    (b'{"format": "store test", "n": NaN}', "holds NaN, which is no JSON number"),
]


@pytest.mark.parametrize("content, message", MALFORMED, ids=[m for _, m in MALFORMED])
def test_malformed_files_are_refused_with_the_file_and_the_problem(content: bytes, message: str, tmp_path: Path) -> None:
    """Each malformed file: FileRefused naming the file and the problem (never a RecursionError,
    OverflowError or a silent last-key-wins), the file left byte for byte as it was."""
    path = tmp_path / "run.json"
    path.write_bytes(content)
    with pytest.raises(FileRefused) as refused, opened(path) as file:
        file.open()
    assert str(refused.value).startswith(f"{path}: ") and message in str(refused.value)
    assert path.read_bytes() == content
    assert sorted(os.listdir(tmp_path)) == ["run.json"]  # the lock released and removed


def test_only_regular_files_of_bounded_size_are_read(tmp_path: Path) -> None:
    """A FIFO is refused at once (no writer needed), a device or folder too, and a file larger
    than the limit; a missing file is None."""
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    for path, kind in ((fifo, "a FIFO"), (Path("/dev/zero"), "a character device"), (tmp_path, "a folder")):
        with pytest.raises(FileRefused, match=f"is {kind}, not a saved result"):
            read_bounded(path)
    big = tmp_path / "big.json"
    big.write_bytes(b" " * 1001)
    with pytest.raises(FileRefused, match="larger than any saved result"):
        read_bounded(big, limit=1000)
    assert read_bounded(big, limit=1001) == b" " * 1001
    assert read_bounded(tmp_path / "absent.json") is None


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda tmp: tmp / "nodir" / "run.json", "its folder {tmp}/nodir does not exist"),
        (lambda tmp: (tmp / "file").write_text("") or tmp / "file" / "run.json", "{tmp}/file is not a folder"),
    ],
    ids=["missing-folder", "folder-is-a-file"],
)
def test_a_path_whose_folder_cannot_hold_the_file_is_refused(make: Callable[[Path], Path], message: str, tmp_path: Path) -> None:
    with pytest.raises(FileRefused, match=message.format(tmp=tmp_path)):
        opened(make(tmp_path)).open()


def test_one_run_at_a_time_holds_a_file(tmp_path: Path) -> None:
    """A second holder, also through a symbolic link, and Estimate.save() are refused naming
    the first one's process; a writer that ignores the lock is not overwritten by the holder's
    next save; once the first closes, the sidecar is gone and the next run takes the file."""
    path = tmp_path / "run.json"
    link = tmp_path / "link.json"
    link.symlink_to(path)
    first = opened(path)
    assert first.open() is None
    for other in (path, link):
        with pytest.raises(FileRefused, match=rf"is in use by another run \(process {os.getpid()}\)"):
            opened(other).open()
        with pytest.raises(FileRefused, match=rf"is in use by another run \(process {os.getpid()}\)"):
            Estimate(1, 1, "A").save(other)
    first.save(DOCUMENT)
    path.write_bytes(GOOD + b" ")  # by a writer that takes no lock
    with pytest.raises(FileRefused, match="was replaced by another writer since this run read or saved it"):
        first.save(DOCUMENT)
    assert path.read_bytes() == GOOD + b" "
    first.close()
    assert sorted(os.listdir(tmp_path)) == ["link.json", "run.json"]
    with opened(link) as second:
        assert second.open() == DOCUMENT


def make_special(kind: str, path: Path) -> None:
    if kind == "a FIFO":
        os.mkfifo(path)
    elif kind == "a socket":
        with socket.socket(socket.AF_UNIX) as listener:
            listener.bind(str(path))
    else:  # a character device like /dev/null's, made where it harms nothing
        try:
            os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))
        except PermissionError:
            pytest.skip("making a device needs root")


@pytest.mark.parametrize("kind", ["a character device", "a FIFO", "a socket"])
def test_a_save_refuses_what_is_not_a_regular_file_as_a_run_does(kind: str, tmp_path: Path) -> None:
    """Estimate.save() onto a device, a FIFO or a socket (also behind a link) raises the
    refusal that a run's open() gives, word for word, and leaves it as it was: never renamed
    over, no lock file or temporary beside it."""
    path, link = tmp_path / "special", tmp_path / "link.json"
    make_special(kind, path)
    link.symlink_to(path)
    before = os.stat(path)
    for where in (path, link):
        with pytest.raises(FileRefused) as by_run:
            opened(where).open()
        with pytest.raises(FileRefused) as by_save:
            Estimate(1, 1, "A").save(where)
        assert str(by_save.value) == str(by_run.value) == f"{where}: is {kind}, not a saved result"
    after = os.stat(path)
    assert (after.st_ino, after.st_mode) == (before.st_ino, before.st_mode)
    assert sorted(os.listdir(tmp_path)) == ["link.json", "special"]


def in_children(target: Callable[[], None], count: int = 1) -> List[int]:
    """The exit statuses of `count` forked processes running `target` at once (1 for an
    exception it raises)."""
    children = [multiprocessing.get_context("fork").Process(target=target) for _ in range(count)]
    with warnings.catch_warnings():
        # From 3.12 on Python warns of a fork with threads running (the suite's earlier runs
        # leave idle pool threads); the children only save, taking no lock those threads hold.
        warnings.filterwarnings("ignore", "This process .* is multi-threaded, use of fork", DeprecationWarning)
        for child in children:
            child.start()
    for child in children:
        child.join()
    return [child.exitcode or 0 for child in children]


@pytest.mark.parametrize("by", ["threads", "processes"])
def test_saves_at_the_same_moment_wait_for_each_other(by: str, tmp_path: Path) -> None:
    """Two savers on one path, lined up before each of 20 pairs of saves: none is refused,
    since no run holds the file, and a whole result is left with nothing beside it."""
    path = tmp_path / "run.json"
    start: Any = threading.Barrier(2) if by == "threads" else multiprocessing.get_context("fork").Barrier(2)

    def saver() -> None:
        for _ in range(20):
            start.wait(timeout=10)
            Estimate(1, 1, "A").save(path)  # a refusal ends this saver with an error

    if by == "threads":
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            for future in [pool.submit(saver) for _ in range(2)]:
                future.result()
    else:
        assert in_children(saver, 2) == [0, 0]
    assert Estimate.load(path).iterations == 0 and os.listdir(tmp_path) == ["run.json"]


def test_a_save_into_a_folder_this_user_cannot_write_names_the_folder() -> None:
    """As an unprivileged user (root turns into user nobody in a forked child), save() into a
    folder it may enter but not write raises FileRefused naming the folder in the command
    line's words, and leaves nothing there."""
    folder = Path(tempfile.mkdtemp())  # outside pytest's folder, which only its owner may enter
    folder.chmod(0o555)
    path = folder / "run.json"

    def save_as_a_user() -> None:
        if os.geteuid() == 0:
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)
        with pytest.raises(FileRefused) as refused:
            Estimate(1, 1, "A").save(path)
        assert str(refused.value) == f"{path}: cannot write in its folder {folder}"

    try:
        assert in_children(save_as_a_user) == [0] and os.listdir(folder) == []
    finally:
        folder.chmod(0o755)
        shutil.rmtree(folder)


def test_lock_holders_that_come_and_go_never_overlap(tmp_path: Path) -> None:
    """Threads open and close one file in a tight loop (each close removes the sidecar while
    another may be waiting on it): never two holders at once."""
    path = tmp_path / "run.json"
    holders: List[int] = []
    overlaps: List[int] = []
    taken = [0]

    def churn() -> None:
        for _ in range(300):
            file = opened(path)
            try:
                file.open()
            except FileRefused:
                continue
            holders.append(1)
            if len(holders) > 1:
                overlaps.append(len(holders))
            taken[0] += 1
            holders.pop()
            file.close()

    threads = [threading.Thread(target=churn) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not overlaps and taken[0] > 0


def mode_of(path: Path) -> int:
    return stat.S_IMODE(path.stat().st_mode)


@pytest.mark.parametrize("umask, mode", [(0o022, 0o644), (0o077, 0o600), (0o002, 0o664)])
def test_new_files_follow_the_umask_and_saved_files_keep_their_mode(umask: int, mode: int, tmp_path: Path) -> None:
    path = tmp_path / "run.json"
    old = os.umask(umask)
    try:
        with opened(path) as file:
            file.open()
            file.save(DOCUMENT)
            assert mode_of(path) == mode
            path.chmod(0o640)
            file.save({**DOCUMENT, "successes": 13})
    finally:
        os.umask(old)
    assert mode_of(path) == 0o640 and json.loads(path.read_text())["successes"] == 13


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="changing a file's owner needs root")
def test_saved_files_keep_their_owner_and_group(tmp_path: Path) -> None:
    path = tmp_path / "run.json"
    path.write_bytes(GOOD)
    os.chown(path, 4321, 4322)
    with opened(path) as file:
        file.open()
        file.save({**DOCUMENT, "successes": 13})
    info = path.stat()
    assert (info.st_uid, info.st_gid) == (4321, 4322)


def test_read_only_files_are_refused_and_links_are_written_through(tmp_path: Path) -> None:
    """A read-only file is refused before a run and left alone; a symbolic link stays a link
    and its target (absent at first: a dangling link) gets the content."""
    path = tmp_path / "run.json"
    path.write_bytes(GOOD)
    path.chmod(0o444)
    with pytest.raises(FileRefused, match="is read-only"):
        opened(path).open()
    assert path.read_bytes() == GOOD

    target = tmp_path / "data" / "real.json"
    target.parent.mkdir()
    link = tmp_path / "link.json"
    link.symlink_to(target)
    with opened(link) as file:
        assert file.open() is None
        file.save(DOCUMENT)
        file.save({**DOCUMENT, "successes": 14})
    assert link.is_symlink() and json.loads(target.read_text())["successes"] == 14
    assert sorted(os.listdir(target.parent)) == ["real.json"]


def test_a_failed_save_leaves_the_old_file_and_no_temporary(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    path = tmp_path / "run.json"
    with opened(path) as file:
        file.open()
        file.save(DOCUMENT)

        def no_space(fd: int) -> None:
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(os, "fsync", no_space)
        with pytest.raises(OSError, match="No space"):
            file.save({**DOCUMENT, "successes": 15})
    assert path.read_bytes() == GOOD and sorted(os.listdir(tmp_path)) == ["run.json"]


def test_temporaries_of_a_killed_run_are_removed_and_nothing_else(tmp_path: Path) -> None:
    path = tmp_path / "run.json"
    stale = tmp_path / ".run.json.0123456789abcdef.tavrin-tmp"
    others = [".run.json.0123456789abcdef.tmp", ".other.json.0123456789abcdef.tavrin-tmp", ".run.json.x.tavrin-tmp"]
    for name in [stale.name, *others]:
        (tmp_path / name).write_text("{")
    with opened(path) as file:
        file.open()
    assert sorted(os.listdir(tmp_path)) == sorted(others)


# A child that saves a growing document as fast as it can; the parent kills it at random.
SAVER = """
import sys
from tavrin_estimate._store import ResultFile
file = ResultFile(sys.argv[1], kind="store test", versions={2})
start = (file.open() or {}).get("successes", 0)
sys.stdout.write("ready\\n"); sys.stdout.flush()
for n in range(start + 1, start + 10**9):
    file.save({"format": "store test", "version": 2, "successes": n, "padding": "x" * (n % 5000)})
"""


def test_kill_9_during_saves_always_leaves_a_whole_file(tmp_path: Path) -> None:
    """A process saving in a tight loop is killed with SIGKILL at random moments: every time the
    file reads back as a whole document of a count no lower than before, and the next holder
    removes the temporary the killed save left."""
    path = tmp_path / "run.json"
    rng, rounds = random_moments(1907, 10)
    last = 0
    for _ in rounds:
        # Leaving the block closes the child's pipe and waits for it.
        with subprocess.Popen([sys.executable, "-c", SAVER, str(path)], stdout=subprocess.PIPE,
                              env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}) as child:
            assert child.stdout is not None and child.stdout.readline() == b"ready\n"
            # The first child lives until its first save, however slow the machine.
            while last == 0 and not path.exists() and child.poll() is None:
                time.sleep(0.001)
            time.sleep(rng.uniform(0.0, 0.05))
            child.send_signal(signal.SIGKILL)
        with opened(path) as file:
            document = file.open()
        # Killed before its first save, a child leaves the file as it was (absent at first).
        count = document["successes"] if document is not None else 0
        assert count >= last and (document is not None or last == 0)
        last = count
        assert os.listdir(tmp_path) == ([] if document is None else ["run.json"])
    assert last > 0


def test_checkpoints_follow_the_interval_and_survive_failed_saves() -> None:
    """Saves happen once `seconds` have passed since the last; saves that fail are reported
    once and tried again an interval later, and the run goes on."""
    now = [0.0]
    results: List[object] = []
    warnings: List[str] = []

    def save() -> None:
        outcome = results.pop(0)
        if isinstance(outcome, Exception):
            raise outcome

    checkpointer = Checkpointer(save, 60.0, clock=lambda: now[0], warn=warnings.append)
    decisions = []
    results.extend([None, OSError(28, "No space left on device"), OSError(28, "No space left on device"), None])
    for moment in (10.0, 59.9, 60.0, 61.0, 119.9, 120.0, 150.0, 180.0, 240.0):
        now[0] = moment
        decisions.append(checkpointer.maybe_save())
    assert decisions == [False, False, True, False, False, False, False, False, True]
    assert (checkpointer.saves, checkpointer.failures) == (2, 2)
    assert len(warnings) == 1 and "No space left" in warnings[0] and "tries again every 60 s" in warnings[0]
    with pytest.raises(ValueError):
        Checkpointer(save, -1.0)


# --- The command line: refusals before a run --------------------------------------------------

PLANE = ["--passengers", "10", "--seats", "10", "--seed", "5"]


def saved_result() -> Dict[str, Any]:
    return estimate(1000, 10, 10, seed=5, block_size=100).to_dict()


def impossible(change: Callable[[Dict[str, Any]], None]) -> bytes:
    document = saved_result()
    change(document)
    return encode(document)


def _more_successes(document: Dict[str, Any]) -> None:
    document["parts"][0]["ranges"][0][2] = document["parts"][0]["successes"] = document["successes"] = 1001


def _negative_start(document: Dict[str, Any]) -> None:
    document["parts"][0]["ranges"][0][0] = -5


@pytest.mark.parametrize(
    "content, message",
    [
        (lambda: encode(saved_result()).replace(b'"successes": 5', b'"successes": 4', 1), "was changed after it was written"),
        (lambda: impossible(_more_successes), "cannot hold 1001 successes in 1000 boardings"),
        (lambda: impossible(_negative_start), "a range must satisfy 0 <= start"),
        ("/dev/zero", "is a character device, not a saved result"),
        ("nodir", "does not exist"),
    ],
    ids=["edited", "successes-above-boardings", "negative", "dev-zero", "no-folder"],
)
def test_the_command_line_refuses_a_bad_resume_file_before_running(
    content: Any, message: str, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    """Exit 2 with the file named and the problem said, nothing run, the file untouched and no
    lock file left behind (none made beside a device). The library's matrix above has every
    malformed file; these are the command line's own paths: the checksum, the result's own
    checks of its counts, a device behind a link, the folder."""
    path = tmp_path / "run.json"
    before: Any = None
    if content == "/dev/zero":
        path.symlink_to("/dev/zero")
    elif content == "nodir":
        path = tmp_path / "nodir" / "run.json"
    else:
        path.write_bytes(content())
    if path.is_file():
        before = path.read_bytes()
    listing = sorted(os.listdir(tmp_path))
    with pytest.raises(SystemExit) as exit_:
        main(["1e9", *PLANE, "--resume", str(path)])
    err = capsys.readouterr().err
    assert exit_.value.code == 2 and f"{path}: " in err and message in err and "Traceback" not in err
    assert sorted(os.listdir(tmp_path)) == listing and (before is None or path.read_bytes() == before)


def test_a_file_holding_the_total_runs_nothing_and_a_failed_save_prints_the_json(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    """A file that already holds at least the total asked is printed and left alone (exit 0).
    A save that fails at the end says where the result could not go and prints it whole, as
    JSON that resumes (exit 1)."""
    path = tmp_path / "run.json"
    path.write_bytes(encode(saved_result()))
    before = path.read_bytes()
    assert main(["600", *PLANE, "--resume", str(path)]) == 0
    captured = capsys.readouterr()
    assert "boardings  1,000," in captured.out and path.read_bytes() == before
    assert f"{path} already holds what was asked (600 boardings; it holds 1,000): nothing run" in captured.err

    def disk_full(*args: Any, **kwargs: Any) -> None:
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(_store, "write_atomically", disk_full)
    assert main(["3000", *PLANE, "--resume", str(path), "--checkpoint-seconds", "0"]) == 1
    captured = capsys.readouterr()
    assert f"could not save the result to {path}: [Errno 28] No space left on device" in captured.err
    assert captured.err.count("checkpoint not saved") == 1
    text, _, json_text = captured.out.partition("\n{")
    kept = Estimate.from_dict(decode(("{" + json_text).encode(), kind=KIND_RESULT, versions={3}))
    assert "boardings  3,000," in text and kept.iterations == 3000 and path.read_bytes() == before


@pytest.mark.parametrize(
    "arguments, message",
    [
        (["10", "--passengers", "18446744073709551616"], "passengers must be below 2**64"),
        (["10", "--seats", "1e20"], "seats must be below 2**64"),
        (["10", "--confidence", "0.99999999999999994"], "too close to 1"),
    ],
)
def test_values_out_of_range_exit_2(arguments: List[str], message: str, capsys: pytest.CaptureFixture[str]) -> None:
    """Values the kernel cannot take, or a confidence without a quantile: usage errors."""
    with pytest.raises(SystemExit) as exit_:
        main(arguments)
    err = capsys.readouterr().err
    assert exit_.value.code == 2 and message in err and "Traceback" not in err


def test_scheduler_errors_say_what_is_wrong(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                            capsys: pytest.CaptureFixture[str]) -> None:
    """A dask.distributed that is installed but does not import (PyPy 3.9: psutil) is named as
    such, exit 2; an unreachable scheduler is given up after --scheduler-timeout, exit 1."""
    package = tmp_path / "distributed"
    package.mkdir()
    (package / "__init__.py").write_text("raise ImportError('undefined symbol: PyErr_FormatV')\n")
    with monkeypatch.context() as patched:
        patched.syspath_prepend(str(tmp_path))
        patched.delitem(sys.modules, "distributed", raising=False)
        with pytest.raises(SystemExit) as exit_:
            main(["10", "--scheduler", "tcp://127.0.0.1:9"])
    assert exit_.value.code == 2
    assert ("dask.distributed is installed but cannot be imported under this interpreter: ImportError:"
            " undefined symbol: PyErr_FormatV") in capsys.readouterr().err
    if importlib.util.find_spec("distributed") is None:  # the rest needs the real one
        return
    started = time.monotonic()
    with pytest.raises(SystemExit) as exit_:
        main(["10", "--scheduler", "tcp://127.0.0.1:9", "--scheduler-timeout", "0.5"])
    assert exit_.value.code == 1 and time.monotonic() - started < 10  # the default would take 10 s
    assert "cannot reach the scheduler at tcp://127.0.0.1:9" in capsys.readouterr().err
