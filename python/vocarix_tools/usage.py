"""Tokens that get used: additions the model produces, a fixed size that
keeps the embedding's shape, and pruning by usage.

- ``add_words`` adds tokens so that the file's own BPE model produces each
  one whole: its merges join the pieces the model splits the word into now
  (``method="reachable"``, the default), or, with ``method="prefix"``, the
  module's ``add_tokens`` (longest prefix plus the rest).
- ``add_keep_size`` does the same while the vocabulary keeps its size and
  its ids: every new entry takes the id of a token evicted for it, the least
  used first when usage ``counts`` are given.
- ``prune`` removes the least used tokens, with what depends on them, down
  to a size or a minimum count.
- ``shrink_sparing`` shrinks by the longest tokens like ``Vocarix.shrink``
  but never removes a token that ``added_tokens`` lists.

None of them removes a special token, a single character, a byte token, the
unknown token or a token that ``added_tokens`` lists. Usage counts come from
``vocarix_tools.counting``.

Like every workflow of ``vocarix_tools`` they leave a document that a
tokenizer runtime loads and reads as the editor says: each ends by
repairing what the edit left (``EditSession.finish``) and puts what it
repaired under ``"repairs"``; ``literal=True`` leaves exactly what the edit
did. Wrap a call in an ``EditSession`` of your own for its id map.

Words are given as people type them, or as the vocabulary stores them
(``read_words``): ``"thrombocytopenia"`` or ``" thrombocytopenia"`` becomes
the forms the runtime meets in running text, found by cutting sample texts
as the file's own normalizer and pre-tokenizer cut them: after a space
(``"Ġthrombocytopenia"``, ``"▁thrombocytopenia"``,
``"thrombocytopenia</w>"``) and at the start of a line where that differs;
a word of a script written without spaces (Chinese, Japanese, Thai, ...)
inside its own text and at the start of a line. A word that carries the
file's marks (``"Ġword"``, ``"▁word"``, ``"word</w>"``) is kept as it is.
``reading="text"`` or ``"stored"`` forces either reading; ``forms`` picks
the contexts whose forms are added, and capitalised forms.
``resolve_tokens`` finds the entries a typed text names, for the commands
that take existing tokens.
"""

from __future__ import annotations

from typing import Any, Mapping, Optional, Sequence, TypedDict, Union

import vocarix

from vocarix_tools import _native
from vocarix_tools.consistency import EditSession, Repairs


class WordForm(TypedDict):
    token: str  # as stored
    # Where the runtime meets it in running text: "after_space", "text_start",
    # "after_line_break", "in_script" (inside text of its own script, which
    # is written without spaces); empty when never.
    contexts: list[str]
    capitalised: bool
    script: str  # "Chinese", "Japanese", "Thai", ... for a script written without spaces; "" otherwise


class WordReading(TypedDict):
    given: str
    read_as: str  # "text" or "stored"
    forms: list[WordForm]  # the forms to add, the one after a space first
    other_forms: list[WordForm]  # the word's other forms in running text
    refused: str  # why nothing is added: "empty", "only_spaces", "not_utf8"; "" otherwise


class WordAddition(TypedDict):
    requested: str  # as given
    form: str  # the stored form added for it ("" when refused)
    token: str  # the entry the word is, or would be
    read_as: str  # "text" or "stored"
    contexts: list[str]  # where the runtime meets the form
    capitalised: bool
    script: str  # a script written without spaces ("Chinese", ...), or ""
    other_forms: list[WordForm]  # forms of the word not added (on its first form only)
    # "added", "already_whole", "unknown_characters", "space_entry", "empty",
    # "not_produced" (reachable); "added", "already_exists" (prefix);
    # "refused" (the reading gave nothing to add; see `refused`)
    outcome: str
    refused: str
    pieces_before: list[str]
    piece_ids_before: list[int]
    unknown_characters: list[str]
    merges_appended: list[tuple[str, str]]
    entries_created: list[tuple[str, int]]  # with their final ids
    # The contexts where the runtime now gives the form as this one token,
    # in sample texts cut as the file's text pipeline cuts them (for the
    # word alone where that pipeline cannot be run: measured_in_text False).
    produced_in: list[str]
    measured_in_text: bool
    # Produced whole in every context it is met in (at least one).
    produced_whole: bool
    pre_tokenizer: str  # "whole", "split" (no merge can join it) or "undecided"


