"""Stopping signals: SIGINT, SIGTERM and SIGHUP stop a run keeping every boarding counted, a
repeated Ctrl-C loses nothing, kill -9 loses at most one checkpoint interval, and one resume
file serves one run at a time."""

from __future__ import annotations

import os
import re
import select
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from types import FrameType
from typing import Iterator, List, Tuple

import pytest

from tavrin_estimate import Estimate, estimate
from tavrin_estimate._executors import WORKER_THREADS_VARIABLE
from tavrin_estimate._interrupt import STOP_SIGNALS, StopRequest
from tavrin_estimate._result import FILE_FORMAT, FILE_VERSION
from tavrin_estimate._store import read_document

from .support import random_moments

# A child gets this long to start and to finish; a guard against hanging, not a measure.
CHILD_TIMEOUT_SECONDS = 120
SEED = 20261207
PLANE = ["--passengers", "20", "--seats", "30", "--seed", str(SEED)]


@pytest.fixture
def own_handlers() -> Iterator[None]:
    """Every stopping signal at its default disposition for the test (SIGINT: Python's handler,
    see conftest.py), restored after it."""
    saved = {signum: signal.getsignal(signum) for signum in STOP_SIGNALS}
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.SIG_DFL)
    yield
    for signum, handler in saved.items():
        signal.signal(signum, handler)


def deliver(signum: int) -> None:
    """Send `signum` to this process and let its Python handler run."""
    os.kill(os.getpid(), signum)
    time.sleep(0.01)


@pytest.mark.parametrize("signum", STOP_SIGNALS, ids=lambda s: signal.Signals(s).name)
def test_stopping_signals_become_a_flag_shared_by_nested_requests(signum: int, own_handlers: None) -> None:
    """Inside the command line's request (all three signals) a run's own request (SIGINT only)
    shares its flag; a signal after the run's request has ended, during the hand-over to the
    save, is still a flag; the first signal is the one remembered; the handlers come back."""
    defaults = {s: signal.getsignal(s) for s in STOP_SIGNALS}
    with StopRequest(STOP_SIGNALS) as outer:
        with StopRequest() as run:
            deliver(signum)
            assert run.requested and run.signum == signum
        deliver(signal.SIGINT)
        deliver(signum)
        assert outer.requested and outer.signum == signum
    assert {s: signal.getsignal(s) for s in STOP_SIGNALS} == defaults


def test_handlers_of_the_application_and_ignored_signals_are_left_alone(own_handlers: None) -> None:
    calls: List[int] = []
    signal.signal(signal.SIGTERM, lambda signum, frame: calls.append(signum))
    signal.signal(signal.SIGHUP, signal.SIG_IGN)  # as under nohup
    with StopRequest(STOP_SIGNALS) as stop:
        deliver(signal.SIGTERM)
        deliver(signal.SIGHUP)
        assert not stop.requested and calls == [signal.SIGTERM]
        assert signal.getsignal(signal.SIGHUP) == signal.SIG_IGN


def test_a_signal_inside_the_handler_neither_waits_nor_changes_the_first(own_handlers: None) -> None:
    """Python runs a handler again inside itself when a signal arrives between two of its
    bytecodes. At each line that the handling of a SIGINT runs (the standard library's
    included), another signal's handler is called there: it returns at once every time, and
    the flag is set by whichever call got there first."""
    lines = 0

    def handle(nest_at: int) -> StopRequest:
        request = StopRequest(STOP_SIGNALS)
        seen = 0

        def trace(frame: FrameType, event: str, arg: object) -> object:
            nonlocal seen, lines
            if event == "line":
                seen += 1
                lines = max(lines, seen)
                if seen == nest_at:
                    request._on_signal(signal.SIGTERM, None)
            return trace

        def run() -> None:
            sys.settrace(trace)
            try:
                request._on_signal(signal.SIGINT, None)
            finally:
                sys.settrace(None)

        handler = threading.Thread(target=run, daemon=True)
        handler.start()
        handler.join(CHILD_TIMEOUT_SECONDS)
        assert not handler.is_alive(), f"a signal at line {nest_at} of the handling waits forever"
        return request

    assert handle(0).signum == signal.SIGINT
    assert lines > 3
    for nest_at in range(1, lines + 1):
        request = handle(nest_at)
        assert request.requested and request.signum in (signal.SIGINT, signal.SIGTERM)


# --- The command line in a child process -------------------------------------------------------


def load(path: Path) -> Estimate:
    return Estimate.from_dict(read_document(path, kind=FILE_FORMAT, versions={FILE_VERSION}))


def printed_count(out: str) -> Tuple[int, int]:
    match = re.search(r"boardings  ([\d,]+), the last passenger in their own seat in ([\d,]+)", out)
    assert match, out
    return int(match[1].replace(",", "")), int(match[2].replace(",", ""))


def start(*arguments: str) -> subprocess.Popen[bytes]:
    """The command line in a child with every stopping signal at its default disposition (a
    shell's background job would hand it SIGINT ignored), counting on one worker thread: what
    a signal does is the same on any number, and the child counts while the test waits."""

    def defaults() -> None:
        for signum in STOP_SIGNALS:
            signal.signal(signum, signal.SIG_DFL)

    return subprocess.Popen([sys.executable, "-m", "tavrin_estimate", *arguments], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, preexec_fn=defaults,
                            env={**os.environ, WORKER_THREADS_VARIABLE: "1"})


def wait_until_running(child: subprocess.Popen[bytes]) -> None:
    """Block until the child shows progress on standard error, which it does once its run has
    started (and its signal handling is in place)."""
    assert child.stderr is not None
    ready, _, _ = select.select([child.stderr], [], [], CHILD_TIMEOUT_SECONDS)
    assert ready, "the child showed no progress in time"


