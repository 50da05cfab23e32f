"""Speed and memory of `Planes(n, n).run_simulations(iterations)`, side by side with the same
puzzle in plain Python (pure_boarding.py, under CPython and under PyPy) and with the bare cost
of the random draws that a boarding needs (the C++ program boarding_bench). Also the peak
memory of a huge batch against a small one, the speed-up from one worker to all, and what a
one-boarding batch costs (starting and stopping the worker pool). Before those, one worker
under the 32-bit PyPy against the 64-bit PyPy, and generate_seating() against plain Python under
CPython and PyPy (`--only targets` runs just these); then the seeded count of
tavrin_estimate._kernel against run_simulations (`--only seeded` runs just that).

Run it with an interpreter that can import tavrin_puzzles; see benchmarks/README.md. It keeps
itself to about two minutes on two cores.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

try:
    import tavrin_puzzles
except ImportError:
    sys.exit("tavrin_puzzles cannot be imported: install it first (see benchmarks/README.md)")

try:
    from tavrin_estimate import _kernel
except ImportError:
    _kernel = None  # type: ignore[assignment]

ROOT = Path(__file__).resolve().parent.parent
BENCHMARKS = ROOT / "benchmarks"
SIZES = (10, 100, 1000, 10000)
DEFAULT_SIZE = 100
WORKERS_VARIABLE = "TAVRIN_PUZZLES_WORKER_THREADS"
MEMORY_PASSENGERS = 10
MEMORY_ITERATIONS = (10**3, 10**8)
POOL_CALLS = 200
POOL_ROUNDS = 5
TIMED_RUNS = 3

# What the module is meant to reach.
MIN_SPEEDUP_OVER_CPYTHON = 40.0
MIN_SPEEDUP_OVER_PYPY = 12.0
MAX_SLOWDOWN_AGAINST_DRAWS = 1.4
MAX_MEMORY_GROWTH_KIB = 10 * 1024
MAX_POOL_MICROSECONDS = 1000.0
MIN_32_BIT_OVER_64_BIT = 0.85
MIN_SEATING_OVER_PURE_PYPY = 1.5
# At 10 seats a call is mostly PyPy's fixed cost of entering the module and making the dict.
MIN_SEATING_TARGET_SEATS = 100
MIN_SEEDED_OVER_PLAIN = 0.98
# The blocks a worker of the seeded count boards side by side in its widest lanes (AVX-512).
LANE_BLOCKS = 32

# The 32-bit PyPy of scripts/stages/25-python-i386.sh, and the sizes of the target tables.
I386_SYSROOT = ROOT / ".i386-root" / "sysroot"
TARGET_SIZES = (10, 100, 1000)
TARGET_ROUNDS = 3


def available_processors() -> int:
    """What the pool counts by default. PyPy 3.9 has no os.sched_getaffinity: read the same mask
    from /proc there."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("Cpus_allowed_list:"):
            count = 0
            for part in line.split(":", 1)[1].strip().split(","):
                low, _, high = part.partition("-")
                count += int(high or low) - int(low) + 1
            return count
    return os.cpu_count() or 1


def set_workers(count: int | None) -> None:
    """The pool reads the variable at every call, so changing it here takes effect at once."""
    if count is None:
        os.environ.pop(WORKERS_VARIABLE, None)
    else:
        os.environ[WORKERS_VARIABLE] = str(count)


