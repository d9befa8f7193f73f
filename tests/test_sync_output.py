"""The single-character sync's report on standard error, and its failures."""
import re

import pytest

import vocarix
from conftest import doc_text, model_section

TARGET = doc_text(
    {"a": 0, "b": 1, "ab": 2, "abc": 3, "bc": 4, "<s>": 5, "c": 6},
    [("a", "b"), ("ab", "c"), ("b", "c")],
)


def write_source(tmp_path, vocab, **kwargs):
    path = tmp_path / "source.json"
    path.write_text(doc_text(vocab, **kwargs), encoding="utf-8")
    return str(path)


def mask(report):
    report = re.sub(r"Elapsed: \d+\.\ds \| ETA: \d+\.\ds", "Elapsed: T | ETA: T", report)
    return re.sub(r"in \d+\.\d\ds", "in Ts", report)


def test_report_text(tmp_path, capfd):
    source = write_source(tmp_path, {"x": 0, "y": 1, "z": 2, "a": 3, "xy": 4})
    editor = vocarix.Vocarix.from_json(TARGET)
    result = editor.sync_single_chars(source)
    report = capfd.readouterr().err
    progress = re.findall(r"\r   \[([ \d]{3}\.\d)%\] (\d)/3 removed \| Elapsed: \d+\.\ds \| ETA: \d+\.\ds    ", report)
    assert progress and progress[-1] == ("100.0", "3")
    last_progress = re.sub(r"\r[^\r\n]*", "", report)  # drop every progress line
    assert mask(last_progress) == (
        "\n   Pre-computing 3 tokens to remove...\n"
        "   Found 3 candidate tokens for removal\n"
        "\n   Phase 1: Removing 3 tokens...\n"
        "\n"
        "\n   Phase 2: Adding 3 single-char tokens...\n"
        "   Added 3 tokens in Ts\n"
        "\n   Phase 3: Reindexing vocabulary to remove ID gaps...\n"
        "   Reindexed 5 IDs, removed 3 gaps\n"
    )
    assert result == {
        "initial_vocab_size": 7, "final_vocab_size": 7, "chars_in_source": 4, "chars_already_present": 1,
        "chars_added_count": 3, "total_tokens_removed": 3, "total_merges_removed": 3,
    }
    assert list(result) == ["initial_vocab_size", "final_vocab_size", "chars_in_source", "chars_already_present",
                            "chars_added_count", "total_tokens_removed", "total_merges_removed"]
    assert editor.check_vocab_gaps() == (False, 0, 0, 6)
    assert editor.get_vocab() == {"<s>": 2, "a": 0, "b": 1, "c": 3, "x": 4, "y": 5, "z": 6}


def test_warning_when_too_few_candidates(tmp_path, capfd):
    source = write_source(tmp_path, {"x": 0, "y": 1})
    editor = vocarix.Vocarix.from_json(TARGET)
    result = editor.sync_single_chars(source, min_id=100)
    report = capfd.readouterr().err
    assert mask(report) == (
        "\n   Pre-computing 2 tokens to remove...\n"
        "   Found 0 candidate tokens for removal\n"
        "   WARNING: Only found 0 tokens to remove, but need 2\n"
        "\n   Phase 1: Removing 0 tokens...\n"
        "\n"
        "\n   Phase 2: Adding 2 single-char tokens...\n"
        "   Added 2 tokens in Ts\n"
        "\n   Phase 3: Reindexing vocabulary to remove ID gaps...\n"
        "   Reindexed 0 IDs, removed 0 gaps\n"
    )
    assert result["final_vocab_size"] == result["initial_vocab_size"] + 2


@pytest.mark.parametrize("vocab", [{"a": 0, "b": 1}, {"ab": 0, "": 1}])
def test_nothing_missing_prints_nothing_and_keeps_ids(tmp_path, capfd, vocab):
    source = write_source(tmp_path, vocab)
    editor = vocarix.Vocarix.from_json(doc_text({"a": 5, "b": 9, "ab": 7}))
    before = editor.to_json()
    result = editor.sync_single_chars(source_path=source)
    assert capfd.readouterr().err == ""
    assert editor.to_json() == before
    assert result["chars_added_count"] == 0 and result["final_vocab_size"] == 3


def test_source_failures_leave_the_editor_unchanged(tmp_path, capfd):
    editor = vocarix.Vocarix.from_json(TARGET)
    before = editor.to_json()
    missing = tmp_path / "missing.json"
    with pytest.raises(OSError) as info:
        editor.sync_single_chars(str(missing))
    assert str(info.value) == f'Failed to load source tokenizer: Failed to read: "{missing}"'
    wordpiece = tmp_path / "wp.json"
    wordpiece.write_text(doc_text(model=model_section({"x": 0}, type="WordPiece")))
    with pytest.raises(OSError, match="^Failed to load source tokenizer: Only BPE tokenizers are supported$"):
        editor.sync_single_chars(str(wordpiece))
    broken = tmp_path / "broken.json"
    broken.write_text("{")
    with pytest.raises(OSError, match="^Failed to load source tokenizer: Failed to parse tokenizer.json$"):
        editor.sync_single_chars(str(broken))
    with pytest.raises(TypeError, match="^argument 'source_path': "):
        editor.sync_single_chars(tmp_path / "x.json")
    assert editor.to_json() == before
    assert capfd.readouterr().err == ""
