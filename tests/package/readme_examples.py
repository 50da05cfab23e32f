"""The README's examples, run by doctest against the installed module: what a user's first
minutes with a wheel look like. Usage: `python readme_examples.py README.md`; exits non-zero
when an example fails or none ran."""

import doctest
import sys

import tavrin_puzzles

print("imported", tavrin_puzzles.__file__)
result = doctest.testfile(sys.argv[1], module_relative=False)
print(f"README: {result.attempted - result.failed} passed, {result.failed} failed")
sys.exit(1 if result.failed or not result.attempted else 0)
