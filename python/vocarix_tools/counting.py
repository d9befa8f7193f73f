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

Word-count file
---------------
The same shape, keyed by words: the pieces of text the model receives one
at a time, after the file's normalizer and pre-tokenizer and in its own
alphabet (``"Ġthe"`` in a byte-level file, ``"▁the"`` after a Metaspace
pre-tokenizer, a whole line such as ``"▁the▁cat"`` in a "▁" file without
one). ``vocarix count-words`` writes them; ``vocarix_tools.corpus_counting``
counts them in the map step of any engine.

JSON Lines
----------
Either kind may instead hold one JSON array ``["key", count]`` per line,
as a map/reduce engine writes its output; a key listed on several lines
(shards written one after another) adds up, and empty lines are skipped::

    ["Ġthe", 18211]
    ["Ġof", 9120]
"""

from __future__ import annotations

import json
import os
from collections import Counter
from typing import Any, Iterable, Iterator, Mapping, Optional, Union

import vocarix

from vocarix_tools.corpus_inputs import text_lines
from vocarix_tools.file_writing import write_text

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
    """The lines of a UTF-8 text file (or "-", a FIFO, a pipe), without their
    line breaks ("\\n" or "\\r\\n"); empty lines skipped. Read and checked as
    every corpus is (corpus_inputs.text_lines): ValueError names the file and
    the byte of a NUL or of bytes that are not UTF-8."""
    return text_lines(path)


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
    """Writes a count file (a JSON object), most used first."""
    ordered = dict(sorted(counts.items(), key=lambda item: (-item[1], item[0])))
    write_text(path, json.dumps(ordered, ensure_ascii=False, indent=0) + "\n")


# Counts are 64-bit in the core, as are the sums of counts of several files.
MAX_COUNT = 2**64 - 1


def _shown_key(key: str) -> str:
    return json.dumps(key, ensure_ascii=not _is_text(key))


def _is_text(key: str) -> bool:
    try:
        key.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _count_problem(path: str, key: object, count: object, kind: str) -> Optional[str]:
    if not isinstance(key, str):
        return f"{path}: a {kind}-count file is keyed by strings, not {json.dumps(key)}"
    if not _is_text(key):
        return f"{path}: the key {_shown_key(key)} is no text (a lone surrogate escape)"
    if isinstance(count, bool) or not isinstance(count, int) or count < 0:
        return f"{path}: the count of {_shown_key(key)} is {json.dumps(count)}, not a whole number >= 0"
    if count > MAX_COUNT:
        return f"{path}: the count of {_shown_key(key)} is {count}, more than the largest count {MAX_COUNT}"
    return None


def add_counts(total: dict[str, int], part: Mapping[str, int], path: str) -> None:
    """Adds the counts of the file `path` to `total`; ValueError naming the
    file where a sum would pass the largest count."""
    for key, count in part.items():
        summed = total.get(key, 0) + count
        if summed > MAX_COUNT:
            raise ValueError(f"{path}: the count of {_shown_key(key)} brings its sum over the files to {summed}, "
                             f"more than the largest count {MAX_COUNT}")
        total[key] = summed


def _json_value(text: str, where: str, what: str) -> Any:
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        raise ValueError(f"{where}: {what}: {error}") from None
    except RecursionError:
        raise ValueError(f"{where}: {what}: its values nest too deeply") from None


def _read_json_lines(text: str, path: str, kind: str) -> dict[str, int]:
    counts: dict[str, int] = {}
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        item = _json_value(line, f"{path}:{number}", f"not a JSON line of a {kind}-count file")
        if not isinstance(item, list) or len(item) != 2:
            raise ValueError(f"{path}:{number}: a {kind}-count file is a JSON object of {kind} -> count, "
                             f"or one [\"{kind}\", count] per line; not {line.strip()[:60]}")
        problem = _count_problem(f"{path}:{number}", item[0], item[1], kind)
        if problem:
            raise ValueError(problem)
        add_counts(counts, {item[0]: item[1]}, f"{path}:{number}")
    return counts


def read_counts(path: Union[str, "os.PathLike[str]"], kind: str = "token") -> dict[str, int]:
    """Reads a token-count (or with kind="word", word-count) file, a JSON
    object or JSON Lines; ValueError names what is wrong with it (and the line)."""
    name = os.fspath(path)
    with open(path, encoding="utf-8") as handle:
        try:
            text = handle.read()
        except UnicodeDecodeError as error:
            raise ValueError(f"{name}: not a {kind}-count file: not UTF-8 text (byte {error.start})") from None
    if not text.lstrip().startswith("{"):
        if not text.strip():
            raise ValueError(f"{name}: the {kind}-count file is empty")
        return _read_json_lines(text, name, kind)
    data = _json_value(text, name, f"not a {kind}-count file")
    if not isinstance(data, dict):
        raise ValueError(f"{name}: a {kind}-count file is a JSON object of {kind} -> count")
    for key, count in data.items():
        problem = _count_problem(name, key, count, kind)
        if problem:
            raise ValueError(problem)
    counts: dict[str, int] = data
    return counts
