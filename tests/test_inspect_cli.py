"""The inspecting subcommands (stats, validate, show, longest, diff), readable
tokens in every command, and the guards of sync-chars."""
import json
import re
import shlex
import shutil
from pathlib import Path

import pytest

import vocarix
from conftest import doc_text, fixture_names, real_fixture, run_json
from test_inspect import BYTE_LEVEL, METASPACE, byte_level

WORDS = ["以下是", " the", " world", "\n"]


@pytest.fixture
def bytelevel(tmp_path):
    """A byte-level file: single bytes, the words above and the merges that build them."""
    vocab = {}
    merges = []
    for word in WORDS:
        stored = byte_level(word)
        for ch in stored:
            vocab.setdefault(ch, len(vocab))
        for end in range(2, len(stored) + 1):
            merges.append((stored[:end - 1], stored[end - 1]))
            vocab.setdefault(stored[:end], len(vocab))
    path = tmp_path / "bytelevel.json"
    path.write_text(doc_text(vocab, merges, pre_tokenizer=BYTE_LEVEL,
                             added_tokens=[{"id": len(vocab) + 5, "content": "<|end|>", "special": True}]),
                    encoding="utf-8")
    return path


def test_stats_reports_style_gap_ranges_bytes_added_tokens_and_rows(cli, tmp_path):
    vocab = {"<unk>": 0, "<0x00>": 1, "<0x01>": 2, "\u2581a": 4, "\u2581b": 5, "a": 7, "b": 20}
    for gap in range(12):  # twelve more one-id gaps after 20
        vocab[f"x{gap}"] = 22 + 2 * gap
    path = tmp_path / "t.json"
    path.write_text(doc_text(vocab, decoder=METASPACE,
                             added_tokens=[{"id": 99, "content": "<|x|>", "special": True}]), encoding="utf-8")
    code, out, _ = cli("stats", path)
    assert code == 0
    assert "style:           \u2581 marks a space (decoder Metaspace)" in out
    assert ("id gaps:         26 missing ids in 15 ranges: 3, 6, 8..19, 21, 23, 25, 27, 29, 31, 33, "
            "... (5 more ranges)\n") in out
    assert "bracketed:       1 entries" in out and "byte tokens:     2 " in out
    assert "added tokens:    1 in added_tokens, 1 of them marked special" in out
    assert 'outside the vocabulary: 1, with the ids the runtime gives them: "<|x|>" 19 (stored 99)' in out
    assert "embedding rows:  45 " in out
    result = run_json(cli, "stats", path)["result"]
    assert result["gap_range_count"] == len(result["gap_ranges"]) == 15 and result["gap_ranges"][2] == [8, 19]
    assert (result["byte_token_count"], result["special_tokens_besides_bytes"], result["special_token_count"]) == (2, 1, 3)
    assert (result["added_token_count"], result["added_special_count"]) == (1, 1)
    assert result["added_tokens_outside_vocab"] == [
        {"content": "<|x|>", "stored_id": 99, "runtime_id": 19, "special": True, "text": "<|x|>"}]
    assert result["style"]["style"] == "metaspace" and result["runtime_rows"] == 45


STATS_LINES = {
    "llama-tiny-random.array.json": ["bracketed:", "byte tokens:     256 "],
    "bora-ko-32k.array.json": ["byte tokens:     256 ", "added tokens outside the vocabulary: none\n"],
    "phi2-codegen.string.json": ["added tokens:    39 in added_tokens, 1 of them marked special",
                                 "added tokens outside the vocabulary: 38,", "embedding rows:  50295 "],
}


def test_stats_on_real_files(cli):
    for name in fixture_names(*STATS_LINES):
        code, out, _ = cli("stats", real_fixture(name))
        assert code == 0 and all(line in out for line in STATS_LINES[name]), name


def test_readable_tokens_in_edit_summaries_and_json(cli, bytelevel, tmp_path):
    out = tmp_path / "out.json"
    stored = byte_level("以下是")
    code, text, _ = cli("remove", bytelevel, stored, byte_level("不在"), "-o", out)
    assert code == 0 and 'not in the vocabulary: "不在"' in text
    code, text, _ = cli("shrink", bytelevel, "2", "--dry-run")
    assert '"以下是"' in text and stored not in text
    code, text, _ = cli("shrink", bytelevel, "2", "--dry-run", "--raw")
    assert stored in text and '"以下是"' not in text
    data = run_json(cli, "add", bytelevel, byte_level(" tokenizer"), "--method", "prefix", "-o", out)
    assert data["token_texts"][byte_level(" tokenizer")] == " tokenizer"
    assert data["result"][0]["token"] == byte_level(" tokenizer")  # the result keeps stored forms


