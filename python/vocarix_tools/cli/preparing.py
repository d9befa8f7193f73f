"""What every command does before it reads anything: refuse outputs that
would replace an input, take the edit lock of what it rewrites in place,
and settle what an interrupted write left where it reads and writes."""

from __future__ import annotations

import argparse
import os
from typing import Iterator

from vocarix_tools import _native, file_writing
from vocarix_tools.cli.common import STDOUT_PATHS, UsageError, note

# Arguments that name files a command reads, and those that name files it writes.
INPUT_ARGUMENTS = ("tokenizer", "source", "other", "from_file", "whitelist_file", "corpus", "word_counts", "counts",
                   "keep")
OUTPUT_ARGUMENTS = {"output": "-o", "id_map": "--id-map"}

# The edit locks the command running holds; the kernel drops them when the process ends.
_held: list[_native.EditLock] = []


def release_locks() -> None:
    """Gives up the edit locks the command took (it has ended)."""
    while _held:
        _held.pop().release()


def _paths(value: object) -> Iterator[str]:
    if isinstance(value, str):
        yield value
    elif isinstance(value, list):
        yield from (item for item in value if isinstance(item, str))


def _identity(path: str) -> tuple[int, int] | None:
    try:
        info = os.stat(path)
    except (OSError, ValueError):
        return None
    return info.st_dev, info.st_ino


def _inputs(args: argparse.Namespace) -> list[tuple[str, str]]:
    """(argument, path) of every file the command reads; a model folder's own files count."""
    found = []
    for name in INPUT_ARGUMENTS:
        for path in _paths(getattr(args, name, None)):
            found.append((name, path))
            if name in ("tokenizer", "source", "other") and os.path.isdir(path):
                for entry in sorted(os.listdir(path)):
                    if os.path.isfile(os.path.join(path, entry)):
                        found.append((name, os.path.join(path, entry)))
    return found


def refuse_outputs_over_inputs(args: argparse.Namespace) -> None:
    """An output naming a file the command reads (itself, or through a link) is refused before anything is read."""
    inputs = _inputs(args)
    seen: dict[str, str] = {}
    for name, flag in OUTPUT_ARGUMENTS.items():
        output = getattr(args, name, None)
        if not isinstance(output, str) or output in STDOUT_PATHS:
            continue
        resolved, identity = os.path.realpath(output), _identity(output)
        for argument, path in inputs:
            if os.path.realpath(path) == resolved or (identity is not None and identity == _identity(path)):
                what = "TOKENIZER_JSON" if argument == "tokenizer" else "--" + argument.replace("_", "-")
                if argument in ("source", "other"):
                    what = argument.upper()
                shown = "" if path == output else f" ({path})"
                raise UsageError(f"{flag} {output} names a file this command reads as {what}{shown}: "
                                 "it would replace its own input; nothing read or written")
        if resolved in seen:
            raise UsageError(f"{flag} and {seen[resolved]} name the same file {output}")
        seen[resolved] = flag


def prepare(args: argparse.Namespace) -> None:
    """Refuses outputs over inputs; with --in-place, takes the edit lock of
    the folder (or the file's directory), waiting for another edit to end;
    then completes or undoes what an interrupted write left there, and
    removes what one left where the output goes, saying so on standard error."""
    refuse_outputs_over_inputs(args)
    tokenizer = getattr(args, "tokenizer", None)
    places = []
    if isinstance(tokenizer, str) and os.path.exists(tokenizer):
        if getattr(args, "in_place", False):
            _held.append(file_writing.lock_for_edit(tokenizer))
        places.append(tokenizer)
    output = getattr(args, "output", None)
    if isinstance(output, str) and output not in STDOUT_PATHS:
        parent = os.path.dirname(os.path.abspath(output))
        if os.path.isdir(parent):
            places.append(parent)
    for place in places:
        line = file_writing.settle(place)
        if line:
            note(line, prefix="vocarix")
