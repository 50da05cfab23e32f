"""Stopping signals as a request to stop between two calls instead of an exception at any
bytecode.

A KeyboardInterrupt raised by Python's own handler lands wherever the main thread happens to
be: right after a kernel call has returned and before its count is recorded, or between the
end of a run and the save of its result, and everything counted would be lost. While a
StopRequest is active, each signal it watches only sets a flag, which the run reads between
calls. A handler is swapped only in the main thread and only while the signal has its default
disposition (Python's SIGINT handler, or SIG_DFL for the others): a handler of the
application's own stays, and so does an ignored signal (`nohup` ignores SIGHUP; a shell's
background job ignores SIGINT).

Requests nest: a StopRequest entered while another is active shares its flag, so a command
line that watches SIGINT, SIGTERM and SIGHUP from before its run starts until after the result
is saved and printed keeps every signal that arrives during the hand-over from the run to the
save as a flag too. A second Ctrl-C changes nothing then: the first one's stop is already on
its way. Python runs a handler between bytecodes of the main thread only, so the flag handler
needs no blocking of signals at the system level; a signal that arrives during a kernel call
is handled when the call returns.
"""

from __future__ import annotations

import os
import signal
import sys
import threading
from types import FrameType, TracebackType
from typing import Any, Callable, Iterable, List, NoReturn, Optional, Tuple, Type, Union

_Handler = Union[Callable[[int, Optional[FrameType]], Any], int, signal.Handlers, None]

# What a long run treats as "stop now, keep what you have": Ctrl-C, `kill`, `timeout`, batch
# schedulers and container runtimes (SIGTERM), and a closed terminal (SIGHUP).
STOP_SIGNALS: Tuple[signal.Signals, ...] = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


# The status of a program ended by an error it did not expect (a traceback), as Python's own.
EXIT_CRASHED = 1


def exit_status(signum: int) -> int:
    """The status a shell reports for a program that this signal stopped: 128 + its number."""
    return 128 + signum


def signal_name(signum: int) -> str:
    try:
        return signal.Signals(signum).name
    except ValueError:
        return f"signal {signum}"


class _Flag:
    """The state shared by nested requests: set once, remembering the first signal.

    Python runs the handlers of the signals that arrived while the main thread was busy (in a
    system call, in a kernel call) in the order of their numbers, not of their arrival: a
    SIGHUP that came a millisecond after a SIGINT is handled first. With `arrivals`, the read
    end of a pipe that Python's own signal handler writes each signal's number to as it arrives
    (signal.set_wakeup_fd), the first signal is the first number there. Signals still pending
    together when a thread of the process next runs are handed over at once, in no order of
    their sending (the handler of the highest number runs first): none can be told first.

    Python runs a handler again inside itself when a signal arrives between two of its
    bytecodes, and a signal storm nests it as deep as the signals keep coming: setting the flag
    never waits (no threading.Event, whose lock a nested call would wait for forever, handling
    each further signal one level deeper), and a nested call returns at once."""

    def __init__(self) -> None:
        # Taken once, never given back: the call that takes it is the one that sets the flag.
        self._claim = threading.Lock()
        self.is_set = False
        self.signum: Optional[int] = None
        self.arrivals: Optional[int] = None

    def set(self, signum: Optional[int]) -> None:
        if self._claim.acquire(blocking=False):
            self.signum = signum if signum is None else self._first_arrived(signum)
            self.is_set = True

    def _first_arrived(self, signum: int) -> int:
        if self.arrivals is not None:
            try:
                arrived = os.read(self.arrivals, 64)
            except OSError:
                arrived = b""
            if arrived:
                return arrived[0]
        return signum

    def record_arrivals(self) -> None:
        """Have the signals' numbers written to a pipe as they arrive, unless another part of
        the program already takes them (main thread only). Kept until the process ends."""
        read, write = os.pipe()
        for fd in (read, write):
            os.set_blocking(fd, False)
            os.set_inheritable(fd, False)
        try:
            previous = signal.set_wakeup_fd(write, warn_on_full_buffer=False)
        except (TypeError, ValueError, OSError):
            previous = None
        if previous != -1:
            if previous is not None:
                signal.set_wakeup_fd(previous)
            os.close(read)
            os.close(write)
            return
        self.arrivals = read


