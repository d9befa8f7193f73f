"""Speed of the native segmentation and of reachable addition.

Drives the core through ``vocarix_tools._native``. Times are the process's
CPU time around each call, which a
busy shared machine inflates less than wall time; best of ``--repeat`` runs,
each on a freshly loaded editor:

* segmentation of 10k words per file: the first word builds the merge pair
  index (timed apart), then all words are segmented;
* reachable addition of 10k new words (the ``add_tokens`` words of
  ``benchmarks/run.py``) on ``bytelevel-128k``, index building included,
  with the entries it creates beside those of the prefix method.

Usage: python benchmarks/segmentation.py [--repeat N] [FILE ...]
(default: bytelevel-128k and the real files in ../shared/fixtures/real/).
"""

from __future__ import annotations

import argparse
import json
import random
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from benchmarks.make_fixtures import fixture_path  # noqa: E402
from benchmarks.run import REAL_DIR, new_words  # noqa: E402

import vocarix_tools  # noqa: E402
from vocarix_tools import _native  # noqa: E402

WORDS = 10_000
TARGET_FIXTURE = "bytelevel-128k"


def glued_words(vocab: list[str], count: int, seed: int) -> list[str]:
    """Words of one to four vocabulary entries glued together."""
    rng = random.Random(seed)
    return ["".join(rng.choice(vocab) for _ in range(rng.randint(1, 4))) for _ in range(count)]


def cpu_seconds(call) -> float:
    start = time.process_time()
    call()
    return time.process_time() - start


def best(repeat: int, call) -> float:
    return min(cpu_seconds(call) for _ in range(repeat))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("files", nargs="*")
    args = parser.parse_args()
    paths = [Path(f) for f in args.files] or [fixture_path(TARGET_FIXTURE), *sorted(REAL_DIR.glob("*.json"))]

    print(f"{'file':34s} {'index':>9s} {'segment 10k':>12s} {'reachable 10k':>14s} {'entries':>8s} {'prefix entries':>15s}")
    for path in paths:
        text = path.read_text(encoding="utf-8")
        vocab = json.loads(text)["model"]["vocab"]
        words = glued_words([t for t in vocab if t], WORDS, seed=1)
        loaded = vocarix_tools.open_text(text)
        # One word costs the pair index and little else; all words cost it once too.
        index = best(args.repeat, lambda: _native.segment(loaded, words[:1]))
        segment = best(args.repeat, lambda: _native.segment(loaded, words)) - index
        row = [f"{index * 1e3:7.1f}ms", f"{segment * 1e3:10.1f}ms"]
        if path.stem == TARGET_FIXTURE:
            added = new_words(path, vocab, WORDS)

            def reachable_seconds() -> float:
                editor = vocarix_tools.open_text(text)
                return cpu_seconds(lambda: _native.add_words_reachable(editor, added))

            seconds = min(reachable_seconds() for _ in range(args.repeat))
            reachable, prefix = vocarix_tools.open_text(text), vocarix_tools.open_text(text)
            _native.add_words_reachable(reachable, added)
            prefix.add_tokens(added)
            row += [f"{seconds * 1e3:12.1f}ms", f"{reachable.vocab_size - len(vocab):8,d}",
                    f"{prefix.vocab_size - len(vocab):15,d}"]
        print(f"{path.name:34s} " + " ".join(f"{c:>{w}s}" for c, w in zip(row, (9, 12, 14, 8, 15))))


if __name__ == "__main__":
    main()
