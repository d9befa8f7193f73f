"""Real tokenizer files for the tests and benchmarks, and what stands in for
the ones the repository cannot hold.

Small real files whose licences allow it are kept in ``tests/fixtures/real``
(see its SOURCES.md), the larger ones compressed with xz. Four real files
come with terms of their own and stay outside the repository, in the folder
``$VOCARIX_REAL_FIXTURES`` (default ``../shared/fixtures/real`` beside the
checkout). Where that folder is absent, each of them is replaced by a stand-in
of the same kind, so a fresh clone runs every test:

- ``llama-tiny-random.array.json`` (a ▁-style file with byte fallback) by the
  in-repository ``bora-ko-32k.array.json``, the same kind of file;
- ``llama-tiny-random.string.json`` and ``chatglm3-zh.string.json`` (▁-style,
  merges written as "a b" strings) by ``bora-ko-32k.altered.string.json``,
  made from ``bora-ko-32k`` with its merges as strings, tokens holding
  control characters and U+2028 (written as escapes and raw, as ChatGLM3's
  file does) and nine added tokens outside the vocabulary;
- ``herbert-pl-eow.array.json`` (word-suffix BPE) by ``suffix-8k.array.json``,
  trained by ``benchmarks/make_fixtures.py`` (``--test-fixtures``) with an
  end-of-word suffix "</w>" and kept in ``tests/fixtures/generated``.

Use :func:`fixture_names` for the names a test runs on (outside files where
they are present, their stand-ins otherwise) and :func:`fixture_file` for a
readable path (compressed files are unpacked once per process).
"""

from __future__ import annotations

import atexit
import json
import lzma
import os
import shutil
import tempfile
from pathlib import Path
from typing import Callable

REPO = Path(__file__).resolve().parents[1]
IN_REPO_DIR = REPO / "tests" / "fixtures" / "real"
GENERATED_DIR = REPO / "tests" / "fixtures" / "generated"
OUTSIDE_DIR = Path(os.environ.get("VOCARIX_REAL_FIXTURES", REPO.parent / "shared" / "fixtures" / "real"))

IN_REPO = [
    "added-tokens-merges-object.json",
    "bora-ko-32k.array.json",
    "minimind-zh-6k.array.json",
    "phi2-codegen.string.json",
    "roberta-base-notype.string.json",
    "tiny-random-gpt2.string.json",
    "tinylm-en-8k.array.json",
]
ALTERED_BORA = "bora-ko-32k.altered.string.json"
SUFFIX_STAND_IN = "suffix-8k.array.json"
# Outside file -> the file that stands in for it where the outside folder is absent.
STAND_INS = {
    "llama-tiny-random.array.json": "bora-ko-32k.array.json",
    "llama-tiny-random.string.json": ALTERED_BORA,
    "chatglm3-zh.string.json": ALTERED_BORA,
    "herbert-pl-eow.array.json": SUFFIX_STAND_IN,
}
OUTSIDE = list(STAND_INS)


class FixtureMissing(LookupError):
    """A file that is neither in the repository nor outside it."""


def outside_available() -> bool:
    return all((OUTSIDE_DIR / name).is_file() for name in OUTSIDE)


def fixture_names(*names: str) -> list[str]:
    """``names``, each outside file that is absent replaced by its stand-in,
    without repeats (a stand-in may already be in the list)."""
    chosen: list[str] = []
    for name in names:
        if name in STAND_INS and not (OUTSIDE_DIR / name).is_file():
            name = STAND_INS[name]
        if name not in chosen:
            chosen.append(name)
    return chosen


def all_real_names() -> list[str]:
    """Every real file the tests can read here, stand-ins for absent outside ones."""
    return fixture_names(*sorted(IN_REPO + OUTSIDE))


_unpacked: Path | None = None


def _scratch() -> Path:
    global _unpacked
    if _unpacked is None:
        _unpacked = Path(tempfile.mkdtemp(prefix="vocarix-fixtures-"))
        atexit.register(shutil.rmtree, _unpacked, True)
    return _unpacked


def _stored(folder: Path, name: str) -> Path | None:
    """`name` in `folder` as a readable file, unpacked from `name`.xz if need be."""
    plain = folder / name
    if plain.is_file():
        return plain
    packed = folder / (name + ".xz")
    if not packed.is_file():
        return None
    target = _scratch() / name
    if not target.exists():
        partial = target.with_suffix(".partial")
        partial.write_bytes(lzma.decompress(packed.read_bytes()))
        partial.replace(target)
    return target


def _altered_bora(target: Path) -> None:
    doc = json.loads(fixture_file("bora-ko-32k.array.json").read_text(encoding="utf-8"))
    model = doc["model"]
    vocab = model["vocab"]
    for token in ["\b", "\f", "\r", "\x07", "\x06", "\x1b", "▁\u2028"]:
        vocab[token] = len(vocab)
    model["merges"] = [f"{left} {right}" for left, right in model["merges"]]
    del model["ignore_merges"]
    extra = ["[MASK]", "[gMASK]", "[sMASK]", "sop", "eop", "<|system|>", "<|user|>", "<|assistant|>",
             "<|observation|>"]
    doc["added_tokens"] += [
        {"id": len(vocab) + k, "content": content, "single_word": False, "lstrip": False, "rstrip": False,
         "normalized": False, "special": True}
        for k, content in enumerate(extra)]
    target.write_text(json.dumps(doc, ensure_ascii=False, indent=2), encoding="utf-8")


_MADE: dict[str, Callable[[Path], None]] = {ALTERED_BORA: _altered_bora}


def fixture_file(name: str) -> Path:
    """A readable path of the real file or stand-in `name`; FixtureMissing if
    it is an outside file and the outside folder does not hold it."""
    for folder in (IN_REPO_DIR, GENERATED_DIR):
        found = _stored(folder, name)
        if found is not None:
            return found
    if name in _MADE:
        target = _scratch() / name
        if not target.exists():
            _MADE[name](target)
        return target
    outside = OUTSIDE_DIR / name
    if outside.is_file():
        return outside
    raise FixtureMissing(f"real fixture {name} not available: it is kept outside the repository; "
                         f"set VOCARIX_REAL_FIXTURES to the folder that holds it")
