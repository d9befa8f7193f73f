"""The CLI's check command, and what every editing command shares: repairs
by default, --literal, --dry-run and --id-map."""
import json
import os

import pytest

import vocarix
import vocarix_tools
from conftest import doc_text

VOCAB = {"<unk>": 0, "a": 1, "b": 2, "c": 3, "ab": 4, "abc": 5, "x": 7, "xy": 12, "y": 13}
MERGES = [("a", "b"), ("ab", "c"), ("x", "y"), ("q", "r")]  # ("q", "r") names no entry
# Outside the vocabulary: the runtime numbers them 9 and 10, from its size.
SPECIALS = [{"id": 9 + k, "content": s, "single_word": False, "lstrip": False, "rstrip": False,
             "normalized": False, "special": True} for k, s in enumerate(["<s>", "</s>"])]


@pytest.fixture
def tok(tmp_path):
    path = tmp_path / "tokenizer.json"
    path.write_text(doc_text(VOCAB, MERGES), encoding="utf-8")
    return path


def test_check_reports_and_exits_1_until_fixed(cli, tok, tmp_path):
    code, out, _ = cli("check", tok)
    assert code == 1 and "1 problem a tokenizer runtime would meet" in out
    assert 'merge 3: "q" + "r": "q" is not in the vocabulary' in out
    assert "embedding rows needed: 14" in out
    code, out, _ = cli("check", tok, "--json")
    report = json.loads(out)["result"]
    assert code == 1 and not report["clean"] and report["merges"][0]["reason"] == "left"

    fixed = tmp_path / "fixed.json"
    code, out, _ = cli("check", tok, "--fix", "-o", fixed)
    assert code == 0 and "1 problem found" in out and "removed 1 merge" in out
    assert cli("check", fixed)[0] == 0
    code, out, _ = cli("check", fixed, "--fix", "--in-place")
    assert code == 0 and "0 problems found" in out


@pytest.mark.parametrize("argv", [
    ["check", "TOK", "-o", "o.json"],
    ["check", "TOK", "--dry-run"],
    ["check", "TOK", "--fix", "--literal", "-o", "o.json"],
    ["check", "TOK", "--fix"],
    ["remove", "TOK", "a", "--dry-run", "-o", "o.json"],
    ["remove", "TOK", "a", "--dry-run", "--id-map", "m.json"],
    ["validate", "TOK", "--literal"],
])
def test_usage_errors(cli, tok, argv):
    code, out, err = cli(*[tok if a == "TOK" else a for a in argv])
    assert code == 2 and out == "" and err.count("\n") == 1


EDITS = [
    ["add", "abcx", "zz"],
    ["add", "--keep-size", "abcx"],
    ["add", "--atomic", "<t>"],
    ["remove", "ab"],
    ["shrink", "2"],
    ["sync-chars", "SOURCE"],
    ["reindex"],
    ["validate", "--remove"],
    ["check", "--fix"],
]


@pytest.mark.parametrize("argv", EDITS, ids=lambda argv: "-".join(argv[:2]))
def test_every_edit_writes_a_file_check_passes_and_dry_run_matches(cli, tok, tmp_path, argv):
    source = tmp_path / "source.json"
    source.write_text(doc_text({"a": 0, "é": 1, "Z": 2}), encoding="utf-8")
    tok.write_text(doc_text(VOCAB, MERGES, added_tokens=SPECIALS), encoding="utf-8")
    args = [argv[0], tok, *[source if a == "SOURCE" else a for a in argv[1:]]]
    before = tok.read_bytes()
    code, out, _ = cli(*args, "--dry-run", "--json")
    preview = json.loads(out)
    assert code == 0 and preview["dry_run"] and preview["output"] is None
    assert tok.read_bytes() == before and sorted(os.listdir(tmp_path)) == ["source.json", "tokenizer.json"]

    out_path, map_path = tmp_path / "out.json", tmp_path / "map.json"
    code, out, _ = cli(*args, "-o", out_path, "--id-map", map_path, "--json")
    real = json.loads(out)
    assert code in (0, 1) and real["output"] == str(out_path)
    for key in ("before", "after", "result", "repairs", "added_tokens_removed"):
        assert real[key] == preview[key], key
    assert real["problems"]["clean"] and cli("check", out_path)[0] == 0

    id_map = json.loads(map_path.read_text())
    assert set(id_map) == {"rows_before", "rows_after", "old_to_new", "added"}
    edited = vocarix.Vocarix(str(out_path))
    vocab = edited.get_vocab()
    for token, token_id in VOCAB.items():
        assert id_map["old_to_new"][str(token_id)] == vocab.get(token)
    for token, entry in id_map["added"].items():
        assert vocab[token] == entry["id"] and all(0 <= i < id_map["rows_before"] for i in entry["from"])
    stated = list(vocab.values()) + [t["id"] for t in json.loads(out_path.read_text())["added_tokens"]]
    assert id_map["rows_after"] == max(stated) + 1


def test_literal_keeps_what_the_module_leaves(cli, tok, tmp_path):
    out_path = tmp_path / "out.json"
    code, out, _ = cli("remove", tok, "c", "-o", out_path, "--literal")
    assert code == 0 and "repaired" not in out and "warning: a tokenizer runtime would meet 1 problem" in out
    assert ("q", "r") in vocarix.Vocarix(str(out_path)).get_merges()
    code, out, _ = cli("remove", tok, "c", "-o", out_path)
    assert "repaired: removed 1 merge" in out and "warning" not in out
    assert ("q", "r") not in vocarix.Vocarix(str(out_path)).get_merges()


def test_removal_reports_added_tokens_going_along(cli, tmp_path):
    tok = tmp_path / "tokenizer.json"
    tokens = SPECIALS + [dict(SPECIALS[0], content="ab", id=4, special=False)]
    tok.write_text(doc_text(VOCAB, MERGES[:2], added_tokens=tokens), encoding="utf-8")
    code, out, _ = cli("remove", tok, "a", "--in-place")
    assert code == 0 and 'removed 1 added_tokens entry with their vocabulary entries: "ab"' in out
    saved = json.loads(tok.read_text())
    assert [t["content"] for t in saved["added_tokens"]] == ["<s>", "</s>"]


def test_outside_specials_are_pinned_when_the_size_changes(cli, tmp_path):
    tok = tmp_path / "tokenizer.json"
    vocab = {"a": 0, "b": 1, "ab": 2}
    tok.write_text(doc_text(vocab, [("a", "b")], added_tokens=SPECIALS), encoding="utf-8")
    # The runtime numbers "<s>" and "</s>" 3 and 4, from the vocabulary's size, while the file
    # states 9 and 10; the module gives "c" 3, the first id no entry and no added token states.
    code, out, _ = cli("add", tok, "--atomic", "c", "--in-place", "--id-map", tmp_path / "map.json")
    assert code == 0 and "entered 2 added tokens outside the vocabulary into it, 2 at the id" in out
    assert 'moved 1 new token off the ids of those added tokens: "c" -> 5' in out
    editor = vocarix_tools.open(tok)
    assert (editor.get_token_id("<s>"), editor.get_token_id("</s>"), editor.get_token_id("c")) == (3, 4, 5)
    id_map = json.loads((tmp_path / "map.json").read_text())
    assert id_map["old_to_new"] == {"0": 0, "1": 1, "2": 2, "3": 3, "4": 4}
    assert id_map["added"] == {"c": {"id": 5, "from": id_map["added"]["c"]["from"]}}