def test_validate_lists_twenty_then_limit_and_json(cli, tmp_path):
    vocab = {"a": 0, "b": 1}
    merges = [("a", "b" * k) for k in range(1, 31)]
    path = tmp_path / "t.json"
    path.write_text(doc_text(vocab, merges), encoding="utf-8")
    code, out, _ = cli("validate", path)
    assert code == 0 and "0 valid, 30 invalid" in out
    assert out.count(" is not in the vocabulary") == 20 and "... and 10 more" in out
    code, out, _ = cli("validate", path, "--limit", "3")
    assert out.count(" is not in the vocabulary") == 3 and "... and 27 more" in out
    assert cli("validate", path, "--all")[1].count(" is not in the vocabulary") == 30
    assert len(run_json(cli, "validate", path)["result"]["invalid_merges"]) == 30


def test_show_tokens_and_ids(cli, bytelevel):
    editor = vocarix.Vocarix(str(bytelevel))
    the = byte_level(" the")
    code, out, _ = cli("show", bytelevel, the, str(editor.get_token_id(byte_level("以下是"))))
    assert code == 0
    assert out.startswith(f'" the"  (stored "{the}")\n')
    assert f"  id {editor.get_token_id(the)}; 4 characters; ordinary" in out
    assert f'produced by 1 merge: #{editor.get_merges().index((byte_level(" th"), "e"))} " th" + "e"' in out
    assert 'used by 0 merges' in out and '"以下是"  (stored' in out and "9 characters stored, 3 as text" in out
    assert f'the model splits it into 1 piece: " the" ({editor.get_token_id(the)})' in out

    data = run_json(cli, "show", bytelevel, the, "<|end|>", byte_level(" t"))["result"]["tokens"]
    assert data[0]["text"] == " the" and data[0]["producers"][0]["left_text"] == " th"
    assert data[0]["split"]["pieces"] == [{"token": the, "text": " the", "id": editor.get_token_id(the)}]
    assert [p["text"] for p in data[2]["split"]["pieces"]] == [" t"]
    assert data[1]["id"] is None and data[1]["runtime_id"] == editor.vocab_size  # numbered from len(vocab)
    assert data[1]["added_token"]["entry"]["content"] == "<|end|>"
    assert [(u["left_text"], u["right_text"]) for u in data[2]["uses"]] == [(" t", "h")]

    # The runtime id of an added token outside the vocabulary finds it; unknown ids fail.
    code, out, _ = cli("show", bytelevel, str(editor.vocab_size), "4000000000", "99999999999")
    assert code == 1 and '"<|end|>"' in out
    assert "4000000000: no token has this id" in out and "99999999999: no token has this id" in out


def test_show_reads_the_text_a_display_showed(cli, bytelevel, tmp_path):
    editor = vocarix.Vocarix(str(bytelevel))
    code, out, _ = cli("show", bytelevel, " the", " thee")
    assert code == 0
    assert out.startswith('" the", read as the text it stands for:\n" the"  (stored')
    assert f"id {editor.get_token_id(byte_level(' the'))};" in out
    # Not an entry, yet split in the file's own alphabet, as the runtime would split it.
    assert 'the model splits it into 2 pieces: " the"' in out
    metaspace = tmp_path / "metaspace.json"
    metaspace.write_text(doc_text({"▁": 0, "a": 1, "▁a": 2, "a a": 3}, [("▁", "a")]), encoding="utf-8")
    code, out, _ = cli("show", metaspace, " a", "a a")
    assert 'read as the text it stands for:\n"▁a"' in out
    assert '\n"a a"\n  id 3;' in out  # an entry as given stays itself


def test_show_digits_as_ids_or_tokens(cli, tmp_path):
    path = tmp_path / "t.json"
    path.write_text(doc_text({"0": 0, "1": 1, "01": 2, "x": 3}, [("0", "1")]), encoding="utf-8")
    code, out, _ = cli("show", path, "3")
    assert code == 0 and out.startswith('id 3:\n"x"')
    code, out, _ = cli("show", path, "1")
    assert "note: 1 was read as an id; --no-ids reads it as the token" in out
    code, out, _ = cli("show", path, "--no-ids", "01")
    assert out.startswith('"01"\n') and 'produced by 1 merge: #0 "0" + "1"' in out


def test_longest_is_readable_and_respects_min_id(cli, bytelevel):
    code, out, _ = cli("longest", bytelevel, "2")
    lines = out.splitlines()
    # The token before "以下是" in its chain ends inside a character: those bytes show as \xNN.
    assert code == 0 and len(lines) == 3 and lines[1].endswith('"以下是"')
    assert lines[2].endswith('8 chars  "以下\\xe6\\x98"')
    data = run_json(cli, "longest", bytelevel, "--min-id", "1000")["result"]
    assert data == {"tokens": []}
    data = run_json(cli, "longest", bytelevel, "1")["result"]["tokens"]
    assert data == [{"token": byte_level("以下是"), "text": "以下是", "id": data[0]["id"], "length": 9}]


