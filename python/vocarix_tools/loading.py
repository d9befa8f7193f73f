"""Opening tokenizer documents in every form the runtime reads.

The core's lenient reader does the work: merges written as ``"a b"``
strings or as an empty object, a null or absent ``unk_token``, absent
flags, model type, version or added tokens, and members it does not know.
What it found is recorded on the editor, and writing restores it.
"""

from __future__ import annotations

import os
from typing import Literal, TypedDict

import vocarix

from vocarix_tools import _native


class DocumentForm(TypedDict):
    """How a document was written, as ``document_form`` reports it."""

    lenient: bool
    merges: Literal["pairs", "strings", "empty_object"]
    unk_token: Literal["string", "null", "absent"]
    absent_fields: list[str]
    unknown_fields: list[str]


def open(  # noqa: A001 - the package's front door
    path: str | os.PathLike[str], stream_size_limit: int | None = None
) -> vocarix.Vocarix:
    """Load a tokenizer file in any form the runtime reads.

    Raises ``OSError`` when the file cannot be read or is no tokenizer
    document; the message names the problem and, for a malformed document,
    its line and column in the file. A pipe or device (standard input, for
    example) is read only while it can still be a document, and to at most
    ``stream_size_limit`` bytes (1 GiB by default). Ctrl-C stops a load that
    waits for input.
    """
    return _native.open(os.fspath(path), stream_size_limit)


def open_text(text: str) -> vocarix.Vocarix:
    """Load a tokenizer document given as a str; ``ValueError`` when it is malformed."""
    return _native.open_text(text)


def document_form(editor: vocarix.Vocarix) -> DocumentForm:
    """The form the editor's document was read in, which its output keeps."""
    form: DocumentForm = _native.document_form(editor)
    return form


def set_merge_form(editor: vocarix.Vocarix, form: Literal["pairs", "strings"]) -> None:
    """Write the editor's merges as ``[left, right]`` pairs or as ``"left right"`` strings from now on."""
    _native.set_merge_form(editor, form)


def leniency_notice(editor: vocarix.Vocarix) -> str | None:
    """One line saying what the document holds in an older or damaged form,
    or None. What the runtime itself fills in when it is absent or null (the
    unknown token, the model's flags and type, the version, the added
    tokens) is the current form and needs no word: byte-level files have no
    unknown token, and files written by current runtimes leave fields out."""
    form = document_form(editor)
    parts = []
    if form["merges"] == "strings":
        parts.append('read in an older form (merges written as "a b" strings)')
    elif form["merges"] == "empty_object":
        parts.append("read in a damaged form (merges given as an empty object, which the runtime refuses)")
    if form["unknown_fields"]:
        parts.append("fields vocarix does not know are kept as they are: " + ", ".join(form["unknown_fields"]))
    if not parts:
        return None
    return "; ".join(parts) + "; saved output keeps that form"
