"""What a tokenizer runtime makes of a document, and edits that keep it so.

A runtime reads a ``tokenizer.json`` by its own rules: it refuses merges
that name a non-entry, gives an added token the id of its vocabulary entry
whatever id the file stores, numbers the other added tokens from the
vocabulary's entry count upward, and emits the ids written in post-processor
templates. ``check`` lists every place where that differs from what the file
states; ``fix`` repairs what can be repaired; an ``EditSession`` wraps an
edit so that the file it leaves is read as the editor reports it, and
records where every id went (``vocarix_tools.id_maps``).

    import vocarix_tools

    editor = vocarix_tools.open("tokenizer.json")
    session = vocarix_tools.EditSession(editor)
    editor.shrink(100)
    outcome = session.finish()
    print("\\n".join(vocarix_tools.describe_repairs(outcome.repairs)))
    editor.save("shrunk.json")
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Callable, Optional, Sequence, TypedDict

import vocarix

from vocarix_tools import _native
from vocarix_tools.id_maps import IdMap


class MergeProblem(TypedDict):
    position: int
    left: str
    right: str
    reason: str  # "left", "right" or "result" (that string is no entry), or "prefix"
    missing: str


class MalformedAddedToken(TypedDict):
    position: int
    problem: str


class AddedIdProblem(TypedDict):
    position: int
    content: str
    stored_id: Optional[int]
    runtime_id: int


class SharedId(TypedDict):
    id: int
    tokens: list[str]


class ReferenceProblem(TypedDict):
    where: str
    token: str
    stated: Optional[int]
    runtime_id: Optional[int]


class CheckReport(TypedDict):
    """Every way a runtime would read the document otherwise than it states, or refuse it."""

    clean: bool
    merges_as_object: bool
    merges: list[MergeProblem]
    malformed_added_tokens: list[MalformedAddedToken]
    added_ids: list[AddedIdProblem]
    renumbered: list[AddedIdProblem]
    shared_ids: list[SharedId]
    references: list[ReferenceProblem]
    rows: int
    vocab_size: int
    outside_vocab: int


class PinnedToken(TypedDict):
    content: str
    id: int
    id_before: Optional[int]


class MovedEntry(TypedDict):
    token: str
    id: int


class IdChange(TypedDict):
    where: str
    token: str
    old_id: Optional[int]
    new_id: int


class Repairs(TypedDict):
    """What ``fix`` or a session's ``finish`` changed so that the runtime reads the document as stated."""

    merges_made_list: bool
    merges_removed: list[MergeProblem]
    pinned: list[PinnedToken]
    new_entries_moved: list[MovedEntry]
    added_ids: list[IdChange]
    references: list[IdChange]


def check(editor: vocarix.Vocarix) -> CheckReport:
    """The problems a runtime would meet in the editor's document; ``report["clean"]`` when none."""
    report: CheckReport = _native.check(editor)
    return report


def fix(editor: vocarix.Vocarix) -> Repairs:
    """Repairs what ``check`` reports where that is sound; returns what changed.

    Merges the runtime refuses are removed, ``added_tokens``, post-processor
    and padding ids are set to the ids the runtime uses, an empty merge list
    written as ``{}`` becomes ``[]``, and added tokens outside the vocabulary
    whose runtime id an entry holds are entered into the vocabulary at a free
    id. Entries that share an id, malformed ``added_tokens`` entries and
    references to tokens the runtime does not know stay; ``check`` still
    reports them.
    """
    repairs: Repairs = _native.fix(editor)
    return repairs


@dataclass
class EditOutcome:
    repairs: Optional[Repairs]  # None for a literal finish
    problems: CheckReport  # what a runtime would still meet
    # added tokens that went with their vocabulary entries, in list order
    added_tokens_removed: list[str]


