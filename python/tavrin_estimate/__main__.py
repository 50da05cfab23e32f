"""python -m tavrin_estimate ITERATIONS [options]: an estimate with its seed and interval, on
this machine or on a Dask cluster; python -m tavrin_estimate replay FILE [--sample K]: a saved
result counted again. Exit status 0 when done (a replay: when it matches), 1 when a run failed
or a replay does not match or a result could not be saved, 2 for bad arguments or files, and
128 + the signal's number after Ctrl-C (130), SIGTERM (143) or SIGHUP (129): the partial result
printed, and saved with --resume."""

from __future__ import annotations

import argparse
import contextlib
import importlib
import importlib.util
import math
import os
import platform
import re
import signal
import sys
from decimal import Decimal, InvalidOperation
from pathlib import Path
from typing import Any, Callable, Iterator, List, NoReturn, Optional, Tuple

from ._boarding import boarding, find_boarding
from ._counting import MAX_BLOCK_SIZE, MAX_BOARDING, parse_seed
from ._estimate import EstimateFailed, EstimateInterrupted, estimate
from ._executors import PRECISION_STOPS, WORKER_THREADS_VARIABLE
from ._interrupt import STOP_SIGNALS, StopRequest, exit_status, run_program
from ._intervals import ANYTIME, DEFAULT_METHOD, METHODS
from ._plane import check_confidence, check_iterations, check_plane
from ._progress import boardings_for_half_width
from ._replay import replay
from ._result import DEFAULT_CONFIDENCE, FILE_FORMAT, READ_VERSIONS, RETIRED_FORMATS, Estimate
from ._store import DEFAULT_CHECKPOINT_SECONDS, FileRefused, ResultFile, check_checkpoint_seconds, encode
from ._version import __version__

EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as a shell reports a program that Ctrl-C stopped
DEFAULT_SCHEDULER_TIMEOUT = 10.0
# How the kernel's refusal of a worker thread count begins.
POOL_FAILURE = "Failed to create Tokio runtime"
DEFAULT_PASSENGERS = 100
MOST_WORKER_THREADS = 1024

_WHOLE = re.compile(r"\d+(_\d+)*")
_SCIENTIFIC = re.compile(r"\d+(\.\d+)?[eE]\+?\d+")


def _whole(least: int) -> Callable[[str], int]:
    """A whole number from `least` to below 10**100: 1000000, 1_000_000 or 1e6 (as long as it
    is whole)."""

    def whole(text: str) -> int:
        text = text.strip()
        value: Optional[int] = None
        if _WHOLE.fullmatch(text) and len(text) <= 200:
            value = int(text)
        elif _SCIENTIFIC.fullmatch(text):
            try:
                number = Decimal(text)
            except InvalidOperation:
                number = Decimal("NaN")
            if number.is_finite() and number == number.to_integral_value() and number.adjusted() < 100:
                value = int(number)
        if value is None or not least <= value < 10**100:
            raise argparse.ArgumentTypeError(f"not a whole number from {least} to below 1e100: {text[:40]!r}")
        return value

    return whole


_count = _whole(0)


def _seed(text: str) -> int:
    digits = text.strip().replace("_", "")
    if not (digits.isascii() and digits.isdigit()):
        raise argparse.ArgumentTypeError(f"a seed is a whole number written in decimal digits, not {text[:40]!r}")
    try:
        return parse_seed(digits)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _block_size(text: str) -> int:
    value = _count(text)
    if not 1 <= value <= MAX_BLOCK_SIZE:
        raise argparse.ArgumentTypeError(f"a block size lies between 1 and {MAX_BLOCK_SIZE}, not {text!r}")
    return value


def _confidence(text: str) -> float:
    try:
        return check_confidence(float(text))
    except (TypeError, ValueError) as exc:
        raise argparse.ArgumentTypeError(f"{text!r}: {exc}") from None


def _half_width(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0.0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"a half-width is a positive number, not {text!r}")
    return value


def _seconds(text: str) -> float:
    """A finite number of seconds, at least 0."""
    try:
        return check_checkpoint_seconds(float(text))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds >= 0: {text!r}") from None


def _timeout(text: str) -> float:
    value = _seconds(text)
    if value == 0.0:
        raise argparse.ArgumentTypeError("a time-out of 0 seconds leaves no time to connect")
    return value


# The name the usage and errors show: the console command's own, or how python -m ran us.
_PROG = "python -m tavrin_estimate"


class _Parser(argparse.ArgumentParser):
    """Every refusal is one line, status 2: the usage, which --help shows, would bury it."""

    def error(self, message: str) -> NoReturn:
        _say(f"{self.prog}: error: {message}")
        sys.exit(EXIT_USAGE)


