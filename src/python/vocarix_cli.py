"""The `vocarix` command: inspect and edit BPE tokenizer.json files.

    vocarix SUBCOMMAND TOKENIZER_JSON [ARGS] [-o OUT | --in-place] [--json]

Subcommands: stats, validate, add, remove, shrink, sync-chars, reindex.
Editing subcommands write only to -o OUT or, with --in-place, back to the
input file. Exit status: 0 success, 1 input or document error, 2 usage error.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections import Counter
from typing import Any, Callable, NoReturn, Sequence

import vocarix
import vocarix_compat

U32_MAX = 2**32 - 1
U64_MAX = 2**64 - 1
BAR_WIDTH = 40

EXIT_OK = 0
EXIT_INPUT = 1
EXIT_USAGE = 2


# --- Loading and saving -----------------------------------------------------
# Every subcommand opens and writes documents through these two functions
# only. Files are opened through the lenient front door, so older layouts
# (string merges, null unk_token, absent flags) load and are written back in
# their own form; a one-line notice says when a file needed that.


def open_editor(path: str) -> vocarix_compat.LenientEditor:
    """Load the tokenizer at `path` for editing; OSError or ValueError with a reason on failure."""
    try:
        editor = vocarix_compat.open_tokenizer(path)
    except OSError as error:
        # The strict loader's own message does not say what is wrong with the
        # content; parsing the text again names the problem and its position.
        try:
            with open(path, encoding="utf-8") as handle:
                text = handle.read()
        except (OSError, UnicodeError):
            raise error from None
        try:
            vocarix.Vocarix.from_json(text)
        except ValueError as detail:
            reason = str(detail).removeprefix("Failed to parse JSON: ")
            raise OSError(f"cannot load {path}: {reason}") from None
        raise
    if editor.notice:
        print(f"note: {editor.notice}", file=sys.stderr)
    return editor


def save_editor(editor: vocarix_compat.LenientEditor, path: str) -> None:
    """Write the editor's document to `path`, in the form its file was read in."""
    editor.save(path)


# --- Errors and output helpers ----------------------------------------------


class CliError(Exception):
    """A problem with the input; reported as one line, exit status 1."""


