"""The `vocarix` command-line tool."""

from vocarix_tools.cli.app import build_parser, main

__all__ = ["build_parser", "main"]
