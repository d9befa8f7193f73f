"""What every subcommand shares: opening and writing documents, errors,
argument types and output helpers."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Callable, Iterator, NoReturn, Sequence, TextIO

import vocarix

import vocarix_tools
from vocarix_tools import _native
from vocarix_tools.display import TokenDisplay
from vocarix_tools.gguf_model import GgufModel, is_gguf, open_gguf
from vocarix_tools.model_folder import ModelFolder, SpecialTokenRemoved, describe_removed, is_model_folder, open_model

U32_MAX = 2**32 - 1
U64_MAX = 2**64 - 1
# Embedding rows are padded to a multiple of at most this (as the core allows).
MAX_PAD_MULTIPLE = 2**16

EXIT_OK = 0
EXIT_INPUT = 1
EXIT_USAGE = 2


class CliError(Exception):
    """A problem with the input; reported as one line, exit status 1."""


class UsageError(Exception):
    """A bad combination of arguments; reported as one line, exit status 2."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line instead of the usage block followed by the message.
        if _json_mode.errors:
            report_error(self.prog.removeprefix("vocarix").strip(), f"{message} (see '{self.prog} --help')",
                         EXIT_USAGE)
            self.exit(EXIT_USAGE)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


# --- Messages -------------------------------------------------------------------
# With --json, everything the command says is JSON: its result, an error
# (one object, on the stream the result would have taken) and notes (one
# object per line on standard error).


class _JsonMode:
    errors = False
    error_stream: TextIO | None = None  # None: standard output


_json_mode = _JsonMode()


def set_json_mode(on: bool, tokenizer_to_stdout: bool = False) -> None:
    _json_mode.errors = on
    _json_mode.error_stream = sys.stderr if tokenizer_to_stdout else None


def report_error(command: str, message: str, status: int) -> None:
    """An error, as one line on standard error or, with --json, as one JSON object."""
    if _json_mode.errors:
        stream = _json_mode.error_stream or sys.stdout
        print(json.dumps({"command": command or None, "error": message, "exit_status": status}), file=stream)
    else:
        print(f"vocarix{' ' + command if command else ''}: error: {message}", file=sys.stderr)


def note(message: str, prefix: str = "note") -> None:
    """A remark on standard error that does not stop the command ("note:
    ...", or after another prefix); a JSON object with --json."""
    if _json_mode.errors:
        print(json.dumps({"note": message}), file=sys.stderr, flush=True)
    else:
        print(f"{prefix}: {message}", file=sys.stderr, flush=True)


# --- Loading and saving -----------------------------------------------------
# Every subcommand opens and writes documents through these functions only.
# Files are opened leniently, so older forms load and are written back in
# their own form; a one-line notice on standard error says when. A model
# folder (a directory holding tokenizer.json) goes wherever a tokenizer
# file does: its editor is the folder's tokenizer, and writing it writes
# the whole folder, every id and the weights following the edit.

# The folders and GGUF models opened by this process, by the id of their editor.
_folders: dict[int, ModelFolder] = {}
_ggufs: dict[int, GgufModel] = {}


def open_editor(path: str) -> vocarix.Vocarix:
    """Load the tokenizer at `path` (a file, or a model folder's tokenizer.json)
    for editing; OSError or ValueError with a reason on failure. Tokens shown
    from now on are read in this file's style."""
    global _display
    if is_model_folder(path):
        # start_edit records the start that the folder is carried from.
        folder = open_model(path, keep_model=False)
        _folders[id(folder.editor)] = folder
        editor = folder.editor
        path = os.path.join(path, "tokenizer.json")
    elif is_gguf(path):
        model = open_gguf(path)
        _ggufs[id(model.editor)] = model
        editor = model.editor
    else:
        editor = vocarix_tools.open(path)
    # A GGUF's tokenizer document is made by the tools: its form is no news to the user.
    notice = None if gguf_of(editor) is not None else vocarix_tools.leniency_notice(editor)
    if notice:
        note(f"{path}: {notice}")
    _display = TokenDisplay(editor, _display.raw)
    return editor


