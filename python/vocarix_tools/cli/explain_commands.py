"""Subcommands that look at single tokens: show, longest."""

from __future__ import annotations

import argparse
import json
import re
from typing import Any, Sequence

import vocarix

import vocarix_tools
from vocarix_tools import _native, usage
from vocarix_tools.cli.common import (
    EXIT_INPUT, EXIT_OK, U32_MAX, U64_MAX, Commands, add_reading_arguments, emit_json, integer, open_editor, plural,
    reading_of, token_display,
)
from vocarix_tools.display import TokenDisplay
from vocarix_tools.inspection import Merge, TokenExplanation

DEFAULT_LIMIT = 10
DEFAULT_LONGEST = 20
DIGITS = re.compile(r"[0-9]+")


def resolve(editor: vocarix.Vocarix, arguments: Sequence[str], ids: bool,
            reading: str = "auto") -> list[tuple[str, str | None]]:
    """(argument, token) for each token an argument names: digits name an id
    unless `ids` is off (None where no token holds the id; ids of added
    tokens outside the vocabulary are the ids the runtime gives them);
    other arguments name tokens as every command reads them (a stored form,
    the text a display shows, or a typed word and its forms). An argument
    that names no entry is explained as the text it stands for."""
    runtime_ids: dict[int, str] | None = None
    texts = _native.TokenTexts(editor)
    words = [a for a in arguments if not ids or not DIGITS.fullmatch(a)]
    named = iter(usage.resolve_tokens(editor, words, reading=reading))
    resolved: list[tuple[str, str | None]] = []
    for argument in arguments:
        if not ids or not DIGITS.fullmatch(argument):
            found = next(named)["tokens"]
            resolved += [(argument, token) for token in found] or [(argument, unnamed_form(texts, argument))]
            continue
        token_id = int(argument)
        token = editor.get_token_by_id(token_id) if token_id <= U32_MAX else None
        if token is None:
            if runtime_ids is None:
                outside = vocarix_tools.vocabulary_report(editor, 0)["added_outside_vocab"]
                runtime_ids = {entry["runtime_id"]: entry["content"] for entry in outside}
            token = runtime_ids.get(token_id)
        resolved.append((argument, token))
    return resolved


def unnamed_form(texts: _native.TokenTexts, argument: str) -> str:
    """What an argument that names no entry is explained as: text with a
    space in a style that marks spaces in its stored form, else as given."""
    spaced = " " in argument and texts.style["style"] in ("byte_level", "metaspace")
    return texts.stored([argument])[0] if spaced else argument


def merge_lines(merges: Sequence[Merge], display: TokenDisplay, limit: int) -> str:
    shown = display.show_many([part for _, left, right in merges[:limit] for part in (left, right)])
    parts = [f"#{position} {shown[2 * k]} + {shown[2 * k + 1]}" for k, (position, _, _) in enumerate(merges[:limit])]
    if len(merges) > limit:
        parts.append(f"... ({len(merges) - limit:,} more)")
    return ", ".join(parts)


def merges_json(merges: Sequence[Merge], display: TokenDisplay) -> list[dict[str, Any]]:
    texts = display.texts([part for _, left, right in merges for part in (left, right)])
    return [{"position": position, "left": left, "right": right,
             "left_text": texts[2 * k], "right_text": texts[2 * k + 1]}
            for k, (position, left, right) in enumerate(merges)]


def split_json(explanation: TokenExplanation, display: TokenDisplay) -> dict[str, Any] | None:
    split = explanation["split"]
    if split is None:
        return None
    texts = display.texts([split["word"], *split["pieces"]])
    return {
        "word": split["word"],
        "word_text": texts[0],
        "pieces": [{"token": piece, "text": text, "id": piece_id}
                   for piece, text, piece_id in zip(split["pieces"], texts[1:], split["ids"])],
        "met_unknown": split["met_unknown"],
    }


def describe(explanation: TokenExplanation, display: TokenDisplay, limit: int) -> list[str]:
    token = explanation["token"]
    shown = display.show(token)
    stored = TokenDisplay(None, raw=True).show(token)
    heading = shown if shown == stored else f"{shown}  (stored {stored})"
    kind = ("byte token" if explanation["byte_token"] else "special" if explanation["special"] else "ordinary")
    if explanation["id"] is not None:
        where = f"id {explanation['id']}"
    elif explanation["runtime_id"] is not None:
        where = f"not in the vocabulary; the runtime gives it id {explanation['runtime_id']} as an added token"
    else:
        where = "not in the vocabulary"
    added = explanation["added_token"]
    if added is None:
        listed = "no"
    else:
        stored_id = "no id" if added["stored_id"] is None else f"stored id {added['stored_id']}"
        listed = f"yes ({stored_id}{', special' if added['special'] else ''})"
    producers, uses = explanation["producers"], explanation["uses"]
    length = plural(explanation["char_length"], "character")
    text_length = len(display.text(token))
    if text_length != explanation["char_length"]:
        length += f" stored, {text_length} as text"
    split = explanation["split"]
    if split is None:
        splits = "  the model splits whole words, and this piece only stands inside one"
    else:
        pieces = display.show_many(split["pieces"])
        word = " it" if split["word"] == token else f" the word {display.show(split['word'])}"
        splits = (f"  the model splits{word} into {plural(len(pieces), 'piece')}: "
                  + " + ".join(f"{piece} ({piece_id})" for piece, piece_id in zip(pieces, split["ids"]))
                  + ("; characters it does not know became the unknown token or were dropped"
                     if split["met_unknown"] else ""))
    return [
        heading,
        f"  {where}; {length}; {kind}",
        f"  in added_tokens: {listed}",
        f"  produced by {len(producers):,} merge{'s' if len(producers) != 1 else ''}"
        + (f": {merge_lines(producers, display, limit)}" if producers else ""),
        f"  used by {len(uses):,} merge{'s' if len(uses) != 1 else ''}"
        + (f": {merge_lines(uses, display, limit)}" if uses else ""),
        splits,
    ]


