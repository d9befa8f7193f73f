"""Subcommands that learn tokens from text: learn (new merges from a corpus),
merge (another tokenizer's entries) and count-words (the word counts both start from)."""

from __future__ import annotations

import argparse
import os

import vocarix_tools
from vocarix_tools import corpus_counting, counting, learning
from vocarix_tools.cli.common import (
    EXIT_OK, U32_MAX, U64_MAX, CliError, Commands, UsageError, emit_json, finish_edit, folder_keep, integer,
    name_tokens, one_line, open_editor, output_target, plural, read_token_file, report_stream, show_list, start_edit,
    open_tokenizer,
)
from vocarix_tools.cli.add_summary import entries
from vocarix_tools.cli.corpus_arguments import CORPUS_HELP, add_counting_arguments, corpus_words, corpus_words_for
from vocarix_tools.corpus_counting import WordCounts

WORD_COUNTS_HELP = ("word-count files instead of --corpus: JSON objects of word (as the model receives it) "
                    "-> count, or JSON Lines of [word, count], as 'vocarix count-words' writes them; they add up")


def word_counts_from_files(paths: list[str]) -> WordCounts:
    total = WordCounts()
    for path in paths:
        try:
            counting.add_counts(total.words, counting.read_counts(path, kind="word"), path)
        except OSError as error:
            raise CliError(f"cannot read {path}: {error.strerror or error}") from None
    return total


def gather_words(args: argparse.Namespace, editor: object) -> WordCounts:
    counts = corpus_words(args, editor, args.corpus) if args.corpus else word_counts_from_files(args.word_counts)
    if not any(counts.words.values()):
        where = "the corpus" if args.corpus else "the word-count files"
        raise CliError(f"{where} holds no words to learn from")
    return counts


def change(before: int, after: int) -> str:
    if before == 0:
        return f"{before:,} -> {after:,}"
    return f"{before:,} -> {after:,} ({(after - before) / before:+.1%})"


def describe_learning(report: learning.LearnReport, asked: int, limit: int = 20) -> list[str]:
    merges = report["merges"]
    reused = sum(1 for m in merges if not m["new_entry"])
    created = report["entries_created"]
    lines = [f"counted {report['words']:,} words ({report['distinct_words']:,} distinct)",
             f"learned {entries(len(created))}: "
             f"{plural(len(merges), 'merge')} appended"
             + (f" ({reused} of them join into existing entries)" if reused else "")
             + (f", {plural(len(report['characters']), 'character')} that only byte tokens spelled"
                if report["characters"] else ""),
             f"corpus tokens {change(report['tokens_before'], report['tokens_after'])}"]
    if created:
        lines.append(f"new tokens, in the order learned: {show_list([t for t, _ in created], limit)}")
    if report["exhausted"]:
        lines.append(f"note: the corpus yields only {len(created)} of the {asked} entries asked for: "
                     "no pair is left that occurs --min-count times or more")
    if report["keep_size"]:
        evicted = report["evicted"]
        how = "least used on the corpus first" if report["usage_from_corpus"] else "least used by --counts first"
        lines.append(f"evicted {plural(len(evicted), 'token')} to keep the size ({how}); each new entry took an "
                     f"evicted id: {show_list([e['token'] for e in evicted], 10)}")
        if report["without_room"]:
            lines.append(f"warning: nothing was left to evict for {len(report['without_room'])} new entries; "
                         f"they took new ids: {show_list([t for t, _ in report['without_room']], 10)}")
        lines.append(f"vocabulary size {report['initial_vocab_size']} -> {report['final_vocab_size']}")
    return lines


