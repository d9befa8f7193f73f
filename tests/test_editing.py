"""Editing right after loading, before any index exists, and across compaction."""
import vocarix
from conftest import doc_text


def fresh(vocab, merges):
    return vocarix.Vocarix.from_json(doc_text(vocab, merges))


def test_first_edit_sees_merge_results_that_are_not_entries():
    # Nothing about the merge list has been looked at yet when these run.
    merges = [("a", "<s>"), ("a", "<s>"), ("x", "y")]
    removal = fresh({}, merges).remove_token("a<s>")
    assert removal.removed_merges == [("a", "<s>")]
    editor = fresh({"a": 0, "<s>": 1}, merges)
    assert editor.add_token("a<s>").added_merges == []
    assert fresh({"x": 0}, merges).validate_merges().invalid_count == 3
    assert fresh({"xy": 0}, merges).remove_invalid_merges() == 2


def test_many_removals_keep_merge_order_through_compaction():
    # Enough removals to make the editor compact its merge storage several times.
    n = 6000
    vocab = {f"t{i}": i for i in range(n)}
    vocab.update({f"t{i}x": n + i for i in range(n)})
    vocab["x"] = 2 * n
    merges = [(f"t{i}", "x") for i in range(n)]
    editor = fresh(vocab, merges)
    removed = editor.remove_tokens([f"t{i}" for i in range(0, n, 2)])
    assert len(removed) == n // 2
    assert editor.get_merges() == [(f"t{i}", "x") for i in range(1, n, 2)]
    assert editor.add_token("t0x").added_merges == [("t", "0"), ("t0", "x")]
    assert editor.validate_merges().invalid_count == 0


def test_keep_size_whitelist_guards_a_token_created_after_the_removal_queue():
    # "ba" takes "ab"'s place first; "xyz" is created later and must stay although it is the longest.
    editor = fresh({"a": 0, "b": 1, "x": 2, "y": 3, "z": 4, "ab": 5}, [("a", "b")])
    report = editor.add_tokens_keep_size(["ba", "xyz"], ["xyz"])
    assert editor.has_token("xyz") and not editor.has_token("ba")
    assert report["tokens_added"] == 2


def test_sync_single_chars_spares_ids_below_min_id(tmp_path):
    source = tmp_path / "source.json"
    source.write_text(doc_text({"z": 0}, []), encoding="utf-8")
    editor = fresh({"a": 0, "b": 1, "c": 2, "d": 3, "ab": 4, "cd": 5}, [("a", "b"), ("c", "d")])
    report = editor.sync_single_chars(str(source), min_id=5)
    assert not editor.has_token("cd") and editor.has_token("ab") and editor.has_token("z")
    assert report["total_tokens_removed"] == 1
