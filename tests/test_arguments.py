"""Every parameter refuses bad values with the documented exception and changes nothing."""
import pytest

import vocarix
from conftest import doc_text

TEXT = doc_text({"a": 0, "b": 1, "ab": 2, "abc": 3, "c": 4}, [("a", "b"), ("ab", "c")])


def raising_sequence():
    class Raising:
        def __len__(self):
            return 2

        def __getitem__(self, index):
            if index == 1:
                raise KeyError("boom")
            return "zz"

    return Raising()


# (value, exception for str parameters, for sequence parameters, for integer parameters)
BAD_VALUES = {
    "None": (None, TypeError, TypeError, TypeError),
    "bytes": (b"ab", TypeError, TypeError, TypeError),
    "float": (1.5, TypeError, TypeError, TypeError),
    "huge int": (2**100, TypeError, TypeError, OverflowError),
    "negative int": (-1, TypeError, TypeError, OverflowError),
    "lone surrogate": ("\ud800", UnicodeEncodeError, TypeError, TypeError),
    "generator": ((t for t in ["zz"]), TypeError, TypeError, TypeError),
    "raising sequence": (raising_sequence(), TypeError, KeyError, TypeError),
    "list with surrogate": (["\udcff"], TypeError, UnicodeEncodeError, TypeError),
}

# method -> its parameters with their kinds, in order; other parameters get good values
METHODS = {
    "has_token": [("token", "str")],
    "get_token_id": [("token", "str")],
    "get_token_by_id": [("id", "int")],
    "add_token": [("token", "str")],
    "add_tokens": [("tokens", "seq")],
    "add_token_atomic": [("token", "str")],
    "remove_token": [("token", "str")],
    "remove_tokens": [("tokens", "seq")],
    "shrink": [("count", "int"), ("min_id", "int")],
    "find_tokens_to_shrink": [("count", "int"), ("min_id", "int")],
    "sync_single_chars": [("source_path", "str"), ("min_id", "int")],
    "add_tokens_keep_size": [("tokens", "seq"), ("whitelist", "seq")],
    "save": [("path", "str")],
}
GOOD = {"str": "ab", "int": 1, "seq": ["zz"]}
KIND_COLUMN = {"str": 1, "seq": 2, "int": 3}

CASES = [
    (method, position, name, kind, label)
    for method, params in METHODS.items()
    for position, (name, kind) in enumerate(params)
    for label in BAD_VALUES
    # None is a valid whitelist
    if not (name == "whitelist" and label == "None")
]


@pytest.mark.parametrize("method, position, name, kind, label", CASES)
def test_bad_argument(tmp_path, method, position, name, kind, label):
    editor = vocarix.Vocarix.from_json(TEXT)
    before = editor.to_json()
    params = METHODS[method]
    args = []
    for index, (param, param_kind) in enumerate(params):
        if index == position:
            args.append(BAD_VALUES[label][0])
        elif param in ("path", "source_path"):
            source = tmp_path / "source.json"
            source.write_text(TEXT)
            args.append(str(source))
        else:
            args.append(GOOD[param_kind])
    expected = BAD_VALUES[label][KIND_COLUMN[kind]]
    with pytest.raises(expected) as info:
        getattr(editor, method)(*args)
    if expected is TypeError:
        assert str(info.value).startswith(f"argument '{name}': ")
    if expected is OverflowError and kind == "int" and name in ("id", "min_id"):
        assert str(info.value) == "out of range integral type conversion attempted"
    assert editor.to_json() == before
