"""How often a tokenizer uses each token on a corpus.

Counting encodes the text with the ``tokenizers`` runtime, the program that
will read the file, so the counts are exactly what the model sees. The
runtime is an optional extra: ``pip install "vocarix[runtime]"``.

Token-count file
----------------
A UTF-8 JSON object whose keys are tokens exactly as the vocabulary writes
them (``"Ġthe"``, ``"▁the"``, ``"<0x0A>"``) and whose values are whole
numbers >= 0: how many times the runtime produced each token. Tokens left
out count 0; keys that are no vocabulary entry are ignored. Files of
shards add up with ``merge_counts``::

    {"Ġthe": 18211, "Ġof": 9120, "ing": 4410}

``count_file`` is the map step of a sharded count (one shard per worker or
cluster task), ``merge_counts`` the reduce step.
"""

from __future__ import annotations

import json
import os
from collections import Counter
from typing import Any, Iterable, Iterator, Mapping, Union

import vocarix

RUNTIME_HINT = 'counting token usage needs the tokenizers runtime: pip install "vocarix[runtime]"'

TokenizerSource = Union[str, "os.PathLike[str]", vocarix.Vocarix]


class RuntimeMissing(ImportError):
    """The ``tokenizers`` runtime is not installed."""


def load_runtime(tokenizer: TokenizerSource) -> Any:
    """A runtime tokenizer for a path or an open editor."""
    try:
        import tokenizers
    except ImportError:
        raise RuntimeMissing(RUNTIME_HINT) from None
    if isinstance(tokenizer, vocarix.Vocarix):
        return tokenizers.Tokenizer.from_str(tokenizer.to_json())
    return tokenizers.Tokenizer.from_file(os.fspath(tokenizer))


def _batches(texts: Iterable[str], size: int) -> Iterator[list[str]]:
    batch: list[str] = []
    for text in texts:
        batch.append(text)
        if len(batch) == size:
            yield batch
            batch = []
    if batch:
        yield batch


def count_tokens(tokenizer: Any, texts: Iterable[str], batch_size: int = 1024) -> Counter[str]:
    """Token -> times the runtime produced it, encoding each text without
    special tokens (the runtime encodes a batch on all its threads).
    `tokenizer` is a path, an open editor or a runtime tokenizer."""
    runtime = load_runtime(tokenizer) if isinstance(tokenizer, (str, os.PathLike, vocarix.Vocarix)) else tokenizer
    counts: Counter[str] = Counter()
    for batch in _batches(texts, batch_size):
        for encoding in runtime.encode_batch(batch, add_special_tokens=False):
            counts.update(encoding.tokens)
    return counts


def read_lines(path: Union[str, "os.PathLike[str]"]) -> Iterator[str]:
    """The lines of a UTF-8 text file, without their line breaks; empty lines skipped."""
    with open(path, encoding="utf-8", errors="strict") as handle:
        for line in handle:
            line = line.rstrip("\r\n")
            if line:
                yield line


def count_file(tokenizer_path: Union[str, "os.PathLike[str]"], text_path: Union[str, "os.PathLike[str]"]) -> dict[str, int]:
    """Counts of one text file, line by line: the map step of a sharded count."""
    return dict(count_tokens(tokenizer_path, read_lines(text_path)))


def merge_counts(parts: Iterable[Mapping[str, int]]) -> Counter[str]:
    """The reduce step: counts of several shards added up."""
    total: Counter[str] = Counter()
    for part in parts:
        total.update(part)
    return total


def write_counts(counts: Mapping[str, int], path: Union[str, "os.PathLike[str]"]) -> None:
    """Writes a token-count file, most used first."""
    ordered = dict(sorted(counts.items(), key=lambda item: (-item[1], item[0])))
    with open(path, "w", encoding="utf-8") as handle:
        json.dump(ordered, handle, ensure_ascii=False, indent=0)
        handle.write("\n")


def read_counts(path: Union[str, "os.PathLike[str]"]) -> dict[str, int]:
    """Reads a token-count file; ValueError names what is wrong with it."""
    with open(path, encoding="utf-8") as handle:
        try:
            data = json.load(handle)
        except json.JSONDecodeError as error:
            raise ValueError(f"{os.fspath(path)}: not a token-count file: {error}") from None
    if not isinstance(data, dict):
        raise ValueError(f"{os.fspath(path)}: a token-count file is a JSON object of token -> count")
    for token, count in data.items():
        if isinstance(count, bool) or not isinstance(count, int) or count < 0:
            raise ValueError(f"{os.fspath(path)}: the count of {json.dumps(token, ensure_ascii=False)} "
                             f"is {json.dumps(count)}, not a whole number >= 0")
    counts: dict[str, int] = data
    return counts
