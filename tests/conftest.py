import json
import signal
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
if str(REPO) not in sys.path:
    sys.path.append(str(REPO))

from benchmarks import real_fixtures  # noqa: E402
from benchmarks.real_fixtures import all_real_names, fixture_names  # noqa: E402,F401


def sigint_as_default() -> None:
    """preexec_fn of a child that must stop on SIGINT: a test runner's worker
    process may ignore or block it (some library it loaded did), and a child
    inherits both."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


def model_section(vocab=None, merges=None, **overrides):
    model = {
        "type": "BPE",
        "dropout": None,
        "unk_token": "<unk>",
        "continuing_subword_prefix": None,
        "end_of_word_suffix": None,
        "fuse_unk": False,
        "byte_fallback": False,
        "ignore_merges": False,
        "vocab": {} if vocab is None else vocab,
        "merges": [] if merges is None else [list(m) for m in merges],
    }
    model.update(overrides)
    return model


def document(vocab=None, merges=None, added_tokens=None, model=None, **sections):
    doc = {
        "version": "1.0",
        "truncation": None,
        "padding": None,
        "added_tokens": [] if added_tokens is None else added_tokens,
        "normalizer": None,
        "pre_tokenizer": None,
        "post_processor": None,
        "decoder": None,
        "model": model if model is not None else model_section(vocab, merges),
    }
    doc.update(sections)
    return doc


def doc_text(vocab=None, merges=None, **kwargs):
    """A tokenizer document as JSON text."""
    return json.dumps(document(vocab, merges, **kwargs), ensure_ascii=False)


@pytest.fixture
def make_editor():
    import vocarix

    def make(vocab=None, merges=None, **kwargs):
        return vocarix.Vocarix.from_json(doc_text(vocab, merges, **kwargs))

    return make


def real_fixture(name):
    """A readable path of a real tokenizer file (or of its stand-in, see
    benchmarks/real_fixtures.py); skips where it cannot be had."""
    try:
        return real_fixtures.fixture_file(name)
    except real_fixtures.FixtureMissing as missing:
        pytest.skip(str(missing))


@pytest.fixture
def cli(capfd):
    """Run the command-line tool in-process; returns (exit code, stdout, stderr)
    as seen on the file descriptors."""
    from vocarix_tools.cli import app

    def run(*argv):
        code = app.main([str(a) for a in argv])
        out, err = capfd.readouterr()
        return code, out, err

    return run


def run_json(cli, *argv):
    """The tool's --json output of a successful run."""
    code, out, err = cli(*argv, "--json")
    assert code == 0, err
    return json.loads(out)
