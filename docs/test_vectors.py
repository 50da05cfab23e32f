"""Make or check the published test vectors of the seeded count (docs/test-vectors.json): the keys
of some seeds, the first ChaCha12 words of some streams, and counts of boarding ranges with the
count of every block they touch. Another implementation of the count checks itself against them;
the reproducibility page shows them as tables.

    python docs/test_vectors.py                  # writes build/docs/test-vectors.json
    python docs/test_vectors.py --update-docs    # rewrites docs/test-vectors.json
    python docs/test_vectors.py --check          # docs/test-vectors.json computed again, twice

--check computes every vector again with the native kernel (on every block function this
processor runs, on one and on two threads) and with the plain-Python oracle written from the
rules (tests/kernel_oracle.py), and exits with status 1 naming each vector that differs.
Needs tavrin_estimate installed.
"""

from __future__ import annotations

import argparse
import array
import json
import sys
from pathlib import Path
from typing import Any, Dict, List, Tuple

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import kernel_oracle as oracle
from tavrin_estimate import _kernel, seed_key

TRACKED = ROOT / "docs" / "test-vectors.json"
DEFAULT_OUTPUT = ROOT / "build" / "docs" / "test-vectors.json"

KEY_SEEDS = [0, 1, 255, 256, 2026, 2**64, 2**128 - 1]
# (seed, stream, block counter): the sixteen words of that ChaCha12 block.
STREAM_BLOCKS = [(0, 0, 0), (0, 0, 1), (0, 1, 0), (2026, 5, 0)]
# (seed, passengers, seats, cols, block size, start, stop)
COUNTS: List[Tuple[int, int, int, str, int, int, int]] = [
    (0, 1, 1, "A", 4, 0, 10),
    (0, 2, 2, "AB", 8, 0, 20),
    (1, 3, 3, "XYZ", 5, 2, 23),
    (42, 10, 10, "ABCDEF", 1, 0, 16),
    (1, 10, 10, "ABCDEF", 64, 0, 200),
    (2**100 + 3, 5, 9, "ABCDEF", 16, 7, 100),
    (2026, 100, 100, "ABCDEF", 100, 190, 420),
    (0, 100, 100, "ABCDEF", 256, 100, 2000),
    (2**64, 10, 12, "ABCDEF", 64, 30, 1000),
    (12345, 1, 1, "A", 7, 0, 50),
    (2**128 - 1, 3, 3, "XYZ", 1000, 999, 4321),
    (7, 50, 80, "ABCDEF", 32, 5, 400),
]


def kernel_count(case: Tuple[int, int, int, str, int, int, int], **options: Any) -> Tuple[int, List[int]]:
    seed, passengers, seats, cols, block_size, start, stop = case
    successes, blocks = _kernel.count(passengers, seats, cols, seed_key(seed), block_size, start, stop, **options)
    return successes, array.array("I", blocks).tolist()


def vectors() -> Dict[str, Any]:
    """Every vector, computed by the native kernel (the stream words by the oracle, as the kernel
    does not hand out words)."""
    return {
        "keys": [{"seed": str(seed), "key": seed_key(seed).hex()} for seed in KEY_SEEDS],
        "blocks": [
            {"seed": str(seed), "stream": stream, "counter": counter,
             "words": [f"{word:08x}" for word in oracle.chacha_block(seed_key(seed), counter, stream)]}
            for seed, stream, counter in STREAM_BLOCKS
        ],
        "counts": [
            dict(zip(("seed", "passengers", "seats", "cols", "block_size", "start", "stop"), (str(case[0]), *case[1:])),
                 successes=successes, per_block=per_block)
            for case in COUNTS
            for successes, per_block in [kernel_count(case)]
        ],
    }


def text(document: Dict[str, Any]) -> str:
    """The file's text: one vector per line, so that a change shows as the lines it changes."""
    lines = []
    for name, entries in document.items():
        rows = ",\n".join(f"    {json.dumps(entry)}" for entry in entries)
        lines.append(f'  "{name}": [\n{rows}\n  ]')
    return "{\n" + ",\n".join(lines) + "\n}\n"


def check(document: Dict[str, Any]) -> List[str]:
    """What differs between the published vectors and the kernel's and the oracle's answers."""
    problems = []
    for entry in document["keys"]:
        if oracle.seed_key(int(entry["seed"])).hex() != entry["key"]:
            problems.append(f"the key of seed {entry['seed']}")
    for entry in document["blocks"]:
        words = oracle.chacha_block(oracle.seed_key(int(entry["seed"])), entry["counter"], entry["stream"])
        if [f"{word:08x}" for word in words] != entry["words"]:
            problems.append(f"block {entry['counter']} of stream {entry['stream']} of seed {entry['seed']}")
    for entry in document["counts"]:
        case = (int(entry["seed"]), entry["passengers"], entry["seats"], entry["cols"], entry["block_size"],
                entry["start"], entry["stop"])
        expected = (entry["successes"], entry["per_block"])
        answers = {f"the kernel ({function}, {threads} threads)": kernel_count(case, block_function=function,
                                                                             threads=threads)
                   for function in _kernel.block_functions() for threads in (1, 2)}
        answers["the oracle"] = oracle.count(case[1], case[2], oracle.seed_key(case[0]), *case[4:])
        problems.extend(f"count {case} by {who}: {answer}, not {expected}"
                        for who, answer in answers.items() if tuple(answer) != expected)
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    action = parser.add_mutually_exclusive_group()
    action.add_argument("--update-docs", action="store_true", help=f"rewrite {TRACKED.relative_to(ROOT)}")
    action.add_argument("--check", action="store_true", help="compute the published vectors again")
    action.add_argument("--output", type=Path, default=DEFAULT_OUTPUT, help="where to write them")
    args = parser.parse_args()
    if args.check:
        problems = check(json.loads(TRACKED.read_text()))
        for problem in problems:
            print(f"differs: {problem}", file=sys.stderr)
        print(f"test vectors: {'FAILED' if problems else 'all agree'} ({TRACKED.relative_to(ROOT)})")
        return 1 if problems else 0
    output = TRACKED if args.update_docs else args.output
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_text(text(vectors()))
    print(f"wrote {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
