"""Looking into tokenizers: token style, vocabulary report, single tokens,
and what differs between two documents.

Every function here reads open editors (``vocarix.Vocarix`` objects, for
example from ``vocarix_tools.open``) and returns plain values; the native
core does the walking. Tokens come back in their stored form; a
``TokenDisplay`` (``vocarix_tools.display``) turns them into readable text.
"""

from __future__ import annotations

from typing import List, Literal, Optional, Sequence, Tuple, TypedDict

import vocarix

from vocarix_tools import _native

StyleName = Literal["byte_level", "metaspace", "end_of_word_suffix", "continuing_subword_prefix", "plain"]


class TokenStyle(TypedDict):
    """How a vocabulary writes its tokens."""

    style: StyleName
    byte_level: bool  # every byte stored as one printable character
    marker: str  # "Ġ", "▁", the suffix or the prefix; "" for plain
    evidence: str  # what told the style, for people


class OutsideAddedToken(TypedDict):
    """An added token whose content is no vocabulary entry."""

    content: str
    stored_id: Optional[int]
    runtime_id: int  # the id the runtime numbers it with
    special: bool


class VocabularyReport(TypedDict):
    style: TokenStyle
    gap_ranges: List[Tuple[int, int]]  # ids no entry holds, below the largest: (first, last)
    gap_range_count: int
    missing_ids: int
    byte_tokens: int  # entries <0x00> .. <0xFF>
    special_tokens_besides_bytes: int
    added_tokens: int  # entries of the document's added_tokens list
    added_tokens_special: int  # of them marked "special"
    added_outside_vocab: List[OutsideAddedToken]
    runtime_rows: int  # embedding rows the runtime indexes: its largest id + 1


Merge = Tuple[int, str, str]  # (position in the merge list, left, right)


class AddedTokenInfo(TypedDict):
    stored_id: Optional[int]
    special: bool
    entry: str  # the whole added_tokens entry as compact JSON


class WordSplit(TypedDict):
    """How the model splits a word, with the same segmentation as reachable addition."""

    word: str  # the token without the model's end-of-word suffix
    pieces: List[str]  # vocabulary entries, in word order
    ids: List[int]
    met_unknown: bool  # some character became the unknown token or was dropped


class TokenExplanation(TypedDict):
    token: str
    id: Optional[int]  # its vocabulary id
    char_length: int
    special: bool
    byte_token: bool
    producers: List[Merge]  # merges whose result it is
    uses: List[Merge]  # merges with it as left or right element
    added_token: Optional[AddedTokenInfo]
    runtime_id: Optional[int]  # the id the runtime gives it
    split: Optional[WordSplit]  # None for a piece opening with the continuing-subword prefix


ValueChange = Tuple[str, Optional[str], Optional[str]]  # (name, before, after), compact JSON; None: absent


class DocumentDiff(TypedDict):
    only_in_a: List[Tuple[str, int]]  # (token, id), by id
    only_in_b: List[Tuple[str, int]]
    id_changed: List[Tuple[str, int, int]]  # (token, id in a, id in b)
    common_tokens: int
    merges_removed: List[Merge]  # positions in a
    merges_added: List[Merge]  # positions in b
    merges_moved: List[Tuple[str, str, int, int]]  # (left, right, position in a, position in b)
    common_merges: int
    added_tokens_removed: List[ValueChange]  # (content, entry in a, None)
    added_tokens_added: List[ValueChange]  # (content, None, entry in b)
    added_tokens_changed: List[ValueChange]  # (content, entry in a, entry in b)
    added_tokens_reordered: bool
    model_changes: List[ValueChange]
    sections_changed: List[ValueChange]


def token_style(editor: vocarix.Vocarix) -> TokenStyle:
    """The style of the editor's tokens, from its settings or else its vocabulary."""
    style: TokenStyle = _native.token_style(editor)
    return style


def vocabulary_report(editor: vocarix.Vocarix, range_limit: int = 10) -> VocabularyReport:
    """Style, id gap ranges (the first ``range_limit``), byte tokens, added
    tokens outside the vocabulary with their runtime ids, embedding rows."""
    report: VocabularyReport = _native.vocabulary_report(editor, range_limit)
    return report


def explain_tokens(editor: vocarix.Vocarix, tokens: Sequence[str]) -> list[TokenExplanation]:
    """For each token: its entry, the merges that produce and use it (with
    their positions), its added_tokens entry, the id the runtime gives it,
    and how the file's BPE model splits it now."""
    if isinstance(tokens, str):
        raise TypeError("tokens must be a sequence of str, not one str")
    explanations: list[TokenExplanation] = _native.explain_tokens(editor, list(tokens))
    return explanations


def diff(a: vocarix.Vocarix, b: vocarix.Vocarix) -> DocumentDiff:
    """What differs from ``a`` to ``b``: entries, ids, merges with their
    positions, added tokens, model settings and the other sections."""
    result: DocumentDiff = _native.diff(a, b)
    return result