def _version() -> str:
    from ._kernel import block_functions

    return (
        f"tavrin_estimate {__version__} ({platform.python_implementation()} {platform.python_version()},"
        f" {platform.machine()}, kernel block function {block_functions()[0]})"
    )


def _add_where_options(parser: _Parser) -> None:
    """The options of a run and of a replay that say where the boardings run and how they show."""
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="show a progress bar on standard error (by default only when it is a terminal)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on the Dask cluster of this scheduler (needs dask.distributed)")
    parser.add_argument("--scheduler-timeout", type=_timeout, default=DEFAULT_SCHEDULER_TIMEOUT, metavar="S",
                        help=f"give up reaching the scheduler after S seconds, default {DEFAULT_SCHEDULER_TIMEOUT:g}")


def _parser() -> _Parser:
    parser = _Parser(
        prog=_PROG,
        usage=f"{_PROG} ITERATIONS [options]\n       {_PROG} replay FILE [options]",
        description="Estimate how often the last passenger to board finds their own seat free."
        " 'python -m tavrin_estimate replay FILE' counts a saved result again; 'python -m tavrin_estimate"
        " show --seed S --index I' shows one boarding of a run seat by seat.",
        epilog="Ctrl-C, SIGTERM or SIGHUP stops the run, prints what it has counted (and saves it with"
        " --resume) and exits with status 128 + the signal's number: 130, 143, 129.",
    )
    parser.add_argument("--version", action="version", version=_version())
    parser.add_argument("iterations", type=_whole(1), metavar="ITERATIONS",
                        help="boardings to run, in total with --resume (1000000, 1_000_000 or 1e6)")
    parser.add_argument("--passengers", type=_count, metavar="N",
                        help=f"default {DEFAULT_PASSENGERS}, at most the seats")
    parser.add_argument("--seats", type=_count, default=100, metavar="N", help="default 100")
    parser.add_argument("--cols", default="ABCDEF", metavar="S", help="column letters, default ABCDEF")
    parser.add_argument("--seed", type=_seed, metavar="S",
                        help="the seed (a whole number); by default 128 bits drawn from the system, printed")
    parser.add_argument("--half-width", type=_half_width, metavar="E",
                        help="stop once the anytime interval's half-width is at most E (ITERATIONS at most)")
    parser.add_argument("--block-size", type=_block_size, metavar="B",
                        help="boardings per block (default: from the plane; 65536 for 100 seats)")
    parser.add_argument("--confidence", type=_confidence, default=DEFAULT_CONFIDENCE, metavar="C",
                        help=f"of the interval, default {DEFAULT_CONFIDENCE}")
    parser.add_argument("--method", choices=METHODS, default=DEFAULT_METHOD,
                        help=f"of the interval printed and saved beside the anytime one (the confidence"
                        f" sequence, which the progress display and --half-width use), default {DEFAULT_METHOD}")
    parser.add_argument("--json", action="store_true",
                        help="print the result as one JSON object (the form --resume saves), not as text")
    _add_where_options(parser)
    parser.add_argument("--resume", type=Path, metavar="FILE",
                        help="continue from the result in FILE if it exists, and save the result there")
    parser.add_argument("--checkpoint-seconds", type=_seconds, metavar="S",
                        help=f"with --resume, save the result so far every S seconds, default"
                        f" {DEFAULT_CHECKPOINT_SECONDS:g} (0: after every call)")
    return parser


def _replay_parser() -> _Parser:
    parser = _Parser(
        prog=f"{_PROG} replay",
        description="Count the boardings of a saved result again and say whether the counts match"
        " (exit status 0) or not (1).",
    )
    parser.add_argument("file", type=Path, metavar="FILE", help="a result saved by --resume or Estimate.save()")
    parser.add_argument("--sample", type=_whole(1), metavar="K",
                        help="count only K blocks drawn at random (needs the result's per-block counts)")
    _add_where_options(parser)
    return parser


