"""Subcommands that edit a tokenizer: add, remove, shrink, sync-chars, reindex."""

from __future__ import annotations

import argparse
import sys
from collections import Counter
from typing import Any, Optional

import vocarix_tools
from vocarix_tools import _native, usage
from vocarix_tools.cli import add_summary, usage_commands
from vocarix_tools.cli.common import (
    U32_MAX, U64_MAX, CliError, Commands, UsageError, add_listing_arguments, add_reading_arguments, finish_edit,
    folder_keep, gather_tokens, integer, listed, listing_limit, name_tokens, open_editor, output_target, plural,
    read_token_file, reading_of, result_dict, show, show_list, start_edit, open_tokenizer,
)
from vocarix_tools.cli.guards import refuse_losing_most_merges, refuse_mixed_styles


def reading_choice(args: argparse.Namespace) -> str:
    """How the words of `add` are read: as text by default, stored with
    --stored (and for --atomic, which adds special tokens as they are)."""
    if args.stored:
        return "stored"
    if args.text:
        return "text"
    return "stored" if args.atomic else "auto"


def stored_forms(editor: Any, tokens: list[str], args: argparse.Namespace,
                 forms: Optional[list[str]]) -> tuple[list[str], list[usage.WordAddition]]:
    """The stored tokens the words stand for, for the paths that add stored
    tokens directly, and how each was read (words read as nothing listed as refused)."""
    readings = usage.read_words(editor, tokens, reading=reading_choice(args), forms=forms)
    words = add_summary.flatten_readings(readings)
    return [w["form"] for w in words if w["form"]], words


def cmd_add(args: argparse.Namespace) -> int:
    args.write_to = output_target(args)
    if not args.keep_size:
        for flag, given in (("--whitelist and --whitelist-file", args.whitelist or args.whitelist_file),
                            ("--corpus and --counts", args.corpus or args.counts is not None),
                            ("--min-id", args.min_id != 0)):
            if given:
                raise UsageError(f"{flag} only apply to add --keep-size")
    if args.atomic and args.method is not None:
        raise UsageError("--method does not apply to --atomic, which adds no merges")
    if args.keep_size and args.literal and (args.method is not None or args.corpus or args.counts or args.min_id):
        raise UsageError("add --keep-size --literal runs the module's add_tokens_keep_size, which takes only "
                         "the tokens and --whitelist")
    if not args.tokens and not args.from_file:
        raise UsageError("give TOKENS or --from-file PATH")
    forms = add_summary.parse_forms(args.forms)
    tokens = gather_tokens(args)
    named = list(args.whitelist)
    for path in args.whitelist_file:
        named.extend(read_token_file(path))
    method = args.method or "reachable"
    limit = listing_limit(args)
    editor = open_editor(args.tokenizer)
    # Whitelisted tokens are named as every command names tokens; one that names none is kept by nobody.
    whitelist, unnamed = name_tokens(editor, named)
    whitelist += unnamed
    counts = usage_commands.usage_counts(args, editor) if args.keep_size else None
    before = start_edit(args, editor)
    summary: list[str] = []
    result: Any
    if args.keep_size and not args.literal or not (args.atomic or method == "prefix" or args.keep_size):
        reading = reading_choice(args)
        report: usage.AdditionReport
        if args.keep_size:
            # The session repairs afterwards.
            kept = usage.add_keep_size(editor, tokens, method=method, whitelist=whitelist + folder_keep(args, editor),
                                       min_id=args.min_id,
                                       counts=counts, literal=True, reading=reading, forms=forms)
            report, result = kept, dict(kept)
            summary += add_summary.describe_keep_size(editor, kept, counts is not None, limit)
        else:
            report = usage.add_words(editor, tokens, method=method, literal=True, reading=reading, forms=forms)
            result = report["words"]
            summary += add_summary.describe_addition(editor, report, limit)
        if add_summary.nothing_added(report):
            raise CliError("nothing added: " + "; ".join(add_summary.failure_lines(editor, report["words"])))
        return finish_edit(args, editor, before, result, summary)

    stored, words = stored_forms(editor, tokens, args, forms)
    failures = add_summary.failure_lines(editor, words)
    if not stored:
        raise CliError("nothing added: " + "; ".join(failures))
    if reading_choice(args) != "stored":
        summary += add_summary.reading_lines(words, limit)
    if failures:
        summary.append(f"not added: {listed(failures, limit, '; ')}")
    if args.keep_size:
        result = editor.add_tokens_keep_size(stored, whitelist)
        summary.append(
            f"requested {plural(result['tokens_requested'], 'token')}: {result['tokens_added']} added, "
            f"{result['tokens_removed']} removed to keep the vocabulary size"
        )
    elif args.atomic:
        result = [{"token": token, "added": editor.add_token_atomic(token)} for token in stored]
        added = sum(entry["added"] for entry in result)
        summary.append(f"requested {plural(len(stored), 'token')}: {added} added without merges, "
                       f"{len(stored) - added} already present")
    else:
        results = editor.add_tokens(stored)
        result = [result_dict(r) for r in results]
        methods = Counter(r.method for r in results if r.added)
        present = [r.token for r in results if not r.added]
        how = ", ".join(f"{count} {method}" for method, count in sorted(methods.items()))
        summary.append(f"requested {plural(len(stored), 'token')}: {sum(methods.values())} added"
                       + (f" ({how})" if how else "") + f", {len(present)} already present")
        summary.append(f"appended {plural(sum(len(r.added_merges) for r in results), 'merge')}")
        produced = usage.produced_whole(editor, stored)
        summary.append(f"the runtime produces {sum(produced)} of {len(stored)} whole in running text "
                       "(the reachable method, the default, makes it produce them)")
    return finish_edit(args, editor, before, result, summary)