def folder_of(editor: vocarix.Vocarix) -> ModelFolder | None:
    """The model folder `editor` was opened from, or None for a tokenizer file."""
    return _folders.get(id(editor))


def gguf_of(editor: vocarix.Vocarix) -> GgufModel | None:
    """The GGUF model `editor` was opened from, or None."""
    return _ggufs.get(id(editor))


def folder_keep(args: argparse.Namespace, editor: vocarix.Vocarix) -> list[str]:
    """The tokens a model folder's configs and chat templates name, which the
    commands that choose what to remove spare unless --force."""
    folder = folder_of(editor)
    if folder is None or getattr(args, "force", False):
        return []
    return [named["token"] for named in folder.named_tokens()]


def tokenizer_file(path: str) -> str:
    """The tokenizer file a path names: itself, or a model folder's tokenizer.json."""
    return os.path.join(path, "tokenizer.json") if is_model_folder(path) else path


def open_tokenizer(path: str) -> vocarix.Vocarix:
    """A second tokenizer a command reads (not edits): a file, a model folder's
    tokenizer.json, or the tokenizer a GGUF model carries."""
    return open_gguf(path).editor if is_gguf(path) else vocarix_tools.open(tokenizer_file(path))


def runtime_source(path: str) -> str | vocarix.Vocarix:
    """What the tokenizers runtime loads for a path: the tokenizer file, or
    the document of the tokenizer a GGUF model carries."""
    return open_gguf(path).editor if is_gguf(path) else tokenizer_file(path)


# Output paths that mean this process's standard output: the tokenizer goes
# there as it is, and every message goes to standard error instead.
STDOUT_PATHS = ("-", "/dev/stdout", "/dev/fd/1", "/proc/self/fd/1")


def writes_to_stdout(args: argparse.Namespace) -> bool:
    return getattr(args, "write_to", None) in STDOUT_PATHS


def report_stream(args: argparse.Namespace) -> TextIO:
    """Where summaries go: standard error when the tokenizer takes standard output."""
    return sys.stderr if writes_to_stdout(args) else sys.stdout


def write_output(editor: vocarix.Vocarix, path: str) -> None:
    """Save to `path` (the file is replaced only once the new text is
    complete), with a clear message for the common reasons a save cannot work."""
    if path in STDOUT_PATHS:
        sys.stdout.write(_native.file_text(editor))
        sys.stdout.flush()
        return
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise CliError(f"cannot write {path}: directory {directory} does not exist")
    if os.path.isdir(path):
        raise CliError(f"cannot write {path}: it is a directory")
    # A link at `path` is replaced by the new file, not written through.
    _native.save_tokenizer(editor, path)


def sizes(editor: vocarix.Vocarix) -> dict[str, int]:
    return {"vocab_size": editor.vocab_size, "merges_count": editor.merges_count}


def start_edit(args: argparse.Namespace, editor: vocarix.Vocarix) -> vocarix_tools.EditSession:
    """Records what the runtime reads in the document before a command edits it."""
    if args.id_map:
        directory = os.path.dirname(os.path.realpath(args.id_map))
        if not os.path.isdir(directory):
            raise CliError(f"cannot write {args.id_map}: directory {directory} does not exist")
    model = gguf_of(editor)
    if model is not None:
        if args.write_to is not None and not args.in_place:
            check_gguf_output(model, args.write_to)
        # Opening the model began its session, and commands only read the tokenizer before they edit it.
        return model.session
    folder = folder_of(editor)
    if folder is not None:
        if args.write_to is not None and not args.in_place:
            folder.check_output(args.write_to)
        # New rows start from the pieces of their tokens, which the starting model gives.
        return folder.begin_edit(keep_model=bool(args.id_map or folder.contents["weights"]))
    # Only an id map needs the starting model, to split the new tokens.
    return vocarix_tools.EditSession(editor, keep_model=bool(args.id_map))


