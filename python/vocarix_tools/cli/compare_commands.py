"""Subcommand that compares two tokenizers: diff."""

from __future__ import annotations

import argparse
import json
from typing import Any, Callable, Sequence, TypeVar

import vocarix_tools
from vocarix_tools.cli.common import EXIT_OK, U64_MAX, Commands, emit_json, integer, open_editor
from vocarix_tools.display import TokenDisplay
from vocarix_tools.inspection import DocumentDiff, Merge, ValueChange

DEFAULT_LIMIT = 10
LONG_VALUE = 100  # characters of a setting or section shown before "..."

Item = TypeVar("Item")


def count(number: int, noun: str, plural_noun: str = "") -> str:
    return f"{number:,} {noun if number == 1 else plural_noun or noun + 's'}"


def summary(diff: DocumentDiff, name_a: str, name_b: str, sizes: dict[str, int], forms: list[str]) -> str:
    """One paragraph with the counts of every kind of change."""
    token_changes = len(diff["only_in_a"]) + len(diff["only_in_b"]) + len(diff["id_changed"])
    merge_changes = len(diff["merges_removed"]) + len(diff["merges_added"]) + len(diff["merges_moved"])
    added_changes = (len(diff["added_tokens_removed"]) + len(diff["added_tokens_added"])
                     + len(diff["added_tokens_changed"]) + diff["added_tokens_reordered"])
    if not (token_changes or merge_changes or added_changes or diff["model_changes"] or diff["sections_changed"]):
        text = ("Both tokenizers hold the same tokens with the same ids, the same merges in the same order, "
                "the same added tokens, model settings and sections.")
        if forms:
            text += " Their files differ in form only: " + "; ".join(forms) + "."
        return text

    def change(before: int, after: int) -> str:
        return "unchanged" if before == after else f"{after - before:+,} from {before:,}"

    sentences = [
        f"{name_b} has {count(sizes['vocab_b'], 'token')} ({change(sizes['vocab_a'], sizes['vocab_b'])}) and "
        f"{count(sizes['merges_b'], 'merge')} ({change(sizes['merges_a'], sizes['merges_b'])}) against {name_a}.",
        f"Tokens: {len(diff['only_in_a']):,} only in {name_a}, {len(diff['only_in_b']):,} only in {name_b}, "
        f"{len(diff['id_changed']):,} with another id, "
        f"{diff['common_tokens'] - len(diff['id_changed']):,} the same.",
        f"Merges: {len(diff['merges_removed']):,} removed, {len(diff['merges_added']):,} added, "
        f"{len(diff['merges_moved']):,} moved, {diff['common_merges'] - len(diff['merges_moved']):,} in place.",
        f"added_tokens: {len(diff['added_tokens_removed']):,} removed, {len(diff['added_tokens_added']):,} added, "
        f"{len(diff['added_tokens_changed']):,} changed"
        + (", listed in another order." if diff["added_tokens_reordered"] else "."),
    ]
    changed = [name for name, _, _ in diff["model_changes"]]
    sentences.append("Model settings changed: " + (", ".join(changed) if changed else "none") + ".")
    sections = [name for name, _, _ in diff["sections_changed"]]
    sentences.append("Other sections changed: " + (", ".join(sections) if sections else "none") + ".")
    if forms:
        sentences.append("Form: " + "; ".join(forms) + ".")
    return " ".join(sentences)


def form_changes(a: Any, b: Any) -> list[str]:
    form_a, form_b = vocarix_tools.document_form(a), vocarix_tools.document_form(b)
    changes = []
    if form_a["merges"] != form_b["merges"]:
        changes.append(f"merges written as {form_a['merges']}, then {form_b['merges']}")
    if form_a["unk_token"] != form_b["unk_token"]:
        changes.append(f"unk_token {form_a['unk_token']}, then {form_b['unk_token']}")
    return changes


def value_text(value: str | None) -> str:
    if value is None:
        return "(absent)"
    return value if len(value) <= LONG_VALUE else value[:LONG_VALUE] + "..."


