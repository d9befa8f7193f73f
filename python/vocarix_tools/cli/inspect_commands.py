"""Subcommands that look at a tokenizer: stats, validate."""

from __future__ import annotations

import argparse
from typing import Sequence

from vocarix_tools.cli.common import (
    EXIT_OK, Commands, emit_json, finish_edit, open_editor, output_target, plural, result_dict, show,
    sizes, stdout_is_utf8,
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


def cmd_stats(args: argparse.Namespace) -> int:
    editor = open_editor(args.tokenizer)
    stats = editor.get_stats()
    has_gaps, total_gaps, low, high = editor.check_vocab_gaps()
    invalid = editor.validate_merges().invalid_count
    data = result_dict(stats)
    data.update(has_gaps=has_gaps, total_gaps=total_gaps, invalid_merges_count=invalid)
    if args.json:
        emit_json({"command": "stats", "input": args.tokenizer, "result": data})
        return EXIT_OK
    id_range = f"ids {low}..{high}" if stats.vocab_size else "no ids"
    print(f"{args.tokenizer}")
    print(f"  tokens:          {stats.vocab_size} ({id_range})")
    print(f"  id gaps:         {total_gaps if has_gaps else 'none'}")
    print(f"  merges:          {stats.merges_count} ({invalid} invalid)")
    print(f"  single-char:     {stats.single_char_count}")
    print(f"  special tokens:  {stats.special_token_count}")
    print("token length in characters | tokens")
    print("\n".join(length_chart(stats.length_distribution)))
    return EXIT_OK


def cmd_validate(args: argparse.Namespace) -> int:
    args.write_to = output_target(args, args.remove, "only apply with --remove")
    editor = open_editor(args.tokenizer)
    before = sizes(editor)
    check = editor.validate_merges()
    data = result_dict(check)
    lines = [f"{plural(check.valid_count + check.invalid_count, 'merge')}: "
             f"{check.valid_count} valid, {check.invalid_count} invalid"]
    for position, left, right in check.invalid_merges:
        lines.append(f"  merge {position}: {show(left)} + {show(right)} -> {show(left + right)} is not in the vocabulary")
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
    commands.add("stats", cmd_stats, "counts, id range and gaps, invalid merges, token lengths", [])
    validate = commands.add("validate", cmd_validate, "list merges whose result is not in the vocabulary")
    validate.add_argument("--remove", action="store_true", help="remove the invalid merges (needs -o or --in-place)")