def finish_edit(args: argparse.Namespace, editor: vocarix.Vocarix, before: vocarix_tools.EditSession,
                result: object, summary: list[str], compact_ids: bool = False) -> int:
    """Repairs what the edit left for the runtime (unless --literal), with
    `compact_ids` renumbers the ids densely, then writes the tokenizer and
    the id map, or with --dry-run only reports."""
    outcome = before.finish(literal=args.literal, compact_ids=compact_ids)
    folder = folder_of(editor)  # its session is `before`
    id_map = before.id_map() if args.id_map else None
    output = None if args.dry_run else args.write_to
    model = gguf_of(editor)
    folder_report = None if folder is None else write_folder(args, folder, output)
    gguf_report = None if model is None else write_gguf(args, model, output)
    if output is not None:
        if folder is None and model is None:
            write_output(editor, output)
        if id_map is not None:
            vocarix_tools.write_id_map(id_map, args.id_map)
    before_sizes = {"vocab_size": before.vocab_size_before, "merges_count": before.merges_count_before}
    stream = report_stream(args)
    if args.json:
        emit_json({
            "command": args.command,
            "input": args.tokenizer,
            "output": output,
            "dry_run": args.dry_run,
            "before": before_sizes,
            "after": sizes(editor),
            "result": result,
            "added_tokens_removed": outcome.added_tokens_removed,
            "repairs": outcome.repairs,
            "problems": outcome.problems,
            "id_map": None if id_map is None else {"path": args.id_map, "rows_before": id_map["rows_before"],
                                                   "rows_after": id_map["rows_after"]},
            **({} if folder_report is None else {"folder": folder_report}),
            **({} if gguf_report is None else {"gguf": gguf_report}),
        }, stream=stream)
        return EXIT_OK
    if outcome.added_tokens_removed:
        count = len(outcome.added_tokens_removed)
        summary.append(f"removed {count} added_tokens {'entry' if count == 1 else 'entries'} with their "
                       f"vocabulary entries: {show_list(outcome.added_tokens_removed)}")
    if outcome.repairs is not None:
        summary += vocarix_tools.describe_repairs(outcome.repairs, show=show)
    if not outcome.problems["clean"]:
        count = vocarix_tools.consistency.problem_count(outcome.problems)
        how = "--literal keeps them" if args.literal else "they cannot be repaired without a choice of yours"
        summary.append(f"warning: a tokenizer runtime would meet {plural(count, 'problem')} in the result "
                       f"({how}); 'vocarix check' lists them")
    if folder_report is not None:
        summary += describe_folder_write(folder_report, written=output is not None)
    if gguf_report is not None:
        summary += describe_gguf_write(gguf_report)
    if output is None:
        where = "dry run, nothing written"
    elif model is not None and gguf_report is not None:
        where = f"rewrote {output} in place" if args.in_place else f"wrote {', '.join(gguf_report['written'])}"
    elif folder is not None:
        where = f"rewrote {output} in place" if args.in_place else f"wrote the folder {output}"
    else:
        where = "wrote standard output" if writes_to_stdout(args) else f"wrote {output}"
    summary.append(
        f"vocabulary {before.vocab_size_before} -> {editor.vocab_size}, "
        f"merges {before.merges_count_before} -> {editor.merges_count}; {where}"
    )
    if id_map is not None:
        summary.append(f"id map: embedding rows {id_map['rows_before']} -> {id_map['rows_after']}, "
                       f"{plural(len(id_map['added']), 'new token')}; wrote {args.id_map}")
    print("\n".join(summary), file=stream)
    return EXIT_OK


def write_folder(args: argparse.Namespace, folder: ModelFolder, output: str | None) -> dict[str, Any]:
    """Writes the edited model folder to `output` (in place with --in-place),
    or with --dry-run only works out what it would change. An edit that
    removes a token a config names is refused first, unless --force."""
    pad = getattr(args, "pad_to_multiple_of", None)
    repair = bool(getattr(args, "fix", False))
    force = bool(getattr(args, "force", False))
    if output is None:
        planned = folder.plan(pad_to_multiple_of=pad, repair=repair)
        if planned["special_tokens_removed"] and not force:
            raise CliError(f"refused: {describe_removed(planned['special_tokens_removed'])} (--force to remove it)")
        return dict(planned)
    try:
        return dict(folder.save(None if args.in_place else output, pad_to_multiple_of=pad, force=force,
                                literal=args.literal, repair=repair, finish=False))
    except SpecialTokenRemoved as refused:
        raise CliError(f"refused: {str(refused).replace('force=True', '--force')}") from None