def value_json(name: str, before: str | None, after: str | None) -> dict[str, Any]:
    """A change as JSON; a side the document leaves out is left out."""
    change: dict[str, Any] = {"name": name}
    if before is not None:
        change["before"] = json.loads(before)
    if after is not None:
        change["after"] = json.loads(after)
    return change


def merge_json(merges: Sequence[Merge], display: TokenDisplay) -> list[dict[str, Any]]:
    texts = display.texts([part for _, left, right in merges for part in (left, right)])
    return [
        {"position": position, "left": left, "right": right,
         "left_text": texts[2 * k], "right_text": texts[2 * k + 1]}
        for k, (position, left, right) in enumerate(merges)
    ]


def limited(items: Sequence[Item], limit: int, line: Callable[[Sequence[Item]], list[str]]) -> list[str]:
    """Lines for the first `limit` items, and how many more there are."""
    lines = line(items[:limit])
    if len(items) > limit:
        lines.append(f"  ... and {len(items) - limit:,} more (--limit N or --json for more)")
    return lines


def text_report(diff: DocumentDiff, args: argparse.Namespace, display_a: TokenDisplay,
                display_b: TokenDisplay, paragraph: str) -> list[str]:
    limit: int = args.limit
    name_a, name_b = args.tokenizer, args.other
    lines = [f"{name_a} -> {name_b}", paragraph]

    def tokens(items: Sequence[tuple[str, int]], display: TokenDisplay) -> list[str]:
        shown = display.show_many([token for token, _ in items])
        return [f"  id {token_id:>10}  {text}" for (_, token_id), text in zip(items, shown)]

    def merges(items: Sequence[Merge], display: TokenDisplay) -> list[str]:
        shown = display.show_many([part for _, left, right in items for part in (left, right, left + right)])
        return [f"  #{position:<8} {shown[3 * k]} + {shown[3 * k + 1]} -> {shown[3 * k + 2]}"
                for k, (position, _, _) in enumerate(items)]

    sections: list[tuple[str, Sequence[Any], Callable[[Sequence[Any]], list[str]]]] = [
        (f"tokens only in {name_a}", diff["only_in_a"], lambda items: tokens(items, display_a)),
        (f"tokens only in {name_b}", diff["only_in_b"], lambda items: tokens(items, display_b)),
        ("tokens with another id", diff["id_changed"], lambda items: [
            f"  {text}: {id_a} -> {id_b}"
            for (_, id_a, id_b), text in zip(items, display_a.show_many([t for t, _, _ in items]))]),
        (f"merges removed (positions in {name_a})", diff["merges_removed"], lambda items: merges(items, display_a)),
        (f"merges added (positions in {name_b})", diff["merges_added"], lambda items: merges(items, display_b)),
        ("merges moved (position before -> after)", diff["merges_moved"], lambda items: [
            f"  {left} + {right}: #{position_a} -> #{position_b}"
            for (_, _, position_a, position_b), left, right in zip(
                items, display_a.show_many([m[0] for m in items]), display_a.show_many([m[1] for m in items]))]),
        ("added_tokens removed", diff["added_tokens_removed"],
         lambda items: [f"  {display_a.show(content)}: {value_text(before)}" for content, before, _ in items]),
        ("added_tokens added", diff["added_tokens_added"],
         lambda items: [f"  {display_b.show(content)}: {value_text(after)}" for content, _, after in items]),
        ("added_tokens changed", diff["added_tokens_changed"], lambda items: [
            f"  {display_a.show(content)}: {value_text(before)} -> {value_text(after)}"
            for content, before, after in items]),
        ("model settings changed", diff["model_changes"], lambda items: [
            f"  {name}: {value_text(before)} -> {value_text(after)}" for name, before, after in items]),
        ("other sections changed", diff["sections_changed"], lambda items: [
            f"  {name}: {value_text(before)} -> {value_text(after)}" for name, before, after in items]),
    ]
    for title, items, line in sections:
        if items:
            lines.append(f"{title}: {len(items):,}")
            lines.extend(limited(items, limit, line))
    if diff["added_tokens_reordered"]:
        lines.append("added_tokens: the entries both files hold are listed in another order")
    return lines


