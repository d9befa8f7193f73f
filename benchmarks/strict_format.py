"""Checks that a generated tokenizer file is in the strict layout the module reads, and that
the tokenizers runtime reads it consistently."""

from __future__ import annotations

import json
import os
from pathlib import Path

U32_MAX = 4294967295


class StrictFormatError(ValueError):
    pass


class _JsonObject(dict):
    """A parsed JSON object that remembers which keys occurred twice (the
    last occurrence wins, as in the reader's opaque sections)."""

    duplicates: frozenset = frozenset()


def _object_hook(pairs: list[tuple[str, object]]) -> _JsonObject:
    out = _JsonObject()
    dups = set()
    for k, v in pairs:
        if k in out:
            dups.add(k)
        out[k] = v
    out.duplicates = frozenset(dups)
    return out


_DOCUMENT_KEYS = frozenset({"version", "truncation", "padding", "added_tokens", "normalizer",
                            "pre_tokenizer", "post_processor", "decoder", "model"})
_MODEL_KEYS = frozenset({"type", "dropout", "unk_token", "continuing_subword_prefix",
                         "end_of_word_suffix", "fuse_unk", "byte_fallback", "ignore_merges",
                         "vocab", "merges"})


def _refuse_constant(name: str) -> object:
    raise StrictFormatError(f"non-standard JSON constant {name}")


def _is_int(v: object) -> bool:
    return isinstance(v, int) and not isinstance(v, bool)


def check_strict_format(path: str | os.PathLike) -> dict:
    """Check that ``path`` is a tokenizer.json the strict reader accepts.

    Raises :class:`StrictFormatError` (a ``ValueError``) naming the first
    problem found; returns ``{"vocab": n, "merges": n, "bytes": n}``.

    Rules: UTF-8 text without a byte-order mark holding one JSON object
    (only whitespace may follow; no known key twice in the document or
    model object); top-level "version" (string), "added_tokens" (array)
    and "model" (object) present; the optional sections, if present, may
    hold any JSON value, and unknown keys are ignored; model "type" is
    exactly "BPE"; "unk_token" is a string; "fuse_unk", "byte_fallback" and
    "ignore_merges" are booleans; "vocab" maps strings to integers in
    0..4294967295 (no fractions or exponents); "merges" is an array of
    two-string arrays; "dropout" is a number or null; the prefix and suffix
    are strings or null.
    """
    raw = Path(path).read_bytes()
    if raw.startswith(b"\xef\xbb\xbf"):
        raise StrictFormatError("byte-order mark before the document")
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        raise StrictFormatError(f"not UTF-8: {e}") from None
    try:
        doc = json.loads(text, object_pairs_hook=_object_hook, parse_constant=_refuse_constant)
    except json.JSONDecodeError as e:
        raise StrictFormatError(f"invalid JSON: {e}") from None

    if not isinstance(doc, dict):
        raise StrictFormatError("document is not an object")
    if doc.duplicates & _DOCUMENT_KEYS:
        raise StrictFormatError(f"duplicate field {sorted(doc.duplicates & _DOCUMENT_KEYS)[0]!r}")
    for key, kind in (("version", str), ("added_tokens", list), ("model", dict)):
        if key not in doc:
            raise StrictFormatError(f"missing field {key!r}")
        if not isinstance(doc[key], kind):
            raise StrictFormatError(f"{key!r} must be {kind.__name__}")

    model = doc["model"]
    if model.duplicates & _MODEL_KEYS:
        raise StrictFormatError(f"duplicate field model.{sorted(model.duplicates & _MODEL_KEYS)[0]}")
    for key in ("type", "unk_token", "fuse_unk", "byte_fallback", "ignore_merges", "vocab", "merges"):
        if key not in model:
            raise StrictFormatError(f"missing field model.{key}")
    if model.get("type") != "BPE":
        raise StrictFormatError(f"model type {model.get('type')!r} is not 'BPE'")
    if not isinstance(model.get("unk_token"), str):
        raise StrictFormatError("model.unk_token must be a string")
    for key in ("fuse_unk", "byte_fallback", "ignore_merges"):
        if not isinstance(model.get(key), bool):
            raise StrictFormatError(f"model.{key} must be a boolean")
    dropout = model.get("dropout")
    if dropout is not None and (isinstance(dropout, bool) or not isinstance(dropout, (int, float))):
        raise StrictFormatError("model.dropout must be a number or null")
    for key in ("continuing_subword_prefix", "end_of_word_suffix"):
        if model.get(key) is not None and not isinstance(model[key], str):
            raise StrictFormatError(f"model.{key} must be a string or null")

    vocab = model.get("vocab")
    if not isinstance(vocab, dict):
        raise StrictFormatError("model.vocab must be an object")
    for token, tid in vocab.items():
        if not _is_int(tid) or not 0 <= tid <= U32_MAX:
            raise StrictFormatError(f"bad id {tid!r} for token {token!r}")
    merges = model.get("merges")
    if not isinstance(merges, list):
        raise StrictFormatError("model.merges must be an array")
    for i, m in enumerate(merges):
        if not isinstance(m, list):
            raise StrictFormatError(f"merge {i} is not an array: {m!r}")
        if len(m) != 2:
            raise StrictFormatError(f"merge {i} must have exactly 2 elements")
        if not (isinstance(m[0], str) and isinstance(m[1], str)):
            raise StrictFormatError(f"merge {i} holds a non-string")
    return {"vocab": len(vocab), "merges": len(merges), "bytes": len(raw)}


def check_consistent(path: str | os.PathLike) -> None:
    """Extra sanity for generated files: ids unique, merge parts and results
    in the vocabulary, unknown token in the vocabulary and ``tokenizers``
    can load the file and round-trip some text."""
    doc = json.loads(Path(path).read_text(encoding="utf-8"))
    model = doc["model"]
    vocab = model["vocab"]
    if len(set(vocab.values())) != len(vocab):
        raise AssertionError("duplicate ids")
    if model["unk_token"] not in vocab:
        raise AssertionError("unk_token not in vocab")
    for a, b in model["merges"]:
        if a not in vocab or b not in vocab or a + b not in vocab:
            raise AssertionError(f"merge {[a, b]} refers to a missing token")

    from tokenizers import Tokenizer

    tok = Tokenizer.from_file(str(path))
    outside = {t["content"] for t in doc["added_tokens"]} - set(vocab)
    if tok.get_vocab_size(with_added_tokens=True) != len(vocab) + len(outside):
        raise AssertionError("tokenizers sees a different vocabulary size")
    if model["end_of_word_suffix"]:
        # Words are split at punctuation and decoded with a space after each,
        # so only the text without its spaces comes back.
        sample = "Hello world, 2024-05-17! Привет, мир. Καλημέρα."
        decoded = tok.decode(tok.encode(sample, add_special_tokens=False).ids)
        if decoded.replace(" ", "") != sample.replace(" ", ""):
            raise AssertionError(f"round trip failed: {decoded!r}")
        return
    sample = "Hello world, 2024-05-17! Привет, мир. Καλημέρα. 안녕하세요 你好世界"
    ids = tok.encode(sample, add_special_tokens=False).ids
    if tok.decode(ids).strip() != sample:
        raise AssertionError(f"round trip failed: {tok.decode(ids)!r}")