def check_gguf_output(model: GgufModel, output: str) -> None:
    """Refuses an output a GGUF model cannot be written to, before the edit runs."""
    if not output.lower().endswith(".gguf"):
        raise UsageError(f"a GGUF model is written to a .gguf file, not {output}")
    for path in model.output_paths(output):
        directory = os.path.dirname(os.path.realpath(path))
        if not os.path.isdir(directory):
            raise CliError(f"cannot write {path}: directory {directory} does not exist")
        if os.path.isdir(path):
            raise CliError(f"cannot write {path}: it is a directory")


def write_gguf(args: argparse.Namespace, model: GgufModel, output: str | None) -> dict[str, Any]:
    """Writes the edited GGUF model to `output` (in place with --in-place),
    or with --dry-run only works out what it would change. An edit that
    removes the token of a special id is refused first, unless --force."""
    force = bool(getattr(args, "force", False))
    try:
        if output is None:
            return dict(model.plan(force=force))
        return dict(model.save(None if args.in_place else output, force=force, finish=False))
    except SpecialTokenRemoved as refused:
        raise CliError(f"refused: {str(refused).replace('force=True', '--force')}") from None


def describe_gguf_write(report: dict[str, Any], limit: int = 8) -> list[str]:
    """Summary lines of a GGUF write: keys, rows, placeholders."""
    rows = report["rows"]
    lines = []
    if report["tensors_resized"]:
        lines.append(f"GGUF rows: {', '.join(report['tensors_resized'])} {rows['rows_before']} -> {rows['rows_after']}")
    if report["placeholders"]:
        lines.append(f"GGUF: {plural(report['placeholders'], 'id')} no token holds filled with unused placeholder "
                     f"tokens, rows kept ('vocarix reindex' closes them)")
    changes = [f"{c['key']}: {c['before']} -> {c['after'] or '(dropped)'}" for c in report["changes"]]
    if changes:
        lines.append("GGUF keys changed: " + "; ".join(changes[:limit])
                     + (f"; ... ({len(changes) - limit} more)" if len(changes) > limit else ""))
    for removed in report["special_tokens_removed"]:
        lines.append(f"warning: the edit removed the token of {removed}; the key is dropped")
    if report["rows_of_other_tokens"]:
        lines.append(f"warning: the rows stay as they are, and {plural(report['rows_of_other_tokens'], 'token')} "
                     "now stand at an id that held another token in the model, whose row they take; if the model "
                     "was converted before the edit, give the edit's --id-map")
    return lines


def describe_folder_write(report: dict[str, Any], written: bool, limit: int = 8) -> list[str]:
    """Summary lines of a folder write: files, weights, rows, config values."""
    rows = report["rows"]
    lines = []
    changed = report["rewritten"] if written else report["files_changed"]
    verb = "rewrote" if written else "would rewrite"
    copied = f"; copied {plural(len(report['copied']), 'unchanged file')}" if written and report["copied"] else ""
    lines.append(f"model folder: {verb} {', '.join(changed) if changed else 'no file'}{copied}")
    tensors = report["tensors_resized"]
    if tensors:
        lines.append(f"weights: {plural(len(tensors), 'vocabulary tensor')} rebuilt ({', '.join(tensors)}), "
                     f"embedding rows {rows['rows_before']} -> {rows['rows_after']}"
                     + (f" (padded to a multiple of {rows['multiple']})" if rows["multiple"] > 1 else ""))
    elif rows["rows_before"] != rows["rows_after"]:
        lines.append(f"embedding rows {rows['rows_before']} -> {rows['rows_after']} (no weights in the folder)")
    changes = report["changes"]
    if changes:
        shown = [f"{c['file']} {c['field']}: {c['before'] or '(none)'} -> {c['after'] or '(dropped)'}"
                 for c in changes[:limit]]
        lines.append(f"config values carried to the new ids: {len(changes)}")
        lines += [f"  {line}" for line in shown]
        if len(changes) > limit:
            lines.append(f"  ... ({len(changes) - limit} more)")
    removed = report["special_tokens_removed"]
    if removed:
        lines.append("warning: " + describe_removed(removed) + " (--force)")
    verb = "removed" if written else "would remove"
    lines += [f"{verb} {gone['file']}: {gone['reason']}" for gone in report["files_removed"]]
    lines += [f"note: {text}" for text in report["notes"]]
    return lines


