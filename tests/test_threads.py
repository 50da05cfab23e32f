"""Python threads and processes around the module: concurrent use of shared and separate planes,
a fork from a thread while another one is inside a call, and interpreter exit while a daemon
thread is inside a call. Each scenario runs in a child interpreter, so a deadlock fails the
test at the child's timeout instead of hanging the suite."""

from __future__ import annotations

import json
import os
import sysconfig

import pytest

from conftest import IS_PYPY, ends_threads_at_exit, is_fraction_of, run_child

# Shared by the child programs: an __index__ that lets another thread run while a call of the
# module holds its borrow of the plane.
GATED_INDEX = """
import json, os, threading, time, traceback
from tavrin_puzzles import Planes

class Gated:
    '''__index__ announces it is running, waits for `release`, then gives `value`.'''
    def __init__(self, value):
        self.value = value
        self.entered = threading.Event()
        self.release = threading.Event()
    def __index__(self):
        self.entered.set()
        if not self.release.wait(60):
            raise TimeoutError("never released")
        return self.value
"""


def run_scenario(body: str) -> dict:
    """Run GATED_INDEX + body in a child interpreter; the body prints one JSON line last."""
    child = run_child(GATED_INDEX + body)
    assert child.returncode == 0, child.stderr
    return json.loads(child.stdout.strip().splitlines()[-1])


def test_threads_share_and_own_planes() -> None:
    """Threads read, assign and run all three methods on one shared plane and on their own at
    once; a setter meeting a borrow held across a callback is refused, and afterwards every
    borrow is free again."""
    outcome = run_scenario("""
shared = Planes(10, 10, "ABCDEFG")
errors, refusals, fractions = [], [], []
start = threading.Barrier(5)
first_round = threading.Barrier(5)

def worker(n):
    try:
        start.wait()
        own = Planes(1, n + 1)
        for i in range(30):
            assert (shared.passengers, shared.seats, shared.cols) == (10, 10, list("ABCDEFG"))
            fractions.append(shared.run_simulations(50))
            assert sorted(shared.generate_seating()) == list(range(1, 11))
            shared.run_simulation()
            own.seats = n + 2
            own.cols = ["Q"] * (n + 2)
            own.passengers = 1  # a lone passenger always gets their seat
            assert own.run_simulations(3) == 1.0
            assert set(own.generate_seating().values()) <= {f"{k}Q" for k in range(1, n + 3)}
            if i == 0:
                # The holder still holds its borrow until all got here, so this is refused
                # (later, with threads truly running at once, it could clash with the reads).
                try:
                    shared.passengers = 10
                except RuntimeError as exc:
                    refusals.append(str(exc))
                first_round.wait()
    except BaseException as exc:
        errors.append(traceback.format_exc())

held = Gated(50)
holder = threading.Thread(target=lambda: fractions.append(shared.run_simulations(held)))
holder.start()
held.entered.wait(60)
threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
for thread in threads:
    thread.start()
start.wait()
first_round.wait()
held.release.set()
for thread in threads + [holder]:
    thread.join(60)
alive = [thread.name for thread in threads + [holder] if thread.is_alive()]
shared.passengers = 9  # an exclusive borrow succeeds: nothing is still held
print(json.dumps({"errors": errors, "alive": alive, "refusals": sorted(set(refusals)),
                  "fractions": fractions, "after": [shared.passengers, shared.seats]}))
""")
    assert outcome["errors"] == [] and outcome["alive"] == []
    assert outcome["refusals"] == ["Already borrowed"]
    assert len(outcome["fractions"]) == 4 * 30 + 1
    assert all(is_fraction_of(value, 50) for value in outcome["fractions"])
    assert outcome["after"] == [9, 10]


def test_threads_hammer_one_plane() -> None:
    """Threads assign, read and run every method on one plane at once (on a free-threaded
    interpreter truly at once): a conflict is always the borrow's RuntimeError, and every value
    read or used is one that was assigned whole, never a mix of two."""
    outcome = run_scenario("""
import sys
sys.setswitchinterval(1e-6)
COLS = [list("ABCDEF"), list("UVWXYZ"), list("GHIJKLMN")]
plane = Planes(6, 12, "ABCDEF")
errors, refusals = [], set()
stop = threading.Event()

class Sneaky:
    '''A cols value whose conversion itself reads and runs the plane.'''
    def __len__(self):
        plane.generate_seating()
        return len(plane.cols)
    def __getitem__(self, index):
        return COLS[1][index]

def attempt(action):
    try:
        action()
    except RuntimeError as exc:
        refusals.add(str(exc))

def writer(n):
    for i in range(300):
        attempt(lambda: setattr(plane, "cols", COLS[(i + n) % 3] if i % 5 else Sneaky()))
        attempt(lambda: setattr(plane, "seats", 12 + i % 2))

def check():
    assert plane.cols in COLS
    letters = {label[-1] for label in plane.generate_seating().values()}
    assert any(letters <= set(cols) for cols in COLS), letters
    assert plane.seats in (12, 13) and plane.passengers == 6
    assert plane.run_simulation() in (True, False)
    assert 0.0 <= plane.run_simulations(20) <= 1.0

def reader():
    while not stop.is_set():
        attempt(check)

def guarded(target, *args):
    try:
        target(*args)
    except BaseException:
        errors.append(traceback.format_exc())

readers = [threading.Thread(target=guarded, args=(reader,)) for _ in range(3)]
writers = [threading.Thread(target=guarded, args=(writer, n)) for n in range(2)]
for thread in readers + writers:
    thread.start()
for thread in writers:
    thread.join(120)
stop.set()
for thread in readers:
    thread.join(120)
alive = [thread.name for thread in readers + writers if thread.is_alive()]
plane.cols = COLS[0]  # nothing is still borrowed
print(json.dumps({"errors": errors, "alive": alive, "refusals": sorted(refusals), "cols": plane.cols}))
""")
    assert outcome["errors"] == [] and outcome["alive"] == []
    assert set(outcome["refusals"]) <= {"Already borrowed", "Already mutably borrowed"}
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        assert outcome["refusals"], "the threads never overlapped"
    assert outcome["cols"] == list("ABCDEF")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="os.fork is not available")
