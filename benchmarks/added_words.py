"""Are words added with ``add_token`` produced by the runtime as one token?

For each generated fixture this script picks new words (made-up words of the
fixture corpus's languages, drawn with a seed of their own, that the
vocabulary does not hold), adds each one with ``Vocarix.add_token`` in the
form the runtime's normalizer and pre-tokenizer give it, loads the edited
tokenizer in the ``tokenizers`` runtime, encodes every word on its own and
counts the words that come out as exactly the one added token.

Two variants of the same edited file show why the misses happen:
``merges first`` moves the merges that the additions appended to the front of
the merge list (highest priority), ``ignore_merges`` turns on the model flag
that makes the runtime take a pre-token found whole in the vocabulary as it
is.  Neither is something vocarix does; they only explain the count.

Usage: python benchmarks/added_words.py [--words N] [--seed S] [FIXTURE ...]
(default: bytelevel-2k sp-32k, 1,000 words).
"""

from __future__ import annotations

import argparse
import json
import sys
from collections import Counter
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

import vocarix  # noqa: E402
from tokenizers import Tokenizer  # noqa: E402

from benchmarks.make_fixtures import SyntheticCorpus, fixture_path  # noqa: E402


def surface_form(tok: Tokenizer, word: str) -> str | None:
    """The single pre-token the runtime makes of ``word``, or None."""
    text = tok.normalizer.normalize_str(word) if tok.normalizer else word
    pieces = tok.pre_tokenizer.pre_tokenize_str(text) if tok.pre_tokenizer else [(text, None)]
    return pieces[0][0] if len(pieces) == 1 else None


def new_words(tok: Tokenizer, count: int, seed: int) -> list[tuple[str, str]]:
    """``count`` (word, surface form) pairs whose surface form is not in the vocabulary."""
    vocab = tok.get_vocab()
    corpus = SyntheticCorpus(seed, lexicon_size=4000)
    seen: set[str] = set()
    picked = []
    # Round-robin over the languages, each lexicon in a seeded random order.
    shuffled = [corpus.rng.sample(lex, len(lex)) for lex in corpus.lexicons]
    for column in zip(*shuffled):
        for word in column:
            surface = surface_form(tok, word)
            if surface and surface not in vocab and surface not in seen and len(surface) > 1:
                seen.add(surface)
                picked.append((word, surface))
                if len(picked) == count:
                    return picked
    raise RuntimeError(f"only {len(picked)} new words found")


def produced(tok: Tokenizer, words: list[tuple[str, str]]) -> list[bool]:
    out = []
    for word, surface in words:
        ids = tok.encode(word, add_special_tokens=False).ids
        out.append(ids == [tok.token_to_id(surface)])
    return out


def measure(name: str, count: int, seed: int) -> dict:
    path = str(fixture_path(name))
    tok = Tokenizer.from_file(path)
    editor = vocarix.Vocarix(path)
    words = new_words(tok, count, seed)
    merges_before = editor.merges_count
    methods = [editor.add_token(surface).method for _, surface in words]
    text = editor.to_json()
    hits = produced(Tokenizer.from_str(text), words)

    doc = json.loads(text)
    merges = doc["model"]["merges"]
    doc["model"]["merges"] = merges[merges_before:] + merges[:merges_before]
    hits_first = produced(Tokenizer.from_str(json.dumps(doc)), words)
    doc["model"]["merges"] = merges
    doc["model"]["ignore_merges"] = True
    hits_ignore = produced(Tokenizer.from_str(json.dumps(doc)), words)

    by_method: dict[str, Counter] = {}
    for method, hit in zip(methods, hits):
        by_method.setdefault(method, Counter())[hit] += 1
    misses = [(w, s) for (w, s), hit in zip(words, hits) if not hit]
    return {
        "fixture": name,
        "words": len(words),
        "merges_appended": len(merges) - merges_before,
        "produced": sum(hits),
        "produced_merges_first": sum(hits_first),
        "produced_ignore_merges": sum(hits_ignore),
        "by_method": {m: (c[True], c[True] + c[False]) for m, c in sorted(by_method.items())},
        "example_misses": [
            (surface, Tokenizer.from_str(text).encode(word, add_special_tokens=False).tokens)
            for word, surface in misses[:3]
        ],
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("fixtures", nargs="*", default=["bytelevel-2k", "sp-32k"])
    parser.add_argument("--words", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args(argv)
    for name in args.fixtures:
        r = measure(name, args.words, args.seed)
        print(f"{r['fixture']}: {r['produced']} of {r['words']} added words produced as one token "
              f"({r['merges_appended']} merges appended)")
        for method, (hit, total) in r["by_method"].items():
            print(f"    {method:15} {hit:5} of {total}")
        print(f"    with the appended merges moved to the front: {r['produced_merges_first']}")
        print(f"    with ignore_merges on:                       {r['produced_ignore_merges']}")
        for surface, tokens in r["example_misses"]:
            print(f"    miss: {surface!r} -> {tokens}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
