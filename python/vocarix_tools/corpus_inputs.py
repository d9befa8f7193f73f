"""The inputs of a corpus count: files, standard input ("-"), FIFOs and the
pipes a shell's ``<(...)`` passes (``/dev/fd/N``).

A file is counted in chunks of whole lines, each read by offset where it is
counted; a stream can only be read once, from its start, so the process
that opens it reads it and hands its chunks on. A line longer than a chunk
is cut where the tokenizers' pipelines allow (``_native.LineCuts``), so
that a chunk's rest of a line is counted as the middle of that line.
Opening a FIFO waits for a program to open it for writing; after a second
of waiting a line on standard error says what the count waits for.
"""

from __future__ import annotations

import os
import stat
import sys
import threading
from dataclasses import dataclass
from typing import Callable, Iterator, Optional, Union

from vocarix_tools import _native

PathLike = Union[str, "os.PathLike[str]"]

STDIN = "-"
NO_TEXT = "holds no text (nothing but white space and line breaks)"


@dataclass(frozen=True)
class Chunk:
    """Whole lines of a file, from byte `start` to byte `end` (either may be
    a place where a long line is cut)."""

    input: int  # index of the input among those of the count
    name: str
    start: int
    end: int


@dataclass(frozen=True)
class StreamChunk:
    """Whole lines read from a stream (or the head of a long line), and where
    they start in it; `continues_line` when they start with the rest of a cut line."""

    input: int
    name: str
    data: bytes
    first_byte: int
    continues_line: bool = False


class CorpusInput:
    """One input, opened for reading: `fd` stays open until close()."""

    def __init__(self, index: int, name: str, fd: int, seekable: bool, size: int, owned: bool) -> None:
        self.index = index
        self.name = name
        self.fd = fd
        self.seekable = seekable
        self.size = size
        self._owned = owned

    def close(self) -> None:
        if self._owned:
            os.close(self.fd)
            self._owned = False

    def chunks(self, chunk_bytes: int, cuts: Optional[_native.LineCuts] = None, *,
               smaller_from: Optional[int] = None, smaller_bytes: int = 0) -> Iterator[Chunk]:
        """A file's chunks of about `chunk_bytes` (`smaller_bytes` from the
        byte `smaller_from` on), each ending after a line break, at a place
        where `cuts` allows a long line to be cut, or at the end."""
        start = 0
        while start < self.size:
            size = smaller_bytes if smaller_from is not None and start >= smaller_from else chunk_bytes
            cut = start + max(1, size)
            end = self.size if cut >= self.size else min(_native.chunk_end_after(self.fd, self.name, cut, cuts),
                                                          self.size)
            yield Chunk(self.index, self.name, start, end)
            start = end

    def stream_chunks(self, chunk_bytes: int, cuts: Optional[_native.LineCuts] = None) -> Iterator[StreamChunk]:
        """A stream's runs of whole lines (long lines cut where `cuts` allows),
        read here, each checked as it is read."""
        stream = _native.CorpusStream(self.fd, self.name, cuts)
        while True:
            run = stream.next(chunk_bytes)
            if run is None:
                return
            yield StreamChunk(self.index, self.name, run[0], run[1], run[2])


def tell_waiting(message: str) -> None:
    print(f"vocarix: {message}", file=sys.stderr, flush=True)


def _open_waiting(path: str, on_wait: Callable[[str], None]) -> int:
    """Opens a FIFO, which blocks until a program opens it for writing; says so after a second."""
    opened = threading.Event()

    def watch() -> None:
        if not opened.wait(1.0):
            on_wait(f"waiting for a program to write to the FIFO {path} (Ctrl-C stops)")

    threading.Thread(target=watch, daemon=True).start()
    try:
        return os.open(path, os.O_RDONLY)
    finally:
        opened.set()


def open_input(index: int, path: PathLike, on_wait: Callable[[str], None] = tell_waiting) -> CorpusInput:
    """Opens one input; OSError names it when it cannot be read."""
    name = os.fspath(path)
    if name == STDIN:
        if sys.stdin is None:
            raise OSError(9, "standard input is closed", STDIN)
        fd = sys.stdin.fileno()
        if os.isatty(fd):
            on_wait("reading the corpus from standard input; end it with Ctrl-D")
        return CorpusInput(index, "standard input", fd, False, 0, owned=False)
    mode = os.stat(name).st_mode
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(21, "it is a directory", name)
    fd = _open_waiting(name, on_wait) if stat.S_ISFIFO(mode) else os.open(name, os.O_RDONLY)
    info = os.fstat(fd)
    regular = stat.S_ISREG(info.st_mode)
    return CorpusInput(index, name, fd, regular, info.st_size if regular else 0, owned=True)


def open_inputs(paths: list[PathLike], on_wait: Optional[Callable[[str], None]] = None) -> list[CorpusInput]:
    """Opens every input (closing those already opened when one fails)."""
    opened: list[CorpusInput] = []
    try:
        for index, path in enumerate(paths):
            opened.append(open_input(index, path, on_wait or tell_waiting))
    except BaseException:
        for corpus_input in opened:
            corpus_input.close()
        raise
    return opened


def text_lines(path: PathLike, require_text: bool = False,
               on_wait: Callable[[str], None] = tell_waiting) -> Iterator[str]:
    """The non-empty lines of one input (a file, "-", a FIFO, a pipe) as text,
    without their line breaks ("\\n" or "\\r\\n"), for encoders outside the
    core: read in blocks and checked like any corpus (ValueError naming the
    input and the byte of a NUL or of bytes that are not UTF-8; OSError when
    it cannot be read; with `require_text`, ValueError when it holds nothing
    but white space). Lines are kept whole."""
    corpus_input = open_input(0, path, on_wait)
    try:
        stream = _native.CorpusStream(corpus_input.fd, corpus_input.name)
        while (run := stream.next(1 << 20)) is not None:
            for line in run[0].decode("utf-8").split("\n"):
                line = line.removesuffix("\r")
                if line:
                    yield line
        if require_text and not stream.holds_text:
            raise ValueError(f"{corpus_input.name}: {NO_TEXT}")
    finally:
        corpus_input.close()
