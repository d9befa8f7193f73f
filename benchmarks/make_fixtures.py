"""Deterministic, offline generators for the benchmark tokenizers.

Every fixture is a BPE ``tokenizer.json`` trained with the ``tokenizers``
package on text that this module makes up itself from seeded random
generators, so no download is ever needed and the same seed always gives the
same file (for a given ``tokenizers`` version: another trainer version may
break ties differently).  Files are written to ``benchmarks/.cache/``
(git-ignored) and are only rebuilt when missing; they use two-space
indentation with each merge spread over four lines, the usual layout of
trained files.

Fixtures
--------
``bytelevel-2k``     byte-level BPE, ~2k tokens; builds in about a second, for
                     smoke tests.
``bytelevel-128k``   byte-level BPE, ~128k tokens, more than 200k merges.
``bytelevel-256k``   byte-level BPE, ~256k tokens, plain trained merges.
``bytelevel-151k``   the first 151,643 ids of ``bytelevel-256k`` with the
                     merges among them (what training stopped there gives),
                     and 22 special tokens in ``added_tokens`` outside the
                     vocabulary: the shape of a common byte-level release.
``sp-32k``           sentencepiece-style BPE, 32k tokens: "▁" word prefix
                     (Metaspace pre-tokenizer and decoder), ``<unk>``, ``<s>``,
                     ``</s>`` at ids 0..2, the 256 byte tokens ``<0x00>`` ..
                     ``<0xFF>`` at ids 3..258 and ``byte_fallback`` on.

Two small files are made once and kept in ``tests/fixtures/generated`` for
the tests: ``sp-4k``, built as ``sp-32k`` with 4k tokens, and ``suffix-8k``,
word-suffix BPE with 8k tokens (every word's last piece carries "</w>";
BERT-style normalizer, pre-tokenizer and decoder; trained on the alphabetic
languages of the corpus), which stands in for a real file of that kind kept
outside the repository. The trainer may break ties otherwise from one run to
the next, so a rebuilt file can differ in details; the tests rely on its
kind, not on its tokens.

The bundled example ``examples/tokenizer.json`` (byte-level, 1,200 tokens)
is made by the same code from a small corpus of English sentences with some
phrases in other languages, and written with one vocabulary entry and one
merge per line: run this script with ``--example`` to regenerate it.

Training text
-------------
A synthetic multilingual corpus.  Each made-up "language" has a syllable
inventory in its own script (two Latin ones, one with diacritics; Cyrillic;
Greek; Hangul; CJK ideographs written without spaces) and a lexicon of words
built from those syllables; words are drawn with a Zipf-like law so that the
text has a few very frequent words and a long tail of rare ones, as real text
does.  Sentences get capitals, commas, quotes, brackets, numbers, dates and
decimals, and some lines are snippets of made-up source code.  The lexicon
and the number of lines grow with the target vocabulary size so that the
trainer has enough distinct material to reach it.

For ``sp-32k`` the character alphabet is limited to about 2,000 characters
(rarer ones are left to the byte tokens); the limit is placed where two
neighbouring characters of the frequency ranking have different counts,
because the trainer breaks ties at that cut in no fixed order.

Post-processing
---------------
The trainer's output is rewritten so that a strict reader accepts it: the
model's ``unk_token`` is always ``"<unk>"`` (a special token at id 0 of the
vocabulary; byte-level files usually carry null there, which the strict
reader refuses), ``fuse_unk``, ``byte_fallback`` and ``ignore_merges`` are
always present as booleans, and merges are two-element arrays (never the
older "a b" string form).  In the sentencepiece-style file the byte tokens
are plain vocabulary entries, not added tokens.
:func:`check_strict_format` enforces those rules on a written file and every
build also checks that ``tokenizers.Tokenizer.from_file`` loads the result.

Extra merges in ``bytelevel-128k``
----------------------------------
A trained BPE has about one merge per non-alphabet token, so a 128k
vocabulary has ~128k merges.  Real vocabularies often contain tokens that
more than one merge produces, and the benchmarks want a merge list longer
than the vocabulary, so after training this fixture gets extra merges
appended at the end of the list until it holds 210,000: for a token t and a
split t = a + b where both a and b are vocabulary entries and (a, b) is not
a merge yet, the merge (a, b) is an alternative way to build t.  The
candidate splits of all tokens are collected in vocabulary-id order, shuffled
with a fixed seed and taken in that order; the appended merges are then
sorted by the id of the token they build (ties by split position).  All of
them produce tokens that already exist, so the vocabulary is unchanged.
``bytelevel-256k`` keeps its merges exactly as trained (~256k of them).

Usage
-----
``python benchmarks/make_fixtures.py``            build all fixtures, print stats
``python benchmarks/make_fixtures.py NAME ...``   build only those
``python benchmarks/make_fixtures.py --force``    rebuild even if cached
``python benchmarks/make_fixtures.py --example``  regenerate examples/tokenizer.json
``python benchmarks/make_fixtures.py --test-fixtures``  regenerate tests/fixtures/generated

From code: ``from benchmarks.make_fixtures import fixture_path`` and
``fixture_path("bytelevel-128k")`` returns the path, building it on demand.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Iterable

REPO_ROOT = Path(__file__).resolve().parents[1]
CACHE_DIR = Path(__file__).resolve().parent / ".cache"
EXAMPLE_PATH = REPO_ROOT / "examples" / "tokenizer.json"

UNK = "<unk>"
SUFFIX = "</w>"
# Languages of SyntheticCorpus (by index) the suffix-style file is trained on.
SUFFIX_LANGUAGES = (0, 1, 2, 3)

if str(REPO_ROOT) not in sys.path:
    sys.path.append(str(REPO_ROOT))

# Re-exported: scripts and tests take the corpus from here.
from benchmarks.strict_format import StrictFormatError, check_consistent, check_strict_format  # noqa: E402,F401
from benchmarks.synthetic_text import SyntheticCorpus, example_lines  # noqa: E402,F401



# ---------------------------------------------------------------------------
# Training and post-processing
# ---------------------------------------------------------------------------


def _train_bytelevel(lines: Iterable[str], vocab_size: int, specials: list[str]) -> dict:
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, processors, trainers

    tok = Tokenizer(models.BPE(unk_token=UNK, fuse_unk=False, byte_fallback=False))
    tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    tok.decoder = decoders.ByteLevel()
    tok.post_processor = processors.ByteLevel(trim_offsets=False)
    trainer = trainers.BpeTrainer(
        vocab_size=vocab_size,
        min_frequency=0,
        special_tokens=specials,
        initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
        show_progress=False,
    )
    tok.train_from_iterator(lines, trainer)
    return json.loads(tok.to_str())


def _train_sentencepiece_style(lines: Iterable[str], vocab_size: int, limit_alphabet: int) -> dict:
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, processors, trainers

    specials = [UNK, "<s>", "</s>"]
    byte_tokens = [f"<0x{b:02X}>" for b in range(256)]
    tok = Tokenizer(models.BPE(unk_token=UNK, fuse_unk=True, byte_fallback=True))
    tok.pre_tokenizer = pre_tokenizers.Metaspace(replacement="▁", prepend_scheme="always", split=True)
    tok.decoder = decoders.Sequence(
        [decoders.ByteFallback(), decoders.Metaspace(replacement="▁", prepend_scheme="always")]
    )
    tok.post_processor = processors.TemplateProcessing(
        single="<s> $A", pair="<s> $A <s> $B", special_tokens=[("<s>", 1)]
    )
    # The byte tokens are given to the trainer as "special" only so that they
    # get ids 3..258; they are ordinary vocabulary entries afterwards.
    trainer = trainers.BpeTrainer(
        vocab_size=vocab_size,
        min_frequency=0,
        special_tokens=specials + byte_tokens,
        limit_alphabet=limit_alphabet,
        show_progress=False,
    )
    tok.train_from_iterator(lines, trainer)
    doc = json.loads(tok.to_str())
    doc["added_tokens"] = [t for t in doc["added_tokens"] if t["content"] in specials]
    return doc


def _train_word_suffix(lines: Iterable[str], vocab_size: int) -> dict:
    """Word-suffix BPE as BERT-style files use it: the last piece of a word
    carries "</w>", words are split at spaces and punctuation."""
    from tokenizers import Tokenizer, decoders, models, normalizers, pre_tokenizers, trainers

    tok = Tokenizer(models.BPE(unk_token=UNK, end_of_word_suffix=SUFFIX, fuse_unk=False, byte_fallback=False))
    tok.normalizer = normalizers.BertNormalizer(clean_text=True, handle_chinese_chars=True, strip_accents=None,
                                                lowercase=False)
    tok.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
    tok.decoder = decoders.BPEDecoder(suffix=SUFFIX)
    trainer = trainers.BpeTrainer(vocab_size=vocab_size, min_frequency=0,
                                  special_tokens=["<s>", "</s>", "<pad>", UNK, "<mask>"],
                                  end_of_word_suffix=SUFFIX, show_progress=False)
    tok.train_from_iterator(lines, trainer)
    return json.loads(tok.to_str())


def _make_strict(doc: dict, *, fuse_unk: bool, byte_fallback: bool) -> dict:
    """Rewrite a trained document into the form the strict reader accepts."""
    model = doc["model"]
    if model.get("type") != "BPE":
        raise ValueError("expected a BPE model")
    vocab = model["vocab"]
    if UNK not in vocab:
        raise ValueError(f"{UNK!r} missing from the vocabulary")
    if not any(t.get("content") == UNK for t in doc.get("added_tokens", [])):
        raise ValueError(f"{UNK!r} missing from added_tokens")
    merges = []
    for m in model["merges"]:
        if isinstance(m, str):  # "a b" form of older writers
            left, sep, right = m.partition(" ")
            if not sep:
                raise ValueError(f"cannot split merge {m!r}")
            m = [left, right]
        merges.append([m[0], m[1]])
    new_model = {
        "type": "BPE",
        "dropout": model.get("dropout"),
        "unk_token": UNK,
        "continuing_subword_prefix": model.get("continuing_subword_prefix"),
        "end_of_word_suffix": model.get("end_of_word_suffix"),
        "fuse_unk": bool(fuse_unk),
        "byte_fallback": bool(byte_fallback),
        "ignore_merges": bool(model.get("ignore_merges", False)),
        "vocab": vocab,
        "merges": merges,
    }
    out = {
        "version": str(doc.get("version", "1.0")),
        "truncation": doc.get("truncation"),
        "padding": doc.get("padding"),
        "added_tokens": list(doc.get("added_tokens", [])),
        "normalizer": doc.get("normalizer"),
        "pre_tokenizer": doc.get("pre_tokenizer"),
        "post_processor": doc.get("post_processor"),
        "decoder": doc.get("decoder"),
        "model": new_model,
    }
    return out


def _add_alternative_merges(doc: dict, target: int, seed: int) -> int:
    """Append merges (a, b) with a + b an existing token until ``target``.

    Returns the number of merges appended.  See the module docstring.
    """
    model = doc["model"]
    vocab: dict[str, int] = model["vocab"]
    merges: list[list[str]] = model["merges"]
    need = target - len(merges)
    if need <= 0:
        return 0
    special = {t["content"] for t in doc["added_tokens"]}
    existing = {(a, b) for a, b in merges}
    candidates: list[tuple[int, int, str, str]] = []
    for token, tid in sorted(vocab.items(), key=lambda kv: kv[1]):
        if token in special or len(token) < 3:
            continue
        for k in range(1, len(token)):
            a, b = token[:k], token[k:]
            if a in vocab and b in vocab and (a, b) not in existing:
                candidates.append((tid, k, a, b))
    if len(candidates) < need:
        raise RuntimeError(f"only {len(candidates)} alternative splits, {need} needed")
    random.Random(seed).shuffle(candidates)
    chosen = sorted(candidates[:need])
    merges.extend([a, b] for _, _, a, b in chosen)
    return need


# ---------------------------------------------------------------------------
# Writing and checking
# ---------------------------------------------------------------------------


def _dump_pretty(doc: dict) -> str:
    # Two-space indentation with every merge spread over four lines, the
    # layout of the files that training tools usually write.
    return json.dumps(doc, ensure_ascii=False, indent=2)


def _dump_compact(doc: dict) -> str:
    """One vocabulary entry and one merge per line: small and diff-friendly."""

    def enc(v: object) -> str:
        return json.dumps(v, ensure_ascii=False)

    lines = ["{"]
    items = list(doc.items())
    for i, (key, value) in enumerate(items):
        comma = "," if i + 1 < len(items) else ""
        if key != "model":
            lines.append(f"  {enc(key)}: {enc(value)}{comma}")
            continue
        lines.append(f'  "model": {{')
        mitems = list(value.items())
        for j, (mkey, mvalue) in enumerate(mitems):
            mcomma = "," if j + 1 < len(mitems) else ""
            if mkey == "vocab":
                body = ",\n".join(f"      {enc(t)}: {n}" for t, n in mvalue.items())
                lines.append(f'    "vocab": {{\n{body}\n    }}{mcomma}')
            elif mkey == "merges":
                body = ",\n".join(f"      [{enc(a)}, {enc(b)}]" for a, b in mvalue)
                lines.append(f'    "merges": [\n{body}\n    ]{mcomma}')
            else:
                lines.append(f"    {enc(mkey)}: {enc(mvalue)}{mcomma}")
        lines.append(f"  }}{comma}")
    lines.append("}")
    return "\n".join(lines) + "\n"


def _write_temp(path: Path, text: str) -> Path:
    """Write ``text`` to a new temporary file beside ``path``."""
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=path.name + ".", suffix=".tmp")
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
    except BaseException:
        os.unlink(tmp)
        raise
    return Path(tmp)


def _write_checked(path: Path, text: str) -> None:
    """Write, check and only then move into place, so that a reader never
    sees a partial or invalid file (also with concurrent builders)."""
    tmp = _write_temp(path, text)
    try:
        check_strict_format(tmp)
        check_consistent(tmp)
        os.replace(tmp, path)
    finally:
        if tmp.exists():
            tmp.unlink()


# ---------------------------------------------------------------------------
# Fixture registry
# ---------------------------------------------------------------------------


@dataclass(frozen=True)
class _Fixture:
    filename: str
    build: Callable[[], dict]


def _build_bytelevel(seed: int, vocab_size: int, lexicon: int, n_lines: int,
                     extra_merges_to: int = 0) -> Callable[[], dict]:
    def build() -> dict:
        corpus = SyntheticCorpus(seed, lexicon)
        doc = _train_bytelevel(corpus.lines(n_lines), vocab_size, [UNK, "<s>", "</s>", "<pad>"])
        doc = _make_strict(doc, fuse_unk=False, byte_fallback=False)
        if extra_merges_to:
            _add_alternative_merges(doc, extra_merges_to, seed)
        return doc

    return build


def _build_cut(source: str, size: int, outside: list[str]) -> Callable[[], dict]:
    """The first `size` ids of a trained fixture and the merges among them
    (training longer only appends), plus added tokens outside the vocabulary."""
    def build() -> dict:
        doc = json.loads(fixture_path(source).read_text(encoding="utf-8"))
        model = doc["model"]
        vocab = {token: i for token, i in model["vocab"].items() if i < size}
        model["vocab"] = vocab
        model["merges"] = [m for m in model["merges"] if m[0] in vocab and m[1] in vocab and m[0] + m[1] in vocab]
        doc["added_tokens"] = [t for t in doc["added_tokens"] if t["content"] in vocab] + [
            {"id": size + k, "content": content, "single_word": False, "lstrip": False, "rstrip": False,
             "normalized": False, "special": True}
            for k, content in enumerate(outside)]
        return doc

    return build


def _alphabet_limit(lines: list[str], about: int) -> int:
    """A character-alphabet limit near ``about`` that cuts the frequency
    ranking between two different counts.

    The trainer keeps the most frequent characters but breaks ties in an
    unspecified order, so a limit that falls inside a run of equal counts
    would make the output vary from run to run.  Spaces become the word
    prefix character, which is the most frequent one and always kept.
    """
    counts: dict[str, int] = {}
    for line in lines:
        for ch in line:
            counts[ch] = counts.get(ch, 0) + 1
    counts.pop(" ", None)
    ranked = sorted(counts.values(), reverse=True)
    if len(ranked) <= about:
        return len(ranked) + 1
    for delta in range(about):
        for k in (about - delta, about + delta):
            if 0 < k < len(ranked) and ranked[k - 1] > ranked[k]:
                return k + 1
    return len(ranked) + 1


def _build_sp(seed: int, vocab_size: int, lexicon: int, n_lines: int) -> Callable[[], dict]:
    def build() -> dict:
        corpus = SyntheticCorpus(seed, lexicon)
        lines = list(corpus.lines(n_lines))
        limit = _alphabet_limit(lines, 2000)
        doc = _train_sentencepiece_style(lines, vocab_size, limit_alphabet=limit)
        return _make_strict(doc, fuse_unk=True, byte_fallback=True)

    return build


def _build_suffix(seed: int, vocab_size: int, lexicon: int, n_lines: int) -> Callable[[], dict]:
    def build() -> dict:
        corpus = SyntheticCorpus(seed, lexicon)
        # The alphabetic scripts only: with a suffix form of every character
        # as well, ideographs would fill a small vocabulary.
        lines = [corpus.sentence(SUFFIX_LANGUAGES[index % len(SUFFIX_LANGUAGES)]) for index in range(n_lines)]
        return _make_strict(_train_word_suffix(lines, vocab_size), fuse_unk=False, byte_fallback=False)

    return build


def _build_example() -> dict:
    doc = _train_bytelevel(example_lines(), 1200, [UNK, "<s>", "</s>"])
    return _make_strict(doc, fuse_unk=False, byte_fallback=False)


FIXTURES: dict[str, _Fixture] = {
    "bytelevel-2k": _Fixture("bytelevel-2k.json", _build_bytelevel(11, 2000, 1500, 3000)),
    "bytelevel-128k": _Fixture(
        "bytelevel-128k.json", _build_bytelevel(128, 128000, 60000, 150000, extra_merges_to=210000)
    ),
    "bytelevel-256k": _Fixture("bytelevel-256k.json", _build_bytelevel(256, 256000, 120000, 300000)),
    "bytelevel-151k": _Fixture("bytelevel-151k.json", _build_cut(
        "bytelevel-256k", 151643,
        ["<|endoftext|>", "<|im_start|>", "<|im_end|>"] + [f"<|extra_{k}|>" for k in range(19)])),
    "sp-32k": _Fixture("sp-32k.json", _build_sp(32, 32000, 20000, 60000)),
}


# Made once and kept in the repository (xz-compressed), where tests read them:
# a kind of file none of the freely licensed real fixtures is. Regenerate
# with --test-fixtures after a change here.
TEST_FIXTURES_DIR = REPO_ROOT / "tests" / "fixtures" / "generated"
TEST_FIXTURES: dict[str, _Fixture] = {
    "suffix-8k": _Fixture("suffix-8k.array.json", _build_suffix(8, 8000, 6000, 24000)),
    "sp-4k": _Fixture("sp-4k.array.json", _build_sp(4, 4000, 3000, 8000)),
}


def build_test_fixtures() -> None:
    import lzma

    for name, fx in TEST_FIXTURES.items():
        start = time.perf_counter()
        path = TEST_FIXTURES_DIR / fx.filename
        _write_checked(path, _dump_pretty(fx.build()))
        stats = check_strict_format(path)
        packed = path.with_name(path.name + ".xz")
        packed.write_bytes(lzma.compress(path.read_bytes(), preset=9 | lzma.PRESET_EXTREME))
        path.unlink()
        print(f"{name:16} {stats['bytes']:>12,} bytes  vocab {stats['vocab']:>8,}  merges {stats['merges']:>8,}  "
              f"{time.perf_counter() - start:.1f}s -> {packed.relative_to(REPO_ROOT)}", flush=True)


def _canonical(name: str) -> str:
    key = name[:-5] if name.endswith(".json") else name
    if key not in FIXTURES:
        raise KeyError(f"unknown fixture {name!r}; known: {', '.join(FIXTURES)}")
    return key


def build_fixture(name: str, force: bool = False) -> tuple[Path, float]:
    """Build one fixture into the cache; returns (path, seconds spent)."""
    key = _canonical(name)
    fx = FIXTURES[key]
    path = CACHE_DIR / fx.filename
    if path.exists() and not force:
        return path, 0.0
    start = time.perf_counter()
    doc = fx.build()
    _write_checked(path, _dump_pretty(doc))
    return path, time.perf_counter() - start


def fixture_path(name: str) -> Path:
    """Path of the named fixture ("bytelevel-128k" or "bytelevel-128k.json"),
    building it first if it is not cached yet."""
    return build_fixture(name)[0]


def build_example(path: Path = EXAMPLE_PATH) -> tuple[Path, float]:
    start = time.perf_counter()
    _write_checked(path, _dump_compact(_build_example()))
    return path, time.perf_counter() - start


def _report(name: str, path: Path, seconds: float) -> None:
    stats = check_strict_format(path)
    took = f"{seconds:.1f}s" if seconds else "cached"
    print(f"{name:16} {stats['bytes']:>12,} bytes  vocab {stats['vocab']:>8,}  "
          f"merges {stats['merges']:>8,}  {took}", flush=True)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*", help=f"fixtures to build (default all: {', '.join(FIXTURES)})")
    parser.add_argument("--force", action="store_true", help="rebuild even if cached")
    parser.add_argument("--example", action="store_true", help="regenerate examples/tokenizer.json")
    parser.add_argument("--test-fixtures", action="store_true",
                        help=f"regenerate the files in {TEST_FIXTURES_DIR.relative_to(REPO_ROOT)}")
    args = parser.parse_args(argv)
    if args.test_fixtures:
        build_test_fixtures()
        if not args.names and not args.example:
            return 0
    if args.example:
        path, seconds = build_example()
        _report("example", path, seconds)
        if not args.names:
            return 0
    for name in args.names or list(FIXTURES):
        path, seconds = build_fixture(name, force=args.force)
        _report(_canonical(name), path, seconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