def module_rate(passengers: int, budget: float) -> float:
    """Boardings per second: the best of TIMED_RUNS batches sized to share `budget` seconds,
    the fastest run counting as boarding_bench's fastest round does."""
    planes = tavrin_puzzles.Planes(passengers, passengers)
    share = budget / TIMED_RUNS
    iterations = max(1, 10_000 // passengers)
    while True:
        start = time.perf_counter()
        planes.run_simulations(iterations)
        elapsed = time.perf_counter() - start
        if elapsed >= share / 4:
            break
        iterations *= 10 if elapsed < share / 40 else 4
    iterations = max(1, int(iterations * share / elapsed))
    best = 0.0
    for _ in range(TIMED_RUNS):
        start = time.perf_counter()
        planes.run_simulations(iterations)
        best = max(best, iterations / (time.perf_counter() - start))
    return best


def find_interpreter(wanted: str, given: str | None) -> str | None:
    """An interpreter of the wanted implementation: the one given, this one, a venv's, or PATH's."""
    if given:
        return given
    if platform.python_implementation() == wanted:
        return sys.executable
    venv = ROOT / (".venv-cpython" if wanted == "CPython" else ".venv-pypy") / "bin" / "python"
    if venv.exists():
        return str(venv)
    return shutil.which("python3" if wanted == "CPython" else "pypy3")


def pure_python_rates(interpreter: str | None, budget: float) -> dict[int, float] | None:
    if interpreter is None:
        return None
    command = [interpreter, str(BENCHMARKS / "pure_boarding.py"), *map(str, SIZES), "--budget", str(budget)]
    done = subprocess.run(command, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        print(f"pure Python under {interpreter} failed:\n{done.stderr}", file=sys.stderr)
        return None
    return {int(size): rate for size, rate in json.loads(done.stdout)["rates"].items()}


def bare_draw_rates(build_dir: Path) -> dict[int, float] | None:
    """Boardings per second that the random draws alone would allow on one thread, from
    boarding_bench (built, or brought up to date, in `build_dir` first)."""
    cmake = shutil.which("cmake")
    if cmake is None:
        print("cmake not found: no bare-draw column", file=sys.stderr)
        return None
    steps = [
        [cmake, "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release", "-DTAVRIN_BUILD_EXTENSION=OFF",
         "-DTAVRIN_BUILD_TESTS=OFF", "-DTAVRIN_BUILD_BENCHMARKS=ON"],
        [cmake, "--build", str(build_dir), "--target", "boarding_bench", "-j2"],
    ]
    for step in steps:
        done = subprocess.run(step, capture_output=True, text=True, check=False)
        if done.returncode != 0:
            print(f"building boarding_bench failed:\n{done.stdout}{done.stderr}", file=sys.stderr)
            return None
    program = build_dir / "benchmarks" / "boarding_bench"
    done = subprocess.run([str(program), "--csv"], capture_output=True, text=True, check=False)
    if done.returncode != 0:
        print(f"boarding_bench failed:\n{done.stderr}", file=sys.stderr)
        return None
    # Lines "passengers,ns_per_boarding,ns_bare_draws,..." after one header line.
    rates = {}
    for line in done.stdout.splitlines()[1:]:
        passengers, _, draws_ns = line.split(",")[:3]
        rates[int(passengers)] = 1e9 / float(draws_ns)
    return rates if all(n in rates for n in SIZES) else None


def peak_memory_kib(iterations: int) -> int:
    """ru_maxrss of a fresh interpreter that runs one batch of `iterations` boardings."""
    code = (
        "import resource, tavrin_puzzles\n"
        f"tavrin_puzzles.Planes({MEMORY_PASSENGERS}, {MEMORY_PASSENGERS}).run_simulations({iterations})\n"
        "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)\n"
    )
    environment = dict(os.environ)
    module_dir = str(Path(tavrin_puzzles.__file__).resolve().parent)
    environment["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, environment.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, env=environment)
    return int(done.stdout.strip())


def pool_cost_microseconds() -> tuple[float, float]:
    """Median and least time of run_simulations(1) on a one-seat plane, which is mostly the
    pool starting and stopping. The median of the quietest of POOL_ROUNDS rounds counts: on a
    shared machine one busy moment can hold a waking worker back for a whole time slice."""
    planes = tavrin_puzzles.Planes(1, 1)
    medians, least = [], float("inf")
    for _ in range(POOL_ROUNDS):
        times = []
        for _ in range(POOL_CALLS // POOL_ROUNDS):
            start = time.perf_counter()
            planes.run_simulations(1)
            times.append((time.perf_counter() - start) * 1e6)
        medians.append(statistics.median(times))
        least = min(least, *times)
    return min(medians), least


def child_json(command: list[str], environment: dict[str, str] | None, *arguments: object) -> dict[int, object] | None:
    """Runs child_rates.py under `command` and returns its answer keyed by size."""
    done = subprocess.run([*command, str(BENCHMARKS / "child_rates.py"), *map(str, arguments)],
                          capture_output=True, text=True, check=False, env=environment)
    if done.returncode != 0:
        print(f"{' '.join(command)} failed:\n{done.stderr}", file=sys.stderr)
        return None
    return {int(size): value for size, value in json.loads(done.stdout).items()}


def i386_command(interpreter: str | None) -> tuple[list[str], dict[str, str]] | None:
    """The 32-bit interpreter as the test stage runs it: its own libraries and an i686 personality."""
    path = Path(interpreter) if interpreter else ROOT / ".venv-pypy-i386" / "bin" / "python"
    if not path.exists() or shutil.which("setarch") is None:
        return None
    environment = dict(os.environ)
    libraries = [str(I386_SYSROOT / "usr" / "lib" / "i386-linux-gnu"), str(I386_SYSROOT / "lib" / "i386-linux-gnu")]
    environment["LD_LIBRARY_PATH"] = os.pathsep.join(filter(None, [*libraries, environment.get("LD_LIBRARY_PATH")]))
    return ["setarch", "i686", str(path)], environment


def pypy_32_against_64(pypy64: str | None, pypy32: str | None, budget: float) -> None:
    """run_simulations on one worker under the 64-bit and the 32-bit PyPy, in alternating rounds."""
    i386 = i386_command(pypy32)
    if pypy64 is None or i386 is None:
        print("no 64-bit or no 32-bit PyPy with the module: run bash scripts/test.sh i386 first", file=sys.stderr)
        return
    best: dict[str, dict[int, float]] = {"64": {}, "32": {}}
    for _ in range(TARGET_ROUNDS):
        for bits, (command, environment) in (("64", ([pypy64], None)), ("32", i386)):
            rates = child_json(command, environment, "simulations", budget, *TARGET_SIZES)
            if rates is None:
                return
            for n, rate in rates.items():
                best[bits][n] = max(best[bits].get(n, 0.0), float(rate))  # type: ignore[arg-type]
    print()
    print("| passengers | 64-bit PyPy, 1 worker | 32-bit PyPy, 1 worker | 32-bit / 64-bit |")
    print("|---:|---:|---:|---:|")
    for n in TARGET_SIZES:
        print(f"| {n} | {rate_text(best['64'][n])} | {rate_text(best['32'][n])} | "
              f"{ratio_text(best['32'][n], best['64'][n], 2)} |")
    print(f"(boardings per second of Planes(n, n).run_simulations(...), best of {TARGET_ROUNDS} alternating rounds)")
    print(f"target: 32-bit PyPy at {DEFAULT_SIZE} passengers >= {MIN_32_BIT_OVER_64_BIT}x 64-bit PyPy: "
          f"{verdict(best['32'][DEFAULT_SIZE] >= MIN_32_BIT_OVER_64_BIT * best['64'][DEFAULT_SIZE])}")


def seating_against_pure(interpreters: dict[str, str | None], budget: float) -> None:
    """generate_seating() of the module against pure_boarding.generate_seating, under each interpreter."""
    print()
    print("| interpreter | seats | module, us per call | plain Python, us per call | plain / module |")
    print("|---|---:|---:|---:|---:|")
    met: bool | None = None
    for name, interpreter in interpreters.items():
        if interpreter is None:
            continue
        times = child_json([interpreter], None, "seating", budget, *TARGET_SIZES)
        if times is None:
            continue
        for n in TARGET_SIZES:
            module, pure = times[n]  # type: ignore[misc]
            print(f"| {name} | {n} | {module:.2f} | {pure:.2f} | {pure / module:.2f}x |")
            if name == "PyPy" and n >= MIN_SEATING_TARGET_SEATS:
                met = (met is not False) and pure >= MIN_SEATING_OVER_PURE_PYPY * module
    print("(best of alternating rounds of Planes(n, n).generate_seating() and the plain version)")
    print(f"target: under PyPy the module >= {MIN_SEATING_OVER_PURE_PYPY}x the plain version from"
          f" {MIN_SEATING_TARGET_SEATS} seats: {verdict(met)}")
    print(f"(below {MIN_SEATING_TARGET_SEATS} seats no target: PyPy's fixed cost of a call into the module bounds the"
          " ratio there, reported for information)")


def default_block_size(seats: int) -> int:
    """The companion's block size: the largest power of two <= 2**23 // seats, at most 2**16."""
    size = 1
    while size * 2 <= min(2**23 // max(seats, 1), 2**16):
        size *= 2
    return size


def timed(call: Callable[[], object]) -> tuple[float, float]:
    """Wall-clock and processor seconds (all threads of the process) of one call."""
    wall, cpu = time.perf_counter(), time.process_time()
    call()
    return time.perf_counter() - wall, time.process_time() - cpu


def seeded_against_plain(budget: float) -> None:
    """The seeded count (whole blocks of the companion's default size, all workers) against
    run_simulations of as many boardings, in alternating rounds, at each size. Also per
    processor second: on a busy machine a block held up on a descheduled worker delays the
    whole call (a block is counted by one thread), while the batch's small claims even out."""
    if _kernel is None:
        print("tavrin_estimate._kernel cannot be imported: no seeded table", file=sys.stderr)
        return
    key = hashlib.sha256(b"\x00").digest()
    workers = available_processors()
    print()
    print("| passengers | run_simulations | seeded count | seeded / plain | per processor second: plain | seeded | "
          "seeded / plain |")
    print("|---:|---:|---:|---:|---:|---:|---:|")
    met = True
    for n in TARGET_SIZES:
        planes = tavrin_puzzles.Planes(n, n)
        block = default_block_size(n)
        # As many boardings as take `budget` / TARGET_ROUNDS seconds, in whole blocks per worker,
        # at least enough to fill a worker's widest lanes (a worker boards that many blocks at once).
        iterations = block * workers * LANE_BLOCKS
        while timed(lambda: planes.run_simulations(iterations))[0] < budget / TARGET_ROUNDS / 2:
            iterations *= 2
        best = {"plain": (0.0, 0.0), "seeded": (0.0, 0.0)}
        for round_number in range(TARGET_ROUNDS):
            first = round_number * iterations
            calls = {
                "plain": lambda: planes.run_simulations(iterations),
                "seeded": lambda: _kernel.count(n, n, "ABCDEF", key, block, first, first + iterations),
            }
            for name, call in calls.items():
                wall, cpu = timed(call)
                best[name] = (max(best[name][0], iterations / wall), max(best[name][1], iterations / cpu))
        (plain, plain_cpu), (seeded, seeded_cpu) = best["plain"], best["seeded"]
        print(f"| {n} | {rate_text(plain)} | {rate_text(seeded)} | {ratio_text(seeded, plain, 3)} | "
              f"{rate_text(plain_cpu)} | {rate_text(seeded_cpu)} | {ratio_text(seeded_cpu, plain_cpu, 3)} |")
        met = met and seeded >= MIN_SEEDED_OVER_PLAIN * plain
    print(f"(boardings per second on {workers} workers, best of {TARGET_ROUNDS} alternating rounds; the seeded "
          f"count in whole blocks of {', '.join(str(default_block_size(n)) for n in TARGET_SIZES)} boardings)")
    print(f"target: the seeded count >= {MIN_SEEDED_OVER_PLAIN}x run_simulations at every size: {verdict(met)}")


def rate_text(rate: float | None) -> str:
    return "n/a" if rate is None else f"{rate:,.0f}"


def ratio_text(numerator: float | None, denominator: float | None, digits: int = 1) -> str:
    return "n/a" if numerator is None or denominator is None else f"{numerator / denominator:.{digits}f}x"


def verdict(ok: bool | None) -> str:
    return "n/a" if ok is None else ("met" if ok else "MISSED")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cpython", help="CPython interpreter for the pure-Python column")
    parser.add_argument("--pypy", help="PyPy interpreter for the pure-Python column")
    parser.add_argument("--budget", type=float, default=1.0, help="seconds per measurement (default 1)")
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "bench",
                        help="CMake build directory for boarding_bench")
    parser.add_argument("--pypy32", help="32-bit PyPy with the module (default .venv-pypy-i386)")
    parser.add_argument("--only", choices=("all", "simulations", "targets", "seeded"), default="all",
                        help="the batch tables, the 32-bit and generate_seating tables, the seeded count "
                             "against the batch, or all (default)")
    args = parser.parse_args()

    if args.only == "seeded":
        print("the seeded count against run_simulations", flush=True)
        seeded_against_plain(args.budget)
        return

    if args.only != "simulations":
        print("32-bit against 64-bit PyPy, and generate_seating against plain Python", flush=True)
        pypy_32_against_64(find_interpreter("PyPy", args.pypy), args.pypy32, args.budget)
        seating_against_pure({"CPython": find_interpreter("CPython", args.cpython),
                              "PyPy": find_interpreter("PyPy", args.pypy)}, args.budget)
        seeded_against_plain(args.budget)
        if args.only == "targets":
            return
        print()

    workers_override = os.environ.get(WORKERS_VARIABLE)
    workers = int(workers_override) if workers_override else available_processors()
    print(f"tavrin_puzzles under {platform.python_implementation()} {platform.python_version()}, "
          f"{workers} workers, budget {args.budget} s per measurement", flush=True)

    set_workers(workers)
    all_rates = {n: module_rate(n, args.budget) for n in SIZES}
    set_workers(1)
    one_rates = {n: module_rate(n, args.budget) for n in SIZES}
    set_workers(workers)

    cpython = pure_python_rates(find_interpreter("CPython", args.cpython), 1.5 * args.budget)
    pypy = pure_python_rates(find_interpreter("PyPy", args.pypy), 1.5 * args.budget)
    draws = bare_draw_rates(args.build_dir)

    print()
    print(f"| passengers | module, {workers} workers | module, 1 worker | speed-up | pure CPython | module / "
          f"CPython | pure PyPy | module / PyPy | bare draws x {workers} | cost / draws |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for n in SIZES:
        busy_draws = draws[n] * workers if draws else None
        print(f"| {n} | {rate_text(all_rates[n])} | {rate_text(one_rates[n])} | "
              f"{ratio_text(all_rates[n], one_rates[n])} | "
              f"{rate_text(cpython and cpython[n])} | {ratio_text(all_rates[n], cpython and cpython[n])} | "
              f"{rate_text(pypy and pypy[n])} | {ratio_text(all_rates[n], pypy and pypy[n])} | "
              f"{rate_text(busy_draws)} | {ratio_text(busy_draws, all_rates[n], 2)} |")
    print("(boardings per second of Planes(n, n); speed ratios above 1x favour the module; cost / draws is")
    print(" the time of a boarding in the batch over the time of its bare draws, all workers busy)")

    small, huge = (peak_memory_kib(iterations) for iterations in MEMORY_ITERATIONS)
    median, least = pool_cost_microseconds()
    print()
    print(f"peak memory, Planes({MEMORY_PASSENGERS}, {MEMORY_PASSENGERS}).run_simulations(n) in a fresh "
          f"interpreter: n = 10^3: {small / 1024:.1f} MiB, n = 10^8: {huge / 1024:.1f} MiB, "
          f"difference {(huge - small) / 1024:+.1f} MiB")
    print(f"run_simulations(1) on Planes(1, 1), {POOL_CALLS} calls: median {median:.0f} us (quietest of {POOL_ROUNDS} rounds), least {least:.0f} us")

    default_n = DEFAULT_SIZE
    print()
    print("targets:")
    print(f"  default plane >= {MIN_SPEEDUP_OVER_CPYTHON:.0f}x pure CPython: "
          f"{verdict(cpython and all_rates[default_n] >= MIN_SPEEDUP_OVER_CPYTHON * cpython[default_n])}")
    print(f"  default plane >= {MIN_SPEEDUP_OVER_PYPY:.0f}x pure PyPy: "
          f"{verdict(pypy and all_rates[default_n] >= MIN_SPEEDUP_OVER_PYPY * pypy[default_n])}")
    print(f"  within {MAX_SLOWDOWN_AGAINST_DRAWS}x of the bare draws at every size: "
          f"{verdict(draws and all(all_rates[n] * MAX_SLOWDOWN_AGAINST_DRAWS >= draws[n] * workers for n in SIZES))}")
    print(f"  peak memory of 10^8 within {MAX_MEMORY_GROWTH_KIB // 1024} MiB of 10^3: "
          f"{verdict(huge - small <= MAX_MEMORY_GROWTH_KIB)}")
    print(f"  pool start and stop < {MAX_POOL_MICROSECONDS / 1000:.0f} ms: {verdict(median < MAX_POOL_MICROSECONDS)}")


if __name__ == "__main__":
    main()
