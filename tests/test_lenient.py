"""Opening older tokenizer.json forms with vocarix_tools and writing them back."""
import json
import os
import subprocess
import sys
import threading

import pytest
from hypothesis import given, settings, strategies as st

import vocarix
import vocarix_tools
from vocarix_tools import _native
from conftest import all_real_names, doc_text, document, model_section, real_fixture
from strategies import documents

VOCAB = {"a": 0, "b": 1, "c": 2, "ab": 3, "abc": 4}
TOP_FIELDS = {"version", "truncation", "padding", "added_tokens", "normalizer", "pre_tokenizer", "post_processor",
              "decoder", "model"}
MODEL_FIELDS = {"type", "dropout", "unk_token", "continuing_subword_prefix", "end_of_word_suffix", "fuse_unk",
                "byte_fallback", "ignore_merges", "vocab", "merges"}


def legacy_doc(**model_overrides):
    """A document as older runtimes wrote it: string merges, null unk, no ignore_merges or type."""
    model = model_section(VOCAB, unk_token=None, **model_overrides)
    model["merges"] = ["a b", "ab c"]
    for key in ("ignore_merges", "type"):
        model.pop(key)
    return document(model=model)


def legacy_text(**model_overrides):
    return json.dumps(legacy_doc(**model_overrides), ensure_ascii=False)


def saved(editor, tmp_path):
    path = tmp_path / "out.json"
    editor.save(str(path))
    return path


def test_legacy_document_keeps_its_form_through_an_edit(tmp_path):
    source = tmp_path / "legacy.json"
    source.write_text(legacy_text(), encoding="utf-8")
    editor = vocarix_tools.open(source)
    assert type(editor) is vocarix.Vocarix
    notice = vocarix_tools.leniency_notice(editor)
    assert '"a b" strings' in notice
    # What the runtime fills in itself is the current form: no word about it.
    assert "unk_token" not in notice and "ignore_merges" not in notice and "type" not in notice
    assert editor.get_merges() == [("a", "b"), ("ab", "c")]

    editor.add_token("abcb")
    for doc in (json.loads(editor.to_json()), json.loads(saved(editor, tmp_path).read_text())):
        model = doc["model"]
        assert model["unk_token"] is None
        assert "ignore_merges" not in model and "type" not in model
        assert model["merges"] == ["a b", "ab c", "abc b"]
    # Converted on request; the rest of the form stays.
    vocarix_tools.set_merge_form(editor, "pairs")
    model = json.loads(editor.to_json())["model"]
    assert model["merges"][-1] == ["abc", "b"] and model["unk_token"] is None


def test_every_absent_field_and_unknown_member_comes_back():
    doc = legacy_doc()
    for key in ("version", "added_tokens", "truncation", "decoder"):
        del doc[key]
    for key in ("dropout", "unk_token", "fuse_unk", "byte_fallback", "end_of_word_suffix"):
        del doc["model"][key]
    doc["extra_section"] = {"b": [1, 2.5], "a": None}
    doc["model"]["cache_capacity"] = 10000
    editor = vocarix_tools.open_text(json.dumps(doc))
    form = vocarix_tools.document_form(editor)
    assert form["unknown_fields"] == ["extra_section", "model.cache_capacity"]
    assert "version" in form["absent_fields"] and "model.unk_token" in form["absent_fields"]
    assert form["unk_token"] == "absent"
    assert json.loads(editor.to_json()) == doc


def test_current_form_is_written_exactly_as_the_strict_editor_writes_it(tmp_path):
    text = doc_text(VOCAB, [("a", "b"), ("ab", "c")])
    source = tmp_path / "strict.json"
    source.write_text(text, encoding="utf-8")
    lenient, strict = vocarix_tools.open(source), vocarix.Vocarix(str(source))
    assert vocarix_tools.leniency_notice(lenient) is None
    assert lenient.to_json() == strict.to_json()
    strict.save(str(tmp_path / "strict_out.json"))
    assert saved(lenient, tmp_path).read_bytes() == (tmp_path / "strict_out.json").read_bytes()
    # A file in the writer's own layout comes back byte for byte, in either form.
    for path in (tmp_path / "strict_out.json", saved(vocarix_tools.open_text(legacy_text()), tmp_path)):
        again = tmp_path / "again.json"
        vocarix_tools.open(path).save(str(again))
        assert again.read_bytes() == path.read_bytes()


@pytest.mark.parametrize("merges,message", [
    (["a b c"], r'invalid merge "a b c": expected two parts separated by one space at line 1 column \d+'),
    (["ab"], r'invalid merge "ab"'),
    (["a b", ["a", "b"]], r"invalid type: sequence, expected a string at line 1 column \d+"),
    ([["a", "b"], "a b"], r'invalid type: string "a b", expected a sequence'),
    ({"a": "b"}, r"invalid type: map, expected a sequence"),
])
def test_malformed_merges_are_refused_with_their_position(merges, message):
    doc = legacy_doc()
    doc["model"]["merges"] = merges
    with pytest.raises(ValueError, match=message):
        vocarix_tools.open_text(json.dumps(doc))


