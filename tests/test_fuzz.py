"""Property-based tests of every entry that takes an argument: the constructor, the three
setters and run_simulations, fed values of every kind (ints of any size, bools, floats, None,
text with surrogates and astral characters, bytes, sequences, str subclasses that lie about or
fail in __len__, objects whose __index__, __len__, __iter__ or __getitem__ raise, return the
wrong type or call the same plane again). Properties: only documented exceptions come out, a
failed call changes nothing, a successful one stores exactly the converted value.

The number of examples comes from TAVRIN_PUZZLES_FUZZ: "tiny" (default, for every pytest
run), "small" (the fuzz stage of the test command) or "large" (by hand, see docs/development/platforms.md)."""

from __future__ import annotations

import math
import os

import pytest

from conftest import Count, is_fraction_of, lying_str, panic_type, state
from tavrin_puzzles import Planes

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

EXAMPLES = {"tiny": 15, "small": 1000, "large": 20000}
FUZZ = settings(
    max_examples=EXAMPLES[os.environ.get("TAVRIN_PUZZLES_FUZZ", "tiny")],
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
)

BORROW_MESSAGES = {"Already borrowed", "Already mutably borrowed"}


class HookError(Exception):
    """Raised by the hostile hooks; must come out of the module unchanged."""


def documented(exc: BaseException) -> bool:
    if isinstance(exc, RuntimeError) and not isinstance(exc, RecursionError):
        return str(exc) in BORROW_MESSAGES
    return isinstance(exc, (TypeError, ValueError, OverflowError, RecursionError, HookError, panic_type()))


FIELDS = ["passengers", "seats", "cols"]

# Letters and other one-character values the hooks and sequences hand out.
one_chars = st.characters(exclude_categories=())
texts = st.text(st.characters(exclude_categories=()), max_size=8)


class FailingLen(str):
    def __len__(self) -> int:
        raise HookError("__len__")


str_likes = st.one_of(
    texts,
    st.builds(lambda text, n: lying_str(n)(text), texts, st.integers(-2, 9)),
    st.builds(FailingLen, texts),
)


class Hostile:
    """Base of the hostile argument classes made per example; `plan` maps a hook name to
    (behaviour, payload), `context` holds the plane, the entry under test and the log of the
    assignments that re-entrant hooks made."""

    def __init__(self, plan: dict, context: dict) -> None:
        self.plan, self.context = plan, context
        self.returned = None  # the int the last __index__ gave
        self.produced = []  # the items handed out by __iter__ / __getitem__

    def act(self, hook: str):
        behaviour, payload = self.plan[hook]
        if behaviour == "raise":
            raise HookError(hook)
        if behaviour == "wrong-type":
            return payload
        if behaviour == "recurse":
            return self.context["entry"](self)
        if behaviour == "reenter":
            reenter(self.context, payload)
        return None

    def __repr__(self) -> str:
        return f"Hostile({self.plan})"


def index_hook(self):
    result = self.act("__index__")
    if self.plan["__index__"][0] in ("wrong-type", "recurse"):
        return result
    self.returned = self.plan["value"]
    return self.returned


def len_hook(self):
    result = self.act("__len__")
    return result if self.plan["__len__"][0] == "wrong-type" else len(self.plan["items"]) + self.plan["value"] % 3


def iter_hook(self):
    result = self.act("__iter__")
    if self.plan["__iter__"][0] == "wrong-type":
        return result
    self.produced = list(self.plan["items"])
    return iter(self.produced)


def getitem_hook(self, index):
    self.act("__getitem__")
    items = self.plan["items"]
    if not isinstance(index, int) or index >= len(items):
        raise IndexError(index)
    behaviour, payload = self.plan["__getitem__"]
    item = payload if behaviour == "wrong-type" else items[index]
    self.produced = self.produced[:index] + [item]
    return item


HOOKS = {"__index__": index_hook, "__len__": len_hook, "__iter__": iter_hook, "__getitem__": getitem_hook}

# What a re-entrant hook does to the plane under test before carrying on.
reentries = st.one_of(
    st.tuples(st.just("read"), st.none()),
    st.tuples(st.sampled_from(["run_simulations", "generate_seating"]), st.none()),
    st.tuples(st.just("passengers"), st.integers(0, 6)),
    st.tuples(st.just("seats"), st.integers(0, 6)),
    st.tuples(st.just("cols"), st.lists(st.sampled_from("ABCDEF"), max_size=3)),
)


def reenter(context: dict, action: tuple) -> None:
    plane = context["plane"]
    name, value = action
    try:
        if name == "read":
            state(plane)
        elif name == "run_simulations":
            plane.run_simulations(2)
        elif name == "generate_seating":
            if plane.passengers <= plane.seats <= 6:
                plane.generate_seating()
        else:
            setattr(plane, name, value)
            context["log"].append((FIELDS.index(name), value))
    except RuntimeError as exc:
        if str(exc) not in BORROW_MESSAGES:
            raise


hook_behaviours = st.one_of(
    st.tuples(st.just("plain"), st.none()),
    st.tuples(st.just("raise"), st.none()),
    st.tuples(st.just("wrong-type"), st.sampled_from([2.5, "7", None, b"x", -1, 2**80])),
    st.tuples(st.just("reenter"), reentries),
    st.tuples(st.just("recurse"), st.none()),
)


@st.composite
def hostiles(draw, counts):
    hooks = draw(st.lists(st.sampled_from(sorted(HOOKS)), min_size=1, unique=True))
    plan = {hook: draw(hook_behaviours) for hook in hooks}
    plan["value"] = draw(counts)
    plan["items"] = draw(st.lists(st.one_of(one_chars, str_likes, st.integers(0, 9)), max_size=4))
    return Make(type("Hostile", (Hostile,), {hook: HOOKS[hook] for hook in hooks}), plan)


