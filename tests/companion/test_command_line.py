"""python -m tavrin_estimate: output, errors, Ctrl-C and --resume."""

from __future__ import annotations

import base64
import dataclasses
import io
import json
import os
import re
import select
import signal
import subprocess
import sys
import time
from array import array
from pathlib import Path
from typing import Any

import pytest

from tavrin_estimate import Estimate, Part, Span, _store, boarding, estimate, find_boarding
from tavrin_estimate.__main__ import main

# A child gets this long to start and to finish; a guard against hanging, not a measure.
CHILD_TIMEOUT_SECONDS = 120
# The child must exit this soon after SIGINT: one call lasts about 0.2 s, the rest is slack
# for a machine shared with other work.
PROMPT_EXIT_SECONDS = 5.0


def test_prints_seed_estimate_interval_exact_and_rate(capsys: pytest.CaptureFixture[str]) -> None:
    """A finished run prints the result's text, its seed first, and returns 0; the count takes
    1e4 and 10_000; a seed given twice prints the same count; without one a fresh seed shows."""
    arguments = ["1e4", "--passengers", "7", "--seats", "9", "--cols", "ABCDEFG", "--confidence", "0.9"]
    assert main([*arguments, "--seed", "12_345", "--block-size", "100"]) == 0
    out = capsys.readouterr().out
    assert "plane      7 passengers, 9 seats, cols 'ABCDEFG'\nseed       12345 (blocks of 100;" in out
    assert "boardings  10,000," in out and "at 0.9 confidence" in out
    assert "exact      1/2 (0.5)" in out and "boardings/s" in out
    assert main([*arguments, "--seed", "12345", "--block-size", "100"]) == 0
    assert printed_count(capsys.readouterr().out) == printed_count(out)
    assert main(["10_000", "--passengers", "1", "--seats", "1"]) == 0
    out = capsys.readouterr().out
    assert "the last passenger in their own seat in 10,000\n" in out and re.search(r"seed       \d{20,39} ", out)
    with pytest.raises(SystemExit):
        main(["--help"])
    assert "\n       python -m tavrin_estimate replay FILE " in capsys.readouterr().out


class Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


@pytest.mark.parametrize(
    "terminal, flags, shown",
    [(True, [], True), (True, ["--no-progress"], False), (False, [], False), (False, ["--progress"], True)],
)
def test_progress_shows_on_a_terminal_unless_turned_off(terminal: bool, flags: list[str], shown: bool,
                                                        monkeypatch: pytest.MonkeyPatch) -> None:
    """Standard error a terminal: the progress display by default, --no-progress turns it off;
    a file or a pipe gets it only with --progress."""
    stream = Terminal() if terminal else io.StringIO()
    monkeypatch.setattr(sys, "stderr", stream)
    assert main(["3000", "--passengers", "5", "--seats", "5", "--seed", "1", *flags]) == 0
    assert ("3,000/3,000 boardings" in stream.getvalue() or "3.00k/3.00k" in stream.getvalue()) == shown


def test_json_and_interval_methods(capsys: pytest.CaptureFixture[str]) -> None:
    """--json prints the result as the checked JSON object a file holds, which records the
    method and resumes, with the estimate, the interval of --method and the exact answer derived
    from its counts; --method names the interval printed, shown beside the anytime one."""
    arguments = ["3000", "--passengers", "5", "--seats", "5", "--seed", "4"]
    assert main([*arguments, "--json", "--method", "jeffreys"]) == 0
    printed = capsys.readouterr().out
    document = _store.decode(printed.encode(), kind="tavrin_estimate result", versions=(3,))
    result = Estimate.from_dict(document)
    assert result.parts == estimate(3000, 5, 5, seed=4).parts and printed.count("\n{") == 0
    assert result.method == "jeffreys"
    low, high = result.proportion_ci(method="jeffreys")
    assert document["derived"] == {"estimate": result.fraction, "exact": "1/2", "interval": {
        "method": "jeffreys", "confidence": 0.95, "low": low, "high": high}}
    assert main([*arguments, "--method", "clopper-pearson"]) == 0
    low, high = result.proportion_ci(method="clopper-pearson")
    low_any, high_any = result.proportion_ci(method="anytime")
    assert (f"interval   [{low:.4f}, {high:.4f}] at 0.95 confidence (clopper-pearson)\n"
            f"anytime    [{low_any:.4f}, {high_any:.4f}] at 0.95 confidence (anytime: ") in capsys.readouterr().out