def _show_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=f"{_PROG} show",
        description="Show one boarding of a seeded run seat by seat: the cabin, the chain of passengers"
        " who found their seat taken, and whether the last passenger sat in their own seat. With --first,"
        " the first boarding from --index on whose last passenger did (success) or did not (failure).",
    )
    parser.add_argument("--seed", type=_seed, required=True, metavar="S", help="the run's seed")
    parser.add_argument("--index", type=_count, default=0, metavar="I",
                        help="the boarding, numbered from 0 (with --first: where the search starts), default 0")
    parser.add_argument("--first", choices=("success", "failure"),
                        help="show the first boarding from --index on with this outcome")
    parser.add_argument("--stop", type=_count, metavar="J",
                        help="with --first, search boardings below J only (default: up to 2**64 - 1)")
    parser.add_argument("--passengers", type=_count, default=100, metavar="N", help="default 100")
    parser.add_argument("--seats", type=_count, default=100, metavar="N", help="default 100")
    parser.add_argument("--cols", default="ABCDEF", metavar="S", help="column letters, default ABCDEF")
    parser.add_argument("--block-size", type=_block_size, metavar="B",
                        help="the run's block size (default: from the plane, as for a run; 65536 for 100 seats)")
    return parser


def _show(argv: List[str]) -> int:
    parser = _show_parser()
    args = parser.parse_args(argv)
    if args.stop is not None and args.first is None:
        parser.error("--stop bounds the search of --first")
    plane = (args.passengers, args.seats, args.cols)
    try:
        if args.first is None:
            shown = boarding(args.index, *plane, seed=args.seed, block_size=args.block_size)
        else:
            stop = MAX_BOARDING if args.stop is None else args.stop
            found = find_boarding(args.first == "success", args.index, stop, *plane, seed=args.seed,
                                  block_size=args.block_size)
            if found is None:
                did = "did" if args.first == "success" else "did not"
                _say(f"{parser.prog}: no boarding of [{args.index:,}, {stop:,}) in which the last passenger {did}"
                     " sit in their own seat")
                return EXIT_FAILURE
            shown = found
    except (TypeError, ValueError) as exc:
        parser.error(str(exc))
    except MemoryError as exc:
        _refuse(parser, str(exc))
    except KeyboardInterrupt:
        _say(f"{parser.prog}: interrupted")
        return EXIT_INTERRUPTED
    _print_result(shown.text())
    return 0


def _result_file(path: Path) -> ResultFile:
    return ResultFile(path, kind=FILE_FORMAT, versions=READ_VERSIONS, retired=RETIRED_FORMATS)


def _refuse(parser: argparse.ArgumentParser, message: str) -> NoReturn:
    """A refusal of the arguments or of what they name (a file, the environment): one line,
    status 2."""
    parser.error(message)


def _check_worker_threads(parser: argparse.ArgumentParser) -> None:
    """TAVRIN_PUZZLES_WORKER_THREADS as the kernel reads it (decimal digits only, 1 to 1024),
    refused here in one line rather than by the kernel's fatal report."""
    text = os.environ.get(WORKER_THREADS_VARIABLE)
    if text is None:
        return
    digits = text.lstrip("0")
    if not (text.isascii() and text.isdigit() and len(digits) <= 4 and 1 <= int(digits or "0") <= MOST_WORKER_THREADS):
        parser.error(f"{WORKER_THREADS_VARIABLE}={text[:40]!r} is not a whole number from 1 to"
                     f" {MOST_WORKER_THREADS}: unset it to use every processor, or give a thread count")


def _is_pool_error(exc: BaseException) -> bool:
    """The kernel's refusal of TAVRIN_PUZZLES_WORKER_THREADS (no pool of that many threads)."""
    return isinstance(exc, RuntimeError) and str(exc).startswith(POOL_FAILURE)


def _open(parser: argparse.ArgumentParser, file: ResultFile, args: argparse.Namespace) -> Optional[Estimate]:
    """The result held by the resume file, checked against the plane asked; None for none."""
    try:
        document = file.open()
        saved = None if document is None else Estimate.from_dict(document)
    except FileRefused as exc:
        _refuse(parser, f"cannot resume from {exc}")
    except ValueError as exc:
        file.close()
        _refuse(parser, f"cannot resume from {file.path}: {exc}")
    if saved is None:
        return None
    wanted = (args.passengers, args.seats, args.cols)
    if saved.configuration != wanted:
        file.close()
        _refuse(parser,
            f"{file.path} holds a run of {saved.passengers} passengers, {saved.seats} seats and cols"
            f" {saved.cols!r}; give the same plane to continue it"
        )
    return saved