class EditSession:
    """An edit of one editor, from now until ``finish``.

    It records the ids the runtime gives every token now. ``finish`` repairs
    what the edit left for the runtime: merges it refuses, ``added_tokens``
    and post-processor ids, and added tokens outside the vocabulary, which
    the runtime numbers from the vocabulary's size and so would move when the
    size changes: they are entered into the vocabulary at the ids they had.
    ``id_map`` tells where every id went. ``keep_model`` keeps a copy of the
    document as it is now, so that new tokens in the map name the pieces the
    starting model splits them into; without it their ``from`` lists are empty.
    """

    def __init__(self, editor: vocarix.Vocarix, *, keep_model: bool = True) -> None:
        self.editor = editor
        self.vocab_size_before = editor.vocab_size
        self.merges_count_before = editor.merges_count
        self._start = _native.edit_start(editor, keep_model)

    @property
    def start(self) -> _native.EditStart:
        """What the session recorded when it began, for the native operations that carry an edit."""
        return self._start

    @property
    def rows_before(self) -> int:
        """The embedding rows the runtime needed when the session began."""
        rows: int = self._start.rows
        return rows

    def finish(self, *, literal: bool = False, compact_ids: bool = False) -> EditOutcome:
        """Makes the document loadable as the editor reports it (unless
        ``literal``) and says what a runtime would still meet in it.
        ``compact_ids`` then renumbers the ids to 0..size-1 (``reindex_vocab``),
        so that the embedding keeps exactly the rows of the tokens left."""
        repairs: Optional[Repairs] = None
        if not literal:
            repairs = _native.make_loadable(self.editor, self._start)
        if compact_ids:
            self.editor.reindex_vocab()
        remaining = set(_native.added_tokens(self.editor))
        removed = [token for token in self._start.added_tokens if token not in remaining]
        return EditOutcome(repairs, check(self.editor), removed)

    def id_map(self) -> IdMap:
        """Where every id of the starting document went (see ``vocarix_tools.id_maps``)."""
        mapping: IdMap = _native.id_map(self._start, self.editor)
        return mapping


# --- Text for people ----------------------------------------------------------


def _count(count: int, noun: str, nouns: str = "") -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {nouns or noun + 's'}"


def quoted(token: str) -> str:
    """A token as stored, quoted so that spaces stay visible."""
    return json.dumps(token, ensure_ascii=False)


def _id(value: Optional[int]) -> str:
    return "none" if value is None else str(value)


def _listed(lines: Sequence[str], limit: int) -> list[str]:
    shown = [f"  {line}" for line in lines[:limit]]
    if len(lines) > limit:
        shown.append(f"  ... ({len(lines) - limit} more)")
    return shown


def _merge_line(problem: MergeProblem, show: Callable[[str], str]) -> str:
    pair = f"merge {problem['position']}: {show(problem['left'])} + {show(problem['right'])}"
    if problem["reason"] == "prefix":
        return f"{pair}: the right part is shorter than the prefix {show(problem['missing'])}"
    return f"{pair}: {show(problem['missing'])} is not in the vocabulary"


def rows_line(report: CheckReport) -> str:
    outside = report["outside_vocab"]
    extra = f" and {outside} added tokens past it" if outside else ""
    return (f"embedding rows needed: {report['rows']} (largest id + 1); "
            f"vocabulary: {report['vocab_size']} entries{extra}")


