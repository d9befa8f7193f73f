"""Counting a corpus as the model sees it, on several processes or a Dask cluster.

The core counts words: the pieces of text the BPE model receives, after the
file's added tokens, normalizer and pre-tokenizer, exactly as a tokenizer
runtime cuts them. This module only cuts the corpus into chunks (whole
lines, so that every line is counted once whatever the cut), hands each to
the core (the map step) and adds the tables up, in the core too (the reduce
step). The sum does not depend on how the corpus was cut or where it was
counted.

- ``count_words(editor, inputs)``: word counts of text files, of standard
  input (``"-"``), of FIFOs and of the pipes a shell's ``<(...)`` passes.
  Files are cut into chunks of ``chunk_bytes`` that each process reads by
  offset; a stream is read once, here, and its chunks handed on. Chunks go
  to ``jobs`` processes (default: one per CPU; a corpus of one chunk is
  counted in this process), or with ``scheduler`` to Dask: ``"local"`` runs
  Dask's local threaded scheduler (the core releases the interpreter lock
  while it counts), any other value is the address of a Dask cluster
  (``"tcp://host:8786"``), whose workers need vocarix installed and the
  files at the same paths. Dask is the optional extra ``vocarix[scale]``.
- ``token_counts(editor, counts)``: how often the model uses each token on
  those words (the counts pruning and fixed-size eviction rank by).

Corpora are UTF-8 text read line by line; a line break is "\\n" or "\\r\\n",
empty lines are skipped and a byte-order mark at the start of an input is
dropped. Inputs are read in blocks and checked as they are read: a NUL byte
or bytes that are not UTF-8 stop the count with a ValueError naming the
input and the byte, at the first chunk that holds them. A line longer than
a chunk is cut where no word spans the cut (line_cuts in the core), so
memory stays bounded by the chunk size whatever the line lengths, with the
counts of the whole line; only a pipeline that allows no such cut (no
pre-tokenizer: a line is one word) holds its longest line whole. An input
that cannot be read is an OSError naming it; one that holds nothing but
white space is a ValueError naming it.
"""

from __future__ import annotations

import contextlib
import importlib
import os
import queue
import signal
import threading
from typing import Any, Iterable, Iterator, Mapping, Optional, Sequence, Union

import vocarix

from vocarix_tools import _native
from vocarix_tools.file_writing import write_text
from vocarix_tools.corpus_inputs import NO_TEXT, Chunk, CorpusInput, StreamChunk, open_inputs
from vocarix_tools.loading import open_text

PathLike = Union[str, "os.PathLike[str]"]
Task = Union[Chunk, StreamChunk]

DASK_HINT = 'counting on Dask needs the scale extra: pip install "vocarix[scale]"'

# Chunks of this many bytes or more, so that a process's work outweighs its start.
DEFAULT_CHUNK_BYTES = 8 << 20
# Files counted on several processes are cut finer, down to this size.
BALANCED_CHUNK_BYTES = 1 << 20


class WordCounts:
    """Word -> count, added token -> count (the runtime hands those over
    whole), and how many non-empty lines were read. Counted by the core (the
    tables stay native until asked for) or read from count files."""

    def __init__(self, words: Optional[Mapping[str, int]] = None, added_tokens: Optional[Mapping[str, int]] = None,
                 lines: int = 0, table: Optional[_native.WordCountTable] = None) -> None:
        self._table = table
        self._words = dict(words) if words is not None else None
        self._added = dict(added_tokens) if added_tokens is not None else None
        self.lines = table.lines if table is not None else lines

    @property
    def words(self) -> dict[str, int]:
        if self._words is None:
            self._words = self._table.words() if self._table is not None else {}
        return self._words

    @property
    def added_tokens(self) -> dict[str, int]:
        if self._added is None:
            self._added = self._table.added_tokens() if self._table is not None else {}
        return self._added

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, WordCounts):
            return NotImplemented
        return (self.words, self.added_tokens, self.lines) == (other.words, other.added_tokens, other.lines)

    def __repr__(self) -> str:
        return f"WordCounts({len(self.words)} words, {len(self.added_tokens)} added tokens, {self.lines} lines)"

    def add(self, other: "WordCounts") -> None:
        for mine, theirs in ((self.words, other.words), (self.added_tokens, other.added_tokens)):
            for key, count in theirs.items():
                mine[key] = mine.get(key, 0) + count
        self._table = None
        self.lines += other.lines

    @property
    def total(self) -> int:
        """How many words were counted (the sum of the counts)."""
        return int(self._table.total) if self._table is not None else sum(self.words.values())

    @property
    def distinct(self) -> int:
        """How many different words were counted."""
        return int(self._table.distinct) if self._table is not None else len(self.words)

    @property
    def memory_bytes(self) -> int:
        """Bytes the counts take in the core (0 for counts read from files)."""
        return int(self._table.memory_bytes) if self._table is not None else 0

    def words_json(self, threads: int = 1) -> bytes:
        """The word counts as a JSON object in UTF-8, most used first: a
        word-count file, sorted and written on up to `threads` threads."""
        if self._table is not None:
            return self._table.words_json(threads)
        import json
        ordered = dict(sorted(self.words.items(), key=lambda item: (-item[1], item[0])))
        return (json.dumps(ordered, ensure_ascii=False, indent=0) + "\n").encode("utf-8")


    def write_words_json(self, path: PathLike, threads: int = 1) -> None:
        """Writes words_json(threads) to `path`, replacing the file only once
        it is complete; counts of the core go to the file without becoming
        one string in memory."""
        if self._table is not None:
            self._table.write_words_json(os.fspath(path), threads)
        else:
            write_text(path, self.words_json(threads))


