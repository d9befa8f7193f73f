"""The corpus of the commands that count one (learn, merge, count-words,
count, prune, add --keep-size): --jobs and --scheduler, and the counting
itself, with its errors said in one line naming the input or the tokenizer."""

from __future__ import annotations

import argparse
from contextlib import contextmanager
from typing import Iterator

from vocarix_tools import corpus_counting
from vocarix_tools.cli.common import CliError, integer
from vocarix_tools.corpus_counting import WordCounts

CORPUS_HELP = ("UTF-8 text (files or shards of one corpus, '-' for standard input, FIFOs, <(command)), read "
               "line by line: normalized and pre-tokenized as the tokenizer says, and counted by the core")


def add_counting_arguments(parser: argparse.ArgumentParser) -> None:
    """--jobs and --scheduler: where a corpus is counted."""
    where = parser.add_argument_group("counting")
    where.add_argument("--jobs", metavar="N", type=integer(1, 1024), default=None,
                       help="count on N processes (default: one per CPU for corpora of several 8 MB chunks)")
    where.add_argument("--scheduler", metavar="ADDRESS", default=None,
                       help="count on Dask (pip install \"vocarix[scale]\"): 'local' for its local scheduler, "
                            "or a cluster's scheduler address such as tcp://host:8786")


def corpus_words_for(args: argparse.Namespace, tokenizers: list[tuple[object, str]],
                     paths: list[str]) -> list[WordCounts]:
    """Word counts of the corpus for each (editor, file name), the corpus read
    once, counted where --jobs/--scheduler say."""
    for editor, name in tokenizers:
        try:
            corpus_counting.check_counting(editor)  # type: ignore[arg-type]
        except ValueError as error:
            raise CliError(f"{name}: {error}; count the words with the tokenizers runtime (its normalizer and "
                           "pre-tokenizer) and pass the counts with --word-counts") from None
    with reading_corpus(args):
        return corpus_counting.count_words_for([editor for editor, _ in tokenizers], paths,  # type: ignore[misc]
                                               jobs=args.jobs, scheduler=args.scheduler)


@contextmanager
def reading_corpus(args: argparse.Namespace) -> Iterator[None]:
    """The failures of reading a corpus said in one line naming the input."""
    try:
        yield
    except corpus_counting.DaskMissing as error:
        raise CliError(str(error)) from None
    except IsADirectoryError as error:
        raise CliError(f"cannot read {error.filename}: it is a directory") from None
    except OSError as error:
        if isinstance(error, (ConnectionError, TimeoutError)):
            raise CliError(f"cannot reach the Dask scheduler {args.scheduler}: {error}") from None
        raise CliError(f"cannot read {error.filename or 'the corpus'}: {error.strerror or error}") from None
    except ValueError as error:
        raise CliError(str(error)) from None


def corpus_words(args: argparse.Namespace, editor: object, paths: list[str]) -> WordCounts:
    """Word counts of the corpus for the tokenizer named on the command line."""
    return corpus_words_for(args, [(editor, args.tokenizer)], paths)[0]
