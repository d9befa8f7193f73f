"""The Python surface: method table, result classes, conversions and borrows."""
import gc
import inspect

import pytest

import vocarix
from conftest import doc_text

Vocarix = vocarix.Vocarix

METHODS = [
    ("from_json", "(json_str)", "Create a new editor from JSON string"),
    ("save", "($self, path)", "Save the tokenizer to a JSON file"),
    ("to_json", "($self)", "Export tokenizer to JSON string"),
    ("vocab_size", None, "Get the current vocabulary size"),
    ("merges_count", None, "Get the current number of merges"),
    ("has_token", "($self, token)", "Check if a token exists in the vocabulary"),
    ("get_token_id", "($self, token)", "Get the ID of a token"),
    ("get_token_by_id", "($self, id)", "Get a token by its ID"),
    ("get_vocab", "($self)", "Get all tokens in the vocabulary"),
    ("get_merges", "($self)", "Get all merges as list of tuples"),
    ("get_stats", "($self)", "Get comprehensive tokenizer statistics"),
    ("validate_merges", "($self)", "Validate all merges - check that each merge result exists in vocabulary"),
    ("remove_invalid_merges", "($self)", "Remove all invalid merges from the tokenizer"),
    ("add_token", "($self, token)", "Add a token with proper merge chain creation"),
    ("add_tokens", "($self, tokens)", "Add multiple tokens"),
    ("add_token_atomic", "($self, token)", "Add a token without creating merge chains (for special tokens)"),
    ("remove_token", "($self, token)", "Remove a token and all its dependencies"),
    ("remove_tokens", "($self, tokens)", "Remove multiple tokens"),
    ("shrink", "($self, count, min_id=0)", "Shrink vocabulary by removing N longest non-special tokens"),
    ("find_tokens_to_shrink", "($self, count, min_id=0)",
     "Find tokens that would be removed by shrink operation (preview)"),
    ("get_single_char_tokens", "($self)", "Get all single-character tokens"),
    ("sync_single_chars", "($self, source_path, min_id=0)", "Sync single-character tokens from another tokenizer"),
    ("add_tokens_keep_size", "($self, tokens, whitelist=None)", "Add tokens while keeping vocabulary size fixed"),
    ("check_vocab_gaps", "($self)", "Check if vocabulary has gaps in its ID space"),
    ("reindex_vocab", "($self)", "Reindex vocabulary to make all IDs sequential"),
]

RESULT_CLASSES = {
    "ValidationResult": ("Result of validating merges", ["valid_count", "invalid_count", "invalid_merges"]),
    "AdditionResult": ("Result of token addition", ["token", "added", "method", "added_merges"]),
    "RemovalResult": ("Result of token removal", ["root_token", "removed_tokens", "removed_merges"]),
    "ShrinkResult": ("Result of shrink operation", [
        "initial_vocab_size", "initial_merges_count", "final_vocab_size", "final_merges_count",
        "tokens_removed_count", "total_tokens_removed", "total_merges_removed"]),
    "TokenizerStats": ("Tokenizer statistics", [
        "vocab_size", "merges_count", "single_char_count", "special_token_count", "min_token_id", "max_token_id",
        "length_distribution"]),
    "ReindexResult": ("Result of reindex operation", [
        "vocab_size", "merges_count", "old_min_id", "old_max_id", "new_min_id", "new_max_id", "ids_remapped",
        "gaps_removed"]),
}


def public(names):
    return [name for name in names if not name.startswith("_")]


def test_module_registers_classes_in_order():
    assert public(vars(vocarix)) == ["Vocarix", *RESULT_CLASSES]
    assert list(vars(vocarix))[-1] == "__version__"


def test_method_table(make_editor):
    assert public(vars(Vocarix)) == [name for name, _, _ in METHODS]
    # Tools read the same parameters from the class, a bound method and the constructor.
    editor = make_editor()
    assert str(inspect.signature(editor.shrink)) == "(count, min_id=0)"
    assert str(inspect.signature(Vocarix.add_token)) == "(self, /, token)"
    assert str(inspect.signature(Vocarix)) == "(path)"
    for name, signature, first_line in METHODS:
        member = getattr(Vocarix, name)
        assert member.__doc__.split("\n")[0] == first_line, name
        if signature is not None:
            assert member.__text_signature__ == signature, name
    assert Vocarix.reindex_vocab.__doc__.endswith(
        "Returns:\n    ReindexResult with details about the reindexing operation")
    assert Vocarix.add_tokens_keep_size.__doc__ == (
        "Add tokens while keeping vocabulary size fixed\n\nAdds new tokens and automatically removes other tokens to"
        " maintain\nthe original vocabulary size.\n\nArgs:\n    tokens: List of tokens to add\n    whitelist:"
        " Optional list of tokens that should never be removed\n\nReturns:\n    Dictionary with operation details")


@pytest.mark.parametrize("name", RESULT_CLASSES)
def test_result_classes(name):
    cls = getattr(vocarix, name)
    doc, attributes = RESULT_CLASSES[name]
    assert cls.__doc__ == doc and cls.__name__ == cls.__qualname__ == name
    assert public(vars(cls)) == attributes
    assert all(vars(cls)[attribute].__doc__ is None for attribute in attributes)
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls()