# The request that owns the installed handlers, while one is active (main thread only).
_active: Optional[StopRequest] = None


def _is_default(signum: int, handler: _Handler) -> bool:
    if signum == signal.SIGINT:
        return handler is signal.default_int_handler
    return handler == signal.SIG_DFL


class StopRequest:
    """Set by any of `signals` (or by request()) while the request is active; the run reads
    `requested` between calls. `signum` is the first signal that asked, None for request()."""

    def __init__(self, signals: Iterable[int] = (signal.SIGINT,)) -> None:
        self._signals = tuple(signals)
        self._flag = _Flag()
        self._swapped: List[Tuple[int, _Handler]] = []
        self._outer: Optional[StopRequest] = None
        self._entered = False

    @property
    def requested(self) -> bool:
        return self._flag.is_set

    @property
    def signum(self) -> Optional[int]:
        return self._flag.signum

    def request(self) -> None:
        self._flag.set(None)

    def _on_signal(self, signum: int, frame: Optional[FrameType]) -> None:
        self._flag.set(signum)

    def __enter__(self) -> StopRequest:
        global _active
        if self._entered:
            raise RuntimeError("a StopRequest is entered once")
        self._entered = True
        if threading.current_thread() is not threading.main_thread():
            return self
        if _active is not None:
            # Share the outer request's flag: a stop that reached it reaches this run, and
            # the other way round.
            self._outer = _active
            self._flag = _active._flag
        for signum in self._signals:
            previous = signal.getsignal(signum)
            if _is_default(signum, previous):
                signal.signal(signum, self._on_signal)
                self._swapped.append((signum, previous))
        if self._outer is None:
            _active = self
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        global _active
        # Handlers go back in the reverse order; a signal arriving in between finds either
        # this request's handler (a flag) or the default one, never nothing.
        while self._swapped:
            signum, previous = self._swapped.pop()
            signal.signal(signum, previous)
        if _active is self:
            _active = None

    def end_process_on_signal(self) -> None:
        """From now on, a signal this request watches ends the process at once with the exit
        status of the first signal it has seen (this one, if none came before), once standard
        output and error are flushed; the handlers stay so until the process ends. For a
        program whose work is done and saved, so that a late signal neither waits nor prints a
        KeyboardInterrupt traceback, nor changes the status that the first one decided."""
        flag = self._flag
        claim = threading.Lock()

        def end(signum: int, frame: Optional[FrameType]) -> None:
            flag.set(signum)
            # A signal arriving while an earlier one ends the process leaves that to it.
            if claim.acquire(blocking=False):
                end_process(exit_status(flag.signum or signum))

        for signum, _ in self._swapped:
            signal.signal(signum, end)
        self._swapped.clear()


def end_process(status: int) -> NoReturn:
    """Flush standard output and error, and end the process with `status` at once: no
    teardown of the interpreter, during which a late signal would find its default disposition
    again and end the process with another status."""
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:  # a stream that cannot be flushed (one a nested handler holds) keeps no process alive
            pass
    os._exit(status)


def run_program(main: Callable[[], int]) -> NoReturn:
    """Run a command line's `main` with every stopping signal a flag from its first line to the
    end of the process, and end the process with main's exit status: the requests of `main` and
    of its runs nest in this one, so no signal that arrives between the end of a run and the
    save of its result, or after that, raises anywhere or changes the status."""
    request = StopRequest(STOP_SIGNALS)
    request._flag.record_arrivals()
    status = EXIT_CRASHED
    with request:
        try:
            status = main()
        except SystemExit as exc:
            status = exc.code if isinstance(exc.code, int) else (0 if exc.code is None else 1)
            if exc.code is not None and not isinstance(exc.code, int):
                _say_last(str(exc.code))
        except BaseException:
            # A crash prints its traceback as usual, and ends the process as everything else.
            import traceback

            traceback.print_exc()
        finally:
            request.end_process_on_signal()
    end_process(status)


def _say_last(line: str) -> None:
    try:
        print(line, file=sys.stderr)
    except (OSError, ValueError, AttributeError):
        pass