def cmd_remove(args: argparse.Namespace) -> int:
    args.write_to = output_target(args)
    if not args.tokens and not args.from_file:
        raise UsageError("give TOKENS or --from-file PATH")
    tokens = gather_tokens(args)
    editor = open_editor(args.tokenizer)
    resolved = usage.resolve_tokens(editor, tokens, reading=reading_of(args))
    requested = list(dict.fromkeys(token for item in resolved for token in item["tokens"]))
    missing = [item["given"] for item in resolved if not item["tokens"]]
    if not requested:
        # Nothing is written: an output that equals the input would pass for a removal.
        raise CliError(f"no token to remove: {listed([add_summary.quoted(t) for t in missing], 10)} "
                       "names no token of the file (see 'vocarix show')")
    before = start_edit(args, editor)
    results = editor.remove_tokens(requested)
    # Requested tokens that were present but went with an earlier token's cascade.
    roots = {r.root_token for r in results}
    taken_along = [t for t in requested if t not in roots]
    summary = [
        f"removed {plural(len(results), 'requested token')}: "
        f"{plural(sum(len(r.removed_tokens) for r in results), 'token')} and "
        f"{plural(sum(len(r.removed_merges) for r in results), 'merge')} in total (dependents included)"
    ]
    # Arguments that named tokens shown otherwise: typed words and the forms they named.
    read = [f"{add_summary.quoted(item['given'])} -> {', '.join(show(t) for t in item['tokens'])}"
            for item in resolved if [show(t) for t in item["tokens"]] not in ([], [add_summary.quoted(item["given"])])]
    if read:
        summary.append(f"read as text: {listed(read, 10, '; ')}")
    if taken_along:
        summary.append(f"already removed as dependents: {show_list(taken_along)}")
    if missing:
        summary.append(f"not in the vocabulary: {show_list(missing)}")
    data = {"results": [result_dict(r) for r in results], "not_found": missing, "resolved": resolved}
    return finish_edit(args, editor, before, data, summary)


def cmd_shrink(args: argparse.Namespace) -> int:
    args.write_to = output_target(args)
    editor = open_editor(args.tokenizer)
    before = start_edit(args, editor)
    summary: list[str] = []
    if args.literal:
        candidates = editor.find_tokens_to_shrink(args.count, args.min_id)
        result = editor.shrink(args.count, args.min_id)
        data = result_dict(result)
        data["candidates"] = [list(c) for c in candidates]
        removed = [token for token, _, _ in candidates]
        spared: list[str] = []
    else:
        # Tokens that added_tokens lists stay, and so does whatever their removal would take.
        report = usage.shrink_sparing(editor, args.count, args.min_id, keep=folder_keep(args, editor), literal=True)
        data = dict(report)
        removed, spared = report["removed"], report["spared"]
    if args.dry_run and removed and not args.json:
        limit = listing_limit(args)
        summary.append(f"{plural(len(removed), 'token')} would be removed (with their dependents):")
        summary += [f"  {len(token):>4} chars  {show(token)}" for token in removed[:limit]]
        if len(removed) > limit:
            summary.append(f"  ... ({len(removed) - limit} more: --limit N, --all or --json)")
    summary.append(f"removed the {plural(data['tokens_removed_count'], 'longest token')}: "
                   f"{plural(data['total_tokens_removed'], 'token')} and "
                   f"{plural(data['total_merges_removed'], 'merge')} in total (dependents included)")
    if spared:
        summary.append(f"kept {plural(len(spared), 'longer token')} that added_tokens lists, the folder names, or "
                       f"that their removal would take along: {show_list(spared)}")
    return finish_edit(args, editor, before, data, summary)