def wait_for_file(path: Path) -> None:
    deadline = time.monotonic() + CHILD_TIMEOUT_SECONDS
    while not path.exists():
        assert time.monotonic() < deadline, f"no {path} in time"
        time.sleep(0.01)


def finish(child: subprocess.Popen[bytes]) -> Tuple[int, str, str]:
    try:
        out, err = child.communicate(timeout=CHILD_TIMEOUT_SECONDS)
    finally:
        child.kill()
        child.wait()
    return child.returncode, out.decode(), err.decode()


def resume_to(path: Path, total: int) -> Estimate:
    """Run the same command to `total`: it must end at exactly that many boardings, with the
    count a run of the same seed without any stop gives."""
    status, out, err = finish(start(str(total), *PLANE, "--resume", str(path)))
    assert status == 0, err
    final = load(path)
    assert printed_count(out) == (final.iterations, final.successes)
    assert final.iterations == total and not final.interrupted
    assert final.successes == estimate(total, 20, 30, seed=SEED).successes
    assert sorted(os.listdir(path.parent)) == [path.name]
    return final


@pytest.mark.parametrize(
    "signum, keep",
    [(signal.SIGTERM, True), (signal.SIGHUP, True), (signal.SIGINT, False)],
    ids=["SIGTERM", "SIGHUP", "SIGINT-without-resume"],
)
def test_a_stopping_signal_prints_saves_and_resumes_to_the_exact_total(signum: int, keep: bool, tmp_path: Path) -> None:
    """A stopping signal ends the run with status 128 + its number, the partial result printed
    and saved; the same command resumes it to exactly the total asked. Without --resume the
    last line says how to keep the next run."""
    path = tmp_path / "run.json"
    child = start("1e12", *PLANE, "--progress", *(["--resume", str(path)] if keep else []))
    wait_until_running(child)
    time.sleep(0.3)
    child.send_signal(signum)
    status, out, err = finish(child)
    assert status == 128 + signum, err
    assert out.startswith("INTERRUPTED: a partial result\n")
    iterations, successes = printed_count(out)
    assert iterations > 0
    if not keep:
        assert "--resume" in err.strip().splitlines()[-1] and os.listdir(tmp_path) == []
        return
    partial = load(path)
    assert partial.interrupted and (partial.iterations, partial.successes) == (iterations, successes)
    resume_to(path, partial.iterations + 5000)


def test_repeated_ctrl_c_never_loses_the_session(tmp_path: Path) -> None:
    """SIGINT every millisecond or two from a random moment of a run, then any stopping signal
    once the result is being printed, until the process has ended (through the stop, the print,
    the save and the exit): every time the partial result is printed and saved, and the status
    is the first signal's, 130."""
    path = tmp_path / "run.json"
    rng, rounds = random_moments(4242, 8)
    held = 0
    for _ in rounds:
        child = start("1e12", *PLANE, "--progress", "--resume", str(path))
        wait_until_running(child)
        time.sleep(rng.uniform(0.0, 0.3))
        deadline = time.monotonic() + CHILD_TIMEOUT_SECONDS
        signum = signal.SIGINT
        while child.poll() is None and time.monotonic() < deadline:
            child.send_signal(signum)
            # Signals pending together are delivered in the order of their numbers, not of
            # their sending: the others are sent once the first SIGINT has been taken.
            if select.select([child.stdout], [], [], 0)[0]:
                signum = rng.choice(STOP_SIGNALS)
            time.sleep(rng.uniform(0.0005, 0.002))
        status, out, err = finish(child)
        assert status == 130 and "Traceback" not in err, (status, err)
        partial = load(path)
        assert printed_count(out) == (partial.iterations, partial.successes) and partial.iterations >= held
        held = partial.iterations
    resume_to(path, held + 1000)


def test_kill_9_at_random_moments_loses_at_most_the_last_interval(tmp_path: Path) -> None:
    """A run that checkpoints after every call is killed with SIGKILL at random moments, during
    saves too: every time the file reads back (or is still absent), holds no fewer boardings
    than before, and the last run resumes to exactly the total with the seed's own count."""
    path = tmp_path / "run.json"
    rng, rounds = random_moments(99, 8)
    held = 0
    for _ in rounds:
        child = start("1e12", *PLANE, "--progress", "--checkpoint-seconds", "0", "--resume", str(path))
        wait_until_running(child)
        # The first child lives until its first checkpoint, however slow the machine.
        wait_for_file(path)
        time.sleep(rng.uniform(0.0, 0.4))
        child.send_signal(signal.SIGKILL)
        finish(child)
        if path.exists():
            held, before = load(path).iterations, held
            assert held >= before
    assert held > 0
    resume_to(path, held + 1000)


def test_a_second_run_on_the_same_file_refuses(tmp_path: Path) -> None:
    """While one run holds the file, a second refuses before running anything, naming the first
    one's process, and leaves the file to it."""
    path = tmp_path / "run.json"
    first = start("1e12", *PLANE, "--progress", "--resume", str(path))
    try:
        wait_until_running(first)
        status, out, err = finish(start("1e6", *PLANE, "--resume", str(path)))
        assert status == 2 and out == ""
        assert f"{path}: is in use by another run (process {first.pid})" in err
        first.send_signal(signal.SIGINT)
        status, out, err = finish(first)
        assert status == 130, err
    finally:
        first.kill()
        first.wait()
    assert load(path).iterations == printed_count(out)[0]