def json_report(diff: DocumentDiff, display_a: TokenDisplay, display_b: TokenDisplay,
                paragraph: str, forms: list[str]) -> dict[str, Any]:
    def tokens(items: Sequence[tuple[str, int]], display: TokenDisplay) -> list[dict[str, Any]]:
        texts = display.texts([token for token, _ in items])
        return [{"token": token, "text": text, "id": token_id} for (token, token_id), text in zip(items, texts)]

    def entries(items: Sequence[ValueChange], display: TokenDisplay) -> list[dict[str, Any]]:
        texts = display.texts([content for content, _, _ in items])
        return [{**value_json("entry", before, after), "content": content, "text": text}
                for (content, before, after), text in zip(items, texts)]

    moved_texts = display_a.texts([part for left, right, _, _ in diff["merges_moved"] for part in (left, right)])
    return {
        "summary": paragraph,
        "common_tokens": diff["common_tokens"],
        "common_merges": diff["common_merges"],
        "only_in_a": tokens(diff["only_in_a"], display_a),
        "only_in_b": tokens(diff["only_in_b"], display_b),
        "id_changed": [
            {"token": token, "text": text, "id_a": id_a, "id_b": id_b}
            for (token, id_a, id_b), text in zip(
                diff["id_changed"], display_a.texts([t for t, _, _ in diff["id_changed"]]))],
        "merges_removed": merge_json(diff["merges_removed"], display_a),
        "merges_added": merge_json(diff["merges_added"], display_b),
        "merges_moved": [
            {"left": left, "right": right, "left_text": moved_texts[2 * k], "right_text": moved_texts[2 * k + 1],
             "position_a": position_a, "position_b": position_b}
            for k, (left, right, position_a, position_b) in enumerate(diff["merges_moved"])],
        "added_tokens": {
            "removed": entries(diff["added_tokens_removed"], display_a),
            "added": entries(diff["added_tokens_added"], display_b),
            "changed": entries(diff["added_tokens_changed"], display_a),
            "reordered": diff["added_tokens_reordered"],
        },
        "model_changes": [value_json(*change) for change in diff["model_changes"]],
        "sections_changed": [value_json(*change) for change in diff["sections_changed"]],
        "form_changes": forms,
    }


def cmd_diff(args: argparse.Namespace) -> int:
    a = open_editor(args.tokenizer)
    b = open_editor(args.other)
    display_a, display_b = TokenDisplay(a, args.raw), TokenDisplay(b, args.raw)
    diff = vocarix_tools.diff(a, b)
    sizes = {"vocab_a": a.vocab_size, "vocab_b": b.vocab_size, "merges_a": a.merges_count, "merges_b": b.merges_count}
    forms = form_changes(a, b)
    paragraph = summary(diff, args.tokenizer, args.other, sizes, forms)
    if args.json:
        emit_json({"command": "diff", "a": args.tokenizer, "b": args.other,
                   "result": json_report(diff, display_a, display_b, paragraph, forms)}, token_texts=False)
    else:
        print("\n".join(text_report(diff, args, display_a, display_b, paragraph)))
    return EXIT_OK


def register(commands: Commands) -> None:
    diff = commands.add("diff", cmd_diff, "list what differs between two tokenizers: tokens, ids, merges, "
                        "added tokens, settings", [])
    diff.add_argument("other", metavar="OTHER_JSON", help="the tokenizer.json to compare with")
    diff.add_argument("--limit", metavar="N", type=integer(0, U64_MAX), default=DEFAULT_LIMIT,
                      help=f"list at most N items of each kind (default {DEFAULT_LIMIT}); --json lists all")