class DaskMissing(ImportError):
    """Dask is not installed."""


def count_text(editor: vocarix.Vocarix, text: str) -> WordCounts:
    """The word counts of text in memory."""
    table = _native.WordCountTable(editor)
    table.count_bytes(text.encode("utf-8", "surrogatepass"), "the text")
    return WordCounts(table=table)


def check_counting(editor: vocarix.Vocarix) -> None:
    """ValueError naming the normalizer or pre-tokenizer (and what in it) that
    the core cannot apply as the runtime does."""
    _native.check_counting(editor)


def _tasks(inputs: list[CorpusInput], chunk_bytes: int, cuts: _native.LineCuts,
           finishing_bytes: int = 0) -> Iterator[Task]:
    """Every input's chunks: files by offset, streams read here. With
    `finishing_bytes`, the last that many bytes of the files are cut four
    times finer, so that processes sharing the chunks run out of work close
    together (a process that takes the last big chunk keeps the others
    waiting for it)."""
    remaining = sum(corpus_input.size for corpus_input in inputs if corpus_input.seekable)
    for corpus_input in inputs:
        if corpus_input.seekable:
            smaller_from = max(0, corpus_input.size - (finishing_bytes - (remaining - corpus_input.size)))
            yield from corpus_input.chunks(chunk_bytes, cuts, smaller_from=smaller_from if finishing_bytes else None,
                                           smaller_bytes=max(1, chunk_bytes // 4))
            remaining -= corpus_input.size
        else:
            yield from corpus_input.stream_chunks(chunk_bytes, cuts)


Tables = list[_native.WordCountTable]


def _count_task(tables: Tables, task: Task) -> bool:
    """The map step: counts one chunk into each table (one per tokenizer);
    returns whether it held anything but white space."""
    held = False
    if isinstance(task, StreamChunk):
        for table in tables:
            held = table.count_bytes(task.data, task.name, task.first_byte, task.continues_line)[1]
        return held
    fd = os.open(task.name, os.O_RDONLY)
    try:
        for table in tables:
            held = table.count_file(fd, task.name, task.start, task.end, True)[1]
    finally:
        os.close(fd)
    return held


class _Tally:
    """Which inputs held text, and the errors of chunks, by the chunk's place in the corpus."""

    def __init__(self, inputs: list[CorpusInput]) -> None:
        self.inputs = inputs
        self.held_text = [False] * len(inputs)
        self.errors: list[tuple[int, str]] = []

    def done(self, place: int, input_index: int, held_text: bool, error: Optional[str]) -> None:
        self.held_text[input_index] = self.held_text[input_index] or held_text
        if error is not None:
            self.errors.append((place, error))

    def check(self) -> None:
        if self.errors:
            raise ValueError(min(self.errors)[1])
        for corpus_input, held in zip(self.inputs, self.held_text):
            if not held:
                raise ValueError(f"{corpus_input.name}: {NO_TEXT}")


# --- in this process --------------------------------------------------------

def _count_here(editors: list[vocarix.Vocarix], inputs: list[CorpusInput], chunk_bytes: int,
                cuts: _native.LineCuts, tally: _Tally) -> Tables:
    tables = [_native.WordCountTable(editor) for editor in editors]
    for corpus_input in inputs:
        if corpus_input.seekable or len(tables) > 1:
            # A stream counted for several tokenizers is read once, a chunk at a time.
            for place, task in enumerate(_tasks([corpus_input], chunk_bytes, cuts)):
                tally.done(place, corpus_input.index, _count_task(tables, task), None)
        else:
            held = tables[0].count_file(corpus_input.fd, corpus_input.name, 0, None, False)[1]
            tally.done(0, corpus_input.index, held, None)
    return tables


# --- on processes: each counts chunks into one table, sent back at the end ---

_forked_editors: list[vocarix.Vocarix] = []


def _table_file() -> Optional[int]:
    """A file in memory for a forked worker's tables (None where there is none)."""
    if not hasattr(os, "memfd_create"):
        return None
    try:
        return os.memfd_create("vocarix-word-counts", os.MFD_CLOEXEC)
    except OSError:
        return None


@contextlib.contextmanager
def _mapped_tables(table_file: int, sizes: list[int], writable: bool) -> Iterator[list[memoryview]]:
    """A worker's file in memory mapped, as one view for each table's bytes
    (`sizes`, one after the other)."""
    import mmap

    if not sum(sizes):  # no tables: nothing to map (a map cannot be empty)
        yield []
        return
    with mmap.mmap(table_file, sum(sizes), access=mmap.ACCESS_WRITE if writable else mmap.ACCESS_READ) as mapped:
        whole = memoryview(mapped)
        views, start = [], 0
        for size in sizes:
            views.append(whole[start:start + size])
            start += size
        try:
            yield views
        finally:
            for view in views:
                view.release()
            whole.release()


def _hand_over(tables: Tables, worker: int, table_file: Optional[int]) -> tuple[str, int, Any]:
    """A worker's tables as the message that hands them to the parent: their
    bytes written straight into the worker's file in memory, which the
    parent maps (a queue would pickle them, pipe them and copy them twice
    more), or the bytes themselves without one."""
    if table_file is None:
        return ("tables", worker, [table.serialized() for table in tables])
    sizes = [table.serialized_size() for table in tables]
    os.ftruncate(table_file, sum(sizes))
    with _mapped_tables(table_file, sizes, writable=True) as views:
        for table, view in zip(tables, views):
            table.serialize_into(view)
    return ("tables", worker, sizes)


def _process_worker(documents: Optional[list[str]], tasks: Any, results: Any, stopped: Any, worker: int,
                    table_file: Optional[int]) -> None:
    # Ctrl-C is the parent's to handle: it stops the workers itself.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    editors = _forked_editors if documents is None else [open_text(document) for document in documents]
    tables = [_native.WordCountTable(editor) for editor in editors]
    while True:
        item = tasks.get()
        if item is None:
            # What is coming first, so that the parent makes room while the tables are written.
            results.put(("coming", [(table.distinct, table.serialized_size()) for table in tables]))
            results.put(_hand_over(tables, worker, table_file))
            return
        place, task = item
        if stopped.is_set():
            # A chunk before failed: the count ends with its error, the rest is not read.
            results.put(("done", place, task.input, False, None))
            continue
        try:
            results.put(("done", place, task.input, _count_task(tables, task), None))
        except (OSError, ValueError) as error:
            stopped.set()
            results.put(("done", place, task.input, False, str(error)))


def _add_tables(totals: Tables, table_file: Optional[int], payload: Any) -> None:
    """Adds the tables of a worker's hand-over: their bytes, or the sizes of
    the bytes it wrote to its file."""
    if table_file is None:
        for total, serialized in zip(totals, payload):
            total.add_serialized(serialized)
        return
    with _mapped_tables(table_file, payload, writable=False) as views:
        for total, view in zip(totals, views):
            total.add_serialized(view)


def _count_on_processes(editors: list[vocarix.Vocarix], inputs: list[CorpusInput], chunk_bytes: int,
                        cuts: _native.LineCuts, workers: int, tally: _Tally) -> Tables:
    """Chunks counted by `workers` processes. When every input is a file this
    process is one of them, and the others' tables are added to its own; a
    stream is read here and its chunks handed on, a few at a time."""
    import multiprocessing

    global _forked_editors
    # A forked worker finds the editors where the parent left them; a spawned one opens their JSON text.
    forking = "fork" in multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("fork") if forking else multiprocessing.get_context("spawn")
    documents = None if forking else [editor.to_json() for editor in editors]
    files_only = all(corpus_input.seekable for corpus_input in inputs)
    _forked_editors = editors
    tasks, results, stopped = context.Queue(), context.Queue(), context.Event()
    worker_count = workers - 1 if files_only else workers
    # A forked worker inherits a file of its own to write its tables to.
    table_files = [_table_file() if forking else None for _ in range(worker_count)]
    processes = [context.Process(target=_process_worker,
                                 args=(documents, tasks, results, stopped, worker, table_file), daemon=True)
                 for worker, table_file in enumerate(table_files)]
    totals = [_native.WordCountTable(editor) for editor in editors]
    if files_only:
        # This process counts as much as a worker, then takes in the workers' tables.
        for total in totals:
            total.expect_tables(len(processes) + 1)
    pending = {"done": 0, "tables": 0}

    def collect(wait: bool = True) -> bool:
        while True:
            try:
                message = results.get(timeout=0.5) if wait else results.get_nowait()
                break
            except queue.Empty:
                if not wait:
                    return False
                if any(p.exitcode not in (None, 0) for p in processes):
                    raise RuntimeError("a counting process ended without finishing its work") from None
        if message[0] == "tables":
            _add_tables(totals, table_files[message[1]], message[2])
            pending["tables"] += 1
        elif message[0] == "coming":
            for total, (words, size) in zip(totals, message[1]):
                total.make_room(words, size)
        else:
            tally.done(*message[1:])
            pending["done"] += 1
            if tally.errors:
                stopped.set()
        return True

    try:
        for process in processes:
            process.start()
        issued = 0
        ends_to_send = len(processes)
        if files_only:
            # File chunks are only offsets: all of them wait in the queue, then an end mark for each
            # process, this one too. A worker sends its table as soon as it meets its mark, while this
            # process may still count its share; each stops at the first mark it meets, so every
            # process meets one without waiting for a queue to stay empty.
            # The last two chunks' worth of each process is cut finer.
            for task in _tasks(inputs, chunk_bytes, cuts, finishing_bytes=2 * workers * chunk_bytes):
                tasks.put((issued, task))
                issued += 1
            for _ in range(len(processes) + 1):
                tasks.put(None)
            ends_to_send = 0
            while not tally.errors:
                try:
                    item = tasks.get(timeout=0.5)
                except queue.Empty:  # the marks are always there: only a slow queue gets here
                    if any(p.exitcode not in (None, 0) for p in processes):
                        raise RuntimeError("a counting process ended without finishing its work") from None
                    continue
                if item is None:
                    break
                place, task = item
                try:
                    tally.done(place, task.input, _count_task(totals, task), None)
                except (OSError, ValueError) as error:
                    tally.done(place, task.input, False, str(error))
                    stopped.set()
                pending["done"] += 1
                while collect(wait=False):
                    pass
        else:
            for task in _tasks(inputs, chunk_bytes, cuts):
                # Few chunks wait at a time: a stream's chunks are held in memory until counted.
                while issued - pending["done"] >= 2 * workers:
                    collect()
                if tally.errors:
                    break
                tasks.put((issued, task))
                issued += 1
        if tally.errors:
            # Chunks not yet taken are dropped (end marks too, sent again below); those being counted finish.
            while True:
                try:
                    item = tasks.get(timeout=0.1)
                except queue.Empty:
                    break
                if item is None:
                    ends_to_send += 1
                else:
                    issued -= 1
        while pending["done"] < issued:
            collect()
        for _ in range(ends_to_send):
            tasks.put(None)
        while pending["tables"] < len(processes):
            collect()
        for process in processes:
            process.join()
    finally:
        _forked_editors = []
        for process in processes:
            if process.is_alive():
                process.terminate()
        for table_file in table_files:
            if table_file is not None:
                os.close(table_file)
    return totals


# --- on Dask ----------------------------------------------------------------

def _optional_module(name: str) -> Any:
    """An optional dependency of the scale extra (untyped here)."""
    try:
        return importlib.import_module(name)
    except ImportError:
        raise DaskMissing(DASK_HINT) from None


_worker_editors: dict[int, vocarix.Vocarix] = {}
_worker_lock = threading.Lock()


def _editor_for(document: str) -> vocarix.Vocarix:
    key = hash(document)
    with _worker_lock:
        editor = _worker_editors.get(key)
        if editor is None:
            editor = _worker_editors[key] = open_text(document)
        return editor


DaskResult = tuple[int, int, bool, list[bytes], Optional[str]]


def _dask_task(editors: list[Any], place: int, task: Task) -> DaskResult:
    """The map step as a Dask task: (place, input, held text, serialized tables, error)."""
    tables = [_native.WordCountTable(editor if isinstance(editor, vocarix.Vocarix) else _editor_for(editor))
              for editor in editors]
    try:
        held = _count_task(tables, task)
    except (OSError, ValueError) as error:
        return place, task.input, False, [], str(error)
    return place, task.input, held, [table.serialized() for table in tables], None


def _batches(items: Iterable[Task], size: int) -> Iterator[list[tuple[int, Task]]]:
    batch: list[tuple[int, Task]] = []
    for place, item in enumerate(items):
        batch.append((place, item))
        if len(batch) == size:
            yield batch
            batch = []
    if batch:
        yield batch


def _count_on_dask(editors: list[vocarix.Vocarix], inputs: list[CorpusInput], chunk_bytes: int,
                   cuts: _native.LineCuts, scheduler: str, tally: _Tally) -> Tables:
    dask = _optional_module("dask")
    totals = [_native.WordCountTable(editor) for editor in editors]

    def take(result: DaskResult) -> None:
        place, input_index, held, serialized, error = result
        tally.done(place, input_index, held, error)
        for total, table in zip(totals, serialized):
            total.add_serialized(table)

    # Tasks go in batches, so that a stream's chunks are not all held at once.
    batch_size = 4 * (os.cpu_count() or 1)
    if scheduler == "local":
        for batch in _batches(_tasks(inputs, chunk_bytes, cuts), batch_size):
            for result in dask.compute(*[dask.delayed(_dask_task)(editors, p, t) for p, t in batch],
                                       scheduler="threads"):
                take(result)
            if tally.errors:  # the count ends with the first error: the rest is not read
                break
        return totals
    distributed = _optional_module("distributed")
    with distributed.Client(scheduler) as client:
        documents = [client.scatter(editor.to_json(), broadcast=True) for editor in editors]
        for batch in _batches(_tasks(inputs, chunk_bytes, cuts), batch_size):
            futures = [client.submit(_dask_task, documents, p, t, pure=False) for p, t in batch]
            for result in client.gather(futures):
                take(result)
            if tally.errors:
                break
    return totals


def count_words_for(editors: Sequence[vocarix.Vocarix], paths: Sequence[PathLike], *, jobs: Optional[int] = None,
                    scheduler: Optional[str] = None, chunk_bytes: int = DEFAULT_CHUNK_BYTES) -> list[WordCounts]:
    """The word counts of the inputs for each tokenizer, the inputs read once
    (a stream cannot be read twice)."""
    editors = list(editors)
    for editor in editors:
        check_counting(editor)
    # Where long lines may be cut: places that change the words of none of the tokenizers.
    cuts = _native.LineCuts(editors)
    inputs = open_inputs(list(paths))
    tally = _Tally(inputs)
    try:
        if scheduler is not None:
            tables = _count_on_dask(editors, inputs, chunk_bytes, cuts, scheduler, tally)
        else:
            streams = any(not corpus_input.seekable for corpus_input in inputs)
            file_chunks = sum(-(-corpus_input.size // max(1, chunk_bytes)) for corpus_input in inputs)
            workers = min(jobs or os.cpu_count() or 1, 1 << 20 if streams else file_chunks)
            if workers > 1:
                if not streams:
                    # Sixteen chunks or more for each process, so that they finish close together.
                    total = sum(corpus_input.size for corpus_input in inputs)
                    chunk_bytes = min(chunk_bytes, max(BALANCED_CHUNK_BYTES, -(-total // (16 * workers))))
                tables = _count_on_processes(editors, inputs, chunk_bytes, cuts, workers, tally)
            else:
                tables = _count_here(editors, inputs, chunk_bytes, cuts, tally)
    finally:
        for corpus_input in inputs:
            corpus_input.close()
    tally.check()
    return [WordCounts(table=table) for table in tables]


def count_words(editor: vocarix.Vocarix, paths: Sequence[PathLike], *, jobs: Optional[int] = None,
                scheduler: Optional[str] = None, chunk_bytes: int = DEFAULT_CHUNK_BYTES) -> WordCounts:
    """Word counts of the inputs, counted in chunks (see the module's doc)."""
    return count_words_for([editor], paths, jobs=jobs, scheduler=scheduler, chunk_bytes=chunk_bytes)[0]


def token_counts(editor: vocarix.Vocarix, counts: WordCounts) -> dict[str, int]:
    """Token -> how often the model uses it on the counted words, added tokens included."""
    tokens: dict[str, int] = _native.token_counts(editor, counts.words)
    for token, count in counts.added_tokens.items():
        tokens[token] = tokens.get(token, 0) + count
    return tokens


def tokens_for(editor: vocarix.Vocarix, counts: WordCounts) -> int:
    """How many tokens the model gives for the counted words and added tokens."""
    return int(_native.tokens_for_words(editor, counts.words)) + sum(counts.added_tokens.values())
