"""Subcommand check: what a tokenizer runtime would read differently in a
file from what it states, or refuse; --fix repairs what can be repaired."""

from __future__ import annotations

import argparse

import vocarix_tools
from vocarix_tools.consistency import problem_count, rows_line
from vocarix_tools.cli.common import (
    EXIT_INPUT, EXIT_OK, Commands, UsageError, emit_json, finish_edit, open_editor, output_target, plural, show,
    start_edit,
)


def cmd_check(args: argparse.Namespace) -> int:
    if args.fix and args.literal:
        raise UsageError("--literal cannot be used with --fix")
    args.write_to = output_target(args, args.fix, "can only be used with --fix")
    editor = open_editor(args.tokenizer)
    report = vocarix_tools.check(editor)
    if args.fix:
        before = start_edit(args, editor)
        found = problem_count(report)
        summary = [f"{args.tokenizer}: {plural(found, 'problem')} found"]
        finish_edit(args, editor, before, {"found": report}, summary)
        return EXIT_OK if vocarix_tools.check(editor)["clean"] else EXIT_INPUT
    if args.json:
        emit_json({"command": "check", "input": args.tokenizer, "result": report})
    elif report["clean"]:
        print(f"{args.tokenizer}: a tokenizer runtime reads it as it states")
        print(rows_line(report))
    else:
        print(f"{args.tokenizer}: {plural(problem_count(report), 'problem')} a tokenizer runtime would meet")
        print("\n".join("  " + line for line in vocarix_tools.describe_check(report, show=show)))
        print(rows_line(report))
    return EXIT_OK if report["clean"] else EXIT_INPUT


def register(commands: Commands) -> None:
    check = commands.add(
        "check", cmd_check,
        "list what a tokenizer runtime would refuse or read differently: merges naming non-entries, "
        "added_tokens ids, shared ids, post-processor and padding ids; exit 1 when there is any")
    check.add_argument("--fix", action="store_true",
                       help="repair what can be repaired soundly (needs -o OUT or --in-place) and say what changed")
