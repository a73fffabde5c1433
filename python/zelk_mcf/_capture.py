"""Thread-aware capture of the core's diagnostic lines.

The core writes its lines to ``sys.stderr``, a process-wide object, while
solves may run in several threads at once. While at least one quiet solve
runs, ``sys.stderr`` is a router: text written by a thread inside a quiet
solve goes to that solve's buffer, everything else to the stream that was
there before.
"""

from __future__ import annotations

import contextlib
import sys
import threading
from collections.abc import Callable, Iterator
from typing import Any, TextIO

_local = threading.local()
_install_lock = threading.Lock()
_active = 0
_router: _StderrRouter | None = None


class LineBuffer:
    """Collects written text as complete lines and hands each to a callback."""

    def __init__(self, on_line: Callable[[str], None] | None = None) -> None:
        self.lines: list[str] = []
        self._partial = ""
        self._on_line = on_line

    def write(self, text: str) -> int:
        pieces = (self._partial + text).split("\n")
        self._partial = pieces.pop()
        for line in pieces:
            self.lines.append(line)
            if self._on_line is not None:
                self._on_line(line)
        return len(text)

    def finish(self) -> list[str]:
        if self._partial:
            self.write("\n")
        return self.lines


class _StderrRouter:
    def __init__(self, target: TextIO) -> None:
        self.target = target

    def write(self, text: str) -> int:
        buffer = getattr(_local, "buffer", None)
        if buffer is not None:
            return buffer.write(text)
        return self.target.write(text)

    def flush(self) -> None:
        if getattr(_local, "buffer", None) is None:
            self.target.flush()

    def __getattr__(self, name: str) -> Any:
        return getattr(self.target, name)


@contextlib.contextmanager
def captured_stderr(on_line: Callable[[str], None] | None = None) -> Iterator[LineBuffer]:
    """Route this thread's writes to ``sys.stderr`` into a fresh ``LineBuffer``."""
    global _active, _router
    buffer = LineBuffer(on_line)
    with _install_lock:
        if _active == 0 or _router is None or sys.stderr is not _router:
            _router = _StderrRouter(sys.stderr)
            sys.stderr = _router  # type: ignore[assignment]
        _active += 1
    outer = getattr(_local, "buffer", None)
    _local.buffer = buffer
    try:
        yield buffer
    finally:
        _local.buffer = outer
        buffer.finish()
        with _install_lock:
            _active -= 1
            if _active == 0 and sys.stderr is _router:
                sys.stderr = _router.target  # type: ignore[assignment]
                _router = None
