"""The `vocarix` command: inspect and edit BPE tokenizer.json files.

    vocarix SUBCOMMAND TOKENIZER_JSON [ARGS] [-o OUT | --in-place] [--json]

Editing subcommands write only to -o OUT or, with --in-place, back to the
input file. Exit status: 0 success, 1 input or document error, 2 usage error.
"""

from __future__ import annotations

import argparse
import os
import sys
from importlib import import_module
from typing import Sequence

from vocarix_tools._version import __version__

# Each module of vocarix_tools.cli that adds subcommands, in the order of the
# help, with the subcommands it adds. Only the module of the subcommand that
# runs is imported (with the extension modules it needs): `vocarix --version`
# imports neither, and only `vocarix --help` imports them all.
COMMAND_MODULES = {
    "inspect_commands": ["stats", "validate"],
    "explain_commands": ["show", "longest"],
    "compare_commands": ["diff"],
    "edit_commands": ["add", "remove", "shrink", "sync-chars", "reindex"],
    "usage_commands": ["count", "prune"],
    "learn_commands": ["learn", "merge", "count-words"],
    "check_commands": ["check"],
    "gguf_commands": ["sync-gguf"],
}


def build_parser(command: str | None = None) -> argparse.ArgumentParser:
    """The tool's parser; with `command`, holding that subcommand only."""
    from vocarix_tools.cli.common import Commands, Parents, Parser

    parser = Parser(
        prog="vocarix",
        description="Inspect and edit BPE tokenizer.json files.",
        epilog="Editing subcommands need -o OUT or --in-place. Tokens that begin with '-' "
               "go after '--'. Exit status: 0 ok, 1 input or document error, 2 usage error.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="SUBCOMMAND", required=True)
    commands = Commands(subparsers, Parents())
    for module, names in COMMAND_MODULES.items():
        if command is None or command in names:
            import_module(f"vocarix_tools.cli.{module}").register(commands)
    return parser


def _subcommands(parser: argparse.ArgumentParser) -> dict[str, argparse.ArgumentParser]:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return dict(action.choices)
    return {}


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    if arguments[:1] == ["--version"]:
        # What argparse's version action prints, without building the parser.
        print(f"vocarix {__version__}")
        return 0
    known = {name for names in COMMAND_MODULES.values() for name in names}
    command = arguments[0] if arguments and arguments[0] in known else None
    parser = build_parser(command)

    from vocarix_tools.cli.common import (
        EXIT_INPUT, EXIT_USAGE, STDOUT_PATHS, CliError, UsageError, one_line, report_error, set_json_mode,
        show_raw_tokens, stdout_is_utf8,
    )

    # Options come before a "--"; what follows it is tokens.
    options = arguments[:arguments.index("--")] if "--" in arguments else arguments
    to_stdout = any(a in ("-o", "--output") and b in STDOUT_PATHS for a, b in zip(options, options[1:]))
    set_json_mode("--json" in options, to_stdout)

    if not stdout_is_utf8() and hasattr(sys.stdout, "reconfigure"):
        # Tokens in any script must not make printing fail.
        sys.stdout.reconfigure(errors="backslashreplace")
    try:
        if command is not None:
            # Intermixed parsing lets options stand between the tokens.
            args = _subcommands(parser)[command].parse_intermixed_args(arguments[1:])
            args.command = command
        else:
            args = parser.parse_args(arguments)
    except SystemExit as stop:
        return stop.code if isinstance(stop.code, int) else EXIT_USAGE
    show_raw_tokens(bool(getattr(args, "raw", False)))
    from vocarix_tools.cli.preparing import prepare, release_locks

    try:
        prepare(args)
        return int(args.handler(args))
    except UsageError as error:
        report_error(args.command, str(error), EXIT_USAGE)
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader of our output went away (for example `| head`).
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_INPUT
    except (CliError, OSError, ValueError, OverflowError) as error:
        report_error(args.command, one_line(error), EXIT_INPUT)
        return EXIT_INPUT
    except KeyboardInterrupt:
        print("vocarix: interrupted", file=sys.stderr)
        return 130
    finally:
        release_locks()
