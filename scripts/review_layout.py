"""sp-repo-review's checks of a repository, the Scientific Python development guide's.

Usage: python scripts/review_layout.py [REPOSITORY]

Prints every check that did not pass, with its reason, and a summary; exits 1 when a check
failed or was skipped without a reason (a check is skipped with its reason when
[tool.repo-review] ignore in pyproject.toml gives one, and without when a check it needs
failed).
"""

from __future__ import annotations

import sys
from pathlib import Path

from repo_review.processor import process


def main() -> int:
    root = Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    results = process(root).results
    passed = [result for result in results if result.result]
    failed = [result for result in results if result.result is False]
    reasoned = [result for result in results if result.result is None and result.skip_reason]
    unreasoned = [result for result in results if result.result is None and not result.skip_reason]
    for result in reasoned:
        print(f"    skipped {result.name} ({result.description}): {result.skip_reason}")
    for result in unreasoned:
        print(f"    SKIPPED WITHOUT A REASON {result.name} ({result.description})")
    for result in failed:
        message = " ".join(result.err_msg.split())
        print(f"    FAILED {result.name} ({result.description}): {message}")
    print(
        f"sp-repo-review: {len(results)} checks, {len(passed)} pass, {len(reasoned)} skipped with a reason, "
        f"{len(unreasoned)} skipped without one, {len(failed)} fail"
    )
    return 1 if failed or unreasoned else 0


if __name__ == "__main__":
    sys.exit(main())
