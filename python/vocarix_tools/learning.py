"""Learning a tokenizer's new tokens from the user's own text.

``learn`` continues the file's own BPE on word counts of a corpus
(``vocarix_tools.corpus_counting.count_words``): each distinct word is
segmented as the runtime segments it now, and new merges are learned
greedily on those final segmentations, weighted by the counts. They are
appended after every existing merge, and their new entries take the ids
after every existing id, so every existing id and merge stays where it is
and the runtime applies the new merges exactly as learned. New tokens keep
the file's conventions (a "▁" token has its marker only at its start, a
byte-level token stays inside one pre-token, an end-of-word suffix at the
end). In a file with byte fallback a character that only byte tokens spell
may become an entry of its own; it counts as a new entry.

With ``keep_size`` every new entry takes the id of a token evicted for it,
the least used first: by ``usage`` (token -> count) when given, else by the
corpus's own token counts under the model before learning.

``merge_vocabulary`` brings another tokenizer's entries into a base one,
each with merges that make the base's model produce it from its own text.

    import vocarix_tools
    from vocarix_tools import corpus_counting, learning

    editor = vocarix_tools.open("tokenizer.json")
    counts = corpus_counting.count_words(editor, ["domain.txt"])
    report = learning.learn(editor, counts, 3000)
    print(report["tokens_before"], "->", report["tokens_after"])
    editor.save("learned.json")
"""

from __future__ import annotations

from typing import Mapping, Optional, Sequence, TypedDict, Union

import vocarix

from vocarix_tools import _native
from vocarix_tools.consistency import EditSession, Repairs
from vocarix_tools.corpus_counting import WordCounts
from vocarix_tools.usage import EvictedToken


class LearnedMerge(TypedDict):
    left: str
    right: str
    result: str
    count: int  # joins it made on the corpus: the tokens it saved there
    new_entry: bool  # False: its result was an entry already


class LearnedCharacter(TypedDict):
    character: str
    count: int  # occurrences on the corpus
    saved: int  # byte tokens it saved there


class LearnReport(TypedDict):
    repairs: Optional[Repairs]  # None when literal
    merges: list[LearnedMerge]
    characters: list[LearnedCharacter]
    entries_created: list[tuple[str, int]]  # in creation order, with the ids they end with
    words: int
    distinct_words: int
    # Tokens the model gives for the corpus, added tokens included, before and after.
    tokens_before: int
    tokens_after: int
    # Fewer entries than asked: no pair left that occurs min_count times.
    exhausted: bool
    keep_size: bool
    # With keep_size only (else 0 or empty):
    initial_vocab_size: int
    final_vocab_size: int
    evicted: list[EvictedToken]
    without_room: list[tuple[str, int]]  # new entries that kept a new id: nothing was left to evict
    ids_left_free: list[int]
    usage_from_corpus: bool


Words = Union[WordCounts, Mapping[str, int]]


def learn(editor: vocarix.Vocarix, words: Words, entries: int, *, min_count: int = 2, keep_size: bool = False,
          keep: Sequence[str] = (), min_id: int = 0, usage: Optional[Mapping[str, int]] = None,
          add_characters: bool = True, literal: bool = False) -> LearnReport:
    """Learn up to `entries` new entries from word counts (see the module's doc).

    A merge is learned only where it joins at least `min_count` occurrences,
    so a corpus may yield fewer entries than asked (``exhausted``). With
    ``keep_size`` nothing in `keep`, no id below `min_id` and nothing the
    fixed-size addition protects is evicted (special, added, single-character
    and byte tokens). Like every workflow it ends by repairing what the edit
    left for the runtime, unless ``literal``.
    """
    if entries < 0:
        raise ValueError("entries must be >= 0")
    counts = words if isinstance(words, WordCounts) else WordCounts(dict(words))
    session = None if literal else EditSession(editor, keep_model=False)
    found = _native.learn_merges(editor, counts.words, entries, min_count, add_characters, keep_size,
                                 list(keep) if keep_size else None, min_id,
                                 None if usage is None else dict(usage))
    added = sum(counts.added_tokens.values())
    report = LearnReport(
        repairs=None if session is None else session.finish().repairs,
        merges=found["merges"], characters=found["characters"], entries_created=found["entries_created"],
        words=found["words"], distinct_words=found["distinct_words"],
        tokens_before=found["tokens_before"] + added, tokens_after=found["tokens_after"] + added,
        exhausted=found["exhausted"], keep_size=keep_size,
        initial_vocab_size=found.get("initial_vocab_size", 0), final_vocab_size=found.get("final_vocab_size", 0),
        evicted=found.get("evicted", []), without_room=found.get("without_room", []),
        ids_left_free=found.get("ids_left_free", []), usage_from_corpus=found.get("usage_from_corpus", False))
    return report


