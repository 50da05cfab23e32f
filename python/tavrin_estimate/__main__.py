"""python -m tavrin_estimate ITERATIONS [options]: an estimate with its seed and interval, on
this machine or on a Dask cluster; python -m tavrin_estimate replay FILE [--sample K]: a saved
result counted again. Exit status 0 when done (a replay: when it matches), 1 when a run failed
or a replay does not match, 2 for bad arguments or files, 130 after Ctrl-C (the partial result
printed, and saved with --resume)."""

from __future__ import annotations

import argparse
import contextlib
import importlib
import re
import sys
from decimal import Decimal, InvalidOperation
from pathlib import Path
from typing import Any, Iterator, List, Optional

from ._counting import MAX_BLOCK_SIZE, parse_seed
from ._estimate import EstimateFailed, EstimateInterrupted, estimate
from ._plane import check_confidence
from ._replay import replay
from ._result import DEFAULT_CONFIDENCE, FILE_FORMAT, FILE_VERSION, RETIRED_FORMATS, Estimate
from ._store import FileRefused, ResultFile

EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as a shell reports a program that Ctrl-C stopped

_WHOLE = re.compile(r"\d+(_\d+)*")
_SCIENTIFIC = re.compile(r"\d+(\.\d+)?[eE]\+?\d+")


def _count(text: str) -> int:
    """A whole number from 0 to 10**100: 1000000, 1_000_000 or 1e6 (as long as it is whole)."""
    text = text.strip()
    if _WHOLE.fullmatch(text):
        return int(text)
    if _SCIENTIFIC.fullmatch(text):
        try:
            value = Decimal(text)
        except InvalidOperation:
            value = Decimal("NaN")
        if value.is_finite() and value == value.to_integral_value() and value.adjusted() < 100:
            return int(value)
    raise argparse.ArgumentTypeError(f"not a whole number from 0 to 1e100: {text!r}")


def _seed(text: str) -> int:
    try:
        return parse_seed(text.strip().replace("_", ""))
    except ValueError:
        raise argparse.ArgumentTypeError(f"a seed is a whole number written in decimal digits, not {text!r}") from None


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


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m tavrin_estimate",
        description="Estimate how often the last passenger to board finds their own seat free."
        " 'python -m tavrin_estimate replay FILE' counts a saved result again.",
        epilog="Ctrl-C stops the run, prints what it has counted and exits with status 130.",
    )
    parser.add_argument("iterations", type=_count, metavar="ITERATIONS",
                        help="boardings to run, in total with --resume (1000000, 1_000_000 or 1e6)")
    parser.add_argument("--passengers", type=_count, default=100, metavar="N", help="default 100")
    parser.add_argument("--seats", type=_count, default=100, metavar="N", help="default 100")
    parser.add_argument("--cols", default="ABCDEF", metavar="S", help="column letters, default ABCDEF")
    parser.add_argument("--seed", type=_seed, metavar="S",
                        help="the seed (a whole number); by default 128 bits drawn from the system, printed")
    parser.add_argument("--half-width", type=_half_width, metavar="E",
                        help="stop once the interval's half-width is at most E (ITERATIONS at most)")
    parser.add_argument("--block-size", type=_block_size, metavar="B",
                        help="boardings per block (default: from the plane; 65536 for 100 seats)")
    parser.add_argument("--confidence", type=_confidence, default=DEFAULT_CONFIDENCE, metavar="C",
                        help=f"of the interval, default {DEFAULT_CONFIDENCE}")
    parser.add_argument("--progress", action="store_true", help="show a progress bar on standard error")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on the Dask cluster of this scheduler (needs dask.distributed)")
    parser.add_argument("--resume", type=Path, metavar="FILE",
                        help="continue from the result in FILE if it exists, and save the result there")
    return parser


def _replay_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m tavrin_estimate replay",
        description="Count the boardings of a saved result again and say whether the counts match"
        " (exit status 0) or not (1).",
    )
    parser.add_argument("file", type=Path, metavar="FILE", help="a result saved by --resume or Estimate.save()")
    parser.add_argument("--sample", type=_count, metavar="K",
                        help="count only K blocks drawn at random (needs the result's per-block counts)")
    parser.add_argument("--progress", action="store_true", help="show a progress bar on standard error")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on the Dask cluster of this scheduler (needs dask.distributed)")
    return parser


