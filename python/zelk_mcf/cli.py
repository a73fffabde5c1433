"""The ``zelk-mcf`` command line (also ``python -m zelk_mcf``)."""

from __future__ import annotations

import argparse
import json
import math
import re
import sys
import threading
import time
from typing import Any, TextIO

from . import __version__
from ._solve import METHODS, InfeasibleError, describe_shortfall, solve
from .dimacs import DimacsError, read_dimacs, write_solution

EXIT_SOLVED, EXIT_INFEASIBLE, EXIT_BAD_INPUT, EXIT_INTERNAL, EXIT_INTERRUPTED = 0, 1, 2, 3, 130

_DESCRIPTION = """\
Exact minimum-cost flow on DIMACS files.

  zelk-mcf solve FILE [-o OUT] [--method METHOD] [--stats] [--stats-file PATH]

FILE is a DIMACS min-cost-flow problem ('p min N M', 'n ID SUPPLY',
'a U V LOW CAP COST', 'c' comments; ids from 1, positive supply = source),
or '-' for standard input. The optimal flow is written in DIMACS solution
form ('s COST', then one 'f U V FLOW' line per arc in arc order) to OUT,
or to standard output.
"""

_EPILOG = """\
exit codes:
  0    solved: the solution was written (and certified optimal)
  1    infeasible: no flow meets the bounds and supplies (the nodes that
       cannot be served are named on standard error)
  2    bad input: unreadable or malformed file (with its line number),
       bad arguments, or an instance the solver rejects (e.g. overflow)
  3    internal error
  130  interrupted (Ctrl-C)

When standard error is a terminal, a solve lasting more than half a second
shows a progress line there (elapsed time, route, interior-point iteration
and gap) that is erased when the solve ends; nothing extra is printed when
standard error is a pipe or a file. The solver's own diagnostic lines are
shown only with --verbose.
"""

_GAP = re.compile(r"gap termination check: gap=([^,\s]+)")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="zelk-mcf",
        description=_DESCRIPTION,
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    s = sub.add_parser(
        "solve",
        help="solve a DIMACS min-cost-flow file",
        description=_DESCRIPTION,
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    s.add_argument("file", metavar="FILE", help="DIMACS problem file, or '-' for standard input")
    s.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        default="-",
        help="where the DIMACS solution goes (default: standard output)",
    )
    s.add_argument(
        "--method",
        choices=METHODS,
        default="auto",
        help="solver route: auto (default; chosen by instance size), classic "
        "(exact classic solver), ipm (interior-point method), scaling "
        "(cost and capacity scaling around it)",
    )
    s.add_argument(
        "--stats",
        action="store_true",
        help="print solve statistics as one JSON object on standard error",
    )
    s.add_argument(
        "--stats-file", metavar="PATH", help="write solve statistics as a JSON object to PATH"
    )
    s.add_argument(
        "--verbose",
        action="store_true",
        help="pass the solver's diagnostic lines through to standard error",
    )
    return parser


class _Progress:
    """A self-erasing status line on a terminal, redrawn by a background thread."""

    DELAY, PERIOD = 0.5, 0.2

    def __init__(self, stream: TextIO, method: str) -> None:
        self.stream = stream
        self.method = method
        self.start = time.monotonic()
        self.iterations = 0
        self.gap = ""
        self.shown = False
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def on_line(self, line: str) -> None:
        match = _GAP.search(line)
        if match:
            self.iterations += 1
            self.gap = match.group(1)

    def _run(self) -> None:
        if self.done.wait(self.DELAY):
            return
        while not self.done.is_set():
            route = "interior point" if self.iterations else self.method
            text = f"zelk-mcf: {time.monotonic() - self.start:.1f} s, route {route}"
            if self.iterations:
                text += f", iteration {self.iterations}, gap {self.gap}"
            self.stream.write("\r" + text + "\x1b[K")
            self.stream.flush()
            self.shown = True
            self.done.wait(self.PERIOD)

    def close(self) -> None:
        self.done.set()
        self.thread.join()
        if self.shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


def _json_ready(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    if isinstance(value, dict):
        return {str(k): _json_ready(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_ready(v) for v in value]
    return value


def _solve(args: argparse.Namespace) -> int:
    err = sys.stderr
    try:
        problem = read_dimacs(sys.stdin.buffer if args.file == "-" else args.file)
    except (OSError, DimacsError, ValueError, TypeError) as exc:
        print(f"zelk-mcf: {args.file}: {exc}", file=err)
        return EXIT_BAD_INPUT
    progress = _Progress(err, args.method) if err.isatty() and not args.verbose else None
    try:
        result = solve(
            problem,
            method=args.method,
            verbose=args.verbose,
            on_line=progress.on_line if progress else None,
        )
    except InfeasibleError as exc:
        _close(progress)
        print(f"zelk-mcf: {describe_shortfall(problem, exc.shortfall, first_id=1)}", file=err)
        return EXIT_INFEASIBLE
    except (ValueError, TypeError) as exc:
        _close(progress)
        print(f"zelk-mcf: {exc}", file=err)
        return EXIT_BAD_INPUT
    except RuntimeError as exc:
        _close(progress)
        print(f"zelk-mcf: {exc}", file=err)
        return EXIT_INTERNAL if str(exc).startswith("internal error") else EXIT_BAD_INPUT
    except BaseException:
        _close(progress)
        raise
    _close(progress)
    try:
        write_solution(
            problem,
            result.flow,
            sys.stdout.buffer if args.output == "-" else args.output,
            cost=result.cost,
        )
        sys.stdout.flush()
    except OSError as exc:
        print(f"zelk-mcf: {args.output}: {exc}", file=err)
        return EXIT_BAD_INPUT
    if args.stats or args.stats_file:
        stats = _json_ready(
            {"nodes": problem.n, "arcs": problem.m, "cost": result.cost, **result.stats}
        )
        if args.stats:
            print(json.dumps(stats), file=err)
        if args.stats_file:
            with open(args.stats_file, "w") as f:
                json.dump(stats, f, indent=2)
                f.write("\n")
    return EXIT_SOLVED


def _close(progress: _Progress | None) -> None:
    if progress is not None:
        progress.close()


def main(argv: list[str] | None = None) -> int:
    """Run the command line; returns the exit code."""
    args = _parser().parse_args(argv)
    try:
        return _solve(args)
    except KeyboardInterrupt:
        print("zelk-mcf: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
