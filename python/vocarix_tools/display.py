"""Tokens as people read them.

Vocabularies store tokens in encodings of their own: byte-level files write
``以下`` as ``ä»¥ä¸ĭ``, "▁" files mark a leading space with ``▁``. A
``TokenDisplay`` made for an editor shows each token as the text it stands
for, double-quoted:

- byte-level characters are decoded; bytes that are not whole characters
  show as ``\\xNN``;
- ``▁`` stays as the visible mark of a space it is (the text, as ``text()``
  gives it, holds a space);
- control, format and other invisible characters are escaped (``\\n``,
  ``\\u{200b}``); byte tokens show as ``<0xNN>``, as stored.

With ``raw=True`` it shows the stored forms instead. ``text()`` always gives
the decoded text, for JSON output next to the stored form.

    display = TokenDisplay(editor)
    print(display.show("Ġhello"))    # " hello"
"""

from __future__ import annotations

import json
from typing import Dict, Iterable, List, Sequence, TypedDict

import vocarix

from vocarix_tools import _native


class TokenText(TypedDict):
    token: str  # the stored form
    text: str  # the text it stands for


class TokenDisplay:
    """Readable forms of one editor's tokens (a snapshot of its style and
    added tokens: later edits do not change how it shows tokens)."""

    def __init__(self, editor: vocarix.Vocarix | None = None, raw: bool = False) -> None:
        self.raw = raw
        self._texts = None if editor is None else _native.TokenTexts(editor)

    def show(self, token: str) -> str:
        """The token as a double-quoted readable literal."""
        return self.show_many([token])[0]

    def show_many(self, tokens: Sequence[str]) -> list[str]:
        if isinstance(tokens, str):
            raise TypeError("tokens must be a sequence of str, not one str")
        if self.raw or self._texts is None:
            return [json.dumps(token, ensure_ascii=False) for token in tokens]
        shown: list[str] = self._texts.quoted(list(tokens))
        return shown

    def text(self, token: str) -> str:
        """The text the token stands for."""
        return self.texts([token])[0]

    def texts(self, tokens: Sequence[str]) -> list[str]:
        if isinstance(tokens, str):
            raise TypeError("tokens must be a sequence of str, not one str")
        if self._texts is None:
            return list(tokens)
        texts: list[str] = self._texts.texts(list(tokens))
        return texts

    def entries(self, tokens: Sequence[str]) -> List[TokenText]:
        """``{"token": stored, "text": text}`` for each token, for JSON output."""
        return [{"token": token, "text": text} for token, text in zip(tokens, self.texts(tokens))]

    def text_map(self, strings: Iterable[str]) -> Dict[str, str]:
        """Stored form -> text for every string whose text differs from it."""
        distinct = list(dict.fromkeys(strings))
        return {s: t for s, t in zip(distinct, self.texts(distinct)) if s != t}