def _result_file(path: Path) -> ResultFile:
    return ResultFile(path, kind=FILE_FORMAT, versions=(FILE_VERSION,), retired=RETIRED_FORMATS)


def _open(parser: argparse.ArgumentParser, file: ResultFile, args: argparse.Namespace) -> Optional[Estimate]:
    """The result held by the resume file, checked against the plane asked; None for none."""
    try:
        document = file.open()
        saved = None if document is None else Estimate.from_dict(document)
    except FileRefused as exc:
        parser.error(f"cannot resume from {exc}")
    except ValueError as exc:
        file.close()
        parser.error(f"cannot resume from {file.path}: {exc}")
    if saved is None:
        return None
    wanted = (args.passengers, args.seats, args.cols)
    if saved.configuration != wanted:
        file.close()
        parser.error(
            f"{file.path} holds a run of {saved.passengers} passengers, {saved.seats} seats and cols"
            f" {saved.cols!r}; give the same plane to continue it"
        )
    return saved


@contextlib.contextmanager
def _client(parser: argparse.ArgumentParser, address: Optional[str]) -> Iterator[Any]:
    if address is None:
        # The command line never picks up a client on its own.
        yield False
        return
    try:
        distributed = importlib.import_module("distributed")
    except ImportError:
        parser.error("--scheduler needs dask.distributed: pip install '.[dask]'")
    try:
        client = distributed.Client(address)
    except (OSError, TimeoutError, ValueError) as exc:
        print(f"{parser.prog}: cannot reach the scheduler at {address}: {exc}", file=sys.stderr)
        sys.exit(EXIT_FAILURE)
    with client:
        yield client


def _run(argv: List[str]) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    file = _result_file(args.resume) if args.resume is not None else None
    saved = _open(parser, file, args) if file is not None else None
    with contextlib.ExitStack() as held:
        if file is not None:
            held.callback(file.close)
        try:
            with _client(parser, args.scheduler) as client:
                try:
                    result = estimate(
                        args.iterations,
                        args.passengers,
                        args.seats,
                        args.cols,
                        seed=args.seed,
                        confidence=args.confidence,
                        progress=args.progress,
                        client=client,
                        resume=saved,
                        half_width=args.half_width,
                        block_size=args.block_size,
                        checkpoint=None if file is None else lambda partial: file.save(partial.to_dict()),
                    )
                    status = 0
                except EstimateInterrupted as stop:
                    result = stop.result
                    status = EXIT_INTERRUPTED
                except EstimateFailed as failed:
                    result = failed.result
                    status = EXIT_FAILURE
                    print(f"{parser.prog}: {failed}", file=sys.stderr)
                except (TypeError, ValueError) as exc:
                    parser.error(str(exc))
        except KeyboardInterrupt:
            # Before the run had started (or while the cluster connection closed): nothing counted.
            print(f"{parser.prog}: interrupted", file=sys.stderr)
            return EXIT_INTERRUPTED
        print(result, flush=True)
        if file is not None:
            file.save(result.to_dict())
            if result.interrupted:
                print(f"saved to {file.path}: run the same command again to continue", file=sys.stderr)
    return status


def _replay(argv: List[str]) -> int:
    parser = _replay_parser()
    args = parser.parse_args(argv)
    try:
        saved = Estimate.load(args.file)
    except (OSError, ValueError) as exc:
        parser.error(f"cannot replay {exc}")
    with _client(parser, args.scheduler) as client:
        try:
            outcome = replay(saved, args.sample, client=client, progress=args.progress)
        except (TypeError, ValueError) as exc:
            parser.error(str(exc))
    print(outcome, flush=True)
    if outcome.interrupted:
        return EXIT_INTERRUPTED
    return 0 if outcome.matches else EXIT_FAILURE


def main(argv: Optional[List[str]] = None) -> int:
    arguments = sys.argv[1:] if argv is None else list(argv)
    if arguments[:1] == ["replay"]:
        return _replay(arguments[1:])
    return _run(arguments)


if __name__ == "__main__":
    sys.exit(main())
