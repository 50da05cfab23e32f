"""python -m tavrin_estimate: output, errors, Ctrl-C and --resume."""

from __future__ import annotations

import os
import re
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from tavrin_estimate import Estimate
from tavrin_estimate.__main__ import main

# A child gets this long to start and to finish; a guard against hanging, not a measure.
CHILD_TIMEOUT_SECONDS = 120
# The child must exit this soon after SIGINT: one call lasts about 0.2 s, the rest is slack
# for a machine shared with other work.
PROMPT_EXIT_SECONDS = 5.0


def test_prints_estimate_interval_exact_and_rate(capsys: pytest.CaptureFixture[str]) -> None:
    """A finished run prints the result's text and returns 0; the count takes 1e4 and 10_000."""
    assert main(["1e4", "--passengers", "7", "--seats", "9", "--cols", "ABCDEFG", "--confidence", "0.9"]) == 0
    out = capsys.readouterr().out
    assert "plane      7 passengers, 9 seats, cols 'ABCDEFG'" in out
    assert "boardings  10,000," in out and "at 0.9 confidence" in out
    assert "exact      1/2 (0.5)" in out and "boardings/s" in out
    assert main(["10_000", "--passengers", "1", "--seats", "1"]) == 0
    assert "the last passenger in their own seat in 10,000\n" in capsys.readouterr().out


SAVED_OTHER_PLANE = Estimate(5, 5, "ABCDE", 1, 2).to_json()


@pytest.mark.parametrize(
    "arguments, saved, message",
    [
        ([], None, "the following arguments are required"),
        (["-5"], None, "not a whole number"),
        (["1.5"], None, "not a whole number"),
        (["1e400"], None, "not a whole number"),
        (["10", "--confidence", "nan"], None, "strictly between 0 and 1"),
        (["10", "--passengers", "6", "--seats", "5"], None, "passengers"),
        (["10", "--passengers", "0"], None, "no boarding can complete"),
        (["10", "--cols", "AB"], None, "no boarding can complete"),
        (["10", "--frobnicate"], None, "unrecognized arguments"),
        (["10"], "{not json", "cannot resume"),
        (["10"], '{"format": "other"}', "cannot resume"),
        (["10"], SAVED_OTHER_PLANE, "holds a run of 5 passengers"),
    ],
)
def test_bad_arguments_exit_with_status_2(
    arguments: list[str], saved: str | None, message: str, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    """Bad arguments, or a --resume file that is no saved result or one of another plane, end
    with one error line and status 2, no traceback; the file is left as it was."""
    file = tmp_path / "run.json"
    if saved is not None:
        file.write_text(saved)
        arguments = [*arguments, "--resume", str(file)]
    with pytest.raises(SystemExit) as exit_:
        main(arguments)
    err = capsys.readouterr().err
    assert exit_.value.code == 2
    assert message in err and "error:" in err and "Traceback" not in err
    assert saved is None or file.read_text() == saved


def read_some(stream: int, deadline: float) -> bytes:
    """Block until the child writes anything to `stream` (a pipe), or fail at the deadline."""
    ready, _, _ = select.select([stream], [], [], max(0.0, deadline - time.monotonic()))
    assert ready, "the child showed no progress in time"
    return os.read(stream, 65536)


def printed_count(out: str) -> tuple[int, int]:
    match = re.search(r"boardings  ([\d,]+), the last passenger in their own seat in ([\d,]+)", out)
    assert match, out
    return int(match[1].replace(",", "")), int(match[2].replace(",", ""))


def test_ctrl_c_prints_and_saves_the_partial_result_and_resume_adds_up(tmp_path: Path) -> None:
    """SIGINT to a long run: it exits promptly with status 130, the partial result printed and
    saved; a second run resumes from the file and ends at exactly the total asked."""
    saved = tmp_path / "run.json"
    command = [sys.executable, "-m", "tavrin_estimate", "--progress", "--resume", str(saved), "--passengers", "20"]
    # Under a shell's background job this process ignores SIGINT; the child must not inherit that.
    child = subprocess.Popen(
        [*command, "1e12"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    try:
        assert child.stderr is not None
        # The progress display starts once the run (and its SIGINT handling) is in place.
        read_some(child.stderr.fileno(), time.monotonic() + CHILD_TIMEOUT_SECONDS)
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        signalled = time.monotonic()
        out, err = child.communicate(timeout=CHILD_TIMEOUT_SECONDS)
        took = time.monotonic() - signalled
    finally:
        child.kill()
        child.wait()
    text = out.decode()
    assert child.returncode == 130, err.decode()
    assert took < PROMPT_EXIT_SECONDS
    assert text.startswith("INTERRUPTED: a partial result\n")
    partial = Estimate.from_json(saved.read_text())
    assert partial.interrupted and (partial.iterations, partial.successes) == printed_count(text)
    assert partial.iterations > 0

    total = partial.iterations + 5000
    finished = subprocess.run([*command, str(total)], capture_output=True, text=True, timeout=CHILD_TIMEOUT_SECONDS)
    assert finished.returncode == 0, finished.stderr
    iterations, successes = printed_count(finished.stdout)
    assert iterations == total and partial.successes <= successes <= partial.successes + 5000
    final = Estimate.from_json(saved.read_text())
    assert (final.iterations, final.successes, final.interrupted) == (total, successes, False)
