"""The learning case: new entries learned from a corpus on top of a real
byte-level tokenizer, against the tokenizers runtime's BpeTrainer learning
as many merges for a fresh model on the same corpus.

The corpus is the standard library's own Python sources, in file-name
order, cut at 2.5 MB (100 kB with ``--quick``): real text that every Python
installation carries, written into the suite's temporary folder.
"""

from __future__ import annotations

import sysconfig
from pathlib import Path
from typing import Any

from benchmarks import real_fixtures
from benchmarks.measuring import Contender, Row, Target, fmt_mib, fmt_ratio, fmt_time, log, measure, relative

BASE = "roberta-base-notype.string.json"
FULL = dict(corpus_bytes=2_500_000, entries=3_000)
QUICK = dict(corpus_bytes=100_000, entries=200)


def write_corpus(path: Path, limit: int) -> int:
    """Non-empty lines of the standard library's sources up to `limit` bytes; returns the size."""
    size = 0
    with open(path, "w", encoding="utf-8") as out:
        for source in sorted(Path(sysconfig.get_paths()["stdlib"]).glob("*.py")):
            for line in source.read_text(encoding="utf-8", errors="replace").splitlines():
                if not line.strip():
                    continue
                out.write(line + "\n")
                size += len(line.encode()) + 1
                if size >= limit:
                    return size
    return size


def run_learning_case(reps: int, tmp: Path, quick: bool, rows: list[Row]) -> None:
    """Counting and learning N entries against BpeTrainer training N merges, one after the other."""
    import vocarix_tools
    from tokenizers import Tokenizer, models, pre_tokenizers, trainers
    from vocarix_tools import corpus_counting, learning

    sizes = QUICK if quick else FULL
    entries = sizes["entries"]
    corpus = tmp / "learning-corpus.txt"
    corpus_size = write_corpus(corpus, sizes["corpus_bytes"])
    base_text = vocarix_tools.open(str(real_fixtures.fixture_file(BASE))).to_json()
    label = f"learn: {BASE.split('.')[0]}"

    def learn(editor: Any) -> dict[str, Any]:
        counts = corpus_counting.count_words(editor, [corpus], jobs=1)
        return dict(learning.learn(editor, counts, entries, literal=True))

    def train(_: Any) -> Tokenizer:
        fresh = Tokenizer(models.BPE())
        fresh.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
        # The byte alphabet and as many merges as learn appends.
        fresh.train([str(corpus)], trainers.BpeTrainer(vocab_size=256 + entries, show_progress=False,
                                                       initial_alphabet=pre_tokenizers.ByteLevel.alphabet()))
        return fresh

    log(f"[{label}] learn {entries:,} entries against BpeTrainer")
    res = measure(reps, [
        Contender("vocarix", learn, lambda: vocarix_tools.open_text(base_text)),
        Contender("BpeTrainer", train),
    ])
    vx, base = res["vocarix"].median, res["BpeTrainer"].median
    r = relative(res["vocarix"], res["BpeTrainer"])
    report = res["vocarix"].last_result or {}
    rows.append(Row(label, f"count words and learn {entries:,} new entries from a {fmt_mib(corpus_size)} corpus",
                    fmt_time(vx) if not res["vocarix"].error else f"failed: {res['vocarix'].error}",
                    target=None if quick else Target("<= 2x BpeTrainer", r is not None and r <= 2.0, fmt_ratio(r)),
                    work=f"BpeTrainer training {entries:,} merges for a fresh byte-level model: {fmt_time(base)}; "
                         f"corpus tokens {report.get('tokens_before', 0):,} -> {report.get('tokens_after', 0):,}"))
    corpus.unlink(missing_ok=True)
