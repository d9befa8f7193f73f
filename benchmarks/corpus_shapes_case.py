"""The corpus shapes case: what counting costs when a corpus is one long
line, or arrives through a pipe, against the same text in lines read from a
file, measured in the same run; and how soon a huge input that is not text
is refused.

The text is SyntheticCorpus text (Latin with and without accents, Cyrillic,
Greek, Hangul, CJK, code, numbers), 50 MB (2 MB with ``--quick``), written
once to ``benchmarks/.cache/`` in lines and again with every line break made
a space. The tokenizers are the pipeline fixtures qwen3-style (NFC, a Split
on its expression, ByteLevel) and byte-level (ByteLevel on its own).

Each shape is counted in a child interpreter that opens the tokenizer,
resets its peak RSS (``/proc/self/clear_refs``), counts on one process and
reports the peak RSS above where it started, the time, and a digest of the
counts; a pipe is fed by ``cat``. The targets: a line of 50 MB peaks within
2x the same text in lines, with the same counts as one reading of it whole
would give (the digest of the one-line file read whole is not measured: that
reading is what the cut avoids; the tests prove the counts equal on every
place a line may be cut).

Not text: a sparse file of 2 GiB of NUL bytes is counted on one process and
on two; the time to the error and the bytes the processes read (Linux's
``rchar``, reaped workers included) are reported against the file's size.
"""

from __future__ import annotations

import os
from pathlib import Path

from benchmarks.child_processes import child_env, child_json
from benchmarks.measuring import Row, Target, fmt_mib, fmt_ratio, fmt_time, log
from benchmarks.settings import REPO

CACHE = REPO / "benchmarks" / ".cache"
PIPELINES = REPO / "tests" / "fixtures" / "pipelines"
TOKENIZERS = ("qwen3-style", "byte-level")
FULL_BYTES, QUICK_BYTES = 50_000_000, 2_000_000
NUL_BYTES = 2 << 30

# (label, which text, how it is given)
SHAPES = (
    ("in lines, a file", "lines", "file"),
    ("one line, a file", "one-line", "file"),
    ("one line, a pipe", "one-line", "pipe"),
)

COUNT_CHILD = r"""
import hashlib, json, os, sys, time
tokenizer, corpus = sys.argv[1], sys.argv[2]
import vocarix_tools
from vocarix_tools import corpus_counting
from benchmarks.peak_memory import peak, reset_peak
editor = vocarix_tools.open(tokenizer)
corpus_counting.count_text(editor, "what loading the counter takes")
with open("/proc/self/statm") as f:
    before = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
reset = reset_peak()
start = time.perf_counter()
counts = corpus_counting.count_words(editor, [corpus], jobs=1)
seconds = time.perf_counter() - start
counting_peak = peak() - before
digest = hashlib.sha256(json.dumps(sorted(counts.words.items())).encode()).hexdigest()
print(json.dumps({"peak": counting_peak, "seconds": seconds, "reset": reset, "digest": digest,
                  "words": sum(counts.words.values())}))
"""

NUL_CHILD = r"""
import json, sys, time
tokenizer, corpus, jobs = sys.argv[1], sys.argv[2], int(sys.argv[3])
import vocarix_tools
from vocarix_tools import corpus_counting
def read_so_far():
    with open("/proc/self/io") as io:
        return int(next(line for line in io if line.startswith("rchar:")).split()[1])
editor = vocarix_tools.open(tokenizer)
before = read_so_far()
start = time.perf_counter()
try:
    corpus_counting.count_words(editor, [corpus], jobs=jobs)
    error = None
except ValueError as failure:
    error = str(failure)
print(json.dumps({"seconds": time.perf_counter() - start, "read": read_so_far() - before, "error": error}))
"""


