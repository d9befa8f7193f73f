"""Timing contenders against each other, and the rows of the results table."""

from __future__ import annotations

import gc
import os
import statistics
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable


# ---------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------


@dataclass
class Contender:
    name: str
    fn: Callable[[Any], Any]  # timed; receives setup()'s value
    setup: Callable[[], Any] | None = None  # untimed
    quiet_stderr: bool = False  # fd 2 -> /dev/null around the timed call


@dataclass
class Measured:
    median: float | None = None  # seconds; None when the contender failed
    times: list[float] = field(default_factory=list)  # one per repetition, in order
    last_result: Any = None
    error: str | None = None


SETTLE_SECONDS = 0.1


def measure(reps: int, contenders: list[Contender]) -> dict[str, Measured]:
    """Median time of each contender, repetitions interleaved across contenders."""
    times: dict[str, list[float]] = {c.name: [] for c in contenders}
    out = {c.name: Measured() for c in contenders}
    for rep in range(reps):
        for c in contenders:
            m = out[c.name]
            if m.error:
                continue
            try:
                arg = c.setup() if c.setup else None
            except Exception as exc:  # a baseline that cannot handle the file
                m.error = f"{type(exc).__name__}: {exc}"
                continue
            saved_fd = None
            gc.collect()
            # The tokenizers runtime's worker threads keep spinning for a while after a call;
            # a pause lets them sleep, so that the next contender has the cores to itself.
            time.sleep(SETTLE_SECONDS)
            if c.quiet_stderr:
                sys.stderr.flush()
                saved_fd = os.dup(2)
                devnull = os.open(os.devnull, os.O_WRONLY)
                os.dup2(devnull, 2)
                os.close(devnull)
            gc.disable()
            try:
                t0 = time.perf_counter()
                result = c.fn(arg)
                t1 = time.perf_counter()
            except Exception as exc:
                m.error = f"{type(exc).__name__}: {exc}"
                continue
            finally:
                gc.enable()
                if saved_fd is not None:
                    os.dup2(saved_fd, 2)
                    os.close(saved_fd)
            times[c.name].append(t1 - t0)
            # Results are released untimed and before the next call, so every call starts
            # from the same heap; the last repetition's result is kept for the work counts.
            if rep == reps - 1:
                m.last_result = result
            del result, arg
    for c in contenders:
        if times[c.name] and not out[c.name].error:
            out[c.name].median = statistics.median(times[c.name])
            out[c.name].times = times[c.name]
    return out


# ---------------------------------------------------------------------------
# Results table
# ---------------------------------------------------------------------------

BASELINE_COLUMNS = ("orjson", "json", "tokenizers", "Python dicts")


@dataclass
class Target:
    text: str  # what must hold, e.g. "<= 0.25x orjson"
    ok: bool
    measured: str  # the measured figure that is compared, e.g. "0.57x"


@dataclass
class Row:
    fixture: str
    operation: str
    vocarix: str
    baselines: dict[str, str] = field(default_factory=dict)
    target: Target | None = None
    work: str = ""


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "failed"
    ms = seconds * 1000.0
    if ms >= 100:
        return f"{ms:.0f} ms"
    if ms >= 10:
        return f"{ms:.1f} ms"
    if ms >= 1:
        return f"{ms:.2f} ms"
    return f"{ms:.3f} ms"


def fmt_count(n: int) -> str:
    return f"{n // 1000}k" if n >= 1000 and n % 1000 == 0 else str(n)


def fmt_mib(n_bytes: float) -> str:
    return f"{n_bytes / 2**20:.1f} MiB"


def fmt_ratio(r: float | None) -> str:
    return "n/a" if r is None else f"{r:.2f}x"


def ratio(a: float | None, b: float | None) -> float | None:
    if a is None or b is None or b <= 0:
        return None
    return a / b


def headline_repetitions(reps: int) -> int:
    """Repetitions for the load rows, whose ratios are the headline targets."""
    return 2 * reps + 1


def relative(a: Measured, b: Measured) -> float | None:
    """a's time as a multiple of b's, for two contenders of one measure() call.

    The calls of a repetition run one right after the other, so a slow spell of the
    host weighs on both: the median of the per-repetition ratios is steadier than the
    ratio of the two medians, which may come from repetitions far apart.
    """
    if a.error or b.error or not a.times or len(a.times) != len(b.times):
        return ratio(a.median, b.median)
    if any(t <= 0 for t in b.times):
        return None
    return statistics.median(x / y for x, y in zip(a.times, b.times))


def baseline_cell(vx: Measured, m: Measured) -> str:
    if m.error:
        return "failed"
    r = relative(vx, m)
    return f"{fmt_time(m.median)} ({r:.2f}x)" if r is not None else fmt_time(m.median)


def markdown_table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    for r in rows:
        lines.append("| " + " | ".join(cell.replace("|", "\\|") for cell in r) + " |")
    return "\n".join(lines)




def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


@dataclass
class FixtureInfo:
    name: str
    path: Path
    size: int
    vocab: int
    merges: int
    origin: str


@dataclass
class ScalingRow:
    fixture: str
    vocab: int
    editor: str  # "fresh" or "warm"
    roots: int
    tokens_removed: int
    merges_removed: int
    seconds: float | None