def test_diff_text_and_json(cli, bytelevel, tmp_path):
    edited = tmp_path / "edited.json"
    # Literal edits: the repairs would also enter "<|end|>", outside the vocabulary, into it.
    assert cli("add", bytelevel, byte_level(" worlds"), "-o", edited, "--literal", "--method", "prefix")[0] == 0
    assert cli("remove", edited, byte_level(" the"), "--in-place", "--literal")[0] == 0
    code, out, _ = cli("diff", bytelevel, edited)
    assert code == 0
    assert "Tokens: 1 only in" in out and ", 2 only in" in out and "Merges: 1 removed, 1 added, 0 moved" in out
    assert '" the"' in out and '" worlds"' in out and '" world" + "s" -> " worlds"' in out
    data = run_json(cli, "diff", bytelevel, edited)["result"]
    assert [t["text"] for t in data["only_in_a"]] == [" the"]
    assert [t["text"] for t in data["only_in_b"]] == ["s", " worlds"]  # "s" was new as well
    assert data["merges_added"][0]["left_text"] == " world" and data["merges_added"][0]["right_text"] == "s"
    assert data["summary"].startswith(f"{edited} has ")

    code, out, _ = cli("diff", bytelevel, bytelevel)
    assert code == 0 and "Both tokenizers hold the same tokens" in out


def test_diff_limits_lists_and_reports_settings(cli, tmp_path):
    a, b = tmp_path / "a.json", tmp_path / "b.json"
    a.write_text(doc_text({f"t{k}": k for k in range(30)}), encoding="utf-8")
    b.write_text(doc_text({}, decoder=METASPACE), encoding="utf-8")
    code, out, _ = cli("diff", a, b, "--limit", "2")
    assert code == 0 and "tokens only in" in out and "... and 28 more" in out
    assert "other sections changed: 1" in out and "decoder: null -> {" in out
    assert len(run_json(cli, "diff", a, b)["result"]["only_in_a"]) == 30


def test_sync_chars_refuses_mixed_styles_unless_forced(cli, bytelevel, tmp_path):
    source = tmp_path / "metaspace.json"
    source.write_text(doc_text({"\u2581": 0, "a": 1, "Z": 2}, pre_tokenizer=METASPACE), encoding="utf-8")
    out = tmp_path / "out.json"
    code, text, err = cli("sync-chars", bytelevel, source, "-o", out)
    assert code == 1 and text == "" and err.count("\n") == 1
    assert "metaspace style" in err and "byte_level style" in err and not out.exists()
    code, _, _ = cli("sync-chars", bytelevel, source, "-o", out, "--force")
    assert code == 0 and vocarix.Vocarix(str(out)).has_token("Z")


def test_sync_chars_refuses_to_delete_most_merges(cli, tmp_path):
    words = ["ab", "abc", "abcd", "abcde"]
    vocab = {c: i for i, c in enumerate("abcde")}
    vocab.update({w: 5 + i for i, w in enumerate(words[1:])})
    vocab["ab"] = 9
    merges = [("a", "b"), ("ab", "c"), ("abc", "d"), ("abcd", "e")]
    target, source, out = tmp_path / "t.json", tmp_path / "s.json", tmp_path / "out.json"
    target.write_text(doc_text(vocab, merges), encoding="utf-8")
    source.write_text(doc_text({c: i for i, c in enumerate("xyz")}), encoding="utf-8")
    code, text, err = cli("sync-chars", target, source, "-o", out)
    # The refusal comes first: nothing of the sync's progress report before it.
    assert code == 1 and text == "" and err.startswith("vocarix sync-chars: error: refused:") and not out.exists()
    assert "more than half" in err and len(err.splitlines()) == 1
    code, _, err = cli("sync-chars", target, source, "-o", out, "--force")
    assert code == 0 and vocarix.Vocarix(str(out)).merges_count < 2 and "Phase 1" in err


def test_readme_inspect_samples_run(cli, tmp_path, monkeypatch):
    readme = (Path(__file__).resolve().parents[1] / "README.md").read_text(encoding="utf-8")
    section = readme.split("## Inspect and compare", 1)[1].split("\n## ", 1)[0]
    lines = [line for block in re.findall(r"```sh\n(.*?)```", section, flags=re.S) for line in block.splitlines()]
    assert len(lines) >= 5
    shutil.copy(Path(__file__).resolve().parents[1] / "examples" / "tokenizer.json", tmp_path / "tokenizer.json")
    monkeypatch.chdir(tmp_path)
    outputs = {}
    for line in lines:
        program, *argv = shlex.split(line)
        assert program == "vocarix"
        code, out, err = cli(*argv)
        assert code == 0 and out, (line, err)
        outputs[line] = out
    assert '" tokenizer"' in outputs["vocarix diff tokenizer.json edited.json"]
    data = json.loads(outputs["vocarix diff tokenizer.json edited.json --json"])
    assert {"token": "\u0120tokenizer", "text": " tokenizer", "id": 1205} in data["result"]["only_in_b"]
    assert outputs["vocarix longest tokenizer.json 5"] != outputs["vocarix longest tokenizer.json 5 --raw"]
