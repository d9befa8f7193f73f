"""sync-gguf: a folder's tokenizer written into a GGUF model converted before the edit."""

from __future__ import annotations

import argparse

from vocarix_tools.cli.common import (
    EXIT_OK, CliError, Commands, UsageError, describe_gguf_write, emit_json, open_tokenizer, plural, report_stream,
)
from vocarix_tools.gguf_model import is_gguf, open_gguf
from vocarix_tools.id_maps import read_id_map
from vocarix_tools.model_folder import SpecialTokenRemoved


def cmd_sync_gguf(args: argparse.Namespace) -> int:
    if args.output is None and not args.in_place and not args.dry_run:
        raise UsageError("this changes the model: give -o OUT.gguf or --in-place (or --dry-run to preview)")
    if args.dry_run and (args.output is not None or args.in_place):
        raise UsageError("-o/--in-place cannot be used with --dry-run, which writes nothing")
    if args.output is not None and not args.output.lower().endswith(".gguf"):
        raise UsageError(f"a GGUF model is written to a .gguf file, not {args.output}")
    tokenizer = open_tokenizer(args.tokenizer)
    if not is_gguf(args.model):
        raise CliError(f"{args.model}: not a GGUF model file")
    model = open_gguf(args.model)
    id_map = None
    if args.id_map is not None:
        try:
            id_map = read_id_map(args.id_map)
        except (OSError, ValueError, KeyError) as error:
            raise CliError(f"cannot read the id map {args.id_map}: {error}") from None
    target = None if args.in_place or args.dry_run else args.output
    try:
        report = model.take_tokenizer(tokenizer, target, id_map=id_map, force=args.force, dry_run=args.dry_run)
    except SpecialTokenRemoved as refused:
        raise CliError(f"refused: {str(refused).replace('force=True', '--force')}") from None
    stream = report_stream(args)
    if args.json:
        emit_json({"command": "sync-gguf", "input": args.tokenizer, "model": args.model, "output": target,
                   "dry_run": args.dry_run, "gguf": dict(report)}, token_texts=False, stream=stream)
        return EXIT_OK
    rows = report["rows"]
    where = ("dry run, nothing written" if args.dry_run else
             f"rewrote {args.model} in place" if args.in_place else f"wrote {', '.join(report['written'])}")
    lines = [f"{args.model}: took the tokenizer of {args.tokenizer} "
             f"({plural(rows['tokens_after'], 'token id')} in {plural(rows['rows_after'], 'row')})"]
    lines += describe_gguf_write(dict(report))
    lines.append(where)
    print("\n".join(lines), file=stream)
    return EXIT_OK


def register(commands: Commands) -> None:
    sync = commands.add(
        "sync-gguf", cmd_sync_gguf,
        "write the tokenizer of a model folder (or a tokenizer.json) into a GGUF model converted before it was "
        "edited: tokens, types, scores, merges, special ids and vocab_size follow it, the pre-tokenizer name and "
        "every other key stay; with --id-map the rows follow the folder's id map", parents=[])
    sync.add_argument("model", metavar="MODEL_GGUF", help="the GGUF model file to bring in line")
    output = sync.add_mutually_exclusive_group()
    output.add_argument("-o", "--output", metavar="OUT", help="write the new model to OUT.gguf")
    output.add_argument("--in-place", action="store_true", help="rewrite MODEL_GGUF")
    sync.add_argument("--id-map", metavar="MAP", default=None,
                      help="the id map of the folder's edit (as --id-map writes it): the rows follow it; without "
                           "one the rows stay as they are, and the tokenizer must fit them")
    sync.add_argument("--dry-run", action="store_true", help="work out what would change, write nothing")
    sync.add_argument("--force", action="store_true",
                      help="go ahead when a special id's token is gone (the key is dropped)")


__all__ = ["register"]
