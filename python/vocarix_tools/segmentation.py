"""How the file's own BPE model splits words, as the runtime applies it."""

from __future__ import annotations

from typing import NamedTuple, Sequence

import vocarix

from vocarix_tools import _native


class Segmentation(NamedTuple):
    """The pieces the model makes of one word, their ids, and whether it met a
    character no entry (or byte token) spells."""

    pieces: list[str]
    ids: list[int]
    met_unknown: bool


def segment(editor: vocarix.Vocarix, words: Sequence[str]) -> list[Segmentation]:
    """Each word (in the model's own alphabet, as a pre-token) split into the
    pieces the editor's BPE model produces for it now."""
    return [Segmentation(*found) for found in _native.segment(editor, list(words))]