class AdditionReport(TypedDict):
    method: str
    repairs: Optional[Repairs]  # None when literal
    words: list[WordAddition]
    produced_whole: int
    # Requested tokens that the pre-tokenizer splits apart, so that no merge can join them.
    split_by_pre_tokenizer: list[str]
    # What the pre-tokenizer check could not judge ("" when it judged everything).
    pre_tokenizer_undecided: str
    # Why forms and counts were not found in running text ("" when they were).
    text_pipeline_unsupported: str
    entries_created: int
    merges_appended: int


class EvictedToken(TypedDict):
    token: str
    id: int
    count: int
    replaced_by: str  # the new entry that took its id ("" when none did)
    taken_along: list[str]


class KeepSizeReport(AdditionReport):
    initial_vocab_size: int
    final_vocab_size: int
    evicted: list[EvictedToken]
    without_room: list[tuple[str, int]]  # new entries that kept a new id: nothing was left to evict
    ids_left_free: list[int]
    unknown_counted_tokens: int


class PrunedToken(TypedDict):
    token: str
    id: int
    count: int
    cascade_count: int  # the most any token removed with it was used
    taken_along: list[str]


class PruneReport(TypedDict):
    repairs: Optional[Repairs]
    initial_vocab_size: int
    final_vocab_size: int
    initial_merges_count: int
    final_merges_count: int
    removed: list[PrunedToken]
    passed_over: int  # candidates whose removal would go below the size
    target_reached: bool
    unknown_counted_tokens: int


class SparingShrinkReport(TypedDict):
    repairs: Optional[Repairs]
    initial_vocab_size: int
    final_vocab_size: int
    initial_merges_count: int
    final_merges_count: int
    tokens_removed_count: int
    total_tokens_removed: int
    total_merges_removed: int
    removed: list[str]
    spared: list[str]  # candidates kept: removing them would take an added or special token along


METHODS = ("reachable", "prefix")
READINGS = ("auto", "text", "stored")
# The forms of a word typed as text, by where running text meets them, and
# capitalised; "all" stands for every one.
FORMS = ("after_space", "text_start", "after_line_break", "in_script", "capitalised")
CONTEXTS = FORMS[:4]
Forms = Union[str, Sequence[str], None]


def _form_names(forms: Forms) -> Optional[list[str]]:
    if forms is None:
        return None
    names = [forms] if isinstance(forms, str) else list(forms)
    if "all" in names:
        return list(FORMS)
    return names


def read_words(editor: vocarix.Vocarix, words: Sequence[str], *, reading: str = "auto",
               forms: Forms = None) -> list[WordReading]:
    """How each word is read: as text, turned into the stored forms the
    runtime meets in running text (by default after a space and at the
    start of a line, or for a script written without spaces inside its own
    text and at the start of a line; ``forms`` picks from FORMS, or "all"),
    or as stored, kept as it is ("auto": stored when it carries the file's
    marks or suffix, or, in a byte-level file, reads back as other valid
    text)."""
    found: list[WordReading] = _native.read_words(editor, list(words), reading, _form_names(forms))
    return found


def context_samples() -> dict[tuple[str, str], tuple[str, str]]:
    """The sample texts a typed word is placed in to find its forms and to
    measure whether the model produces them whole: (script, context) ->
    (text before the word, text after it). The script is "" for scripts
    written with spaces, else "Chinese", "Japanese", "Thai", ..."""
    return {(s["script"], s["context"]): (s["before"], s["after"]) for s in _native.context_samples()}


