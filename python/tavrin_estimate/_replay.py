"""Running a saved result again: every range of every seed, or a random sample of its blocks
where the result keeps per-block counts, counted afresh and compared with what it says."""

from __future__ import annotations

import concurrent.futures
import dataclasses
import random
from typing import Any, Dict, List, Optional, Tuple

from ._counting import Holdings, block_bounds, seed_text
from ._executors import Run, choose_backend
from ._interrupt import StopRequest
from ._intervals import ANYTIME, proportion_ci
from ._plane import check_plane
from ._progress import make_progress
from ._result import Estimate, Part


@dataclasses.dataclass(frozen=True)
class Replay:
    """The outcome of a replay: `matches` when every count agreed; `lines` say what was run
    and, for each seed, what was found."""

    matches: bool
    interrupted: bool
    lines: Tuple[str, ...]

    def __str__(self) -> str:
        return "\n".join(self.lines)


def _blocks_of(part: Part) -> List[Tuple[int, int, int]]:
    """Every block share the part holds, as (start, stop, saved count)."""
    shares = []
    for span in part.spans:
        counts = span.block_counts()
        assert counts is not None
        for (low, high), count in zip(block_bounds(span.start, span.stop, part.block_size), counts):
            shares.append((low, high, count))
    return shares


def _count(plane: Tuple[int, int, str], part: Part, todo: List[Tuple[int, int]], backend_args: Tuple[Any, Any],
           stop: StopRequest, progress: bool) -> Holdings:
    holdings = Holdings(part.block_size)
    total = sum(high - low for low, high in todo)
    reporter = make_progress(progress, total, 0, 0.95)
    run = Run(plane, part.seed, holdings, choose_backend(*backend_args), stop, reporter)
    try:
        run.count(list(todo))
    finally:
        reporter.close()
    if run.failure is not None:
        raise run.failure
    return holdings


def replay(
    result: Estimate,
    sample: Optional[int] = None,
    *,
    client: Any = None,
    executor: Optional[concurrent.futures.Executor] = None,
    progress: bool = False,
    rng: Optional[random.Random] = None,
) -> Replay:
    """Count the boardings of `result` again and compare. With `sample`, only that many of its
    blocks, drawn at random over all its seeds (every block when it has fewer), which needs
    the per-block counts. Ctrl-C stops the replay: the outcome is then `interrupted` and only
    what was compared counts."""
    plane = check_plane(result.passengers, result.seats, result.cols)
    if sample is not None and sample < 1:
        raise ValueError(f"a sample holds at least one block, not {sample}")
    lacking = [part for part in result.parts if not part.has_block_counts]
    if sample is not None and lacking:
        raise ValueError(f"this result keeps no per-block counts ({lacking[0].why_no_block_counts}): replay it whole")
    rng = rng or random.Random()
    lines: List[str] = []
    matches = True
    recounted = [0, 0]  # successes and boardings of a whole replay
    chosen: Dict[int, List[Tuple[int, int, int]]] = {}
    if sample is not None:
        everything = [(part.seed, share) for part in result.parts for share in _blocks_of(part)]
        for seed, share in rng.sample(everything, min(sample, len(everything))):
            chosen.setdefault(seed, []).append(share)
    with StopRequest() as stop:
        for part in result.parts:
            if stop.requested:
                break
            name = f"seed {seed_text(part.seed)}"
            if sample is None:
                holdings = _count(plane, part, list(part.ranges), (client, executor), stop, progress)
                if holdings.ranges() != list(part.ranges):
                    lines.append(f"{name}: stopped after {holdings.iterations:,} of {part.iterations:,} boardings")
                    continue
                again = holdings.spans()
                same = all(
                    new.successes == old.successes and (old.blocks is None or new.blocks == old.blocks)
                    for new, old in zip(again, part.spans)
                )
                recounted[0] += holdings.successes
                recounted[1] += holdings.iterations
                verdict = "match" if same else "DIFFER"
                ranges = "1 range" if len(part.spans) == 1 else f"{len(part.spans):,} ranges"
                lines.append(
                    f"{name}: {part.iterations:,} boardings in {ranges} counted again:"
                    f" {holdings.successes:,} successes, saved {part.successes:,}: {verdict}"
                )
                matches &= same
                continue
            shares = sorted(chosen.get(part.seed, []))
            if not shares:
                continue
            holdings = _count(plane, part, [(low, high) for low, high, _ in shares], (client, executor), stop, progress)
            counted: Dict[Tuple[int, int], int] = {}
            for span in holdings.spans():
                counts = span.block_counts()
                assert counts is not None
                counted.update(zip(block_bounds(span.start, span.stop, part.block_size), counts))
            compared = [(low, high, saved, counted[low, high]) for low, high, saved in shares if (low, high) in counted]
            wrong = [entry for entry in compared if entry[2] != entry[3]]
            lines.append(f"{name}: {len(compared):,} of {len(shares):,} sampled blocks counted again, {len(wrong):,} differ")
            lines.extend(
                f"  boardings [{low:,}, {high:,}): counted {now:,}, saved {saved:,}" for low, high, saved, now in wrong[:10]
            )
            matches &= not wrong
    interrupted = stop.requested
    if sample is None and matches and not interrupted and recounted[1]:
        # What the recounted boardings give, by the method the result records and as the
        # confidence sequence: the saved result's own intervals, since every count agreed.
        successes, boardings = recounted
        shown = []
        for method in dict.fromkeys((result.method, ANYTIME)):
            low, high = proportion_ci(successes, boardings, result.confidence, method)
            shown.append(f"{method} [{low:.6f}, {high:.6f}]")
        lines.append(f"recounted  {successes:,} of {boardings:,} at {result.confidence:.4g} confidence: {', '.join(shown)}")
    if interrupted:
        lines.append("INTERRUPTED: the replay stopped before the end; what was compared is above")
    lines.append("replay matches the saved result" if matches and not interrupted else
                 "replay DOES NOT MATCH the saved result" if not matches else "replay incomplete")
    return Replay(matches and not interrupted, interrupted, tuple(lines))
