"""Subcommands that look at a whole tokenizer: stats, validate."""

from __future__ import annotations

import argparse
from typing import Sequence

import vocarix_tools
from vocarix_tools.cli.common import (
    EXIT_OK, U64_MAX, Commands, add_listing_arguments, emit_json, finish_edit, listing_limit, open_editor,
    output_target, plural, result_dict, show, start_edit, stdout_is_utf8, token_display,
)

BAR_WIDTH = 40


def length_chart(distribution: Sequence[tuple[int, int]]) -> list[str]:
    """The token-length distribution as one text bar per length."""
    if not distribution:
        return ["  (empty vocabulary)"]
    block = "\u2588" if stdout_is_utf8() else "#"
    largest = max(count for _, count in distribution)
    length_width = len(str(distribution[-1][0]))
    count_width = len(str(largest))
    lines = []
    for length, count in distribution:
        bar = block * max(1, round(count * BAR_WIDTH / largest)) if count else ""
        lines.append(f"  {length:>{length_width}} | {bar:<{BAR_WIDTH}} {count:>{count_width}}")
    return lines


STYLE_NAMES = {
    "byte_level": "byte-level",
    "metaspace": "\u2581 marks a space",
    "end_of_word_suffix": "end-of-word suffix",
    "continuing_subword_prefix": "continuing-subword prefix",
    "plain": "plain",
}
LISTED = 10  # gap ranges and added tokens listed in text


def id_ranges(ranges: Sequence[tuple[int, int]]) -> str:
    return ", ".join(str(first) if first == last else f"{first}..{last}" for first, last in ranges)


def cmd_stats(args: argparse.Namespace) -> int:
    editor = open_editor(args.tokenizer)
    stats = editor.get_stats()
    has_gaps, total_gaps, low, high = editor.check_vocab_gaps()
    invalid = editor.validate_merges().invalid_count
    report = vocarix_tools.vocabulary_report(editor, U64_MAX if args.json else LISTED)
    style = report["style"]
    outside = report["added_outside_vocab"]
    data = result_dict(stats)
    data.update(has_gaps=has_gaps, total_gaps=total_gaps, invalid_merges_count=invalid)
    if args.json:
        display = token_display()
        texts = display.texts([entry["content"] for entry in outside])
        data.update(
            style=style,
            gap_ranges=[list(r) for r in report["gap_ranges"]],
            gap_range_count=report["gap_range_count"],
            byte_token_count=report["byte_tokens"],
            special_tokens_besides_bytes=report["special_tokens_besides_bytes"],
            added_token_count=report["added_tokens"],
            added_special_count=report["added_tokens_special"],
            added_tokens_outside_vocab=[{**entry, "text": text} for entry, text in zip(outside, texts)],
            runtime_rows=report["runtime_rows"],
        )
        emit_json({"command": "stats", "input": args.tokenizer, "result": data}, token_texts=False)
        return EXIT_OK
    id_range = f"ids {low}..{high}" if stats.vocab_size else "no ids"
    gaps = "none"
    if has_gaps:
        count = report["gap_range_count"]
        gaps = f"{total_gaps} missing ids in {plural(count, 'range')}: {id_ranges(report['gap_ranges'])}"
        if count > LISTED:
            gaps += f", ... ({count - LISTED} more ranges)"
    print(f"{args.tokenizer}")
    print(f"  tokens:          {stats.vocab_size} ({id_range})")
    print(f"  style:           {STYLE_NAMES.get(style['style'], style['style'])} ({style['evidence']})")
    print(f"  id gaps:         {gaps}")
    print(f"  merges:          {stats.merges_count} ({invalid} invalid)")
    print(f"  single-char:     {stats.single_char_count}")
    print(f"  added tokens:    {report['added_tokens']} in added_tokens, {report['added_tokens_special']} of them "
          "marked special (the special tokens of the runtime)")
    print(f"  bracketed:       {report['special_tokens_besides_bytes']} entries written <...> or [...], byte tokens "
          "aside (shrink and the fixed-size addition never remove them)")
    print(f"  byte tokens:     {report['byte_tokens']}" + (" (<0xNN>)" if report["byte_tokens"] else ""))
    if outside:
        listed = ", ".join(
            f"{show(entry['content'])} {entry['runtime_id']}"
            + ("" if entry["stored_id"] == entry["runtime_id"] else f" (stored {entry['stored_id']})")
            for entry in outside[:LISTED])
        more = f", ... ({len(outside) - LISTED} more)" if len(outside) > LISTED else ""
        print(f"  added tokens outside the vocabulary: {len(outside)}, with the ids the runtime gives them: "
              f"{listed}{more}")
    else:
        print("  added tokens outside the vocabulary: none")
    print(f"  embedding rows:  {report['runtime_rows']} (largest id the runtime uses + 1)")
    print("token length in characters | tokens")
    print("\n".join(length_chart(stats.length_distribution)))
    return EXIT_OK


def cmd_validate(args: argparse.Namespace) -> int:
    args.write_to = output_target(args, args.remove, "can only be used with --remove")
    editor = open_editor(args.tokenizer)
    before = start_edit(args, editor)
    check = editor.validate_merges()
    data = result_dict(check)
    lines = [f"{plural(check.valid_count + check.invalid_count, 'merge')}: "
             f"{check.valid_count} valid, {check.invalid_count} invalid"]
    shown = check.invalid_merges[:listing_limit(args)]
    for position, left, right in shown:
        lines.append(f"  merge {position}: {show(left)} + {show(right)} -> {show(left + right)} is not in the vocabulary")
    if check.invalid_count > len(shown):
        lines.append(f"  ... and {check.invalid_count - len(shown)} more (--limit N, --all or --json for more)")
    if not args.remove:
        if args.json:
            emit_json({"command": "validate", "input": args.tokenizer, "result": data})
        else:
            print("\n".join(lines))
        return EXIT_OK
    data["removed"] = editor.remove_invalid_merges()
    lines.append(f"removed {plural(data['removed'], 'invalid merge')}")
    return finish_edit(args, editor, before, data, lines)


def register(commands: Commands) -> None:
    commands.add("stats", cmd_stats, "counts, style, id range and gaps, invalid merges, byte tokens, added tokens "
                 "outside the vocabulary, embedding rows, token lengths", [])
    validate = commands.add("validate", cmd_validate, "list merges whose result is not in the vocabulary")
    validate.add_argument("--remove", action="store_true", help="remove the invalid merges (needs -o or --in-place)")
    add_listing_arguments(validate, "invalid merges")
