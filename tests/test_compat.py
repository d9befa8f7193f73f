"""The lenient front door reads older tokenizer.json forms and writes them back."""
import json
import os

import pytest

import vocarix
import vocarix_compat
from conftest import doc_text, document, model_section

VOCAB = {"a": 0, "b": 1, "c": 2, "ab": 3, "abc": 4}


def legacy_text(**model_overrides):
    """A file as older runtimes wrote it: string merges, null unk, no ignore_merges or type."""
    model = model_section(VOCAB, unk_token=None, **model_overrides)
    model["merges"] = ["a b", "ab c"]
    for key in ("ignore_merges", "type"):
        model.pop(key)
    return json.dumps(document(model=model), ensure_ascii=False)


def saved_doc(editor, tmp_path, **kwargs):
    path = tmp_path / "out.json"
    editor.save(str(path), **kwargs)
    return json.loads(path.read_text(encoding="utf-8"))


def test_legacy_file_keeps_its_conventions_through_an_edit(tmp_path):
    source = tmp_path / "legacy.json"
    source.write_text(legacy_text(), encoding="utf-8")
    editor = vocarix_compat.open_tokenizer(source)
    for part in ('"a b" strings', "unk_token null", "ignore_merges absent", "type absent"):
        assert part in editor.notice
    assert editor.get_merges() == [("a", "b"), ("ab", "c")]
    assert editor.has_token("abc") and editor.vocab_size == 5

    editor.add_token("abcb")
    for doc in (json.loads(editor.to_json()), saved_doc(editor, tmp_path)):
        model = doc["model"]
        assert model["unk_token"] is None
        assert "ignore_merges" not in model and "type" not in model
        assert model["byte_fallback"] is False and model["fuse_unk"] is False
        assert model["merges"] == ["a b", "ab c", "abc b"]
    # On request the merges come back as pairs; the other conventions stay.
    model = saved_doc(editor, tmp_path, merges_form="array")["model"]
    assert model["merges"][-1] == ["abc", "b"] and model["unk_token"] is None


def test_saved_file_uses_the_native_layout(tmp_path):
    editor = vocarix_compat.from_json(legacy_text())
    path = tmp_path / "out.json"
    editor.save(str(path))
    text = path.read_text(encoding="utf-8")
    doc = json.loads(text)
    assert list(doc) == sorted(doc) and list(doc["model"]) == sorted(doc["model"])
    assert list(doc["model"]["vocab"].values()) == sorted(VOCAB.values())  # by id, not by token
    assert '\n      "ab c"\n' in text and not text.endswith("\n")


def test_strict_file_passes_through_untouched(tmp_path):
    text = doc_text(VOCAB, [("a", "b"), ("ab", "c")])
    source = tmp_path / "strict.json"
    source.write_text(text, encoding="utf-8")
    editor = vocarix_compat.open_tokenizer(str(source))
    strict = vocarix.Vocarix(str(source))
    assert editor.notice == ""
    assert editor.to_json() == strict.to_json()
    editor.save(str(tmp_path / "a.json"))
    strict.save(str(tmp_path / "b.json"))
    assert (tmp_path / "a.json").read_bytes() == (tmp_path / "b.json").read_bytes()


def test_absent_unk_token_stays_absent():
    model = json.loads(legacy_text())["model"]
    del model["unk_token"]
    editor = vocarix_compat.from_json(json.dumps(document(model=model)))
    assert "unk_token absent" in editor.notice
    assert "unk_token" not in json.loads(editor.to_json())["model"]


def test_placeholder_is_no_token_of_the_file():
    placeholder = vocarix_compat.UNK_PLACEHOLDER
    model = model_section({**VOCAB, placeholder: 5}, [("a", "b")], unk_token=None)
    editor = vocarix_compat.from_json(json.dumps(document(model=model)))
    assert editor.conventions.unk_placeholder not in (None, placeholder)
    assert json.loads(editor.to_json())["model"]["unk_token"] is None
    assert editor.get_token_id(placeholder) == 5


@pytest.mark.parametrize("merge,position", [("a b c", 1), ("ab", 1), ("a  b", 1), ("abc", 0)])
def test_ambiguous_merge_strings_are_refused(merge, position):
    model = json.loads(legacy_text())["model"]
    model["merges"][position] = merge
    with pytest.raises(ValueError, match=rf"merge {position} {merge!r} must contain exactly one space"):
        vocarix_compat.from_json(json.dumps(document(model=model)))


def test_token_with_a_space_cannot_be_written_as_a_string_merge():
    editor = vocarix_compat.from_json(legacy_text())
    editor.add_token("a c")
    with pytest.raises(ValueError, match="merges_form"):
        editor.to_json()
    assert ["a", " c"] in json.loads(editor.to_json(merges_form="array"))["model"]["merges"]


def test_merges_object():
    model = model_section(VOCAB)
    model["merges"] = {}
    editor = vocarix_compat.from_json(json.dumps(document(model=model)))
    assert "{} (saved as [])" in editor.notice
    assert json.loads(editor.to_json())["model"]["merges"] == []
    model["merges"] = {"a": "b"}
    with pytest.raises(ValueError, match="non-empty object"):
        vocarix_compat.from_json(json.dumps(document(model=model)))


def test_sync_single_chars_reads_a_legacy_source(tmp_path):
    model = json.loads(legacy_text())["model"]
    model["vocab"] = {**VOCAB, "x": 5, "é": 6}
    source = tmp_path / "source.json"
    source.write_text(json.dumps(document(model=model)), encoding="utf-8")
    editor = vocarix_compat.from_json(doc_text(VOCAB, [("a", "b"), ("ab", "c")]))
    result = editor.sync_single_chars(source)
    assert result["chars_added_count"] == 2
    assert editor.has_token("x") and editor.has_token("é")
    assert not list(tmp_path.glob("*vocarix-compat*"))


def test_save_replaces_a_file_and_keeps_its_mode(tmp_path):
    target = tmp_path / "tok.json"
    target.write_text("old")
    os.chmod(target, 0o640)
    link = tmp_path / "link.json"
    link.symlink_to(target)
    vocarix_compat.from_json(legacy_text()).save(link)
    assert link.is_symlink()
    assert json.loads(target.read_text())["model"]["merges"] == ["a b", "ab c"]
    assert os.stat(target).st_mode & 0o777 == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.json", "tok.json"]
