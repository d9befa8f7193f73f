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


# Absent fields worth a word: those read as a default that changes what the
# model does. Absent optional sections (null when present) need none.
_DEFAULTS_READ = {
    "model.type": 'model type absent (read as "BPE")',
    "model.fuse_unk": "fuse_unk absent (read as false)",
    "model.byte_fallback": "byte_fallback absent (read as false)",
    "model.ignore_merges": "ignore_merges absent (read as false)",
    "version": "version absent",
    "added_tokens": "added_tokens absent",
}


def leniency_notice(editor: vocarix.Vocarix) -> str | None:
    """One line saying what the document holds in an older form, or None."""
    form = document_form(editor)
    parts = []
    if form["merges"] == "strings":
        parts.append('merges written as "a b" strings')
    elif form["merges"] == "empty_object":
        parts.append("merges given as an empty object")
    if form["unk_token"] != "string":
        parts.append(f"unk_token {form['unk_token']}")
    parts += [_DEFAULTS_READ[name] for name in form["absent_fields"] if name in _DEFAULTS_READ]
    if form["unknown_fields"]:
        parts.append("unknown fields kept: " + ", ".join(form["unknown_fields"]))
    if not parts:
        return None
    return "read in an older form (" + "; ".join(parts) + "); saved output keeps that form"