def cmd_show(args: argparse.Namespace) -> int:
    editor = open_editor(args.tokenizer)
    display = token_display()
    resolved = resolve(editor, args.tokens, not args.no_ids, reading_of(args))
    found = [token for _, token in resolved if token is not None]
    explained = iter(vocarix_tools.explain_tokens(editor, found))
    entries: list[tuple[str, TokenExplanation | None]] = [
        (argument, next(explained) if token is not None else None) for argument, token in resolved]
    if args.json:
        results: list[dict[str, Any]] = []
        for argument, explanation in entries:
            if explanation is None:
                results.append({"argument": argument, "token": None})
                continue
            added = explanation["added_token"]
            results.append({
                "argument": argument,
                **explanation,
                "text": display.text(explanation["token"]),
                "added_token": None if added is None else {**added, "entry": json.loads(added["entry"])},
                "producers": merges_json(explanation["producers"], display),
                "uses": merges_json(explanation["uses"], display),
                "split": split_json(explanation, display),
            })
        emit_json({"command": "show", "input": args.tokenizer, "result": {"tokens": results}}, token_texts=False)
    else:
        lines: list[str] = []
        for argument, explanation in entries:
            if explanation is None:
                lines.append(f"{argument}: no token has this id")
                continue
            if DIGITS.fullmatch(argument) and argument != explanation["token"]:
                lines.append(f"id {argument}:")
            elif argument != explanation["token"]:
                lines.append(f"{json.dumps(argument, ensure_ascii=False)}, read as the text it stands for:")
            lines.extend(describe(explanation, display, args.limit))
            if DIGITS.fullmatch(argument) and not args.no_ids and editor.has_token(argument):
                lines.append(f"  note: {argument} was read as an id; --no-ids reads it as the token")
        print("\n".join(lines))
    return EXIT_OK if all(explanation is not None for _, explanation in entries) else EXIT_INPUT


def cmd_longest(args: argparse.Namespace) -> int:
    editor = open_editor(args.tokenizer)
    display = token_display()
    candidates = editor.find_tokens_to_shrink(args.count, args.min_id)
    tokens = [token for token, _, _ in candidates]
    if args.json:
        emit_json({"command": "longest", "input": args.tokenizer, "result": {"tokens": [
            {"token": token, "text": text, "id": token_id, "length": length}
            for (token, token_id, length), text in zip(candidates, display.texts(tokens))]}}, token_texts=False)
        return EXIT_OK
    where = f" with id >= {args.min_id}" if args.min_id else ""
    print(f"the {len(candidates):,} longest ordinary tokens{where} (no single characters, no special tokens), "
          "by length as stored:")
    for (_, token_id, length), shown in zip(candidates, display.show_many(tokens)):
        print(f"  id {token_id:>10}  {length:>4} chars  {shown}")
    return EXIT_OK


def register(commands: Commands) -> None:
    show = commands.add("show", cmd_show, "explain tokens: id, length, the merges that produce and use them, "
                        "added_tokens entry, how the model splits them", [])
    show.add_argument("tokens", nargs="+", metavar="TOKEN",
                      help="tokens as stored, the text a display shows for them (\" the\" for \"Ġthe\"), words as "
                           "typed (each of their forms that is a token), or ids")
    show.add_argument("--no-ids", action="store_true", help="read arguments made of digits as tokens, not ids")
    add_reading_arguments(show)
    show.add_argument("--limit", metavar="N", type=integer(0, U64_MAX), default=DEFAULT_LIMIT,
                      help=f"list at most N merges of each kind (default {DEFAULT_LIMIT}); --json lists all")

    longest = commands.add("longest", cmd_longest, "list the longest ordinary tokens", [])
    longest.add_argument("count", metavar="N", type=integer(0, U64_MAX), nargs="?", default=DEFAULT_LONGEST,
                         help=f"how many (default {DEFAULT_LONGEST})")
    longest.add_argument("--min-id", metavar="M", type=integer(0, U32_MAX), default=0,
                         help="only tokens with id >= M")
