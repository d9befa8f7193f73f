"""Measurements that need a fresh interpreter: peak memory, and whole commands as a person runs them."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

from benchmarks.settings import REPO
from benchmarks.measuring import Contender, Row, Target, fmt_ratio, fmt_time, log, measure, relative


# ---------------------------------------------------------------------------
# Memory (fresh interpreter per measurement)
# ---------------------------------------------------------------------------

MEMORY_CHILD = r"""
import json, os, sys
mode, path = sys.argv[1], sys.argv[2]
import orjson, vocarix
if mode == "lenient":
    import vocarix_tools  # imported before measuring: its code is no cost of the load
page = os.sysconf("SC_PAGE_SIZE")
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page
from benchmarks.peak_memory import peak as hwm, reset_peak
reset = reset_peak()
before = rss()
hwm_before = hwm()
if mode == "vocarix":
    obj = vocarix.Vocarix(path)
elif mode == "lenient":
    obj = vocarix_tools.open(path)
else:
    with open(path, "rb") as f:
        data = f.read()
    obj = orjson.loads(data)
    del data
after = rss()
peak = hwm()
print(json.dumps({"retained": after - before, "peak": peak - before, "reset": reset,
                  "masked": (not reset) and peak == hwm_before}))
"""


def child_env(vocarix_dir: str) -> dict[str, str]:
    """The environment of a child interpreter that imports vocarix from
    `vocarix_dir` (bytecode compiled, as an installation has it) and the benchmarks."""
    env = command_env(vocarix_dir)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (env["PYTHONPATH"], str(REPO)) if p)
    return env


def child_json(script: str, args: list[str], env: dict[str, str], what: str,
               stdin_from: Path | None = None) -> dict | None:
    """The JSON object a child interpreter running `script` prints last; None
    (logged) when it fails. `stdin_from`: a file fed to its standard input
    through a pipe, by `cat`."""
    feeder = subprocess.Popen(["cat", str(stdin_from)], stdout=subprocess.PIPE) if stdin_from else None
    proc = subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True, env=env,
                          stdin=feeder.stdout if feeder else None)
    if feeder:
        assert feeder.stdout is not None
        feeder.stdout.close()
        feeder.wait()
    if proc.returncode != 0:
        log(f"  {what} failed: {proc.stderr.strip().splitlines()[-1:]}")
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])


def measure_memory(path: Path, mode: str, vocarix_dir: str) -> dict | None:
    return child_json(MEMORY_CHILD, [mode, str(path)], child_env(vocarix_dir), f"memory ({mode})")


# ---------------------------------------------------------------------------
# Whole commands (a new process each, as a person runs them)
# ---------------------------------------------------------------------------

# What the installed `vocarix` script runs.
CONSOLE_SCRIPT = ("import re, sys\nfrom vocarix_tools.cli import main\n"
                  "sys.argv[0] = re.sub(r'(-script\\.pyw|\\.exe)?$', '', sys.argv[0])\nsys.exit(main())")


def command_env(vocarix_dir: str) -> dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (vocarix_dir, env.get("PYTHONPATH", "")) if p)
    # An installation has its bytecode compiled; a build directory gets it on the first run.
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    return env


def run_command(args: list[str], env: dict[str, str]) -> None:
    subprocess.run([sys.executable, "-c", CONSOLE_SCRIPT, *args], env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def startup_row(reps: int, vocarix_dir: str) -> Row:
    """`vocarix --version` against the interpreter starting with nothing to do."""
    env = command_env(vocarix_dir)
    run_command(["--version"], env)  # untimed: writes the bytecode of a build directory
    res = measure(reps, [
        Contender("vocarix", lambda _: run_command(["--version"], env)),
        Contender("python", lambda _: subprocess.run([sys.executable, "-c", "pass"], env=env, check=True)),
    ])
    vx, base = res["vocarix"].median, res["python"].median
    r = relative(res["vocarix"], res["python"])
    return Row("-", "`vocarix --version` (a new process)", fmt_time(vx),
               target=Target("<= 3x `python -c pass`", r is not None and r <= 3.0, fmt_ratio(r)),
               work=f"`python -c pass`: {fmt_time(base)}")