class ResolvedToken(TypedDict):
    given: str
    read_as: str  # "stored" or "text"
    tokens: list[str]  # the entries it names; empty when none


def resolve_tokens(editor: vocarix.Vocarix, tokens: Sequence[str], *, reading: str = "auto") -> list[ResolvedToken]:
    """The entries each given text names, for commands that take existing
    tokens: itself when it is an entry; else, read as text, the entry a
    display shows as that text (``" the"`` for ``"Ġthe"``); else the forms
    of the typed word (as ``read_words`` finds them) that are entries.
    ``reading="stored"`` takes each exactly as given, ``"text"`` reads each
    as a typed word."""
    _check_reading(reading)
    found: list[ResolvedToken] = _native.resolve_tokens(editor, list(tokens), reading)
    return found


def _summed(report: AdditionReport, undecided_by: str) -> None:
    words = report["words"]
    report["produced_whole"] = sum(word["produced_whole"] for word in words)
    report["split_by_pre_tokenizer"] = [word["requested"] for word in words if word["pre_tokenizer"] == "split"]
    report["pre_tokenizer_undecided"] = undecided_by
    report["entries_created"] = sum(len(w["entries_created"]) for w in words)
    report["merges_appended"] = sum(len(w["merges_appended"]) for w in words)


def _check_method(method: str) -> None:
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(METHODS)}, not {method!r}")


def produced_whole(editor: vocarix.Vocarix, tokens: Sequence[str]) -> list[bool]:
    """Whether the model produces each stored token whole now in every
    context of running text that meets it (at least one), measured in
    sample texts cut as the file's text pipeline cuts them."""
    return [bool(measured["produced_whole"]) for measured in _native.measure_tokens(editor, list(tokens))]


class _Repairing:
    """Repairs what a workflow leaves for the runtime, unless literal."""

    def __init__(self, editor: vocarix.Vocarix, literal: bool) -> None:
        self.session = None if literal else EditSession(editor, keep_model=False)

    def finish(self) -> Optional[Repairs]:
        return None if self.session is None else self.session.finish().repairs


def _check_reading(reading: str) -> None:
    if reading not in READINGS:
        raise ValueError(f"reading must be one of {', '.join(READINGS)}, not {reading!r}")


def add_words(editor: vocarix.Vocarix, tokens: Sequence[str], *, method: str = "reachable",
              add_unknown_characters: Optional[bool] = None, literal: bool = False,
              reading: str = "auto", forms: Forms = None) -> AdditionReport:
    """Add each word, in order, so that earlier additions count for later
    ones. Words are read as ``read_words`` reads them (``reading``, ``forms``).

    ``reachable`` builds each word's merges from the pieces the model makes
    of it at that moment, so the model produces it whole. A character no
    entry or byte token spells becomes an entry of its own, except in a
    byte-level file, where it means the token is written in another alphabet
    and the word is refused (``outcome`` "unknown_characters");
    ``add_unknown_characters`` decides it either way. ``prefix`` is
    ``Vocarix.add_tokens``.
    """
    _check_method(method)
    _check_reading(reading)
    repairing = _Repairing(editor, literal)
    found = _native.add_tokens(editor, list(tokens), method, False, None, 0, None, add_unknown_characters,
                               reading, _form_names(forms))
    report = AdditionReport(method=method, repairs=repairing.finish(), words=found["words"],
                            produced_whole=0, split_by_pre_tokenizer=[], pre_tokenizer_undecided="",
                            text_pipeline_unsupported=found["text_pipeline_unsupported"],
                            entries_created=0, merges_appended=0)
    _summed(report, found["pre_tokenizer_undecided"])
    return report