class Make:
    """Makes an argument for a context; shows what it makes in a failure report."""

    def __init__(self, cls, plan) -> None:
        self.cls, self.plan = cls, plan

    def __call__(self, context: dict):
        return self.cls(self.plan, context) if self.plan is not None else self.cls

    def __repr__(self) -> str:
        return f"Hostile({self.plan!r})" if self.plan is not None else repr(self.cls)


def any_values(counts):
    """Strategy of factories: context -> argument value."""
    plain = st.one_of(
        counts,
        st.booleans(),
        counts.map(Count),
        st.floats(),
        st.none(),
        str_likes,
        st.binary(max_size=6),
        st.lists(st.one_of(one_chars, str_likes, st.integers(0, 3), st.none()), max_size=5),
        st.tuples(one_chars, one_chars),
    )
    return st.one_of(plain.map(lambda value: Make(value, None)), hostiles(counts))


big_counts = st.one_of(st.integers(), st.sampled_from([0, 1, 2**32, 2**63, 2**64 - 1, 2**64, -1, -(2**64)]))
# run_simulations must not be asked for a huge batch: only small counts or out-of-range ones.
batch_counts = st.one_of(st.integers(0, 300), st.integers(max_value=-1), st.integers(min_value=2**64))


def expected_count(value):
    """The count a successful conversion must have stored, or None if none may succeed."""
    if isinstance(value, int):
        result = int(value)
    elif isinstance(value, Hostile) and value.returned is not None:
        result = value.returned
    else:
        return None
    return result if 0 <= result < 2**64 else None


def real_text(value) -> str:
    return str.__getitem__(value, slice(None))


def expected_cols(value):
    """The column list a successful cols assignment must have stored, or None."""
    if isinstance(value, Hostile):
        items = value.produced
    elif isinstance(value, (list, tuple, bytes)):
        items = list(value)
    else:
        return None
    if not all(isinstance(item, str) and len(real_text(item)) == 1 for item in items):
        return None
    letters = [real_text(item) for item in items]
    return None if any("\ud800" <= letter <= "\udfff" for letter in letters) else letters


def call_checked(entry, argument):
    """Call entry(argument); return (succeeded, result). Undocumented exceptions fail."""
    try:
        return True, entry(argument)
    except BaseException as exc:  # PanicException derives from BaseException
        assert documented(exc), f"undocumented {type(exc).__name__}: {exc}"
        return False, None


def replay(before: tuple, log: list) -> tuple:
    after = list(before)
    for field, value in log:
        after[field] = value
    return tuple(after)


@FUZZ
@given(field=st.sampled_from(FIELDS), make=any_values(big_counts), start=st.integers(0, 5))
def test_setters(field: str, make, start: int) -> None:
    plane = Planes(start, start + 1, "XYZ")
    context = {"plane": plane, "log": [], "entry": lambda value: setattr(plane, field, value)}
    value = make(context)
    before = state(plane)
    succeeded, _ = call_checked(context["entry"], value)
    expected = list(replay(before, context["log"]))
    if succeeded:
        stored = expected_cols(value) if field == "cols" else expected_count(value)
        assert stored is not None, f"{field} accepted {value!r}"
        expected[FIELDS.index(field)] = stored
    assert state(plane) == tuple(expected)


@FUZZ
@given(make=any_values(batch_counts), passengers=st.integers(1, 4), extra=st.integers(0, 2))
def test_run_simulations(make, passengers: int, extra: int) -> None:
    plane = Planes(passengers, passengers + extra)
    context = {"plane": plane, "log": [], "entry": plane.run_simulations}
    value = make(context)
    before = state(plane)
    succeeded, result = call_checked(plane.run_simulations, value)
    if succeeded:
        iterations = expected_count(value)
        assert iterations is not None, f"iterations accepted {value!r}"
        if iterations == 0:
            assert math.isnan(result)
        else:
            assert is_fraction_of(result, iterations)
    assert state(plane) == replay(before, context["log"])


@FUZZ
@given(
    makes=st.lists(any_values(big_counts), min_size=3, max_size=3),
    forms=st.lists(st.sampled_from(["absent", "positional", "keyword"]), min_size=3, max_size=3),
)
def test_constructor(makes, forms) -> None:
    bystander = Planes(2, 3, "QR")
    context = {"plane": bystander, "log": [], "entry": lambda value: Planes(value)}
    values = [make(context) for make in makes]
    args, kwargs = [], {}
    for field, form, value in zip(FIELDS, forms, values):
        if form == "positional" and len(args) == FIELDS.index(field):
            args.append(value)
        elif form != "absent":
            kwargs[field] = value
    before = state(bystander)
    succeeded, plane = call_checked(lambda _: Planes(*args, **kwargs), None)
    if succeeded:
        given_values = dict(zip(FIELDS, args), **kwargs)
        expected = [100, 100, list("ABCDEF")]
        for i, field in enumerate(FIELDS[:2]):
            if field in given_values:
                expected[i] = expected_count(given_values[field])
                assert expected[i] is not None, f"{field} accepted {given_values[field]!r}"
        if "cols" in given_values:
            cols = given_values["cols"]
            assert isinstance(cols, str), f"cols accepted {cols!r}"
            expected[2] = list(real_text(cols))
            assert not any("\ud800" <= letter <= "\udfff" for letter in expected[2])
        assert expected[0] <= expected[1]
        assert state(plane) == tuple(expected)
    assert state(bystander) == replay(before, context["log"])
