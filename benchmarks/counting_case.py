"""The counting case: `vocarix count-words` on 100 MB of mixed-script text,
on one process and on two, against the tokenizers runtime's BpeTrainer
training 1,000 merges on the same file with the same normalizer and
pre-tokenizer, for a Qwen3-style file (NFC, a Split on its regular
expression, ByteLevel) and a DeepSeek-style one (a Sequence of three Splits,
ByteLevel); and the peak memory of counting on one process against the
memory of the counts it ends with.

The corpus is SyntheticCorpus text (Latin with and without accents,
Cyrillic, Greek, Hangul, CJK, code, numbers), written once to
``benchmarks/.cache/`` (1 MB with ``--quick``). The tokenizers are the
pipeline fixtures of ``tests/fixtures/pipelines``.

Each `count-words` run is a new process (``vocarix count-words FILE
--corpus CORPUS -o COUNTS --jobs N``), as a person runs it: interpreter
start, counting, and writing the word-count file. BpeTrainer trains in this
process on every core, a fresh model with the byte alphabet and 1,000 merges
(``vocab_size`` 256 + 1,000), the file's normalizer and pre-tokenizer set.
The three contenders alternate within each repetition.

Memory: a child interpreter opens the tokenizer, resets its peak RSS, counts
the corpus on one process and reports the peak RSS above its start, against
the bytes of the counts in the core (their table's slots and words) and,
for comparison, the size of the word-count file.
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

from benchmarks.child_processes import child_env, child_json
from benchmarks.measuring import (
    Contender, Row, Target, baseline_cell, fmt_mib, fmt_ratio, fmt_time, log, measure, relative,
)
from benchmarks.settings import REPO

CACHE = REPO / "benchmarks" / ".cache"
PIPELINES = REPO / "tests" / "fixtures" / "pipelines"
CASES = ("qwen3-style", "deepseek-style")
FULL_BYTES, QUICK_BYTES = 100_000_000, 1_000_000
MERGES = 1_000

MEMORY_CHILD = r"""
import json, os, sys
tokenizer, corpus = sys.argv[1], sys.argv[2]
import vocarix_tools
from vocarix_tools import corpus_counting
from benchmarks.peak_memory import peak, reset_peak
editor = vocarix_tools.open(tokenizer)
page = os.sysconf("SC_PAGE_SIZE")
with open("/proc/self/statm") as f:
    before = int(f.read().split()[1]) * page
reset = reset_peak()
counts = corpus_counting.count_words(editor, [corpus], jobs=1)
print(json.dumps({"peak": peak() - before, "counts": counts.memory_bytes, "reset": reset,
                  "file": len(counts.words_json())}))
"""


def corpus_file(size: int) -> Path:
    """The mixed-script corpus of `size` bytes, written once."""
    from benchmarks.synthetic_text import SyntheticCorpus

    path = CACHE / f"counting-corpus-{size}.txt"
    if path.exists() and path.stat().st_size >= size:
        return path
    CACHE.mkdir(parents=True, exist_ok=True)
    log(f"[counting] writing a {fmt_mib(size)} corpus to {path}")
    partial = path.with_suffix(".partial")
    written = 0
    with open(partial, "w", encoding="utf-8") as out:
        for line in SyntheticCorpus(11, 20_000).lines(1 << 62):
            out.write(line + "\n")
            written += len(line.encode("utf-8")) + 1
            if written >= size:
                break
    partial.replace(path)
    return path


def count_words_command(tokenizer: Path, corpus: Path, out: Path, jobs: int, env: dict[str, str]) -> None:
    script = Path(sys.executable).parent / "vocarix"
    command = [str(script)] if script.exists() else [sys.executable, "-m", "vocarix_tools.cli"]
    subprocess.run([*command, "count-words", str(tokenizer), "--corpus", str(corpus), "-o", str(out),
                    "--jobs", str(jobs)], check=True, env=env, stdout=subprocess.DEVNULL)


def train(tokenizer: Path, corpus: Path) -> None:
    from tokenizers import Tokenizer, models, pre_tokenizers, trainers

    source = Tokenizer.from_file(str(tokenizer))
    fresh = Tokenizer(models.BPE())
    if source.normalizer is not None:
        fresh.normalizer = source.normalizer
    fresh.pre_tokenizer = source.pre_tokenizer
    fresh.train([str(corpus)], trainers.BpeTrainer(vocab_size=256 + MERGES, show_progress=False,
                                                   initial_alphabet=pre_tokenizers.ByteLevel.alphabet()))


def peak_memory(tokenizer: Path, corpus: Path, env: dict[str, str]) -> dict | None:
    return child_json(MEMORY_CHILD, [str(tokenizer), str(corpus)], env, "memory")


def run_counting_case(reps: int, tmp: Path, quick: bool, rows: list[Row]) -> None:
    import vocarix

    size = QUICK_BYTES if quick else FULL_BYTES
    corpus = corpus_file(size)
    env = child_env(str(Path(vocarix.__file__).resolve().parent))
    out = tmp / "word-counts.json"
    for case in CASES:
        tokenizer = PIPELINES / f"{case}.json"
        label = f"count-words: {case}"
        log(f"[{label}] {fmt_mib(corpus.stat().st_size)} on one and two processes against BpeTrainer")
        res = measure(reps, [
            Contender("one process", lambda _: count_words_command(tokenizer, corpus, out, 1, env)),
            Contender("two processes", lambda _: count_words_command(tokenizer, corpus, out, 2, env)),
            Contender("BpeTrainer", lambda _: train(tokenizer, corpus)),
        ])
        one, two, trainer = res["one process"], res["two processes"], res["BpeTrainer"]
        faster = relative(trainer, one)
        rows.append(Row(label, f"count the words of {fmt_mib(corpus.stat().st_size)} of mixed-script text, "
                               "one process", fmt_time(one.median) if not one.error else f"failed: {one.error}",
                        baselines={"tokenizers": baseline_cell(one, trainer)},
                        target=None if quick else Target(">= 3x faster than BpeTrainer",
                                                         faster is not None and faster >= 3.0, fmt_ratio(faster)),
                        work=f"tokenizers: BpeTrainer training {MERGES:,} merges with the file's normalizer and "
                             f"pre-tokenizer, {fmt_time(trainer.median)}"))
        scaling = relative(one, two)
        rows.append(Row(label, "the same on two processes", fmt_time(two.median) if not two.error
                        else f"failed: {two.error}",
                        target=None if quick else Target(">= 1.7x faster than one process",
                                                         scaling is not None and scaling >= 1.7, fmt_ratio(scaling)),
                        work=f"{os.cpu_count()} cores"))
        memory = peak_memory(tokenizer, corpus, env)
        if memory is not None:
            times = memory["peak"] / memory["counts"] if memory["counts"] else None
            rows.append(Row(label, "memory: peak while counting on one process", fmt_mib(memory["peak"]),
                            target=None if quick else Target("< 2x the counts", times is not None and times < 2.0,
                                                             fmt_ratio(times)),
                            work=f"the counts: {fmt_mib(memory['counts'])} in the core, a "
                                 f"{fmt_mib(memory['file'])} word-count file"))
    out.unlink(missing_ok=True)
