"""Counting a corpus as the model sees it, on several processes or a Dask cluster.

The core counts words: the pieces of text the BPE model receives, after the
file's added tokens, normalizer and pre-tokenizer, exactly as a tokenizer
runtime cuts them. This module only cuts the corpus into chunks (whole
lines, so that every line is counted once whatever the cut), hands each to
the core (the map step) and adds the tables up (the reduce step). The sum
does not depend on how the corpus was cut or where it was counted.

- ``count_words(editor, paths)``: word counts of text files. The files are
  cut into chunks of ``chunk_bytes``; chunks go to ``jobs`` processes
  (default: one per CPU; a corpus of one chunk is counted in this process),
  or with ``scheduler`` to Dask: ``"local"`` runs Dask's local threaded
  scheduler (the core releases the interpreter lock while it counts),
  any other value is the address of a Dask cluster (``"tcp://host:8786"``),
  whose workers need vocarix installed and the files at the same paths.
  Dask is the optional extra ``vocarix[scale]``.
- ``token_counts(editor, counts)``: how often the model uses each token on
  those words (the counts pruning and fixed-size eviction rank by).

Corpus files are UTF-8 text read line by line; a line break is "\\n" or
"\\r\\n", empty lines are skipped and a byte-order mark at the start of a
file is dropped. A NUL byte or bytes that are not UTF-8 stop the count with
a ValueError naming the file and the byte.
"""

from __future__ import annotations

import importlib
import os
import threading
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass, field
from typing import Any, Iterable, Optional, Sequence, Union

import vocarix

from vocarix_tools import _native
from vocarix_tools.loading import open_text

PathLike = Union[str, "os.PathLike[str]"]

DASK_HINT = 'counting on Dask needs the scale extra: pip install "vocarix[scale]"'

# Chunks of this many bytes or more, so that a process's work outweighs its start.
DEFAULT_CHUNK_BYTES = 8 << 20
BOM = b"\xef\xbb\xbf"


@dataclass
class WordCounts:
    """Word -> count, added token -> count (the runtime hands those over
    whole), and how many non-empty lines were read."""

    words: dict[str, int] = field(default_factory=dict)
    added_tokens: dict[str, int] = field(default_factory=dict)
    lines: int = 0

    def add(self, other: "WordCounts") -> None:
        for mine, theirs in ((self.words, other.words), (self.added_tokens, other.added_tokens)):
            for key, count in theirs.items():
                mine[key] = mine.get(key, 0) + count
        self.lines += other.lines


@dataclass(frozen=True)
class Chunk:
    path: str
    start: int
    end: int


class DaskMissing(ImportError):
    """Dask is not installed."""


def chunks_of(paths: Sequence[PathLike], chunk_bytes: int = DEFAULT_CHUNK_BYTES) -> list[Chunk]:
    """The files cut into chunks of about `chunk_bytes`, each ending after a
    line break (or at the end of its file). OSError for a file that cannot be read."""
    out: list[Chunk] = []
    for path in paths:
        name = os.fspath(path)
        if os.path.isdir(name):
            raise IsADirectoryError(21, "it is a directory", name)
        with open(name, "rb") as handle:
            size = os.fstat(handle.fileno()).st_size
            start = 0
            while start < size:
                handle.seek(min(start + max(1, chunk_bytes), size))
                handle.readline()
                end = min(handle.tell(), size)
                out.append(Chunk(name, start, end))
                start = end
    return out


def _read(chunk: Chunk) -> tuple[bytes, int]:
    """The chunk's bytes and where they start in the file, a leading byte-order mark dropped."""
    with open(chunk.path, "rb") as handle:
        handle.seek(chunk.start)
        data = handle.read(chunk.end - chunk.start)
    if chunk.start == 0 and data.startswith(BOM):
        return data[len(BOM):], len(BOM)
    return data, chunk.start


def count_chunk(editor: vocarix.Vocarix, chunk: Chunk) -> WordCounts:
    """The map step: the word counts of one chunk, by the core."""
    data, first = _read(chunk)
    try:
        words, added, lines = _native.count_words(editor, data, first)
    except ValueError as error:
        raise ValueError(f"{chunk.path}: {error}") from None
    return WordCounts(words, added, lines)


def count_text(editor: vocarix.Vocarix, text: str) -> WordCounts:
    """The word counts of text in memory."""
    words, added, lines = _native.count_words(editor, text.encode("utf-8", "surrogatepass"))
    return WordCounts(words, added, lines)


