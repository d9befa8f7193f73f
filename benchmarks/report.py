"""The markdown report of a run: the machine, the tables and the targets missed."""

from __future__ import annotations

import argparse
import datetime
import os
import platform
import subprocess
import sys
from pathlib import Path

from benchmarks.measuring import (
    BASELINE_COLUMNS, FixtureInfo, Row, ScalingRow, fmt_mib, fmt_time, headline_repetitions, markdown_table,
)
from benchmarks.settings import FULL_COUNTS, QUICK_COUNTS, REPO, TARGET_FIXTURE


def load_average() -> str:
    try:
        return " / ".join(Path("/proc/loadavg").read_text().split()[:3])
    except OSError:
        return "unknown"


def source_revision() -> str:
    """The checkout's commit, flagged when the native sources differ from it."""
    try:
        commit = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"],
                                capture_output=True, text=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(REPO), "status", "--porcelain", "--", "src", "CMakeLists.txt"],
                               capture_output=True, text=True).stdout.strip()
    except OSError:
        return "unknown"
    return (commit + (" + uncommitted changes in src/" if dirty else "")) if commit else "unknown"


def machine_description(vocarix_file: str, load_at_start: str, revision: str) -> list[str]:
    cpu = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    ram = "unknown"
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal:"):
                ram = f"{int(line.split()[1]) / 2**20:.1f} GiB"
                break
    except OSError:
        pass
    compiler, build_type = None, None
    cache = Path(vocarix_file).resolve().parent / "CMakeCache.txt"
    if cache.exists():
        for line in cache.read_text(errors="replace").splitlines():
            if line.startswith("CMAKE_CXX_COMPILER:"):
                compiler = line.split("=", 1)[1]
            elif line.startswith("CMAKE_BUILD_TYPE:"):
                build_type = line.split("=", 1)[1] or None
    cxx = compiler or "c++"
    try:
        version = subprocess.run([cxx, "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        version = cxx
    if not compiler:
        version += " (the system compiler; the module's own build settings are not recorded)"
    import orjson
    import tokenizers
    return [
        f"- CPU: {cpu}, {os.cpu_count()} logical cores",
        f"- RAM: {ram}",
        f"- OS: {platform.system()} {platform.release()}",
        f"- Python: {platform.python_version()} ({platform.python_implementation()})",
        f"- Compiler: {version}" + (f", build type {build_type}" if build_type else ""),
        f"- vocarix: {vocarix_file} (checkout at the start of the run: {revision});"
        f" orjson {orjson.__version__}, tokenizers {tokenizers.__version__}",
        f"- Date: {datetime.datetime.now(datetime.timezone.utc).strftime('%Y-%m-%d %H:%M UTC')}",
        f"- Load average (1 / 5 / 15 min) at start: {load_at_start}; at end: {load_average()}"
        " (anything above 0 is other work sharing the cores during the run)",
    ]


def render(args: argparse.Namespace, reps: int, infos: list[FixtureInfo], rows: list[Row],
           scaling: list[ScalingRow], skipped: list[str], load_at_start: str, revision: str) -> str:
    import vocarix

    out = ["# Benchmark results", ""]
    out.append(f"Command: `python benchmarks/run.py {' '.join(sys.argv[1:])}`".rstrip())
    out.append(f"Median of {reps} repetition(s) per measurement ({headline_repetitions(reps)} for the load"
               " and from_json rows); every call on a fresh editor."
               " A baseline cell shows its median time and, in brackets, vocarix's time divided by it:"
               " the median, over the repetitions, of the two calls' ratio in the same repetition"
               " (its calls run one after the other, so a slow spell of the host weighs on both)."
               " Baselines and workloads are described at the top of `benchmarks/run.py`.")
    out += ["", "## Machine", ""] + machine_description(vocarix.__file__, load_at_start, revision)
    out += ["", "## Fixtures", ""]
    out.append(markdown_table(
        ["fixture", "origin", "file size", "vocab", "merges"],
        [[i.name, i.origin, fmt_mib(i.size), f"{i.vocab:,}", f"{i.merges:,}"] for i in infos]))
    if skipped:
        out += ["", "Skipped: " + "; ".join(skipped)]
    out += ["", "## Results", ""]
    header = ["fixture", "operation", "vocarix", *BASELINE_COLUMNS, "target", "met", "work done"]
    table = []
    for r in rows:
        table.append([r.fixture, r.operation, r.vocarix, *(r.baselines.get(c, "") for c in BASELINE_COLUMNS),
                      r.target.text if r.target else "",
                      f"{'yes' if r.target.ok else 'NO'} ({r.target.measured})" if r.target else "",
                      r.work])
    out.append(markdown_table(header, table))

    out += ["", "## Cost grows with the work: remove_tokens", ""]
    out.append("A fresh editor is loaded just before the call; a warm one has already removed one"
               " other token (untimed), so one-time set-up work of the first removal is not in its time.")
    out.append("")
    out.append(markdown_table(
        ["fixture", "vocab", "editor", "tokens asked", "tokens removed", "merges removed", "time",
         "per removed token"],
        [[s.fixture, f"{s.vocab:,}", s.editor, f"{s.roots:,}", f"{s.tokens_removed:,}", f"{s.merges_removed:,}",
          fmt_time(s.seconds),
          f"{s.seconds / s.tokens_removed * 1e6:.1f} us" if s.seconds and s.tokens_removed else ""]
         for s in scaling]))
    notes = []
    small_n = (QUICK_COUNTS if args.quick else FULL_COUNTS)["remove_small"]
    focus = TARGET_FIXTURE if any(s.fixture == TARGET_FIXTURE for s in scaling) else (
        scaling[0].fixture if scaling else None)
    for state in ("fresh", "warm"):
        pair = [s for s in scaling if s.fixture == focus and s.editor == state]
        if len(pair) == 2 and pair[0].seconds and pair[1].seconds and pair[0].roots != pair[1].roots:
            lo, hi = pair
            notes.append(f"- {focus}, {state} editor: {hi.roots:,} tokens take {hi.seconds / lo.seconds:.1f}x "
                         f"the time of {lo.roots:,} ({hi.roots / lo.roots:.0f}x the tokens asked, "
                         f"{hi.tokens_removed / max(lo.tokens_removed, 1):.1f}x the tokens removed).")
        same = {s.fixture: s for s in scaling if s.editor == state and s.roots == small_n}
        a, b = same.get("sp-32k"), same.get("bytelevel-256k")
        if a and b and a.seconds and b.seconds:
            notes.append(f"- {state} editor, the same {small_n:,} tokens asked: bytelevel-256k ({b.vocab:,} tokens) "
                         f"takes {b.seconds / a.seconds:.1f}x the time of sp-32k ({a.vocab:,} tokens), "
                         f"a {b.vocab / a.vocab:.1f}x larger vocabulary, removing "
                         f"{b.tokens_removed / max(a.tokens_removed, 1):.1f}x as many tokens.")
    if notes:
        out += [""] + notes

    failed = [r for r in rows if r.target and not r.target.ok]
    out += ["", "## Targets", ""]
    checked = sum(1 for r in rows if r.target)
    if failed:
        out.append(f"{checked - len(failed)} of {checked} target checks met. Not met:")
        out.append("")
        for r in failed:
            out.append(f"- {r.fixture}, {r.operation}: measured {r.target.measured}, target {r.target.text}"
                       f" (vocarix {r.vocarix})")
    else:
        out.append(f"All {checked} target checks met.")
    if args.quick:
        out += ["", "Quick run: tiny counts, so the absolute time targets of the 128k fixture are not checked."]
    return "\n".join(out) + "\n"