def describe_check(report: CheckReport, limit: int = 10, show: Callable[[str], str] = quoted) -> list[str]:
    """The report as lines of text, at most `limit` examples per kind, tokens
    written with `show`."""
    lines: list[str] = []
    if report["merges_as_object"]:
        lines.append("the merge list is written as an empty object {}: the runtime refuses it")
    if report["merges"]:
        lines.append("merges naming a token that is not in the vocabulary (the runtime refuses them): "
                     f"{len(report['merges'])}")
        lines += _listed([_merge_line(m, show) for m in report["merges"]], limit)
    if report["malformed_added_tokens"]:
        lines.append(f"added_tokens entries the runtime refuses: {len(report['malformed_added_tokens'])}")
        lines += _listed([f"entry {m['position']} {m['problem']}" for m in report["malformed_added_tokens"]], limit)
    if report["added_ids"]:
        lines.append(f"added_tokens ids that disagree with the vocabulary: {len(report['added_ids'])}")
        lines += _listed([f"{show(p['content'])}: stored {_id(p['stored_id'])}, vocabulary {p['runtime_id']}"
                          for p in report["added_ids"]], limit)
    if report["renumbered"]:
        lines.append(f"added tokens the runtime numbers otherwise than stored: {len(report['renumbered'])}")
        lines += _listed([f"{show(p['content'])}: stored {_id(p['stored_id'])}, runtime {p['runtime_id']}"
                          for p in report["renumbered"]], limit)
    if report["shared_ids"]:
        lines.append(f"ids held by two or more strings: {len(report['shared_ids'])}")
        lines += _listed([f"{s['id']}: " + ", ".join(show(t) for t in s["tokens"]) for s in report["shared_ids"]],
                         limit)
    if report["references"]:
        lines.append(f"post-processor and padding ids that disagree with the runtime's: {len(report['references'])}")
        lines += _listed([f"{r['where']}: {show(r['token'])} stated {_id(r['stated'])}, "
                          + ("unknown to the runtime" if r["runtime_id"] is None else f"runtime {r['runtime_id']}")
                          for r in report["references"]], limit)
    return lines


def problem_count(report: CheckReport) -> int:
    return (int(report["merges_as_object"]) + len(report["merges"]) + len(report["malformed_added_tokens"])
            + len(report["added_ids"]) + len(report["renumbered"]) + len(report["shared_ids"])
            + len(report["references"]))


def describe_repairs(repairs: Repairs, limit: int = 5, show: Callable[[str], str] = quoted) -> list[str]:
    """What was repaired, one line per kind (none when nothing was), tokens
    written with `show`."""
    lines: list[str] = []
    if repairs["merges_made_list"]:
        lines.append("repaired: wrote the empty merge list as [] instead of {}")
    removed = repairs["merges_removed"]
    if removed:
        lines.append(f"repaired: removed {_count(len(removed), 'merge')} the runtime would refuse "
                     "(a part or the result is no longer in the vocabulary)")
    pinned = repairs["pinned"]
    if pinned:
        kept = sum(1 for p in pinned if p["id"] == p["id_before"])
        lines.append(f"repaired: entered {_count(len(pinned), 'added token')} outside the vocabulary into it, "
                     f"{kept} at the id the runtime gave them, so a change of size no longer moves them"
                     + ("" if kept == len(pinned) else f"; {len(pinned) - kept} at new ids (see the id map)"))
    if repairs["new_entries_moved"]:
        moved = repairs["new_entries_moved"]
        lines.append(f"repaired: moved {_count(len(moved), 'new token')} off the ids of those added tokens: "
                     + ", ".join(f"{show(m['token'])} -> {m['id']}" for m in moved[:limit])
                     + (", ..." if len(moved) > limit else ""))
    if repairs["added_ids"]:
        examples = ", ".join(f"{show(c['token'])} {_id(c['old_id'])} -> {c['new_id']}"
                             for c in repairs["added_ids"][:limit])
        count = _count(len(repairs["added_ids"]), "added_tokens id")
        lines.append(f"repaired: set {count} to the runtime's ({examples}"
                     + (", ..." if len(repairs["added_ids"]) > limit else "") + ")")
    if repairs["references"]:
        examples = ", ".join(f"{c['where']} {_id(c['old_id'])} -> {c['new_id']}" for c in repairs["references"][:limit])
        count = _count(len(repairs["references"]), "post-processor or padding id")
        lines.append(f"repaired: set {count} to the runtime's ({examples}"
                     + (", ..." if len(repairs["references"]) > limit else "") + ")")
    return lines