@contextlib.contextmanager
def _client(parser: argparse.ArgumentParser, address: Optional[str], timeout: float) -> Iterator[Any]:
    if address is None:
        # The command line never picks up a client on its own.
        yield False
        return
    try:
        distributed = importlib.import_module("distributed")
    except Exception as exc:
        if importlib.util.find_spec("distributed") is None:
            parser.error("--scheduler needs dask.distributed: pip install '.[dask]'")
        # Under PyPy 3.9 it installs but its psutil does not load.
        parser.error(
            f"dask.distributed is installed but cannot be imported under this interpreter:"
            f" {type(exc).__name__}: {exc}"
        )
    try:
        client = distributed.Client(address, timeout=timeout)
    except (OSError, TimeoutError, ValueError) as exc:
        print(f"{parser.prog}: cannot reach the scheduler at {address}: {exc}", file=sys.stderr)
        sys.exit(EXIT_FAILURE)
    with client:
        yield client


def _stoppable(parser: argparse.ArgumentParser, argv: List[str],
               body: Callable[[argparse.ArgumentParser, argparse.Namespace, StopRequest], int]) -> int:
    args = parser.parse_args(argv)
    _check_worker_threads(parser)
    if args.progress is None:  # on a terminal, as tqdm users expect; never into a file or pipe
        args.progress = _stderr_is_terminal()
    # Every stopping signal is a flag from here until the result is printed and saved.
    with StopRequest(STOP_SIGNALS) as stop:
        return body(parser, args, stop)


def _run(parser: argparse.ArgumentParser, args: argparse.Namespace, stop: StopRequest) -> int:
    # Refused before the resume file is opened, so that a bad plane never locks or reads it.
    given_passengers = args.passengers is not None
    if not given_passengers:
        args.passengers = DEFAULT_PASSENGERS
    try:
        check_iterations(args.iterations)
        check_plane(args.passengers, args.seats, args.cols)
    except (TypeError, ValueError) as exc:
        hint = "" if given_passengers or args.passengers <= args.seats else (
            f" ({DEFAULT_PASSENGERS} is the default of --passengers): give --passengers N, at most {args.seats:,}")
        parser.error(f"{exc}{hint}")
    if args.checkpoint_seconds is not None and args.resume is None:
        parser.error("--checkpoint-seconds needs --resume FILE, where the checkpoints go")
    file = _result_file(args.resume) if args.resume is not None else None
    saved = _open(parser, file, args) if file is not None else None
    stops: List[Tuple[int, int]] = []
    with contextlib.ExitStack() as held:
        if file is not None:
            held.callback(file.close)
        held.callback(PRECISION_STOPS.reset, PRECISION_STOPS.set(stops))
        try:
            with _client(parser, args.scheduler, args.scheduler_timeout) as client:
                try:
                    result = estimate(
                        args.iterations,
                        args.passengers,
                        args.seats,
                        args.cols,
                        seed=args.seed,
                        confidence=args.confidence,
                        method=args.method,
                        progress=args.progress,
                        client=client,
                        resume=saved,
                        half_width=args.half_width,
                        block_size=args.block_size,
                        checkpoint=None if file is None else lambda partial: file.save(partial.to_dict()),
                        checkpoint_seconds=(
                            DEFAULT_CHECKPOINT_SECONDS if args.checkpoint_seconds is None else args.checkpoint_seconds
                        ),
                    )
                    status = 0
                except EstimateInterrupted as stopped:
                    result = stopped.result
                    status = exit_status(stop.signum or signal.SIGINT)
                except EstimateFailed as failed:
                    result = failed.result
                    status = EXIT_FAILURE
                    _say(f"{parser.prog}: {failed}")
                except (TypeError, ValueError) as exc:
                    parser.error(str(exc))
                except RuntimeError as exc:
                    if not _is_pool_error(exc):
                        raise
                    _refuse(parser, str(exc))
        except KeyboardInterrupt:
            # Only an application's own SIGINT handler raises here, before the run had started
            # (or while the cluster connection closed): nothing counted.
            _say(f"{parser.prog}: interrupted")
            return EXIT_INTERRUPTED
        # Printed first: a save that fails must not take the result with it.
        _print_result(_json(result, args.method) if args.json else result.text(args.method),
                      end="" if args.json else "\n")
        if args.half_width is not None and not result.interrupted and status == 0:
            _say(_precision_outcome(result, args.iterations, args.half_width, stops))
        if file is None:
            if result.interrupted:
                _say("not saved: add --resume FILE to keep a stopped run and continue it later")
            return status
        if saved is not None and result.iterations == saved.iterations and not (result.interrupted or saved.interrupted):
            _say(f"{file.path} already holds what was asked ({args.iterations:,} boardings; it holds"
                 f" {saved.iterations:,}): nothing run, the file left as it was")
            return status
        try:
            file.save(result.to_dict())
        except (OSError, ValueError) as exc:
            where = exc if isinstance(exc, FileRefused) else f"{file.path}: {exc}"
            if args.json:
                _say(f"{parser.prog}: could not save the result to {where}; the JSON above holds it whole:"
                     " save it by hand to resume from it")
            else:
                _say(f"{parser.prog}: could not save the result to {where}; here it is as JSON, to save by"
                     " hand and resume from:")
                _print_result(encode(result.to_dict()).decode("ascii"), end="")
            return status or EXIT_FAILURE
        if result.interrupted:
            _say(f"saved to {file.path}: run the same command again to continue")
        else:
            _say(f"saved to {file.path}")
    return status