def test_results_are_independent_read_only_snapshots(make_editor):
    editor = make_editor({"a": 0, "b": 1, "c": 2, "ab": 3, "abc": 4}, [("a", "b"), ("ab", "c")])
    removal = editor.remove_token("ab")
    stats = editor.get_stats()
    first, second = removal.removed_tokens, removal.removed_tokens
    assert first == second and first is not second
    first.append("x")
    assert "x" not in removal.removed_tokens
    assert removal.removed_merges[0] is not removal.removed_merges[0]
    with pytest.raises(AttributeError):
        removal.root_token = "z"
    with pytest.raises(AttributeError):
        stats.vocab_size = 1
    editor.add_tokens(["xyz", "ab"])
    del editor
    gc.collect()
    assert sorted(removal.removed_tokens) == ["ab", "abc"]
    assert stats.vocab_size == 3 and stats.length_distribution == [(1, 3)]
    assert isinstance(stats.length_distribution, list)


def test_sequence_arguments(make_editor):
    editor = make_editor({"a": 0})
    before = editor.to_json()
    with pytest.raises(TypeError, match="^argument 'tokens': Can't extract `str` to `Vec`$"):
        editor.add_tokens("ab")
    with pytest.raises(TypeError, match="^argument 'tokens': "):
        editor.remove_tokens(["a", 1])
    with pytest.raises(TypeError, match="^argument 'tokens': "):
        editor.add_tokens(x for x in ["ab"])
    with pytest.raises(TypeError, match="^argument 'whitelist': Can't extract `str` to `Vec`$"):
        editor.add_tokens_keep_size(["ab"], "a")
    with pytest.raises(TypeError, match="^argument 'tokens': "):
        editor.add_tokens_keep_size(None)
    assert editor.to_json() == before
    assert [r.token for r in editor.add_tokens(("bc", "bc"))] == ["bc", "bc"]
    assert editor.add_tokens([]) == [] and editor.remove_tokens([]) == []


def test_sequence_that_calls_back_meets_the_borrow(make_editor):
    editor = make_editor({"a": 0, "b": 1})
    before = editor.to_json()

    class Reentrant:
        def __init__(self, call):
            self.call = call

        def __len__(self):
            return 1

        def __getitem__(self, index):
            if index > 0:
                raise IndexError
            self.call()
            return "abc"

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        editor.add_tokens(Reentrant(editor.get_vocab))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        editor.remove_tokens(Reentrant(lambda: editor.add_token("q")))
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        editor.add_tokens_keep_size(["x"], Reentrant(lambda: editor.vocab_size))
    assert editor.to_json() == before

    class Counting:
        def __index__(self):
            return editor.vocab_size  # shared borrow inside a shared call is fine

    assert editor.find_tokens_to_shrink(Counting()) == []


def test_integer_conversions(make_editor):
    editor = make_editor({"a": 0, "b": 1, "ab": 2, "abc": 3}, [("a", "b"), ("ab", "c")])
    with pytest.raises(OverflowError):
        editor.shrink(-1)
    with pytest.raises(OverflowError):
        editor.find_tokens_to_shrink(2**64)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        editor.shrink(1, min_id=2**32)
    with pytest.raises(TypeError, match="^argument 'count': "):
        editor.shrink("1")
    with pytest.raises(TypeError, match="^argument 'min_id': "):
        editor.find_tokens_to_shrink(1, 0.5)
    assert editor.find_tokens_to_shrink(2**64 - 1) == [("abc", 3, 3), ("ab", 2, 2)]
    assert editor.find_tokens_to_shrink(count=1, min_id=3) == [("abc", 3, 3)]
    assert editor.shrink(True).tokens_removed_count == 1
    assert editor.shrink(count=5, min_id=0).tokens_removed_count == 1


def test_id_space_exhaustion_changes_nothing(make_editor):
    editor = make_editor({"a": 4294967293})
    before = editor.to_json()
    with pytest.raises(OverflowError, match="no free token id"):
        editor.add_token("bc")  # needs b, c and bc; two ids are left
    assert editor.to_json() == before
    assert editor.add_token("b").method == "single_char"
    assert editor.add_token_atomic("bc")
    assert editor.get_token_id("bc") == 4294967295
    with pytest.raises(OverflowError, match="no free token id"):
        editor.add_token_atomic("z")
    assert editor.vocab_size == 3


def test_largest_id_leaves_no_room(make_editor, tmp_path):
    editor = make_editor({"a": 4294967295, "b": 0})
    with pytest.raises(OverflowError):
        editor.add_token("c")
    source = tmp_path / "source.json"
    source.write_text(doc_text({"z": 0}))
    with pytest.raises(OverflowError):
        editor.sync_single_chars(str(source))
    assert editor.vocab_size == 2
    assert editor.reindex_vocab().ids_remapped == 1
    assert editor.add_token("c").added


def test_overlong_chains_are_refused_before_anything_changes(make_editor):
    editor = make_editor({"a": 0})
    before = editor.to_json()
    with pytest.raises(ValueError, match="too long to build a merge chain"):
        editor.add_token("x" * 20_000)
    assert editor.to_json() == before
    # The same token is fine once a long prefix exists: only the suffix is chained.
    assert editor.add_token_atomic("x" * 19_999)
    assert editor.add_token("x" * 20_000).method == "longest_prefix"