def cmd_learn(args: argparse.Namespace) -> int:
    args.write_to = output_target(args)
    if args.add == 0:
        raise UsageError("--add 0 learns nothing: give the number of new entries to learn (1 or more)")
    if not args.keep_size:
        for flag, given in (("--counts", args.counts is not None), ("--min-id", args.min_id != 0),
                            ("--keep", bool(args.keep))):
            if given:
                raise UsageError(f"{flag} only applies to learn --keep-size")
    named: list[str] = []
    for path in args.keep:
        named.extend(read_token_file(path))
    editor = open_editor(args.tokenizer)
    keep, unnamed = name_tokens(editor, named)
    keep += unnamed
    counts = gather_words(args, editor)
    usage = None
    if args.counts is not None:
        try:
            usage = counting.read_counts(args.counts)
        except OSError as error:
            raise CliError(f"cannot read {args.counts}: {error.strerror or error}") from None
    session = start_edit(args, editor)
    keep += folder_keep(args, editor)
    report = learning.learn(editor, counts, args.add, min_count=args.min_count, keep_size=args.keep_size,
                            keep=keep, min_id=args.min_id, usage=usage, literal=True)
    return finish_edit(args, editor, session, dict(report), describe_learning(report, args.add))


def cmd_count_words(args: argparse.Namespace) -> int:
    editor = open_editor(args.tokenizer)
    counts = corpus_words(args, editor, args.corpus)
    # The file is made on as many threads as the corpus was counted on processes.
    counts.write_words_json(args.output, threads=args.jobs or os.cpu_count() or 1)
    # The totals come from the core's table: the words never become a dict here.
    total = counts.total
    if args.json:
        emit_json({"command": "count-words", "input": args.tokenizer, "output": args.output, "lines": counts.lines,
                   "distinct_words": counts.distinct, "words": total,
                   "added_tokens": sum(counts.added_tokens.values())})
    else:
        print(f"counted {total:,} {'word' if total == 1 else 'words'}, {counts.distinct:,} distinct, "
              f"in {counts.lines:,} {'line' if counts.lines == 1 else 'lines'}; "
              f"wrote {args.output}", file=report_stream(args))
    return EXIT_OK


def open_other(path: str) -> object:
    """OTHER, a tokenizer file or a model folder's tokenizer.json."""
    try:
        return open_tokenizer(path)
    except (OSError, ValueError) as error:
        raise CliError(f"cannot read OTHER {path}: {one_line(error)}") from None


def describe_merge(report: learning.MergeReport, limit: int = 10) -> list[str]:
    created = report["entries_created"]
    lines = [f"OTHER has {report['other_entries']:,} entries; {report['missing']:,} are not in BASE",
             f"added {report['added']:,} of them ({report['with_other_merge']:,} with OTHER's own merge, "
             f"{report['with_chain']:,} with merges of BASE's pieces): {entries(len(created))}, "
             f"{plural(len(report['merges_appended']), 'merge')} appended"]
    if created:
        lines.append(f"new tokens: {show_list([t for t, _ in created], limit)}")
    if report["left_out_for_room"]:
        lines.append(f"left out {report['left_out_for_room']:,} more that --add leaves no room for")
    if report["not_added"]:
        lines.append(f"not added, BASE's model cannot produce them: {show_list(report['not_added'], limit)}")
    running = report["running_text"]
    words = len(running["produced_whole"]) + len(running["never_met"]) + len(running["not_whole"])
    if words:
        lines.append(f"in running text BASE's model produces {len(running['produced_whole']):,} of the "
                     f"{words:,} added words whole wherever it meets them")
    if running["never_met"]:
        lines.append(f"note: running text never gives BASE's model {plural(len(running['never_met']), 'word')} "
                     f"in OTHER's form (its pre-tokenizer cuts such text otherwise): "
                     f"{show_list(running['never_met'], limit)}")
    return lines


