"""Inputs that fuzzing found to reach undefined behaviour or break the core.

Undefined behaviour shows up as a failure under tests/run_sanitized.sh; in a
normal build these tests check that the same inputs still give sound results.
"""
from pathlib import Path

import pytest

import vocarix

REGRESSIONS = Path(__file__).resolve().parents[1] / "fuzz" / "regressions"


def test_empty_string_as_key_and_merge_part(make_editor, tmp_path):
    # The empty string's stored text had a null data pointer, which the writer
    # passed to memcpy.
    editor = make_editor({"": 0, "a": 1}, [("", "a"), ("a", "")])
    text = editor.to_json()
    again = vocarix.Vocarix.from_json(text)
    assert again.to_json() == text
    assert again.get_token_id("") == 0 and again.get_token_by_id(0) == ""
    assert again.get_merges() == [("", "a"), ("a", "")]
    path = tmp_path / "tokenizer.json"
    editor.save(str(path))
    assert vocarix.Vocarix(str(path)).to_json() == text


@pytest.mark.parametrize(
    "path", sorted((REGRESSIONS / "fuzz_reader").glob("*")), ids=lambda p: p.name
)
def test_reader_regressions_round_trip(path):
    try:
        text = path.read_bytes().decode("utf-8")
    except UnicodeDecodeError:
        pytest.skip("not UTF-8: only the native reader can be given these bytes")
    try:
        editor = vocarix.Vocarix.from_json(text)
    except ValueError:
        return
    written = editor.to_json()
    assert vocarix.Vocarix.from_json(written).to_json() == written
