"""Checks that stop an edit that would quietly ruin a tokenizer; each
raises CliError with one line, and --force skips them."""

from __future__ import annotations

import vocarix

import vocarix_tools
from vocarix_tools.cli.common import CliError


def refuse_mixed_styles(target: vocarix.Vocarix, source: vocarix.Vocarix, target_path: str, source_path: str) -> None:
    """Characters copied across token styles stand for other text: in a
    byte-level file "Ġ" is a space and "ä" one byte of a character."""
    target_style = vocarix_tools.token_style(target)["style"]
    source_style = vocarix_tools.token_style(source)["style"]
    if target_style != source_style:
        raise CliError(f"refused: {source_path} writes tokens in the {source_style} style and {target_path} in the "
                       f"{target_style} style, so its characters stand for other text (--force to sync anyway)")


def refuse_losing_most_merges(merges_before: int, merges_after: int) -> None:
    """Called before anything is written: an edit that takes more than half
    the merges leaves a model that splits text into far more tokens."""
    lost = merges_before - merges_after
    if 2 * lost > merges_before:
        raise CliError(f"refused: this would delete {lost} of {merges_before} merges, more than half; "
                       "nothing written (--force to do it anyway)")