def output_target(args: argparse.Namespace, needed: bool = True, unneeded_reason: str = "") -> str | None:
    """The path to write to, after checking -o/--in-place and the other
    writing options against `needed` and --dry-run."""
    chosen = args.output is not None or args.in_place
    if not needed:
        for flag, given in (("-o/--in-place", chosen), ("--dry-run", args.dry_run), ("--literal", args.literal),
                            ("--id-map", args.id_map is not None)):
            if given:
                raise UsageError(f"{flag} {unneeded_reason}")
        return None
    if args.dry_run:
        for flag, given in (("-o/--in-place", chosen), ("--id-map", args.id_map is not None)):
            if given:
                raise UsageError(f"{flag} cannot be used with --dry-run, which writes nothing")
        return None
    if not chosen:
        raise UsageError("this changes the tokenizer: give -o OUT or --in-place (or --dry-run to preview)")
    if getattr(args, "pad_to_multiple_of", None) is not None and not is_model_folder(args.tokenizer):
        raise UsageError("--pad-to-multiple-of applies to a model folder, whose weights it pads")
    if (args.output is not None and str(args.output).lower().endswith(".gguf") and not is_gguf(args.tokenizer)
            and not os.path.isdir(args.output)):
        raise UsageError(f"{args.output} names a GGUF model, but {args.tokenizer} is not one: a tokenizer is written "
                         "into a GGUF model with 'vocarix sync-gguf'")
    if is_gguf(args.tokenizer) and args.output in STDOUT_PATHS:
        raise UsageError("a GGUF model is written to a .gguf file (-o OUT.gguf) or in place, not to standard output")
    if is_model_folder(args.tokenizer) and args.output in STDOUT_PATHS:
        raise UsageError("a model folder is written to a directory (-o OUT_DIR) or in place, not to standard output")
    if args.in_place:
        return str(args.tokenizer)
    return None if args.output is None else str(args.output)


# --- Output helpers -----------------------------------------------------------


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def one_line(text: object) -> str:
    return " ".join(str(text).split())


# How tokens are shown: readable in the style of the file opened last, or
# as stored with --raw.
_display = TokenDisplay()


def show_raw_tokens(raw: bool) -> None:
    global _display
    _display = TokenDisplay(None, raw)


def token_display() -> TokenDisplay:
    return _display


def show(token: str) -> str:
    """A token as the text it stands for, quoted so that spaces stay visible."""
    return _display.show(token)


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


def stdout_is_utf8() -> bool:
    encoding = getattr(sys.stdout, "encoding", None) or ""
    return encoding.lower().replace("-", "").replace("_", "") == "utf8"


def _strings_in(value: object) -> Iterator[str]:
    if isinstance(value, str):
        yield value
    elif isinstance(value, dict):
        for item in value.values():
            yield from _strings_in(item)
    elif isinstance(value, (list, tuple)):
        for item in value:
            yield from _strings_in(item)


def emit_json(data: object, token_texts: bool = True, stream: TextIO | None = None) -> None:
    """Prints `data` as one JSON object. A command's output gains
    "token_texts": the text each token in its result stands for, where it
    differs from the stored form (commands whose entries carry their text
    pass token_texts=False)."""
    if token_texts and isinstance(data, dict) and "result" in data:
        data = {**data, "token_texts": _display.text_map(_strings_in(data["result"]))}
    out = sys.stdout if stream is None else stream
    print(json.dumps(data, ensure_ascii=not (stdout_is_utf8() and out is sys.stdout)), file=out)


