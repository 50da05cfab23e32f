"""python -m tavrin_estimate ITERATIONS [options]: an estimate with its interval, on this machine
or on a Dask cluster. Exit status 0 when done, 130 after Ctrl-C (the partial result printed,
and saved with --resume), 2 for bad arguments, 1 when the cluster cannot be reached."""

from __future__ import annotations

import argparse
import contextlib
import importlib
import os
import re
import sys
import tempfile
from decimal import Decimal, InvalidOperation
from pathlib import Path
from typing import Any, Iterator, List, Optional

from ._estimate import EstimateInterrupted, estimate
from ._interrupt import StopRequest
from ._result import DEFAULT_CONFIDENCE, Estimate, check_confidence

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


def _confidence(text: str) -> float:
    try:
        return check_confidence(float(text))
    except (TypeError, ValueError):
        raise argparse.ArgumentTypeError(f"not a confidence strictly between 0 and 1: {text!r}") from None


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m tavrin_estimate",
        description="Estimate how often the last passenger to board finds their own seat free.",
        epilog="Ctrl-C stops the run, prints what it has counted and exits with status 130.",
    )
    parser.add_argument("iterations", type=_count, metavar="ITERATIONS",
                        help="boardings to run, in total with --resume (1000000, 1_000_000 or 1e6)")
    parser.add_argument("--passengers", type=_count, default=100, metavar="N", help="default 100")
    parser.add_argument("--seats", type=_count, default=100, metavar="N", help="default 100")
    parser.add_argument("--cols", default="ABCDEF", metavar="S", help="column letters, default ABCDEF")
    parser.add_argument("--confidence", type=_confidence, default=DEFAULT_CONFIDENCE, metavar="C",
                        help=f"of the interval, default {DEFAULT_CONFIDENCE}")
    parser.add_argument("--progress", action="store_true", help="show a progress bar on standard error")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on the Dask cluster of this scheduler (needs dask.distributed)")
    parser.add_argument("--resume", type=Path, metavar="FILE",
                        help="continue from the result in FILE if it exists, and save the result there")
    return parser


def _load(parser: argparse.ArgumentParser, path: Path, args: argparse.Namespace) -> Optional[Estimate]:
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        return None
    except (OSError, UnicodeDecodeError) as exc:
        parser.error(f"cannot read {path}: {exc}")
    try:
        saved = Estimate.from_json(text)
    except ValueError as exc:
        parser.error(f"cannot resume from {path}: {exc}")
    wanted = (args.passengers, args.seats, args.cols)
    if saved.configuration != wanted:
        parser.error(
            f"{path} holds a run of {saved.passengers} passengers, {saved.seats} seats and cols"
            f" {saved.cols!r}; give the same plane to continue it"
        )
    return saved


def _save(path: Path, result: Estimate) -> None:
    """Replace the file in one step, so that it always holds a whole result; Ctrl-C waits."""
    with StopRequest():
        directory = path.parent if str(path.parent) else Path(".")
        handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", dir=directory)
        try:
            with os.fdopen(handle, "w", encoding="utf-8") as out:
                out.write(result.to_json())
                out.flush()
                os.fsync(out.fileno())
            os.replace(temporary, path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise


@contextlib.contextmanager
def _client(parser: argparse.ArgumentParser, address: Optional[str]) -> Iterator[Any]:
    if address is None:
        yield None
        return
    try:
        distributed = importlib.import_module("distributed")
    except ImportError:
        parser.error("--scheduler needs dask.distributed: pip install 'tavrin_puzzles[dask]'")
    try:
        client = distributed.Client(address)
    except (OSError, TimeoutError, ValueError) as exc:
        print(f"{parser.prog}: cannot reach the scheduler at {address}: {exc}", file=sys.stderr)
        sys.exit(EXIT_FAILURE)
    with client:
        yield client


def main(argv: Optional[List[str]] = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    saved = _load(parser, args.resume, args) if args.resume is not None else None
    try:
        with _client(parser, args.scheduler) as client:
            try:
                result = estimate(
                    args.iterations,
                    args.passengers,
                    args.seats,
                    args.cols,
                    confidence=args.confidence,
                    progress=args.progress,
                    client=client,
                    resume=saved,
                )
                status = 0
            except EstimateInterrupted as stop:
                result = stop.result
                status = EXIT_INTERRUPTED
            except ValueError as exc:
                parser.error(str(exc))
    except KeyboardInterrupt:
        # Before the run had started (or while the cluster connection closed): nothing counted.
        print(f"{parser.prog}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    if args.resume is not None:
        _save(args.resume, result)
    print(result, flush=True)
    if args.resume is not None and result.interrupted:
        print(f"saved to {args.resume}: run the same command again to continue", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
