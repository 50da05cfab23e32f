"""How a precision target weighs on a run with small blocks, where every block boundary is a
candidate stopping point: the command line in child processes, measured side by side.

- stop: `1e12 --passengers 2 --seats 2 --block-size 1 --seed 1`, without a target and with
  `--half-width 1e-4` (which it does not reach in the time given), SIGINT after --seconds: the
  seconds from the signal to the exit, and the boardings counted (the target's cost);
- resume: a result of 2^20 blocks of 16 boardings (the default plane), resumed with
  `--half-width 1e-4` to 10 boardings more: the seconds it takes; and resumed to 1e12 with that
  target, SIGINT 2 s after the start: the seconds from the signal to the exit.

    python benchmarks/bench_stops.py [--seconds 10] [--python PATH]

--python runs the children under another interpreter (or another installed version of the
package, through PYTHONPATH in the environment). About a minute at the defaults.
"""

from __future__ import annotations

import argparse
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import List, Tuple

SMALL = ["--passengers", "2", "--seats", "2", "--block-size", "1", "--seed", "1"]
TARGET = ["--half-width", "1e-4"]
BLOCKS, BLOCK = 2**20, 16


def command(python: str, *arguments: str) -> List[str]:
    return [python, "-m", "tavrin_estimate", *arguments]


def counted(out: str) -> int:
    match = re.search(r"boardings  ([\d,]+),", out)
    return int(match[1].replace(",", "")) if match else -1


def interrupted_after(arguments: List[str], seconds: float, from_start: bool = False) -> Tuple[float, int]:
    """Start the child, SIGINT it `seconds` after its first progress line (or its start); the
    seconds from the signal to its exit, and the boardings it printed."""
    child = subprocess.Popen([*arguments, "--progress"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             # One thread here: the child gets back the SIGINT that a stage ignores.
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))  # noqa: PLW1509
    try:
        assert child.stderr is not None
        if not from_start:
            select.select([child.stderr], [], [], 600)
        time.sleep(seconds)
        child.send_signal(signal.SIGINT)
        signalled = time.perf_counter()
        out, _ = child.communicate(timeout=600)
        return time.perf_counter() - signalled, counted(out.decode())
    finally:
        child.kill()
        child.wait()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--python", default=sys.executable)
    args = parser.parse_args()

    print(f"stop: a 2-seat plane in blocks of 1, SIGINT {args.seconds:g} s in")
    plain = interrupted_after(command(args.python, "1e12", *SMALL), args.seconds)
    target = interrupted_after(command(args.python, "1e12", *SMALL, *TARGET), args.seconds)
    for name, (took, boardings) in (("no target", plain), ("--half-width 1e-4", target)):
        print(f"  {name:<18} exit {took:6.2f} s after SIGINT, {boardings:>13,} boardings counted")
    print(f"  the target's slow-down: {plain[1] / max(target[1], 1):.2f} times fewer boardings")

    with tempfile.TemporaryDirectory() as folder:
        file = Path(folder) / "run.json"
        total = BLOCKS * BLOCK
        subprocess.run(command(args.python, str(total), "--block-size", str(BLOCK), "--seed", "2",
                               "--resume", str(file)), check=True, capture_output=True)
        saved = file.read_bytes()
        print(f"resume: a file of 2^20 blocks of {BLOCK} boardings (the default plane) with {' '.join(TARGET)}")
        started = time.perf_counter()
        subprocess.run(command(args.python, str(total + 10), *TARGET, "--resume", str(file)),
                       check=True, capture_output=True)
        print(f"  to 10 boardings more: {time.perf_counter() - started:6.2f} s")
        file.write_bytes(saved)
        took, boardings = interrupted_after(command(args.python, "1e12", *TARGET, "--resume", str(file)),
                                            min(args.seconds, 2.0), from_start=True)
        print(f"  to 1e12, SIGINT {min(args.seconds, 2.0):g} s after the start: exit {took:6.2f} s after SIGINT,"
              f" {boardings:,} boardings held")


if __name__ == "__main__":
    os.environ.setdefault("PYTHONUNBUFFERED", "1")
    main()
