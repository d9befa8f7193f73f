"""Edit sessions checked against the tokenizers runtime, step by step.

Every real fixture and two generated tokenizers go through add, remove,
shrink, keep-size addition, character sync, reindex and check --fix, once
through the command line and once through vocarix_tools in Python. After
each step the runtime must load the result, give every entry and added
token the id the file states, share no id, and need exactly the rows the
step's id map says; the id maps chained over the session must take every
original token that survives to its final id.
"""
import json

import pytest

import vocarix_tools
from vocarix_tools import _native
from vocarix_tools.cli import app as vocarix_cli
from conftest import doc_text, real_fixture
from test_runtime import ALL_REAL, GENERATED, generated_fixture, surface_forms

tokenizers = pytest.importorskip("tokenizers")
Tokenizer = tokenizers.Tokenizer

WORDS = ["vocarixation", "Straßenbahnhaltestelle", "토크나이저"]
KEEP_SIZE_WORDS = ["zyzzogeton", "flibbertigibbet"]
SYNC_CHARS = {"ß": 0, "Ω": 1, "語": 2, "ж": 3}


def fixture_path(name):
    return generated_fixture(name) if name in GENERATED else real_fixture(name)


def load_runtime(load, what):
    try:
        return load()
    except BaseException as error:  # the runtime panics on some documents instead of raising
        pytest.fail(f"the runtime refuses {what}: {error}")


def stated_ids(text):
    """Every token the document states with its id: entries and added tokens."""
    doc = json.loads(text)
    ids = dict(doc["model"]["vocab"])
    ids.update({t["content"]: t["id"] for t in doc["added_tokens"] if t["content"]})
    return ids


def verify_step(text, runtime, id_map, what):
    full = runtime.get_vocab(with_added_tokens=True)
    assert full == stated_ids(text), f"{what}: the runtime reads ids the file does not state"
    assert len(set(full.values())) == len(full), f"{what}: an id is held by two tokens"
    assert id_map["rows_after"] == max(full.values(), default=-1) + 1, what
    for entry in id_map["added"].values():
        assert all(0 <= piece < id_map["rows_before"] for piece in entry["from"]), what
    return full


class Chain:
    """The id maps of a session composed, and the tokens present at every step."""

    def __init__(self, original):
        self.original = original
        self.ids = {token_id: token_id for token_id in original.values()}
        self.alive = set(original)

    def follow(self, id_map, now):
        self.ids = {old: None if cur is None else id_map["old_to_new"].get(str(cur)) for old, cur in self.ids.items()}
        self.alive &= set(now)

    def check(self, final):
        for token in self.alive:
            assert self.ids[self.original[token]] == final[token], token


def session_words(editor):
    """The words as the runtime's normalizer and pre-tokenizer make them."""
    try:
        runtime = Tokenizer.from_str(editor.to_json())
    except BaseException:  # e.g. merges given as an empty object, which only a repair turns into a list
        return list(WORDS), list(KEEP_SIZE_WORDS)
    return surface_forms(runtime, WORDS), surface_forms(runtime, KEEP_SIZE_WORDS)


def removal_victims(editor):
    specials = set(_native.added_tokens(editor))
    merges = editor.get_merges()
    if merges:
        victims = [left + right for left, right in (merges[len(merges) // 3], merges[len(merges) // 2])]
    else:
        victims = [max(editor.get_vocab(), key=len)]
    return [t for t in victims if t not in specials and editor.has_token(t)]


def steps(editor, source):
    """The session: (name, CLI arguments after the input file, Python edit)."""
    words, keep = session_words(editor)
    victims = removal_victims(editor)
    return [
        ("add", ["add", "--stored", *words], lambda e: e.add_tokens(words)),
        ("remove", ["remove", "--", *victims], lambda e: e.remove_tokens(victims)),
        ("shrink", ["shrink", "20"], lambda e: e.shrink(20)),
        ("keep-size", ["add", "--keep-size", "--stored", *keep, "--whitelist", *keep],
         lambda e: e.add_tokens_keep_size(keep, keep)),
        # Forced: the source's plain characters are another token style than most fixtures'.
        ("sync", ["sync-chars", str(source), "--force"],
         lambda e: _native.sync_single_chars(e, vocarix_tools.open(source))),
        ("reindex", ["reindex"], lambda e: e.reindex_vocab()),
        ("check", ["check", "--fix"], lambda e: vocarix_tools.fix(e)),
    ]


NAMES = ALL_REAL + GENERATED


@pytest.fixture
def sync_source(tmp_path):
    path = tmp_path / "chars.json"
    path.write_text(doc_text(SYNC_CHARS), encoding="utf-8")
    return path


@pytest.mark.parametrize("name", NAMES)
def test_cli_session(name, tmp_path, sync_source, capfd):
    path = fixture_path(name)
    editor = vocarix_tools.open(path)
    chain = Chain(_native.runtime_ids(editor)["tokens"])
    current = path
    for number, (step, argv, _) in enumerate(steps(editor, sync_source)):
        out, map_path = tmp_path / f"step{number}.json", tmp_path / f"map{number}.json"
        code = vocarix_cli.main([argv[0], str(current), "-o", str(out), "--id-map", str(map_path), *argv[1:]])
        _, err = capfd.readouterr()
        assert code == 0, f"{name} {step}: {err}"
        runtime = load_runtime(lambda: Tokenizer.from_file(str(out)), f"{name} after {step}")
        id_map = json.loads(map_path.read_text(encoding="utf-8"))
        now = verify_step(out.read_text(encoding="utf-8"), runtime, id_map, f"{name} after {step}")
        chain.follow(id_map, now)
        current = out
    chain.check(now)


@pytest.mark.parametrize("name", NAMES)
def test_python_session(name, sync_source, capfd):
    editor = vocarix_tools.open(fixture_path(name))
    chain = Chain(_native.runtime_ids(editor)["tokens"])
    for step, _, edit in steps(editor, sync_source):
        session = vocarix_tools.EditSession(editor)
        edit(editor)
        outcome = session.finish()
        assert outcome.problems["clean"], f"{name} after {step}: {vocarix_tools.describe_check(outcome.problems)}"
        id_map = session.id_map()
        text = editor.to_json()
        runtime = load_runtime(lambda: Tokenizer.from_str(text), f"{name} after {step}")
        now = verify_step(text, runtime, id_map, f"{name} after {step}")
        chain.follow(id_map, now)
    capfd.readouterr()  # the sync's progress report
    chain.check(now)
