"""The `vocarix` command: inspect and edit BPE tokenizer.json files.

    vocarix SUBCOMMAND TOKENIZER_JSON [ARGS] [-o OUT | --in-place] [--json]

Editing subcommands write only to -o OUT or, with --in-place, back to the
input file. Exit status: 0 success, 1 input or document error, 2 usage error.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Sequence

import vocarix

from vocarix_tools.cli import (
    check_commands, compare_commands, edit_commands, explain_commands, inspect_commands, learn_commands,
    usage_commands,
)
from vocarix_tools.cli.common import (
    EXIT_INPUT, EXIT_USAGE, CliError, Commands, Parents, Parser, UsageError, one_line, show_raw_tokens,
    stdout_is_utf8,
)

# Each module adds its subcommands, in this order, to the parser.
COMMAND_MODULES = [inspect_commands, explain_commands, compare_commands, edit_commands, usage_commands,
                   learn_commands, check_commands]


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog="vocarix",
        description="Inspect and edit BPE tokenizer.json files.",
        epilog="Editing subcommands need -o OUT or --in-place. Tokens that begin with '-' "
               "go after '--'. Exit status: 0 ok, 1 input or document error, 2 usage error.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {vocarix.__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="SUBCOMMAND", required=True)
    commands = Commands(subparsers, Parents())
    for module in COMMAND_MODULES:
        module.register(commands)
    return parser


def _subcommands(parser: argparse.ArgumentParser) -> dict[str, argparse.ArgumentParser]:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return dict(action.choices)
    return {}


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    if not stdout_is_utf8() and hasattr(sys.stdout, "reconfigure"):
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
    show_raw_tokens(bool(getattr(args, "raw", False)))
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