@pytest.mark.parametrize("text,message", [
    ('{"model": {"type": "BPE", "unk_token": null, "vocab": 5, "merges": []}}',
     r"invalid type: integer `5`, expected a map at line 1 column 55"),
    ('{"model": {"vocab": {}, "merges": [["a", {}]]}}', r"expected a string at line 1 column 42"),
    ('{"model": {"vocab": {}, "merges": []}, "model": {"vocab": {}, "merges": []}}',
     r"duplicate field `model` at line 1 column 46"),
    ('{"version": "1.0"}', r"missing field `model`"),
    ('{"model": {"merges": []}}', r"missing field `vocab`"),
    ('{"model": {"type": "WordPiece", "vocab": {}, "merges": []}}', r"^Only BPE tokenizers are supported$"),
    ('{"x": ' + "[" * 10000, r"recursion limit exceeded at line 1 column 133"),
    ('{\n  "model": {\n    "vocab": {"a": 1.5}, "merges": []}}', r"expected u32 at line 3 column 22"),
])
def test_malformed_documents_give_one_positioned_error(text, message):
    with pytest.raises(ValueError, match=message):
        vocarix_tools.open_text(text)


def test_file_errors_name_the_path_and_position(tmp_path):
    path = tmp_path / "bad.json"
    path.write_text('{\n  "model": {"vocab": {}, "merges": ["a  b"]}}')
    with pytest.raises(OSError, match=r"bad.json: Failed to parse tokenizer.json: .* at line 2 column \d+"):
        vocarix_tools.open(path)
    with pytest.raises(OSError, match="No such file"):
        vocarix_tools.open(tmp_path / "missing.json")


def test_a_pipe_is_read_once(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    text = legacy_text()
    writer = threading.Thread(target=lambda: fifo.write_text(text))
    writer.start()
    editor = vocarix_tools.open(fifo)
    writer.join()
    assert editor.vocab_size == len(VOCAB)
    done = subprocess.run([sys.executable, "-m", "vocarix_tools.cli", "stats", "/dev/stdin"], input=text,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "tokens:          5" in done.stdout and "older form" in done.stderr


def test_sync_reads_a_source_in_an_older_form():
    source_doc = legacy_doc()
    source_doc["model"]["vocab"] = {**VOCAB, "x": 5, "é": 6}
    source = vocarix_tools.open_text(json.dumps(source_doc))
    editor = vocarix.Vocarix.from_json(doc_text(VOCAB, [("a", "b"), ("ab", "c")]))
    result = _native.sync_single_chars(editor, source)
    assert result["chars_added_count"] == 2
    assert editor.has_token("x") and editor.has_token("é")
    with pytest.raises(ValueError, match="another editor"):
        _native.sync_single_chars(editor, editor)


@pytest.mark.parametrize("name", all_real_names())
def test_real_files_come_back_equal_when_unedited(name, tmp_path):
    path = real_fixture(name)
    editor = vocarix_tools.open(path)
    original = json.loads(path.read_text(encoding="utf-8"))
    assert json.loads(saved(editor, tmp_path).read_text(encoding="utf-8")) == original
    assert json.loads(editor.to_json()) == original


@st.composite
def older_forms(draw):
    """A document in the current form, and the same document as an older
    runtime or trainer might have written it."""
    current = json.loads(draw(documents()))
    older = json.loads(json.dumps(current))
    model = older["model"]
    if draw(st.booleans()) and all(" " not in part for merge in model["merges"] for part in merge):
        model["merges"] = [" ".join(merge) for merge in model["merges"]]
    unk = draw(st.sampled_from(["keep", "null", "absent"]))
    if unk == "null":
        model["unk_token"] = None
    elif unk == "absent":
        del model["unk_token"]
    for key in ("type", "fuse_unk", "byte_fallback", "ignore_merges", "dropout"):
        if key in model and draw(st.booleans()) and (key != "type" or model["type"] == "BPE"):
            del model[key]
    for key in ("version", "added_tokens", "truncation", "decoder"):
        if key in older and draw(st.booleans()):
            del older[key]
    return current, older


@settings(max_examples=150, deadline=None)
@given(older_forms())
def test_older_forms_read_as_their_current_form_and_write_back_unchanged(forms):
    current, older = forms
    strict = vocarix.Vocarix.from_json(json.dumps(current))
    lenient = vocarix_tools.open_text(json.dumps(older))
    assert lenient.get_vocab() == strict.get_vocab()
    assert lenient.get_merges() == strict.get_merges()
    assert json.loads(lenient.to_json()) == older
    # The unknown members the strict reader skips are what the lenient one keeps.
    form = vocarix_tools.document_form(lenient)
    assert set(form["unknown_fields"]) == {k for k in older if k not in TOP_FIELDS} | {
        "model." + k for k in older["model"] if k not in MODEL_FIELDS}


def test_streams_stop_where_they_cannot_be_a_document_or_pass_the_cap(tmp_path):
    with pytest.raises(OSError, match="/dev/zero: Failed to parse"):
        vocarix_tools.open("/dev/zero")
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    text = legacy_text()
    writer = threading.Thread(target=lambda: fifo.write_text(text))
    writer.start()
    with pytest.raises(OSError, match="Failed to read"):
        vocarix_tools.open(fifo, stream_size_limit=len(text) // 2)
    writer.join()
