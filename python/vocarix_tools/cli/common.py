"""What every subcommand shares: opening and writing documents, errors,
argument types and output helpers."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Callable, Iterator, NoReturn, Sequence

import vocarix

import vocarix_tools
from vocarix_tools.display import TokenDisplay

U32_MAX = 2**32 - 1
U64_MAX = 2**64 - 1

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
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


# --- Loading and saving -----------------------------------------------------
# Every subcommand opens and writes documents through these functions only.
# Files are opened leniently, so older forms load and are written back in
# their own form; a one-line notice on standard error says when.


def open_editor(path: str) -> vocarix.Vocarix:
    """Load the tokenizer at `path` for editing; OSError with a reason on failure.
    Tokens shown from now on are read in this file's style."""
    global _display
    editor = vocarix_tools.open(path)
    notice = vocarix_tools.leniency_notice(editor)
    if notice:
        print(f"note: {path}: {notice}", file=sys.stderr)
    _display = TokenDisplay(editor, _display.raw)
    return editor


def write_output(editor: vocarix.Vocarix, path: str) -> None:
    """Save to `path` (the editor replaces the file only once the new text is
    complete), with a clear message for the common reasons a save cannot work."""
    target = os.path.realpath(path)
    directory = os.path.dirname(target)
    if not os.path.isdir(directory):
        raise CliError(f"cannot write {path}: directory {directory} does not exist")
    if os.path.isdir(target):
        raise CliError(f"cannot write {path}: it is a directory")
    editor.save(path)


def sizes(editor: vocarix.Vocarix) -> dict[str, int]:
    return {"vocab_size": editor.vocab_size, "merges_count": editor.merges_count}


def finish_edit(args: argparse.Namespace, editor: vocarix.Vocarix, before: dict[str, int],
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


def emit_json(data: object, token_texts: bool = True) -> None:
    """Prints `data` as one JSON object. A command's output gains
    "token_texts": the text each token in its result stands for, where it
    differs from the stored form (commands whose entries carry their text
    pass token_texts=False)."""
    if token_texts and isinstance(data, dict) and "result" in data:
        data = {**data, "token_texts": _display.text_map(_strings_in(data["result"]))}
    print(json.dumps(data, ensure_ascii=not stdout_is_utf8()))


# --- Arguments ----------------------------------------------------------------


def integer(low: int, high: int) -> Callable[[str], int]:
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


TOKEN_FILE_HELP = (
    "read tokens from PATH, one per line (UTF-8); only the line break is removed, so "
    "leading and trailing spaces belong to the token; empty lines are skipped; repeatable"
)


class Parents:
    """Argument groups that subcommands share."""

    def __init__(self) -> None:
        self.common = Parser(add_help=False)
        self.common.add_argument("tokenizer", metavar="TOKENIZER_JSON", help="the tokenizer.json to read")
        self.common.add_argument("--json", action="store_true", help="print the result as JSON")
        self.common.add_argument("--raw", action="store_true",
                                 help="show tokens as stored instead of as the text they stand for")

        self.writing = Parser(add_help=False)
        output = self.writing.add_mutually_exclusive_group()
        output.add_argument("-o", "--output", metavar="OUT", help="write the edited tokenizer to OUT")
        output.add_argument("--in-place", action="store_true", help="overwrite TOKENIZER_JSON")

        self.token_source = Parser(add_help=False)
        self.token_source.add_argument("tokens", nargs="*", metavar="TOKENS", help="tokens, exactly as written")
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