def cmd_merge(args: argparse.Namespace) -> int:
    args.write_to = output_target(args)
    if args.by == "count" and not args.corpus:
        raise UsageError("--by count ranks OTHER's tokens by their use on --corpus: give --corpus")
    if args.add == 0:
        raise UsageError("--add 0 adds nothing: give the number of new entries (1 or more), or leave it out")
    editor = open_editor(args.tokenizer)
    other = open_other(args.other)
    difference = learning.style_difference(editor, other)  # type: ignore[arg-type]
    if difference and not args.force:
        raise CliError(f"{difference}; their tokens would not mean the same text (--force merges anyway)")
    usage = counts = None
    if args.corpus:
        other_counts, counts = corpus_words_for(args, [(other, args.other), (editor, args.tokenizer)], args.corpus)
        usage = corpus_counting.token_counts(other, other_counts)  # type: ignore[arg-type]
    session = start_edit(args, editor)
    report = learning.merge_vocabulary(editor, other, add=args.add, usage=usage, words=counts,  # type: ignore[arg-type]
                                       rank_by_usage=(args.by or "count") == "count", literal=True)
    summary = describe_merge(report)
    result: dict[str, object] = dict(report)
    if counts is not None:
        created = [token for token, _ in report["entries_created"]]
        produced, parts = learning.entries_in_use(editor, corpus_counting.token_counts(editor, counts), created)
        summary.append(f"on the corpus the model produces {len(produced):,} of the {len(created):,} new entries; "
                       f"{len(parts):,} more are parts of the merges that build them, "
                       f"{len(created) - len(produced) - len(parts):,} unused")
        result["corpus"] = {"produced": produced, "parts": parts}
    return finish_edit(args, editor, session, result, summary)


def register(commands: Commands) -> None:
    parents = commands.parents
    learn = commands.add("learn", cmd_learn, "learn new tokens from a corpus: the tokenizer's own BPE continued, "
                         "every existing id and merge kept", [parents.writing])
    source = learn.add_mutually_exclusive_group(required=True)
    source.add_argument("--corpus", metavar="FILE", nargs="+", action="extend", help=CORPUS_HELP)
    source.add_argument("--word-counts", metavar="FILE", nargs="+", action="extend", help=WORD_COUNTS_HELP)
    learn.add_argument("--add", metavar="N", type=integer(0, U32_MAX), required=True,
                       help="how many new entries to learn")
    learn.add_argument("--min-count", metavar="K", type=integer(1, U64_MAX), default=2,
                       help="learn a merge only where it joins K occurrences or more (default 2)")
    learn.add_argument("--keep-size", action="store_true",
                       help="keep the vocabulary's size: each new entry takes the id of a token evicted for it, "
                            "the least used on the corpus first")
    learn.add_argument("--counts", metavar="COUNTS",
                       help="with --keep-size: rank evictions by this token-count file instead of the corpus")
    learn.add_argument("--keep", metavar="FILE", action="append", default=[],
                       help="with --keep-size: tokens never evicted, one per line like --from-file; repeatable")
    learn.add_argument("--min-id", metavar="M", type=integer(0, U32_MAX), default=0,
                       help="with --keep-size: never evict tokens with id < M")
    add_counting_arguments(learn)

    merge = commands.add("merge", cmd_merge, "bring another tokenizer's entries into this one, with merges that "
                         "make its model produce them; every existing id and merge kept (--force merges a "
                         "tokenizer that writes tokens in another style)", [parents.writing])
    merge.add_argument("other", metavar="OTHER", help="the tokenizer.json (or model folder) whose entries to bring in")
    merge.add_argument("--add", metavar="N", type=integer(0, U32_MAX), default=None,
                       help="add at most N new entries, the ones that matter most first (default: all)")
    merge.add_argument("--by", choices=("rank", "count"), default=None,
                       help="what matters most: OTHER's merge order (rank) or use on --corpus (count; "
                            "the default with --corpus)")
    merge.add_argument("--corpus", metavar="FILE", nargs="+", action="extend",
                       help="text to rank OTHER's tokens by and to report how many new entries the model produces")
    add_counting_arguments(merge)

    count = commands.add("count-words", cmd_count_words,
                         "count the words of a corpus as the model receives them (for learn --word-counts)", [])
    count.add_argument("--corpus", metavar="FILE", nargs="+", action="extend", required=True, help=CORPUS_HELP)
    count.add_argument("-o", "--output", metavar="COUNTS", required=True, help="the word-count file to write")
    add_counting_arguments(count)