def add_keep_size(editor: vocarix.Vocarix, tokens: Sequence[str], *, method: str = "reachable",
                  whitelist: Sequence[str] = (), min_id: int = 0,
                  counts: Optional[Mapping[str, int]] = None,
                  add_unknown_characters: Optional[bool] = None, literal: bool = False,
                  reading: str = "auto", forms: Forms = None) -> KeepSizeReport:
    """Add words while the vocabulary keeps its size and its set of ids.
    Words are read as ``read_words`` reads them (``reading``, ``forms``).

    Every entry an addition creates takes the id of a token evicted for it.
    Never evicted: the requested tokens and every entry their merges need,
    special tokens, single characters, byte tokens, the unknown token, every
    token ``added_tokens`` lists, ids below ``min_id`` and the ``whitelist``.
    Tokens whose removal takes nothing else along go first; among them the
    least used (``counts``: token -> times used) or else the module's
    keep-size order (more characters, produced by a merge, smaller bytes).
    """
    _check_method(method)
    _check_reading(reading)
    repairing = _Repairing(editor, literal)
    found = _native.add_tokens(editor, list(tokens), method, True, list(whitelist), min_id,
                               None if counts is None else dict(counts), add_unknown_characters,
                               reading, _form_names(forms))
    report = KeepSizeReport(
        method=method, repairs=repairing.finish(), words=found["words"], produced_whole=0,
        split_by_pre_tokenizer=[], pre_tokenizer_undecided="",
        text_pipeline_unsupported=found["text_pipeline_unsupported"], entries_created=0, merges_appended=0,
        initial_vocab_size=found["initial_vocab_size"], final_vocab_size=found["final_vocab_size"],
        evicted=found["evicted"], without_room=found["without_room"], ids_left_free=found["ids_left_free"],
        unknown_counted_tokens=found["unknown_counted_tokens"])
    _summed(report, found["pre_tokenizer_undecided"])
    return report


def prune(editor: vocarix.Vocarix, counts: Mapping[str, int], *, size: Optional[int] = None,
          min_count: Optional[int] = None, keep: Sequence[str] = (), min_id: int = 0,
          literal: bool = False, room_for_pinned: Optional[bool] = None, compact_ids: bool = True) -> PruneReport:
    """Remove the least used tokens until the vocabulary has ``size``
    entries, or until every token left was used ``min_count`` times or more.

    A token goes with its cascade, so it is ranked by the most any token of
    that cascade was used; nothing that a kept token's merges need goes.
    Never removed: single characters, byte tokens, special tokens, the
    unknown token, every token ``added_tokens`` lists, ids below ``min_id``
    and ``keep``. Added tokens outside the vocabulary, which the repair
    enters into it so that they keep their ids, count towards ``size``
    (``room_for_pinned``, by default unless ``literal``; a caller that
    repairs afterwards itself passes ``literal=True, room_for_pinned=True``).

    ``compact_ids`` (unless ``literal``) renumbers the ids to 0..size-1 after
    the repair, so that the embedding keeps exactly the rows of the tokens
    left; an ``EditSession`` around the call maps every row. A caller that
    repairs afterwards compacts there (``EditSession.finish(compact_ids=True)``).
    """
    repairing = _Repairing(editor, literal)
    room = not literal if room_for_pinned is None else room_for_pinned
    report: PruneReport = _native.prune(editor, dict(counts), size, min_count, list(keep), min_id, room)
    report["repairs"] = repairing.finish()
    if compact_ids and not literal:
        editor.reindex_vocab()
    report["final_vocab_size"] = editor.vocab_size
    return report


def shrink_sparing(editor: vocarix.Vocarix, count: int, min_id: int = 0, *, keep: Sequence[str] = (),
                   literal: bool = False) -> SparingShrinkReport:
    """``Vocarix.shrink`` that never removes a token ``added_tokens`` lists
    or ``keep`` holds (nor a special token or single character through a cascade)."""
    repairing = _Repairing(editor, literal)
    report: SparingShrinkReport = _native.shrink_sparing(editor, count, min_id, list(keep))
    report["repairs"] = repairing.finish()
    report["final_vocab_size"] = editor.vocab_size
    return report