def test_fork_from_a_thread_during_a_batch() -> None:
    """A thread forks while another is inside run_simulations: the child runs batches of its own
    and draws differently from the parent, whose generator it inherited seeded and buffered; the
    parent's call then completes."""
    outcome = run_scenario("""
SEATS = 60
shared = Planes(SEATS, SEATS)
gate = Gated(500)
results = {}
caller = threading.Thread(target=lambda: results.setdefault("held", shared.run_simulations(gate)))
caller.start()
gate.entered.wait(60)

def fork_and_compare():
    shared.generate_seating()  # this thread's generator is seeded and holds buffered output
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            seating = shared.generate_seating()
            data = {"own": Planes(20, 20).run_simulations(2000), "shared": shared.run_simulations(200),
                    "seating": [seating[p] for p in range(1, SEATS + 1)]}
            os.write(write_end, json.dumps(data).encode())
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    seating = shared.generate_seating()
    results["parent"] = [seating[p] for p in range(1, SEATS + 1)]
    with os.fdopen(read_end, "rb") as pipe:
        results["child"] = json.loads(pipe.read())
    results["status"] = os.waitpid(pid, 0)[1]

forker = threading.Thread(target=fork_and_compare)
forker.start()
forker.join(60)
gate.release.set()
caller.join(60)
shared.passengers = SEATS  # the parent's borrow was given back
print(json.dumps(results))
""")
    assert outcome["status"] == 0
    child = outcome["child"]
    assert 0.3 < child["own"] < 0.7 and 0.0 <= child["shared"] <= 1.0
    assert sorted(child["seating"]) == sorted(outcome["parent"])
    assert child["seating"] != outcome["parent"]
    assert 0.0 <= outcome["held"] <= 1.0


# The callbacks that the conversions make, and the entries that reach each; __del__ is that of
# the iterator that the cols setter releases.
EXIT_ENTRIES = {
    "__index__": 'lambda: setattr(plane, "passengers", value), lambda: Planes(value), lambda: plane.run_simulations(value)',
    **dict.fromkeys(["__len__", "__getitem__", "__iter__", "__next__", "__del__"], 'lambda: setattr(plane, "cols", value)'),
}


@ends_threads_at_exit
@pytest.mark.parametrize("callback", sorted(EXIT_ENTRIES))
def test_exit_with_daemon_threads_inside_calls(callback: str) -> None:
    """The interpreter exits cleanly while daemon threads are inside a callback of an entry
    that keeps sleeping (CPython ends such threads by unwinding their stacks, and what the
    entry owns must then be left alone)."""
    if callback == "__del__" and IS_PYPY:
        pytest.skip("PyPy runs __del__ from its garbage collector, not where the module releases the object")
    entries = EXIT_ENTRIES[callback]
    child = run_child(f"""
import threading, time
from tavrin_puzzles import Planes

entries = [{entries}] * 4
inside = threading.Barrier(len(entries) + 1)

def hook(name):
    if name == {callback!r}:
        inside.wait()
        while True:
            time.sleep(0.0005)

class Value:
    def __index__(self):
        hook("__index__")
        return 1
    def __len__(self):
        hook("__len__")
        return 1
    def __getitem__(self, index):
        hook("__getitem__")
        raise IndexError(index)

class Iterator:
    def __iter__(self):
        return self
    def __next__(self):
        hook("__next__")
        raise StopIteration
    def __del__(self):
        hook("__del__")

class Iterable(Value):
    def __iter__(self):
        hook("__iter__")
        return Iterator()

value = (Iterable if {callback!r} in ("__iter__", "__next__", "__del__") else Value)()
plane = Planes()
for entry in entries:
    threading.Thread(target=entry, daemon=True).start()
inside.wait()
# Slows finalisation down, so that the sleepers wake up while it runs.
garbage = [[n] for n in range(300_000)]
""")
    assert child.returncode == 0, child.stderr
    assert "panic" not in child.stderr
