"""Subcommands about usage: count (token counts of a corpus) and prune
(remove the least used tokens)."""

from __future__ import annotations

import argparse
from typing import Optional

from vocarix_tools import corpus_counting, counting, usage
from vocarix_tools.cli.common import (
    EXIT_OK, U32_MAX, U64_MAX, CliError, Commands, UsageError, add_listing_arguments, emit_json, finish_edit, integer,
    folder_keep, listed, listing_limit, name_tokens, open_editor, output_target, plural, read_token_file, show,
    start_edit, runtime_source,
)
from vocarix_tools.cli.corpus_arguments import add_counting_arguments, corpus_words, reading_corpus
from vocarix_tools.corpus_inputs import text_lines

COUNTS_HELP = ("token-count file: a JSON object of token (as the vocabulary writes it) -> times used, "
               "as 'vocarix count' writes it")
CORPUS_HELP = ("UTF-8 text ('-' for standard input, FIFOs, <(command) too): how often the model uses each token "
               "on it, counted as the tokenizers runtime encodes it line by line")


def add_usage_arguments(parser: argparse.ArgumentParser, required: bool) -> None:
    """--corpus TEXT... | --counts COUNTS, for every command that ranks tokens by usage."""
    source = parser.add_mutually_exclusive_group(required=required)
    source.add_argument("--corpus", metavar="TEXT", nargs="+", action="extend", help=CORPUS_HELP)
    source.add_argument("--counts", metavar="COUNTS", help=COUNTS_HELP)
    add_counting_arguments(parser)


def usage_counts(args: argparse.Namespace, editor: object) -> Optional[dict[str, int]]:
    """The counts that --counts names or that --corpus gives; None when neither is given.

    A corpus is counted by the core, as the runtime would encode it (its
    words segmented by the model as the runtime applies it), read as a
    stream; a file whose normalizer or pre-tokenizer the core cannot apply
    is encoded by the runtime itself, line by line."""
    if args.counts is not None:
        try:
            return counting.read_counts(args.counts)
        except OSError as error:
            raise CliError(f"cannot read {args.counts}: {error.strerror or error}") from None
    if not args.corpus:
        return None
    try:
        corpus_counting.check_counting(editor)  # type: ignore[arg-type]
    except ValueError:
        return runtime_usage_counts(args)
    words = corpus_words(args, editor, args.corpus)
    return corpus_counting.token_counts(editor, words)  # type: ignore[arg-type]


def runtime_usage_counts(args: argparse.Namespace) -> dict[str, int]:
    """Token counts of --corpus encoded by the tokenizers runtime, line by
    line, the corpus read as every corpus is (corpus_inputs.text_lines)."""
    try:
        runtime = counting.load_runtime(runtime_source(args.tokenizer))
    except counting.RuntimeMissing as error:
        raise CliError(str(error)) from None
    except Exception as error:
        # The runtime's own errors (a file it refuses) are no Python built-ins.
        raise CliError(f"the tokenizers runtime failed: {error}") from None
    parts = []
    with reading_corpus(args):
        for path in args.corpus:
            try:
                parts.append(counting.count_tokens(runtime, text_lines(path, require_text=True)))
            except (OSError, ValueError):
                raise
            except Exception as error:
                raise CliError(f"the tokenizers runtime failed on {path}: {error}") from None
    return dict(counting.merge_counts(parts))


def cmd_count(args: argparse.Namespace) -> int:
    # The file must be one the tools read, not only one the runtime reads.
    editor = open_editor(args.tokenizer)
    counts = usage_counts(args, editor)
    assert counts is not None  # --corpus is required
    counting.write_counts(counts, args.output)
    total = sum(counts.values())
    if args.json:
        emit_json({"command": "count", "input": args.tokenizer, "output": args.output,
                   "distinct_tokens": len(counts), "tokens": total})
    else:
        print(f"counted {total:,} tokens, {len(counts):,} distinct; wrote {args.output}")
    return EXIT_OK


def cmd_prune(args: argparse.Namespace) -> int:
    args.write_to = output_target(args)
    if args.size is None and args.min_count is None:
        raise UsageError("give --size N or --min-count K")
    named: list[str] = []
    for path in args.keep:
        named.extend(read_token_file(path))
    editor = open_editor(args.tokenizer)
    keep, unnamed = name_tokens(editor, named)
    keep += unnamed
    counts = usage_counts(args, editor)
    assert counts is not None  # one of --corpus and --counts is required
    session = start_edit(args, editor)
    # The session repairs afterwards; the size leaves room for what it pins.
    keep += folder_keep(args, editor)
    result = usage.prune(editor, counts, size=args.size, min_count=args.min_count, keep=keep, min_id=args.min_id,
                         literal=True, room_for_pinned=not args.literal, compact_ids=False)
    removed = result["removed"]
    entries = sum(1 + len(r["taken_along"]) for r in removed)
    summary = [f"removed {plural(entries, 'token')} ({len(removed)} chosen, "
               f"{entries - len(removed)} taken along as their dependents), least used first"]
    if removed:
        most = max(r["cascade_count"] for r in removed)
        unused = sum(1 for r in removed if r["cascade_count"] == 0)
        summary.append(f"{unused} of them were never used; the most used removal was used {most:,} times")
        summary.append("removed, least used first: " + listed([show(r["token"]) for r in removed], listing_limit(args)))
    if removed and not args.keep_ids:
        summary.append("ids renumbered to 0..size-1, so the embedding keeps exactly the rows of the tokens left "
                       "(--id-map says where each row goes; --keep-ids leaves the gaps)")
    if args.size is not None and not result["target_reached"]:
        summary.append(f"warning: stopped at {result['final_vocab_size']} entries, above --size {args.size}: "
                       "every other token is protected or needed by one")
    if result["unknown_counted_tokens"]:
        summary.append(f"note: {plural(result['unknown_counted_tokens'], 'counted token')} "
                       "not in the vocabulary were ignored")
    return finish_edit(args, editor, session, dict(result), summary, compact_ids=bool(removed) and not args.keep_ids)


def register(commands: Commands) -> None:
    parents = commands.parents
    count = commands.add("count", cmd_count, "count how often each token is used on a corpus", [])
    count.add_argument("--corpus", metavar="TEXT", nargs="+", action="extend", required=True, help=CORPUS_HELP)
    count.set_defaults(counts=None)
    count.add_argument("-o", "--output", metavar="COUNTS", required=True, help="the token-count file to write")
    add_counting_arguments(count)

    prune = commands.add("prune", cmd_prune, "remove the least used tokens, keeping what the others need",
                         [parents.writing])
    add_usage_arguments(prune, required=True)
    target = prune.add_argument_group("how far")
    target.add_argument("--size", metavar="N", type=integer(0, U64_MAX),
                        help="remove until the vocabulary has N entries")
    target.add_argument("--min-count", metavar="K", type=integer(0, U64_MAX),
                        help="remove every token used fewer than K times (with all it takes along)")
    prune.add_argument("--keep", metavar="FILE", action="append", default=[],
                       help="tokens never removed, one per line like --from-file; repeatable")
    prune.add_argument("--min-id", metavar="M", type=integer(0, U32_MAX), default=0,
                       help="never remove tokens with id < M")
    prune.add_argument("--keep-ids", action="store_true",
                       help="leave every kept token at its id, gaps included (by default the ids are renumbered "
                            "to 0..size-1, so that the embedding keeps exactly the kept tokens' rows)")
    add_listing_arguments(prune, "removed tokens")