def test_half_width_stops_at_the_target_or_says_it_was_missed(tmp_path: Path,
                                                              capsys: pytest.CaptureFixture[str]) -> None:
    """--half-width E ends the run once the anytime interval is that narrow (about 42,700
    boardings at p = 1/2 and E = 0.01, where Wilson's would be at 9,604), ITERATIONS at most, and
    says where it stopped, on which line, and how many boardings counted past the stop the
    result leaves out (the display's last count less the result's). A run that ends before the
    target says so, with about how many boardings would reach it, and the display does not
    promise it: status 0 and the result all the same. A resumed result already within the target
    is not said to miss it. Resumed from a file that a signal stopped at or beyond that point, it
    prints and saves the same result: the file no longer says it was interrupted."""
    arguments = ["--passengers", "5", "--seats", "5", "--seed", "3", "--block-size", "1000", "--half-width", "0.01"]
    assert main(["1e9", *arguments, "--progress"]) == 0
    captured = capsys.readouterr()
    iterations, successes = printed_count(captured.out)
    assert 30_000 < iterations < 60_000 and iterations % 1000 == 0
    stop_line = captured.err.splitlines()[-1]
    assert stop_line.startswith(f"stopped early, at {iterations:,} of the 1,000,000,000 boardings asked: the anytime")
    dropped = re.search(r"; ([\d,]+) boardings counted past it", stop_line)
    displayed = re.findall(r"^([\d,]+)/1,000,000,000 boardings", captured.err, re.MULTILINE)[-1]
    assert int(displayed.replace(",", "")) - iterations == (int(dropped[1].replace(",", "")) if dropped else 0)
    assert "+-0.01 reached" in captured.err
    assert main(["20000", *arguments, "--progress"]) == 0
    captured = capsys.readouterr()
    assert printed_count(captured.out)[0] == 20_000
    assert "20,000/20,000 boardings (100%)" in captured.err and "+-0.01 not reached" in captured.err
    assert re.search(r"the target 0.01 was not reached within the 20,000 boardings asked: the anytime line's"
                     r" half-width is 0.01\d+; about [34]\d,\d{3} boardings in all would reach it\n$", captured.err)
    file = tmp_path / "run.json"
    estimate(50_000, 5, 5, seed=3, block_size=1000).save(file)  # past the stopping point already
    assert main(["60000", *arguments, "--resume", str(file)]) == 0
    err = capsys.readouterr().err
    assert f"stopped early, at {iterations:,} of the 60,000 boardings asked" in err
    assert f"; {50_000 - iterations:,} boardings counted past it are left out" in err
    for beyond in (0, 7000):
        dataclasses.replace(estimate(iterations + beyond, 5, 5, seed=3, block_size=1000), interrupted=True).save(file)
        assert main(["1e9", *arguments, "--resume", str(file)]) == 0
        assert printed_count(capsys.readouterr().out) == (iterations, successes)
        saved = Estimate.load(file)
        assert (saved.iterations, saved.successes, saved.interrupted) == (iterations, successes, False)


SAVED_OTHER_PLANE = Estimate(5, 5, "ABCDE").to_dict()
SAVED_NO_COUNTS = Estimate(5, 5, "ABCDE", (Part(1, 100, (Span(0, 150, 70),)),)).to_dict()
SAVED_FORMAT_1 = {"format": "tavrin_estimate result", "version": 1, "passengers": 100, "seats": 100,
                  "cols": "ABCDEF", "successes": 1, "iterations": 2, "elapsed": 0.0, "confidence": 0.95,
                  "interrupted": False}  # fmt: skip