# --- Arguments ----------------------------------------------------------------


def integer(low: int, high: int) -> Callable[[str], int]:
    def convert(text: str) -> int:
        # Plain decimal digits only: no signs, spaces, underscores or other scripts' digits.
        if not (text.isascii() and text.isdigit()):
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number (decimal digits 0-9)")
        value = int(text, 10)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{value} is outside {low}..{high}")
        return value

    return convert


# Long listings (evictions, additions, invalid merges) show this many items
# unless --limit or --all says otherwise; --json lists everything.
LIST_LIMIT = 20


def add_listing_arguments(parser: argparse.ArgumentParser, what: str) -> None:
    chosen = parser.add_mutually_exclusive_group()
    chosen.add_argument("--limit", metavar="N", type=integer(0, U64_MAX), default=LIST_LIMIT,
                        help=f"list at most N {what} (default {LIST_LIMIT}); --json lists all")
    chosen.add_argument("--all", action="store_true", help=f"list all {what}")


def listing_limit(args: argparse.Namespace) -> int:
    return U64_MAX if getattr(args, "all", False) else int(getattr(args, "limit", LIST_LIMIT))


def listed(items: Sequence[str], limit: int, separator: str = ", ") -> str:
    """The first `limit` items, and how many more there are and how to see them."""
    shown = separator.join(items[:limit])
    if len(items) > limit:
        shown += f"{separator}... ({len(items) - limit} more: --limit N, --all or --json)"
    return shown


# Token lists and other text inputs are read to at most this many bytes.
TEXT_INPUT_LIMIT = 1 << 30


def read_text_input(path: str, what: str = "text") -> str:
    """A UTF-8 text file (a leading byte-order mark dropped), read in pieces so
    that an endless or binary input (a device, a pipe) stops with one line:
    at its first NUL byte, or past TEXT_INPUT_LIMIT bytes."""
    pieces = []
    size = 0
    try:
        with open(path, "rb") as handle:
            while piece := handle.read(1 << 20):
                if b"\0" in piece:
                    raise CliError(f"{path}: not a {what} file (it holds a NUL byte)")
                size += len(piece)
                if size > TEXT_INPUT_LIMIT:
                    raise CliError(f"{path}: more than {TEXT_INPUT_LIMIT} bytes; not a {what} file")
                pieces.append(piece)
    except IsADirectoryError:
        raise CliError(f"cannot read {path}: it is a directory") from None
    except OSError as error:
        raise CliError(f"cannot read {path}: {error.strerror or error}") from None
    try:
        return b"".join(pieces).decode("utf-8-sig")
    except UnicodeDecodeError as error:
        raise CliError(f"{path}: not UTF-8 text (byte {error.start})") from None


def read_token_file(path: str) -> list[str]:
    """One token per line, UTF-8. Only the line break is removed ("\\n" or
    "\\r\\n"); spaces around a token are part of it. Empty lines are skipped."""
    text = read_text_input(path, "token list")
    tokens = []
    for line in text.split("\n"):
        if line.endswith("\r"):
            line = line[:-1]
        if line:
            tokens.append(line)
    return tokens


def gather_tokens(args: argparse.Namespace) -> list[str]:
    """The tokens given as arguments and in --from-file lists; at least one."""
    tokens = list(args.tokens)
    for token in tokens:
        try:
            token.encode("utf-8")
        except UnicodeEncodeError:
            # Bytes that are no UTF-8 reach Python as lone surrogates.
            raise UsageError(f"the token argument {ascii(token)} is not UTF-8 text") from None
    for path in args.from_file:
        tokens.extend(read_token_file(path))
    if not tokens:
        raise UsageError("no tokens given: the token arguments and --from-file lists are empty")
    return tokens


def add_reading_arguments(parser: argparse.ArgumentParser) -> None:
    """--text and --stored for commands that name existing tokens."""
    reading = parser.add_mutually_exclusive_group()
    reading.add_argument("--text", action="store_true",
                         help="read every token argument as a typed word: each of its forms in running text that is "
                              "a token (by default an argument that is a token stays itself, and the text a display "
                              "shows for a token names that token)")
    reading.add_argument("--stored", action="store_true",
                         help="take every token argument exactly as the vocabulary stores it")