class UsageError(Exception):
    """A bad combination of arguments; reported as one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line instead of the usage block followed by the message.
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def one_line(text: object) -> str:
    return " ".join(str(text).split())


def show(token: str) -> str:
    """A token quoted so that leading and trailing spaces stay visible."""
    return json.dumps(token, ensure_ascii=False)


def show_list(tokens: Sequence[str], limit: int = 10) -> str:
    shown = ", ".join(show(t) for t in tokens[:limit])
    if len(tokens) > limit:
        shown += f", ... ({len(tokens) - limit} more)"
    return shown


def result_dict(result: object) -> dict[str, Any]:
    """A result object as a dict of its attributes, in their declared order."""
    return {
        name: getattr(result, name)
        for name, value in vars(type(result)).items()
        if not name.startswith("_") and isinstance(value, property)
    }


def _stdout_is_utf8() -> bool:
    encoding = getattr(sys.stdout, "encoding", None) or ""
    return encoding.lower().replace("-", "").replace("_", "") == "utf8"


def emit_json(data: object) -> None:
    print(json.dumps(data, ensure_ascii=not _stdout_is_utf8()))


def sizes(editor: vocarix_compat.LenientEditor) -> dict[str, int]:
    return {"vocab_size": editor.vocab_size, "merges_count": editor.merges_count}


# --- Arguments --------------------------------------------------------------


def _integer(low: int, high: int) -> Callable[[str], int]:
    def convert(text: str) -> int:
        try:
            value = int(text, 10)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{value} is outside {low}..{high}")
        return value

    return convert


def read_token_file(path: str) -> list[str]:
    """One token per line, UTF-8. Only the line break is removed ("\\n" or
    "\\r\\n"); spaces around a token are part of it. Empty lines are skipped."""
    try:
        with open(path, encoding="utf-8-sig", newline="") as handle:
            text = handle.read()
    except UnicodeDecodeError as error:
        raise CliError(f"{path}: not UTF-8 text (byte {error.start})") from None
    except OSError as error:
        raise CliError(f"cannot read {path}: {error.strerror or error}") from None
    tokens = []
    for line in text.split("\n"):
        if line.endswith("\r"):
            line = line[:-1]
        if line:
            tokens.append(line)
    return tokens


def gather_tokens(args: argparse.Namespace) -> list[str]:
    tokens = list(args.tokens)
    for path in args.from_file:
        tokens.extend(read_token_file(path))
    return tokens


def output_target(args: argparse.Namespace, needed: bool = True, unneeded_reason: str = "") -> str | None:
    """The path to write to, after checking -o/--in-place against `needed`."""
    chosen = args.output is not None or args.in_place
    if needed and not chosen:
        raise UsageError("this changes the tokenizer: give -o OUT or --in-place")
    if not needed and chosen:
        raise UsageError(f"-o/--in-place {unneeded_reason}")
    if args.in_place:
        return str(args.tokenizer)
    return None if args.output is None else str(args.output)


def write_output(editor: vocarix_compat.LenientEditor, path: str) -> None:
    """Save to `path` (the editor replaces the file only once the new text is
    complete), with a clear message for the common reasons a save cannot work."""
    target = os.path.realpath(path)
    directory = os.path.dirname(target)
    if not os.path.isdir(directory):
        raise CliError(f"cannot write {path}: directory {directory} does not exist")
    if os.path.isdir(target):
        raise CliError(f"cannot write {path}: it is a directory")
    save_editor(editor, path)


def finish_edit(args: argparse.Namespace, editor: vocarix_compat.LenientEditor, before: dict[str, int],
                result: object, summary: list[str]) -> int:
    output = args.write_to
    write_output(editor, output)
    if args.json:
        emit_json({
            "command": args.command,
            "input": args.tokenizer,
            "output": output,
            "before": before,
            "after": sizes(editor),
            "result": result,
        })
    else:
        summary.append(
            f"vocabulary {before['vocab_size']} -> {editor.vocab_size}, "
            f"merges {before['merges_count']} -> {editor.merges_count}; wrote {output}"
        )
        print("\n".join(summary))
    return EXIT_OK


# --- Subcommands ------------------------------------------------------------


def length_chart(distribution: Sequence[tuple[int, int]]) -> list[str]:
    """The token-length distribution as one text bar per length."""
    if not distribution:
        return ["  (empty vocabulary)"]
    block = "\u2588" if _stdout_is_utf8() else "#"
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


def cmd_add(args: argparse.Namespace) -> int:
    args.write_to = output_target(args)
    if (args.whitelist or args.whitelist_file) and not args.keep_size:
        raise UsageError("--whitelist and --whitelist-file only apply to add --keep-size")
    if not args.tokens and not args.from_file:
        raise UsageError("give TOKENS or --from-file PATH")
    tokens = gather_tokens(args)
    whitelist = list(args.whitelist)
    for path in args.whitelist_file:
        whitelist.extend(read_token_file(path))
    editor = open_editor(args.tokenizer)
    before = sizes(editor)
    summary: list[str] = []
    result: Any
    if args.keep_size:
        result = editor.add_tokens_keep_size(tokens, whitelist)
        summary.append(
            f"requested {plural(result['tokens_requested'], 'token')}: {result['tokens_added']} added, "
            f"{result['tokens_removed']} removed to keep the vocabulary size"
        )
    elif args.atomic:
        result = [{"token": token, "added": editor.add_token_atomic(token)} for token in tokens]
        added = sum(entry["added"] for entry in result)
        summary.append(f"requested {plural(len(tokens), 'token')}: {added} added without merges, "
                       f"{len(tokens) - added} already present")
    else:
        results = editor.add_tokens(tokens)
        result = [result_dict(r) for r in results]
        methods = Counter(r.method for r in results if r.added)
        present = [r.token for r in results if not r.added]
        how = ", ".join(f"{count} {method}" for method, count in sorted(methods.items()))
        summary.append(f"requested {plural(len(tokens), 'token')}: {sum(methods.values())} added"
                       + (f" ({how})" if how else "") + f", {len(present)} already present")
        summary.append(f"appended {plural(sum(len(r.added_merges) for r in results), 'merge')}")
    return finish_edit(args, editor, before, result, summary)


def cmd_remove(args: argparse.Namespace) -> int:
    args.write_to = output_target(args)
    if not args.tokens and not args.from_file:
        raise UsageError("give TOKENS or --from-file PATH")
    tokens = gather_tokens(args)
    editor = open_editor(args.tokenizer)
    before = sizes(editor)
    requested = list(dict.fromkeys(tokens))
    missing = [t for t in requested if not editor.has_token(t)]
    results = editor.remove_tokens(tokens)
    # Requested tokens that were present but went with an earlier token's cascade.
    skipped = {r.root_token for r in results}.union(missing)
    taken_along = [t for t in requested if t not in skipped]
    summary = [
        f"removed {plural(len(results), 'requested token')}: "
        f"{plural(sum(len(r.removed_tokens) for r in results), 'token')} and "
        f"{plural(sum(len(r.removed_merges) for r in results), 'merge')} in total (dependents included)"
    ]
    if taken_along:
        summary.append(f"already removed as dependents: {show_list(taken_along)}")
    if missing:
        summary.append(f"not in the vocabulary: {show_list(missing)}")
    data = {"results": [result_dict(r) for r in results], "not_found": missing}
    return finish_edit(args, editor, before, data, summary)


def cmd_shrink(args: argparse.Namespace) -> int:
    args.write_to = output_target(args, not args.dry_run, "cannot be used with --dry-run")
    editor = open_editor(args.tokenizer)
    if args.dry_run:
        candidates = editor.find_tokens_to_shrink(args.count, args.min_id)
        if args.json:
            emit_json({"command": "shrink", "input": args.tokenizer,
                       "result": {"candidates": [list(c) for c in candidates]}})
        else:
            print(f"{plural(len(candidates), 'token')} would be removed (with their dependents):")
            for token, token_id, length in candidates:
                print(f"  {token_id:>10}  {length:>4} chars  {show(token)}")
        return EXIT_OK
    before = sizes(editor)
    result = editor.shrink(args.count, args.min_id)
    summary = [f"removed the {plural(result.tokens_removed_count, 'longest token')}: "
               f"{plural(result.total_tokens_removed, 'token')} and "
               f"{plural(result.total_merges_removed, 'merge')} in total (dependents included)"]
    return finish_edit(args, editor, before, result_dict(result), summary)


def cmd_sync_chars(args: argparse.Namespace) -> int:
    args.write_to = output_target(args)
    editor = open_editor(args.tokenizer)
    before = sizes(editor)
    # Progress lines of the sync go straight to file descriptor 2.
    sys.stdout.flush()
    sys.stderr.flush()
    result = editor.sync_single_chars(args.source, args.min_id)
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
    before = sizes(editor)
    result = editor.reindex_vocab()
    if result.ids_remapped:
        line = (f"renumbered {result.ids_remapped} ids, closed {result.gaps_removed} gaps: "
                f"ids {result.old_min_id}..{result.old_max_id} -> {result.new_min_id}..{result.new_max_id}")
    else:
        line = "ids were already sequential; nothing renumbered"
    return finish_edit(args, editor, before, result_dict(result), [line])


# --- Parser -----------------------------------------------------------------

TOKEN_FILE_HELP = (
    "read tokens from PATH, one per line (UTF-8); only the line break is removed, so "
    "leading and trailing spaces belong to the token; empty lines are skipped; repeatable"
)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="vocarix",
        description="Inspect and edit BPE tokenizer.json files.",
        epilog="Editing subcommands need -o OUT or --in-place. Tokens that begin with '-' "
               "go after '--'. Exit status: 0 ok, 1 input or document error, 2 usage error.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {vocarix.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="SUBCOMMAND", required=True)

    common = _Parser(add_help=False)
    common.add_argument("tokenizer", metavar="TOKENIZER_JSON", help="the tokenizer.json to read")
    common.add_argument("--json", action="store_true", help="print the result as JSON")

    writing = _Parser(add_help=False)
    output = writing.add_mutually_exclusive_group()
    output.add_argument("-o", "--output", metavar="OUT", help="write the edited tokenizer to OUT")
    output.add_argument("--in-place", action="store_true", help="overwrite TOKENIZER_JSON")

    token_source = _Parser(add_help=False)
    token_source.add_argument("tokens", nargs="*", metavar="TOKENS", help="tokens, exactly as written")
    token_source.add_argument("--from-file", metavar="PATH", action="append", default=[], help=TOKEN_FILE_HELP)

    def add(name: str, handler: Callable[[argparse.Namespace], int], help: str,
            parents: Sequence[_Parser] = (writing,)) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help, parents=[common, *parents])
        sub.set_defaults(handler=handler)
        return sub

    add("stats", cmd_stats, "counts, id range and gaps, invalid merges, token lengths", [])

    validate = add("validate", cmd_validate, "list merges whose result is not in the vocabulary")
    validate.add_argument("--remove", action="store_true", help="remove the invalid merges (needs -o or --in-place)")

    add_cmd = add("add", cmd_add, "add tokens, with the merges that build them", [writing, token_source])
    mode = add_cmd.add_mutually_exclusive_group()
    mode.add_argument("--keep-size", action="store_true",
                      help="remove one of the longest other tokens after each addition to keep the size")
    mode.add_argument("--atomic", action="store_true",
                      help="insert into the vocabulary only, no merges (special tokens); "
                           "the document's added_tokens list is not changed")
    add_cmd.add_argument("--whitelist", metavar="TOK", nargs="+", action="extend", default=[],
                         help="with --keep-size: tokens never removed (the list ends at the next option)")
    add_cmd.add_argument("--whitelist-file", metavar="PATH", action="append", default=[],
                         help="with --keep-size: whitelist tokens from a file, like --from-file")

    add("remove", cmd_remove, "remove tokens and everything that depends on them", [writing, token_source])

    shrink = add("shrink", cmd_shrink, "remove the N longest ordinary tokens")
    shrink.add_argument("count", metavar="N", type=_integer(0, U64_MAX), help="how many tokens to remove")
    shrink.add_argument("--min-id", metavar="M", type=_integer(0, U32_MAX), default=0,
                        help="only consider tokens with id >= M")
    shrink.add_argument("--dry-run", action="store_true", help="only list the tokens that would be removed")

    sync = add("sync-chars", cmd_sync_chars,
               "add the single-character tokens of SOURCE that are missing, keeping the size")
    sync.add_argument("source", metavar="SOURCE", help="tokenizer.json to take the characters from")
    sync.add_argument("--min-id", metavar="M", type=_integer(0, U32_MAX), default=0,
                      help="only remove tokens with id >= M to make room")

    add("reindex", cmd_reindex, "renumber ids to 0..size-1, closing gaps")
    return parser


def _subcommands(parser: argparse.ArgumentParser) -> dict[str, argparse.ArgumentParser]:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return dict(action.choices)
    return {}


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    if not _stdout_is_utf8() and hasattr(sys.stdout, "reconfigure"):
        # Tokens in any script must not make printing fail.
        sys.stdout.reconfigure(errors="backslashreplace")
    arguments = list(sys.argv[1:] if argv is None else argv)
    try:
        subcommands = _subcommands(parser)
        if arguments and arguments[0] in subcommands:
            # Intermixed parsing lets options stand between the tokens.
            args = subcommands[arguments[0]].parse_intermixed_args(arguments[1:])
            args.command = arguments[0]
        else:
            args = parser.parse_args(arguments)
    except SystemExit as stop:
        return stop.code if isinstance(stop.code, int) else EXIT_USAGE
    try:
        return int(args.handler(args))
    except UsageError as error:
        print(f"vocarix {args.command}: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader of our output went away (for example `| head`).
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_INPUT
    except (CliError, OSError, ValueError, OverflowError) as error:
        print(f"vocarix {args.command}: error: {one_line(error)}", file=sys.stderr)
        return EXIT_INPUT
    except KeyboardInterrupt:
        print("vocarix: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