def texts(size: int) -> dict[str, Path]:
    """The corpus in lines and on one line, `size` bytes each, written once."""
    from benchmarks.synthetic_text import SyntheticCorpus

    paths = {"lines": CACHE / f"shapes-lines-{size}.txt", "one-line": CACHE / f"shapes-one-line-{size}.txt"}
    if all(path.exists() for path in paths.values()):
        return paths
    CACHE.mkdir(parents=True, exist_ok=True)
    log(f"[corpus shapes] writing {fmt_mib(size)} in lines and on one line to {CACHE}")
    written = 0
    with open(paths["lines"], "w", encoding="utf-8") as lines, open(paths["one-line"], "w", encoding="utf-8") as one:
        for line in SyntheticCorpus(13, 20_000).lines(1 << 62):
            lines.write(line + "\n")
            one.write(line + " ")
            written += len(line.encode("utf-8")) + 1
            if written >= size:
                break
    return paths


def run_corpus_shapes_case(reps: int, tmp: Path, quick: bool, rows: list[Row]) -> None:
    import vocarix

    size = QUICK_BYTES if quick else FULL_BYTES
    paths = texts(size)
    env = child_env(str(Path(vocarix.__file__).resolve().parent))
    for name in TOKENIZERS:
        tokenizer = PIPELINES / f"{name}.json"
        label = f"corpus shapes: {name}"
        log(f"[{label}] {fmt_mib(size)} in lines and on one line, from a file and a pipe")
        best: dict[str, dict] = {}
        for _ in range(reps):
            for shape, text, given in SHAPES:
                corpus = "-" if given == "pipe" else str(paths[text])
                result = child_json(COUNT_CHILD, [str(tokenizer), corpus], env, f"counting {shape}",
                                    paths[text] if given == "pipe" else None)
                if result and (shape not in best or result["peak"] < best[shape]["peak"]):
                    best[shape] = result
        lines = best.get("in lines, a file")
        for shape, text, _ in SHAPES:
            result = best.get(shape)
            if result is None:
                rows.append(Row(label, f"count {shape}", "failed"))
                continue
            times = result["peak"] / lines["peak"] if lines and lines["peak"] else None
            same = lines is not None and (text == "lines" or result["digest"] == best["one line, a file"]["digest"])
            target = None
            if text != "lines" and not quick:
                target = Target("peak <= 2x in lines", times is not None and times <= 2.0 and same, fmt_ratio(times))
            rows.append(Row(label, f"count {fmt_mib(size)} {shape}: peak memory above the start",
                            fmt_mib(result["peak"]), baselines={"in lines, a file": fmt_mib(lines["peak"])} if lines
                            else {}, target=target,
                            work=f"{fmt_time(result['seconds'])}, {result['words']:,} words"
                                 + ("" if text == "lines" else ", counts as the one-line file's" if same
                                    else ", COUNTS DIFFER from the one-line file's")))
    if not os.path.exists("/proc/self/io"):
        return
    zeros = tmp / "zeros.bin"
    with open(zeros, "wb") as handle:
        handle.truncate(NUL_BYTES)
    tokenizer = PIPELINES / "byte-level.json"
    for jobs in (1, 2):
        label = "corpus shapes: not text"
        result = child_json(NUL_CHILD, [str(tokenizer), str(zeros), str(jobs)], env, "refusing NUL bytes")
        if result is None:
            rows.append(Row(label, f"refuse {fmt_mib(NUL_BYTES)} of NUL bytes on {jobs} process(es)", "failed"))
            continue
        share = result["read"] / NUL_BYTES
        refused = bool(result["error"]) and "NUL byte at byte 0" in result["error"]
        rows.append(Row(label, f"refuse {fmt_mib(NUL_BYTES)} of NUL bytes (sparse) on {jobs} process(es)",
                        fmt_time(result["seconds"]),
                        target=Target("reads < 1% of it", refused and share < 0.01, f"{share:.2%}"),
                        work=f"read {fmt_mib(result['read'])}; says: {result['error']}"))
    zeros.unlink(missing_ok=True)