class RunningTextCheck(TypedDict):
    produced_whole: list[str]  # words the model gives as one token wherever running text meets them
    never_met: list[str]  # words running text never gives the model in this form
    not_whole: list[str]  # met, but not produced whole in some place


class MergeReport(TypedDict):
    repairs: Optional[Repairs]  # None when literal
    other_entries: int  # OTHER's entries, its added tokens left out
    missing: int  # of them, no entry of BASE
    added: int  # of those, added: BASE's model now produces them
    with_other_merge: int  # added by exactly OTHER's merge
    with_chain: int  # added by merges of the pieces BASE makes of them
    left_out_for_room: int  # beyond `add`
    unused_on_corpus: int  # left out: with a corpus, they would not be produced there
    not_added: list[str]  # characters nothing spells, or still split by the model
    words_added: list[str]  # of the added tokens, those that are words of their own (not pieces inside words)
    entries_created: list[tuple[str, int]]  # every new entry, intermediate ones included, with its id
    merges_appended: list[tuple[str, str]]
    # words_added in running text, measured in sample texts cut as BASE's text pipeline cuts them
    running_text: RunningTextCheck


def style_difference(base: vocarix.Vocarix, other: vocarix.Vocarix) -> str:
    """How the two files write tokens differently ("" when alike)."""
    difference: str = _native.token_style_difference(base, other)
    return difference


def merge_vocabulary(base: vocarix.Vocarix, other: vocarix.Vocarix, *, add: Optional[int] = None,
                     usage: Optional[Mapping[str, int]] = None, words: Optional[Words] = None,
                     rank_by_usage: bool = True, add_unknown_characters: Optional[bool] = None, literal: bool = False) -> MergeReport:
    """Bring OTHER's entries that BASE lacks into BASE, each with merges that
    make BASE's model produce it from its own text: OTHER's own merge where
    BASE splits the token into exactly its parts, a chain of BASE's pieces
    elsewhere. BASE's ids and merges stay as they are; new entries take the
    ids after them. Tokens go in OTHER's merge order, or most used first by
    `usage` (OTHER's token -> count) unless not `rank_by_usage`; `add` caps the new entries. With a
    corpus, tokens that would stay unused there are left out: those `usage`
    counts 0, and those no run of BASE's pieces spells in the corpus's
    `words` (counted for BASE), since merges appended after BASE's only join
    those pieces. Characters
    no entry spells become entries unless BASE is byte-level (there they
    mean another alphabet). Raises ValueError when the files write tokens
    in different styles; compare them with ``style_difference`` first to merge anyway.
    """
    if add is not None and add < 0:
        raise ValueError("add must be >= 0")
    if add_unknown_characters is None:
        add_unknown_characters = not _native.token_style(base)["byte_level"]
    session = None if literal else EditSession(base, keep_model=False)
    corpus_words = None
    if words is not None:
        corpus_words = words.words if isinstance(words, WordCounts) else dict(words)
    found = _native.merge_vocabulary(base, other, add, None if usage is None else dict(usage),
                                     add_unknown_characters, corpus_words, rank_by_usage)
    measured = _native.measure_tokens(base, found["words_added"])
    found["running_text"] = RunningTextCheck(
        produced_whole=[m["token"] for m in measured if m["produced_whole"]],
        never_met=[m["token"] for m in measured if not m["contexts"]],
        not_whole=[m["token"] for m in measured if m["contexts"] and not m["produced_whole"]])
    report: MergeReport = {"repairs": None if session is None else session.finish().repairs, **found}  # type: ignore[typeddict-item]
    return report


def entries_in_use(editor: vocarix.Vocarix, usage: Mapping[str, int],
                   entries: Sequence[str]) -> tuple[list[str], list[str]]:
    """Of `entries`, those the usage counts show produced, and those that are
    parts of the merges behind produced ones."""
    produced, parts = _native.entries_in_use(editor, dict(usage), list(entries))
    return produced, parts
