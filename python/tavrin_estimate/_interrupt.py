"""Ctrl-C as a request to stop between two calls instead of an exception at any bytecode.

A KeyboardInterrupt raised by Python's own handler lands wherever the main thread happens to
be, for example right after a kernel call has returned and before its count is recorded, and
that call's boardings would be lost. While a run is active, SIGINT only sets a flag, which
the run reads between calls. The handler is swapped only in the main thread and only while
Python's default handler is installed; a handler of the application's own is left alone, and
a KeyboardInterrupt it raises still ends the run with what was counted (losing the call in
progress).
"""

from __future__ import annotations

import signal
import threading
from types import FrameType, TracebackType
from typing import Any, Callable, Optional, Type, Union

_Handler = Union[Callable[[int, Optional[FrameType]], Any], int, signal.Handlers, None]


class StopRequest:
    """Set by SIGINT (or by hand) while installed; read by the run between calls."""

    def __init__(self) -> None:
        self._event = threading.Event()
        self._previous: _Handler = None
        self._installed = False

    @property
    def requested(self) -> bool:
        return self._event.is_set()

    def request(self) -> None:
        self._event.set()

    def _on_sigint(self, signum: int, frame: Optional[FrameType]) -> None:
        self._event.set()

    def __enter__(self) -> StopRequest:
        if threading.current_thread() is threading.main_thread():
            current = signal.getsignal(signal.SIGINT)
            if current is signal.default_int_handler:
                self._previous = signal.signal(signal.SIGINT, self._on_sigint)
                self._installed = True
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        if self._installed:
            signal.signal(signal.SIGINT, self._previous)
            self._installed = False
