"""The inputs of the workloads, and the plain-Python baselines the suite times vocarix against."""

from __future__ import annotations

import heapq
import random
from pathlib import Path
from typing import Any

from benchmarks.make_fixtures import SyntheticCorpus
from benchmarks.settings import SEED


def is_special(token: str) -> bool:
    return len(token) >= 2 and ((token[0] == "<" and token[-1] == ">") or (token[0] == "[" and token[-1] == "]"))


def removable_tokens(vocab: dict[str, int]) -> list[str]:
    return sorted(t for t in vocab if len(t) > 1 and not is_special(t))


def new_words(path: Path, vocab: dict[str, int], count: int) -> list[str]:
    """``count`` new multi-character tokens in the fixture's own surface form."""
    from tokenizers import Tokenizer

    try:
        tok = Tokenizer.from_file(str(path))
    except Exception:
        tok = None

    def surface(text: str) -> str | None:
        if tok is None:
            return text
        if tok.normalizer is not None:
            text = tok.normalizer.normalize_str(text)
        if tok.pre_tokenizer is None:
            return text
        pieces = tok.pre_tokenizer.pre_tokenize_str(text)
        return pieces[0][0] if len(pieces) == 1 else None

    corpus = SyntheticCorpus(SEED, lexicon_size=max(500, count // 2))
    rng = random.Random(SEED)
    shuffled = [rng.sample(lex, len(lex)) for lex in corpus.lexicons]
    picked: dict[str, None] = {}
    for column in zip(*shuffled):
        for word in column:
            for form in (surface(word), surface(" " + word)):
                if form and len(form) > 1 and form not in vocab and form not in picked:
                    picked[form] = None
                    if len(picked) == count:
                        return list(picked)
    # Not enough new words in the made-up lexicons: join pairs of existing tokens.
    pool = removable_tokens(vocab)
    while len(picked) < count and pool:
        w = rng.choice(pool) + rng.choice(pool)
        if w not in vocab and w not in picked:
            picked[w] = None
    return list(picked)


def corpus_counts(runtime: Any, lines: int) -> dict[str, int]:
    """Token counts of ``lines`` sentences of the synthetic corpus, encoded by the runtime."""
    from vocarix_tools import counting

    corpus = SyntheticCorpus(SEED + 2, lexicon_size=3000)
    texts = [corpus.sentence(i % len(corpus.lexicons)) for i in range(max(lines // 2, 10))]
    return dict(counting.count_tokens(runtime, texts))


def missing_cjk(vocab: dict[str, int], count: int) -> list[str]:
    chars = [chr(c) for c in range(0x4E00, 0xA000) if chr(c) not in vocab]
    return sorted(random.Random(SEED).sample(chars, min(count, len(chars))))


def strict_document(vocab: dict[str, int], merges: list[list[str]]) -> dict:
    return {
        "version": "1.0", "truncation": None, "padding": None, "added_tokens": [],
        "normalizer": None, "pre_tokenizer": None, "post_processor": None, "decoder": None,
        "model": {
            "type": "BPE", "dropout": None, "unk_token": "<unk>", "continuing_subword_prefix": None,
            "end_of_word_suffix": None, "fuse_unk": False, "byte_fallback": False,
            "ignore_merges": False, "vocab": vocab, "merges": merges,
        },
    }


def py_stats(vocab: dict[str, int], merges: list) -> tuple:
    hist: dict[int, int] = {}
    single = special = 0
    lo, hi = 4294967295, 0
    for t, i in vocab.items():
        n = len(t)
        hist[n] = hist.get(n, 0) + 1
        if n == 1:
            single += 1
        if is_special(t):
            special += 1
        if i < lo:
            lo = i
        if i > hi:
            hi = i
    return len(vocab), len(merges), single, special, lo if vocab else 0, hi, sorted(hist.items())


def py_find_shrink(vocab: dict[str, int], count: int) -> list[tuple[str, int, int]]:
    best = heapq.nsmallest(count, ((-len(t), -i, t) for t, i in vocab.items() if len(t) > 1 and not is_special(t)))
    return [(t, -ni, -nl) for nl, ni, t in best]


def py_inverse(vocab: dict[str, int], unique_ids: bool) -> dict[int, str]:
    if unique_ids:
        return {i: t for t, i in vocab.items()}
    # The last write wins, so walking in descending key order keeps the first token in key order.
    return {i: t for t, i in sorted(vocab.items(), reverse=True)}


def py_reindex(vocab: dict[str, int]) -> dict[str, int]:
    ordered = sorted(sorted(vocab.items()), key=lambda kv: kv[1])
    return {t: k for k, (t, _) in enumerate(ordered)}