# --- workers: each process (or Dask worker) opens the tokenizer once ---------

_worker_editors: dict[int, vocarix.Vocarix] = {}
_worker_lock = threading.Lock()
_forked_editor: Optional[vocarix.Vocarix] = None


def _editor_for(document: str) -> vocarix.Vocarix:
    key = hash(document)
    with _worker_lock:
        editor = _worker_editors.get(key)
        if editor is None:
            editor = _worker_editors[key] = open_text(document)
        return editor


def count_document_chunk(document: str, chunk: Chunk) -> WordCounts:
    """The map step where the tokenizer travels as its JSON text (a Dask task)."""
    return count_chunk(_editor_for(document), chunk)


def _start_worker(document: Optional[str]) -> None:
    if document is not None:
        _editor_for(document)


def _count_in_worker(document: Optional[str], chunk: Chunk) -> WordCounts:
    editor = _forked_editor if document is None else _editor_for(document)
    assert editor is not None
    return count_chunk(editor, chunk)


def _count_on_processes(editor: vocarix.Vocarix, chunks: list[Chunk], jobs: int) -> Iterable[WordCounts]:
    import multiprocessing

    global _forked_editor
    # A forked worker finds the editor where the parent left it; a spawned one opens its JSON text.
    forking = "fork" in multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("fork" if forking else "spawn")
    document = None if forking else editor.to_json()
    _forked_editor = editor
    try:
        with ProcessPoolExecutor(max_workers=jobs, mp_context=context, initializer=_start_worker,
                                 initargs=(document,)) as pool:
            return list(pool.map(_count_in_worker, [document] * len(chunks), chunks))
    finally:
        _forked_editor = None


def _optional_module(name: str) -> Any:
    """An optional dependency of the scale extra (untyped here)."""
    try:
        return importlib.import_module(name)
    except ImportError:
        raise DaskMissing(DASK_HINT) from None


def _count_on_dask(editor: vocarix.Vocarix, chunks: list[Chunk], scheduler: str) -> Iterable[WordCounts]:
    dask = _optional_module("dask")
    if scheduler == "local":
        tasks = [dask.delayed(count_chunk)(editor, chunk) for chunk in chunks]
        return list(dask.compute(*tasks, scheduler="threads"))
    distributed = _optional_module("distributed")
    with distributed.Client(scheduler) as client:
        document = client.scatter(editor.to_json(), broadcast=True)
        futures = client.map(count_document_chunk, [document] * len(chunks), chunks, pure=False)
        return list(client.gather(futures))


def check_counting(editor: vocarix.Vocarix) -> None:
    """ValueError naming the normalizer or pre-tokenizer (and what in it) that
    the core cannot apply as the runtime does."""
    _native.check_counting(editor)


def count_words(editor: vocarix.Vocarix, paths: Sequence[PathLike], *, jobs: Optional[int] = None,
                scheduler: Optional[str] = None, chunk_bytes: int = DEFAULT_CHUNK_BYTES) -> WordCounts:
    """Word counts of the files, counted in chunks (see the module's doc)."""
    check_counting(editor)
    chunks = chunks_of(paths, chunk_bytes)
    if scheduler is not None:
        parts = _count_on_dask(editor, chunks, scheduler)
    else:
        workers = min(jobs or os.cpu_count() or 1, len(chunks))
        parts = _count_on_processes(editor, chunks, workers) if workers > 1 else (
            count_chunk(editor, chunk) for chunk in chunks)
    total = WordCounts()
    for part in parts:
        total.add(part)
    return total


def token_counts(editor: vocarix.Vocarix, counts: WordCounts) -> dict[str, int]:
    """Token -> how often the model uses it on the counted words, added tokens included."""
    tokens: dict[str, int] = _native.token_counts(editor, counts.words)
    for token, count in counts.added_tokens.items():
        tokens[token] = tokens.get(token, 0) + count
    return tokens


def tokens_for(editor: vocarix.Vocarix, counts: WordCounts) -> int:
    """How many tokens the model gives for the counted words and added tokens."""
    return int(_native.tokens_for_words(editor, counts.words)) + sum(counts.added_tokens.values())


def describe_scheduler(scheduler: Optional[str], jobs: Optional[int], chunks: int) -> str:
    """For people: where the counting ran."""
    if scheduler == "local":
        return "Dask's local scheduler"
    if scheduler is not None:
        return f"the Dask cluster at {scheduler}"
    workers = min(jobs or os.cpu_count() or 1, chunks)
    return f"{workers} processes" if workers > 1 else "one process"