@pytest.mark.parametrize(
    "arguments, saved, message",
    [
        ([], None, "the following arguments are required"),
        (["-5"], None, "not a whole number from 1 to below 1e100: '-5'"),
        (["1.5"], None, "not a whole number"),
        (["1e400"], None, "not a whole number"),
        (["0"], None, "not a whole number from 1 to below 1e100: '0'"),
        (["10", "--confidence", "nan"], None, "strictly between 0 and 1"),
        (["10", "--passengers", "6", "--seats", "5"], None, "6 passengers do not fit in 5 seats\n"),
        (["10", "--seats", "5"], None, "100 passengers do not fit in 5 seats (100 is the default of --passengers):"
                                       " give --passengers N, at most 5"),
        (["10", "--passengers", "0"], None, "a plane with 0 passengers has no last passenger"),
        (["10", "--seats", "3", "--passengers", "3", "--cols", "AB"], None, "3 seats need 3 column letters, got 2"),
        (["10", "--seed", "-1"], None, "a seed is a whole number"),
        (["10", "--seed", "0x10"], None, "a seed is a whole number"),
        (["10", "--seed", "9" * 1235], None, "a seed is below 2**4096 (at most 1,234 decimal digits)"),
        (["10", "--half-width", "0"], None, "a half-width is a positive number"),
        (["10", "--block-size", "0"], None, "a block size lies between"),
        (["10", "--method", "exact"], None, "invalid choice"),
        (["10", "--frobnicate"], None, "unrecognized arguments"),
        (["10"], '{"format": "other"}', "cannot resume"),
        (["10"], SAVED_OTHER_PLANE, "holds a run of 5 passengers"),
        (["10"], SAVED_FORMAT_1, "format version 1, which records no seed"),
        (["replay"], None, "the following arguments are required"),
        (["show", "--index", "3"], None, "the following arguments are required: --seed"),
        (["show", "--seed", "1", "--index", str(2**64)], None, "index must be at most 18,446,744,073,709,551,614"),
        (["show", "--seed", "1", "--passengers", "0"], None, "a plane with 0 passengers has no last passenger"),
        (["show", "--seed", "1", "--stop", "9"], None, "--stop bounds the search of --first"),
        (["replay", "none.json"], None, "does not exist"),
        (["replay", "none.json", "--sample", "1e100"], None, "not a whole number from 1 to below 1e100"),
        (["replay", "--sample", "1"], SAVED_NO_COUNTS, "keeps no per-block counts (they are missing from it)"),
    ],
)
def test_bad_arguments_exit_with_status_2(
    arguments: list[str], saved: Any, message: str, tmp_path: Path, capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    """Bad arguments, or a file that is no saved result of this plane, end with one error line
    and status 2, no usage and no traceback; the file is left as it was."""
    monkeypatch.chdir(tmp_path)
    file = tmp_path / "run.json"
    if saved is not None:
        if isinstance(saved, str):
            text = saved
        else:  # a result of this format is sealed with its checksum; one of format 1 never was
            text = _store.encode(saved).decode() if saved["version"] != 1 else json.dumps(saved)
        file.write_text(text)
        arguments = [*arguments, str(file)] if arguments[0] == "replay" else [*arguments, "--resume", str(file)]
    with pytest.raises(SystemExit) as exit_:
        main(arguments)
    err = capsys.readouterr().err
    assert exit_.value.code == 2
    assert message in err and "error:" in err and err.count("\n") == 1
    assert saved is None or file.read_text() == text


@pytest.mark.parametrize("value", ["abc", "0", "1025", "-1", ""])
def test_a_bad_worker_thread_count_is_one_line(value: str, monkeypatch: pytest.MonkeyPatch,
                                               capfd: pytest.CaptureFixture[str]) -> None:
    """An invalid TAVRIN_PUZZLES_WORKER_THREADS: the command line refuses it in one line, status
    2, before the kernel writes its own report; estimate() raises the kernel's RuntimeError."""
    monkeypatch.setenv("TAVRIN_PUZZLES_WORKER_THREADS", value)
    for arguments in (["1000", "--seed", "1"], ["replay", "none.json"]):
        with pytest.raises(SystemExit) as exit_:
            main(arguments)
        err = capfd.readouterr().err
        assert exit_.value.code == 2 and err.count("\n") == 1
        assert f"error: TAVRIN_PUZZLES_WORKER_THREADS={value!r} is not a whole number from 1 to 1024" in err
    with pytest.raises(RuntimeError, match="^Failed to create Tokio runtime: TAVRIN_PUZZLES_WORKER_THREADS="):
        estimate(1000, seed=1)


def test_replay_says_whether_a_saved_result_holds(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    """replay FILE counts a saved result again (exit 0), or a random sample of its blocks, and
    shows the intervals of the recorded method and the anytime one; a result whose count was
    changed (with a valid checksum) does not match (exit 1)."""
    run = estimate(50_000, 10, 10, seed=8, block_size=1000, method="jeffreys") + estimate(3000, 10, 10, seed=9)
    file = tmp_path / "run.json"
    run.save(file)
    assert main(["replay", str(file)]) == 0
    low, high = run.proportion_ci(method="anytime")
    out = capsys.readouterr().out
    assert f"at 0.95 confidence: jeffreys [{run.proportion_ci()[0]:.6f}, " in out
    assert f"anytime [{low:.6f}, {high:.6f}]\n" in out
    assert main(["replay", str(file), "--sample", "5"]) == 0
    out += capsys.readouterr().out
    assert "seed 8: 50,000 boardings in 1 range counted again" in out and "match" in out
    assert "sampled blocks counted again, 0 differ" in out and "DIFFER" not in out
    assert out.count("replay matches the saved result") == 2
    forged = run.to_dict()
    part = forged["parts"][0]
    part["ranges"][0][2] += 1
    part["successes"] += 1
    forged["successes"] += 1
    counts = array("I", base64.b64decode(part["block_counts"][0]))
    counts[7] += 1
    part["block_counts"][0] = base64.b64encode(counts.tobytes()).decode()
    file.write_bytes(_store.encode(forged))
    assert main(["replay", str(file)]) == 1
    assert "replay DOES NOT MATCH the saved result" in capsys.readouterr().out
    assert main(["replay", str(file), "--sample", "1000"]) == 1
    assert "boardings [7,000, 8,000): counted" in capsys.readouterr().out


def test_show_prints_a_boarding_or_finds_the_first_of_an_outcome(capsys: pytest.CaptureFixture[str]) -> None:
    """show prints what the boarding's text() says; --first finds the one find_boarding finds,
    and says in one line (status 1) that a range holds none."""
    assert main(["show", "--seed", "4", "--index", "70000", "--passengers", "9", "--seats", "12"]) == 0
    assert capsys.readouterr().out == boarding(70000, 9, 12, seed=4).text() + "\n"
    assert main(["show", "--seed", "4", "--first", "failure", "--index", "10", "--block-size", "8"]) == 0
    assert capsys.readouterr().out == find_boarding(False, 10, seed=4, block_size=8).text() + "\n"  # type: ignore[union-attr]
    assert main(["show", "--seed", "4", "--first", "failure", "--passengers", "1", "--stop", "5"]) == 1
    captured = capsys.readouterr()
    assert captured.out == "" and captured.err.count("\n") == 1
    assert "no boarding of [0, 5) in which the last passenger did not sit in their own seat" in captured.err


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
    saved; a second run resumes from the file and ends at exactly the total asked, with the count
    of an uninterrupted run of the same seed."""
    saved = tmp_path / "run.json"
    command = [sys.executable, "-m", "tavrin_estimate", "--progress", "--resume", str(saved), "--passengers", "20",
               "--seed", "77"]  # fmt: skip
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
    partial = Estimate.load(saved)
    assert partial.interrupted and (partial.iterations, partial.successes) == printed_count(text)
    assert partial.iterations > 0 and partial.seed == 77

    total = partial.iterations + 70_000
    finished = subprocess.run([*command, str(total)], capture_output=True, text=True, timeout=CHILD_TIMEOUT_SECONDS)
    assert finished.returncode == 0, finished.stderr
    whole = estimate(total, 20, seed=77)
    assert printed_count(finished.stdout) == (total, whole.successes)
    assert finished.stderr.endswith(f"saved to {saved}\n")
    final = Estimate.load(saved)
    assert final.parts == whole.parts and not final.interrupted
