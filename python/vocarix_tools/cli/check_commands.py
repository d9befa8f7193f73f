"""Subcommand check: what a tokenizer runtime would read differently in a
file from what it states, or refuse; for a model folder, also every file
that disagrees with the tokenizer; --fix repairs what can be repaired."""

from __future__ import annotations

import argparse

import vocarix_tools
from vocarix_tools.consistency import problem_count, rows_line
from vocarix_tools.model_folder import FolderProblem, ModelFolder, open_model
from vocarix_tools.cli.common import (
    EXIT_INPUT, EXIT_OK, Commands, UsageError, emit_json, finish_edit, folder_of, open_editor, output_target, plural,
    show, start_edit,
)


def folder_lines(problems: list[FolderProblem]) -> list[str]:
    """One line per problem, naming the file and the field; warnings last."""
    ordered = [p for p in problems if not p["warning"]] + [p for p in problems if p["warning"]]
    return [f"  {'warning: ' if p['warning'] else ''}{p['file']}" + (f" {p['field']}" if p["field"] else "")
            + f": {p['message']}" + ("" if p["repairable"] or p["warning"] else " (--fix cannot repair this)")
            for p in ordered]


def failing(problems: list[FolderProblem]) -> list[FolderProblem]:
    """The problems that make check fail: all but the warnings."""
    return [p for p in problems if not p["warning"]]


def problems_left(args: argparse.Namespace, folder: ModelFolder, found: list[FolderProblem]) -> list[FolderProblem]:
    """The folder's problems after --fix: those of the folder written, or with
    --dry-run those no repair sets right."""
    if args.dry_run:
        return [p for p in found if not p["repairable"]]
    written = folder if args.in_place else open_model(args.write_to, keep_model=False)
    return written.check()


def cmd_check(args: argparse.Namespace) -> int:
    if args.fix and args.literal:
        raise UsageError("--literal cannot be used with --fix")
    args.write_to = output_target(args, args.fix, "can only be used with --fix")
    editor = open_editor(args.tokenizer)
    folder = folder_of(editor)
    report = vocarix_tools.check(editor)
    folder_problems = [] if folder is None else folder.check()
    if args.fix:
        before = start_edit(args, editor)
        found = problem_count(report) + len(folder_problems)
        summary = [f"{args.tokenizer}: {plural(found, 'problem')} found"]
        result = {"found": report} if folder is None else {"found": report, "folder_problems": folder_problems}
        finish_edit(args, editor, before, result, summary)
        clean = vocarix_tools.check(editor)["clean"]
        if folder is not None:
            left = problems_left(args, folder, folder_problems)
            if left and not args.json:
                print(f"left in the folder: {plural(len(left), 'problem')}")
                print("\n".join(folder_lines(left)))
            clean = clean and not failing(left)
        return EXIT_OK if clean else EXIT_INPUT
    clean = report["clean"] and not failing(folder_problems)
    if args.json:
        emit_json({"command": "check", "input": args.tokenizer, "result": report,
                   **({} if folder is None else {"folder_problems": folder_problems,
                                                 "unchecked_weights": folder.contents["nested_weights"]})})
    elif report["clean"]:
        print(f"{args.tokenizer}: a tokenizer runtime reads it as it states")
        print(rows_line(report))
    else:
        print(f"{args.tokenizer}: {plural(problem_count(report), 'problem')} a tokenizer runtime would meet")
        print("\n".join("  " + line for line in vocarix_tools.describe_check(report, show=show)))
        print(rows_line(report))
    if folder is not None and not args.json:
        failures = failing(folder_problems)
        warnings = len(folder_problems) - len(failures)
        if folder_problems:
            counted = plural(len(failures), "problem") + (f" and {plural(warnings, 'warning')}" if warnings else "")
            print(f"model folder: {counted} in the files beside tokenizer.json")
            print("\n".join(folder_lines(folder_problems)))
        else:
            readers = folder.contents["reader_files"]
            print("model folder: every config, decoder entry and weight agrees with tokenizer.json"
                  + (f", and so do {', '.join(readers)}" if readers else ""))
        nested = folder.contents["nested_weights"]
        if nested:
            print(f"note: weights in subfolders are not checked, and edits leave them as they are: {', '.join(nested)}")
    return EXIT_OK if clean else EXIT_INPUT


def register(commands: Commands) -> None:
    check = commands.add(
        "check", cmd_check,
        "list what a tokenizer runtime would refuse or read differently: merges naming non-entries, "
        "added_tokens ids, shared ids, post-processor and padding ids; for a model folder also every config id, "
        "decoder entry, vocab_size and weight that disagrees with the tokenizer; exit 1 when there is any")
    check.add_argument("--fix", action="store_true",
                       help="repair what can be repaired soundly (needs -o OUT or --in-place) and say what changed")