def cmd_sync_chars(args: argparse.Namespace) -> int:
    args.write_to = output_target(args)
    editor = open_editor(args.tokenizer)
    source = open_tokenizer(args.source)
    if not args.force:
        refuse_mixed_styles(editor, source, args.tokenizer, args.source)
    before = start_edit(args, editor)
    # The progress report waits until the guard has passed, so that a refusal is the first thing printed.
    result = _native.sync_single_chars(editor, source, args.min_id, progress=False)
    progress = result.pop("progress")
    if not args.force:
        refuse_losing_most_merges(before.merges_count_before, editor.merges_count)
    sys.stderr.write(progress)
    sys.stderr.flush()
    summary = [
        f"{result['chars_in_source']} single characters in {args.source}: "
        f"{result['chars_already_present']} already present, {result['chars_added_count']} added; "
        f"removed {plural(result['total_tokens_removed'], 'token')} and "
        f"{plural(result['total_merges_removed'], 'merge')}"
    ]
    return finish_edit(args, editor, before, dict(result), summary)


def cmd_reindex(args: argparse.Namespace) -> int:
    args.write_to = output_target(args)
    editor = open_editor(args.tokenizer)
    before = start_edit(args, editor)
    result = editor.reindex_vocab()
    if result.ids_remapped:
        line = (f"renumbered {result.ids_remapped} ids, closed {result.gaps_removed} gaps: "
                f"ids {result.old_min_id}..{result.old_max_id} -> {result.new_min_id}..{result.new_max_id}")
    else:
        line = "ids were already sequential; nothing renumbered"
    return finish_edit(args, editor, before, result_dict(result), [line])


def register(commands: Commands) -> None:
    parents = commands.parents
    add_cmd = commands.add("add", cmd_add, "add words, with the merges that build them",
                           [parents.writing, parents.token_source])
    reading = add_cmd.add_mutually_exclusive_group()
    reading.add_argument("--text", action="store_true",
                         help="read every word as text, even one that looks stored (by default a word that carries "
                              "the file's space mark or suffix, or in a byte-level file reads back as other text, "
                              "is kept as it is)")
    reading.add_argument("--stored", action="store_true",
                         help="take every word exactly as given, as the vocabulary stores it (the default for "
                              "--atomic)")
    add_cmd.add_argument("--forms", metavar="LIST",
                         help="which forms of a word read as text to add, by where running text meets them: space "
                              "(after a space), start (at the start of a text), newline (after a line break), "
                              "script (inside text of a script written without spaces), and capitalised, joined by "
                              "commas, or all; by default a word's forms after a space and at the start of a line, "
                              "or for a script written without spaces inside its own text and at the start of a "
                              "line")
    add_listing_arguments(add_cmd, "words, forms and evictions")
    mode = add_cmd.add_mutually_exclusive_group()
    mode.add_argument("--keep-size", action="store_true",
                      help="keep the vocabulary's size and ids: each new entry takes the id of a token evicted "
                           "for it, the least used first with --corpus or --counts, else the tokens least "
                           "likely to be used (first those no merge builds, then those the latest merges build)")
    mode.add_argument("--atomic", action="store_true",
                      help="insert into the vocabulary only, no merges (special tokens); "
                           "the document's added_tokens list is not changed")
    add_cmd.add_argument("--whitelist", metavar="TOK", nargs="+", action="extend", default=[],
                         help="with --keep-size: tokens never removed (the list ends at the next option)")
    add_cmd.add_argument("--whitelist-file", metavar="PATH", action="append", default=[],
                         help="with --keep-size: whitelist tokens from a file, like --from-file")
    add_cmd.add_argument("--method", choices=usage.METHODS, default=None,
                         help="reachable (default): merges that join the pieces the model makes of each word now, "
                              "so the model produces it whole; prefix: the module's add_token (longest prefix + rest)")
    usage_commands.add_usage_arguments(add_cmd, required=False)
    add_cmd.add_argument("--min-id", metavar="M", type=integer(0, U32_MAX), default=0,
                         help="with --keep-size: never evict tokens with id < M")

    remove = commands.add("remove", cmd_remove, "remove tokens and everything that depends on them; exit 1 "
                          "and nothing written when no argument names a token",
                          [parents.writing, parents.token_source])
    add_reading_arguments(remove)

    shrink = commands.add("shrink", cmd_shrink,
                          "remove the N longest ordinary tokens, sparing the tokens added_tokens lists "
                          "(--literal: the module's shrink)")
    shrink.add_argument("count", metavar="N", type=integer(0, U64_MAX), help="how many tokens to remove")
    shrink.add_argument("--min-id", metavar="M", type=integer(0, U32_MAX), default=0,
                        help="only consider tokens with id >= M")
    add_listing_arguments(shrink, "tokens --dry-run lists")

    sync = commands.add("sync-chars", cmd_sync_chars,
                        "add the single-character tokens of SOURCE that are missing, keeping the size "
                        "(--force: sync even from a source of another token style, or when more than half "
                        "the merges would go)")
    sync.add_argument("source", metavar="SOURCE", help="tokenizer.json (or model folder) to take the characters from")
    sync.add_argument("--min-id", metavar="M", type=integer(0, U32_MAX), default=0,
                      help="only remove tokens with id >= M to make room")

    commands.add("reindex", cmd_reindex, "renumber ids to 0..size-1, closing gaps")