def reading_of(args: argparse.Namespace) -> str:
    """How token arguments are read: "auto", or "text"/"stored" as --text/--stored say."""
    return "stored" if getattr(args, "stored", False) else "text" if getattr(args, "text", False) else "auto"


def name_tokens(editor: vocarix.Vocarix, given: Sequence[str], reading: str = "auto") -> tuple[list[str], list[str]]:
    """The entries the given texts name, each once in order, and the texts
    that name none. Every command that takes existing tokens reads them so."""
    from vocarix_tools import usage

    resolved = usage.resolve_tokens(editor, given, reading=reading)
    tokens = list(dict.fromkeys(token for item in resolved for token in item["tokens"]))
    return tokens, [item["given"] for item in resolved if not item["tokens"]]


TOKEN_FILE_HELP = (
    "read tokens from PATH, one per line (UTF-8); only the line break is removed, so "
    "leading and trailing spaces belong to the token; empty lines are skipped; repeatable"
)


class Parents:
    """Argument groups that subcommands share."""

    def __init__(self) -> None:
        self.common = Parser(add_help=False)
        self.common.add_argument("tokenizer", metavar="TOKENIZER_JSON",
                                 help="the tokenizer.json to read, or a model folder holding one")
        self.common.add_argument("--json", action="store_true", help="print the result as JSON")
        self.common.add_argument("--raw", action="store_true",
                                 help="show tokens as stored instead of as the text they stand for")

        self.writing = Parser(add_help=False)
        output = self.writing.add_mutually_exclusive_group()
        output.add_argument("-o", "--output", metavar="OUT",
                            help="write the edited tokenizer to OUT (for a model folder: a new or empty directory)")
        output.add_argument("--in-place", action="store_true", help="overwrite TOKENIZER_JSON (or the model folder)")
        self.writing.add_argument("--dry-run", action="store_true",
                                  help="do everything but write: print the same summary and counts")
        self.writing.add_argument("--literal", action="store_true",
                                  help="write exactly what the edit leaves, without repairing what a "
                                       "tokenizer runtime would refuse or read differently")
        self.writing.add_argument("--id-map", metavar="MAP", default=None,
                                  help="also write MAP.json: where every id went and what new tokens are made of")
        self.writing.add_argument("--pad-to-multiple-of", metavar="N", type=integer(1, MAX_PAD_MULTIPLE), default=None,
                                  help="for a model folder: pad the embedding rows to a multiple of N (default: "
                                       "the multiple the model's rows were padded to; 1 for no padding)")
        self.writing.add_argument("--force", action="store_true",
                                  help="go ahead where a check refuses: an edit that removes a special token a "
                                       "model folder's configs name (sync-chars: see its description)")

        self.token_source = Parser(add_help=False)
        self.token_source.add_argument("tokens", nargs="*", metavar="TOKENS",
                                       help="words as typed (\"thrombocytopenia\"), or tokens as the vocabulary stores "
                                            "them (see --text and --stored); remove also takes the text a display "
                                            "shows for a token (\" the\" for \"Ġthe\")")
        self.token_source.add_argument("--from-file", metavar="PATH", action="append", default=[],
                                       help=TOKEN_FILE_HELP)


Handler = Callable[[argparse.Namespace], int]


class Commands:
    """Adds subcommands to the tool's parser."""

    def __init__(self, subparsers: Any, parents: Parents) -> None:
        self._subparsers = subparsers
        self.parents = parents

    def add(self, name: str, handler: Handler, help: str,
            parents: Sequence[argparse.ArgumentParser] | None = None) -> argparse.ArgumentParser:
        chosen = [self.parents.writing] if parents is None else list(parents)
        sub: argparse.ArgumentParser = self._subparsers.add_parser(
            name, help=help, description=help, parents=[self.parents.common, *chosen])
        sub.set_defaults(handler=handler)
        return sub
