"""Queries, attributes and the binding's conversion rules."""
import json
import pathlib

import pytest

import vocarix

Vocarix = vocarix.Vocarix


def test_module_surface():
    assert vocarix.__doc__ == "Python module for Vocarix"
    assert vocarix.__version__ == "0.1.0"
    assert Vocarix.__doc__ == "Python wrapper for Vocarix"
    assert Vocarix.__text_signature__ == "(path)"
    assert Vocarix.__name__ == Vocarix.__qualname__ == "Vocarix"
    public = [name for name in vars(vocarix) if not name.startswith("_")]
    assert public[0] == "Vocarix"


def test_lookups_are_exact_byte_matches(make_editor):
    editor = make_editor({"a": 0, "A": 1, "\u00e9": 2, "e\u0301": 3, "": 4})
    assert editor.has_token("a") and editor.has_token("A") and editor.has_token("")
    assert not editor.has_token("b")
    assert editor.get_token_id("\u00e9") == 2 and editor.get_token_id("e\u0301") == 3
    assert editor.get_token_id("missing") is None
    assert editor.get_token_by_id(4) == ""
    assert editor.get_token_by_id(99) is None


def test_strings_outside_the_vocabulary_are_not_tokens(make_editor):
    editor = make_editor({"a": 0}, [("x", "y")], added_tokens=[{"id": 5, "content": "<s>"}])
    assert not editor.has_token("x") and not editor.has_token("xy") and not editor.has_token("<s>")
    assert editor.get_token_by_id(5) is None


def test_get_token_by_id_picks_the_first_holder_in_key_order(make_editor):
    editor = make_editor({"b": 4, "a": 4, "c": 4, "d": 1})
    assert editor.get_token_by_id(4) == "a"
    assert editor.get_token_by_id(1) == "d"


def test_vocab_and_merges_are_fresh_copies_in_their_orders(make_editor):
    editor = make_editor({"b": 0, "a": 1, "ab": 2, "\u00e9": 3, "B": 4}, [("a", "b"), ("b", "a"), ("a", "b")])
    vocab = editor.get_vocab()
    assert list(vocab) == ["B", "a", "ab", "b", "\u00e9"]
    vocab["zzz"] = 1
    assert "zzz" not in editor.get_vocab()
    merges = editor.get_merges()
    assert merges == [("a", "b"), ("b", "a"), ("a", "b")]
    assert merges is not editor.get_merges()
    assert make_editor().get_vocab() == {} and make_editor().get_merges() == []


def test_single_char_tokens_count_characters_not_bytes(make_editor):
    editor = make_editor({"a": 5, "A": 6, "\u00e9": 1, "\u2581": 2, "\U0001f600": 3, "ab": 4, "": 7, "e\u0301": 8})
    assert editor.get_single_char_tokens() == [("A", 6), ("a", 5), ("\u00e9", 1), ("\u2581", 2), ("\U0001f600", 3)]


def test_repr_and_attributes(make_editor):
    editor = make_editor({"a": 0, "b": 1, "ab": 2}, [("a", "b")])
    assert repr(editor) == str(editor) == "Vocarix(vocab_size=3, merges_count=1)"
    assert editor.vocab_size == 3 and editor.merges_count == 1
    with pytest.raises(AttributeError):
        editor.vocab_size = 5
    with pytest.raises(AttributeError):
        editor.merges_count = 5


def test_integer_arguments(make_editor):
    editor = make_editor({"a": 0, "b": 1})

    class Index:
        def __index__(self):
            return 1

    assert editor.get_token_by_id(Index()) == "b"
    assert editor.get_token_by_id(True) == "b"
    for bad in [-1, 4294967296, 2**80]:
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            editor.get_token_by_id(bad)
    for bad in ["1", 1.0, None]:
        with pytest.raises(TypeError, match="^argument 'id': "):
            editor.get_token_by_id(bad)
    assert editor.get_token_by_id(id=0) == "a"


def test_string_arguments(make_editor, tmp_path):
    editor = make_editor({"a": 0})

    class Text(str):
        pass

    assert editor.has_token(Text("a"))
    assert editor.has_token(token="a")
    for bad in [b"a", 1, None, ["a"]]:
        with pytest.raises(TypeError, match="^argument 'token': "):
            editor.has_token(bad)
    with pytest.raises(TypeError, match="^argument 'path': "):
        Vocarix(pathlib.Path(tmp_path / "t.json"))
    with pytest.raises(TypeError, match="^argument 'path': "):
        editor.save(str(tmp_path / "t.json").encode())
    with pytest.raises(TypeError, match="^argument 'json_str': "):
        Vocarix.from_json(b"{}")
    with pytest.raises(UnicodeEncodeError):
        editor.has_token("\ud800")
    with pytest.raises(TypeError):
        editor.has_token()
    with pytest.raises(TypeError):
        editor.has_token("a", "b")
    with pytest.raises(TypeError):
        editor.get_vocab(1)


def test_from_json_on_class_and_instance(make_editor):
    editor = make_editor({"a": 0})
    assert isinstance(editor.from_json(editor.to_json()), Vocarix)
    assert Vocarix.from_json(json_str=editor.to_json()).get_vocab() == {"a": 0}


def test_key_order_is_byte_order_however_long_the_shared_prefix(make_editor):
    # Keys equal for 8, 16, 24 and hundreds of bytes, keys that differ only by
    # trailing NUL bytes, and enough keys that the order is built by radix.
    stems = ["", "a", "Ġinterna", "Ġinternationalis", "x" * 300]
    keys = {""}
    for stem in stems:
        for tail in ["", "\0", "\0\0", "\0a", "a", "b", "é", "日本", "\x7f", "z" * 9, "a\0" * 5]:
            keys.add(stem + tail)
    keys.update(f"w{i * 7919 % 5000:05d}" for i in range(5000))
    vocab = {key: i for i, key in enumerate(sorted(keys, key=len))}
    editor = make_editor(vocab)
    expected = sorted(keys, key=lambda k: k.encode("utf-8"))
    assert list(json.loads(editor.to_json())["model"]["vocab"]) == expected
    # Later insertions (with the pieces that build them) join the same order.
    editor.add_tokens(["Ġinternationalist", "a\0\0\0", "w02500x"])
    expected = sorted(editor.get_vocab(), key=lambda k: k.encode("utf-8"))
    assert len(expected) > len(keys)
    assert list(json.loads(editor.to_json())["model"]["vocab"]) == expected