def _precision_outcome(result: Estimate, asked: int, target: float, stops: List[Tuple[int, int]]) -> str:
    """What became of a half-width target: where the confidence sequence reached it, and the
    boardings counted past that point and left out; or that the boardings asked did not
    suffice, with about how many would."""
    low, high = result.proportion_ci(method=ANYTIME)
    half = (high - low) / 2.0
    if stops:
        stop, dropped = stops[-1]
        where = "early, " if stop < asked else ""
        past = f"; {dropped:,} boardings counted past it are left out" if dropped else ""
        return (f"stopped {where}at {stop:,} of the {asked:,} boardings asked: the anytime line's half-width"
                f" (the confidence sequence, {half:.3g}) reached the target {target:g}{past}")
    if half <= target:  # reached by the boardings resumed, before this run counted any
        return f"the anytime line's half-width ({half:.3g}) is within the target {target:g}"
    needed = boardings_for_half_width(result.successes, result.iterations, result.confidence, target, ANYTIME)
    more = "" if needed is None else f"; about {needed:,} boardings in all would reach it"
    return (f"the target {target:g} was not reached within the {asked:,} boardings asked: the anytime"
            f" line's half-width is {half:.3g}{more}")


def _json(result: Estimate, method: str) -> str:
    """The result's JSON object (the form a file holds, which resumes) with, under "derived",
    what the counts give: the estimate, the interval printed and the exact answer."""
    document = result.to_dict()
    low, high = result.proportion_ci(method=method)
    document["derived"] = {
        "estimate": None if math.isnan(result.fraction) else result.fraction,
        "interval": {"method": method, "confidence": result.confidence, "low": low, "high": high},
        "exact": None if result.exact is None else str(result.exact),
    }
    return encode(document).decode("ascii")


def _say(line: str) -> None:
    """One line on standard error, which may be closed: a message never ends the program."""
    with contextlib.suppress(OSError, ValueError, AttributeError):
        print(line, file=sys.stderr, flush=True)


def _stderr_is_terminal() -> bool:
    try:
        return sys.stderr is not None and sys.stderr.isatty()
    except (OSError, ValueError, AttributeError):
        return False


def _print_result(result: object, end: str = "\n") -> None:
    """The result on standard output; a closed or broken one is replaced by /dev/null, so that
    the save still happens and the exit does not fail flushing it again."""
    try:
        print(result, end=end, flush=True)
    except (OSError, ValueError, AttributeError):
        with contextlib.suppress(OSError):
            sys.stdout = open(os.devnull, "w")  # noqa: SIM115 - standard output until the process ends


def _replay(parser: argparse.ArgumentParser, args: argparse.Namespace, stop: StopRequest) -> int:
    try:
        saved = Estimate.load(args.file)
    except (OSError, ValueError) as exc:
        _refuse(parser, f"cannot replay {exc}")
    with _client(parser, args.scheduler, args.scheduler_timeout) as client:
        try:
            outcome = replay(saved, args.sample, client=client, progress=args.progress)
        except (TypeError, ValueError) as exc:
            _refuse(parser, str(exc))
        except RuntimeError as exc:
            if not _is_pool_error(exc):
                raise
            _refuse(parser, str(exc))
    _print_result(outcome)
    if outcome.interrupted:
        return exit_status(stop.signum or signal.SIGINT)
    return 0 if outcome.matches else EXIT_FAILURE


def main(argv: Optional[List[str]] = None) -> int:
    arguments = sys.argv[1:] if argv is None else list(argv)
    if arguments[:1] == ["replay"]:
        return _stoppable(_replay_parser(), arguments[1:], _replay)
    if arguments[:1] == ["show"]:
        return _show(arguments[1:])
    return _stoppable(_parser(), arguments, _run)


def command() -> NoReturn:
    """The console command tavrin-estimate: the same as python -m tavrin_estimate, with every
    stopping signal a flag until the process ends."""
    global _PROG
    _PROG = os.path.basename(sys.argv[0]) or _PROG
    run_program(main)


if __name__ == "__main__":
    run_program(main)
