"""Large documents are read on two threads: the result, and every error with
its line and column, are what reading on one thread gives."""
import json
import random

import pytest

import vocarix
import vocarix_tools
from conftest import document

# Documents from this size on take the two-thread path.
LARGE = 256 * 1024


def large_document(seed=7, entries=6000, merges=12000, odd=False):
    """A tokenizer document well above the two-thread size, its merge parts
    drawn from the vocabulary; with `odd`, parts hold escapes, non-ASCII text
    and the text that separates two merges ('],[')."""
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyz"
    extras = ['"', "\\", "\n", "é", "日本", "],[", "\u2028", "🌍"] if odd else []
    vocab = {}
    while len(vocab) < entries:
        token = "".join(rng.choice(letters) for _ in range(rng.randint(1, 6)))
        if extras and rng.random() < 0.3:
            token += rng.choice(extras)
        vocab.setdefault(token, len(vocab))
    tokens = list(vocab)
    pairs = [(rng.choice(tokens), rng.choice(tokens)) for _ in range(merges)]
    return document(vocab, pairs)


def text_of(doc, indent=2):
    text = json.dumps(doc, ensure_ascii=False, indent=indent)
    assert len(text.encode("utf-8")) > LARGE
    return text


def parse_error(text):
    with pytest.raises(ValueError) as info:
        vocarix.Vocarix.from_json(text)
    return str(info.value).removeprefix("Failed to parse JSON: ")


def at(text, index):
    """'line L column C' of the character at `index`, as the reader counts them."""
    line_start = text.rfind("\n", 0, index) + 1
    return f"line {text.count(chr(10), 0, index) + 1} column {index - line_start + 1}"


@pytest.mark.parametrize("odd", [False, True])
@pytest.mark.parametrize("indent", [None, 2])
def test_large_documents_read_as_their_contents(odd, indent):
    doc = large_document(odd=odd)
    editor = vocarix.Vocarix.from_json(text_of(doc, indent))
    assert editor.get_vocab() == doc["model"]["vocab"]
    assert editor.get_merges() == [tuple(m) for m in doc["model"]["merges"]]
    assert json.loads(editor.to_json()) == doc


def test_a_merge_list_long_enough_to_be_read_in_many_pieces():
    # Parts holding the text between two merges ('],[') put false piece
    # boundaries inside strings; the merges still come out whole and in order.
    doc = large_document(seed=11, entries=20000, merges=80000, odd=True)
    text = text_of(doc, indent=None)
    assert len(text) > 1 << 20
    editor = vocarix.Vocarix.from_json(text)
    assert editor.get_merges() == [tuple(m) for m in doc["model"]["merges"]]
    assert editor.get_vocab() == doc["model"]["vocab"]
    # Columns count bytes; the document is one line.
    where = text.rindex("]]") - 40
    bad = text[:where] + "@" + text[where + 1:]
    assert parse_error(bad) == f"expected value at line 1 column {len(bad[:where].encode()) + 1}"


def test_the_same_results_when_the_merge_list_is_not_where_the_worker_looks():
    # A member named "merges" before the model's sends the worker to the wrong
    # list: the calling thread then reads the merge list itself.
    doc = large_document(odd=True)
    decoy = json.loads(json.dumps(doc))
    decoy["decoder"] = {"type": "Fuse", "merges": [["x", "y"]] * 3}
    one, other = vocarix.Vocarix.from_json(text_of(doc)), vocarix.Vocarix.from_json(text_of(decoy))
    assert one.get_merges() == other.get_merges() and one.get_vocab() == other.get_vocab()
    assert one.find_tokens_to_shrink(500) == other.find_tokens_to_shrink(500)
    one.shrink(500)
    other.shrink(500)
    assert one.get_merges() == other.get_merges() and one.get_vocab() == other.get_vocab()
    assert json.loads(other.to_json())["decoder"] == decoy["decoder"]


def test_merges_before_the_vocabulary_and_older_forms():
    doc = large_document()
    model = doc["model"]
    reordered = dict(doc, model={k: model[k] for k in ["merges", *[k for k in model if k != "merges"]]})
    editor = vocarix.Vocarix.from_json(text_of(reordered))
    assert editor.get_merges() == [tuple(m) for m in model["merges"]]
    assert editor.get_vocab() == model["vocab"]

    older = json.loads(json.dumps(doc))
    older["model"]["merges"] = [" ".join(m) for m in model["merges"]]
    text = text_of(older)
    assert parse_error(text).startswith("invalid type: string")
    lenient = vocarix_tools.open_text(text)
    assert lenient.get_merges() == [tuple(m) for m in model["merges"]]
    assert json.loads(lenient.to_json()) == older


def test_errors_in_a_large_merge_list_name_their_place():
    text = text_of(large_document(), indent=None)
    start = text.index('"merges": [') + len('"merges": [')
    # Near the start (read by the worker) and near the end (by the calling thread).
    for where in (start + 1000, len(text) - 2000):
        element = text.index("[", where)
        close = text.index("]", element)
        bad = text[:element] + "7" + text[close + 1:]
        assert parse_error(bad) == f"invalid type: integer `7`, expected a sequence at {at(bad, element)}"
        triple = text[:close] + ', "a"' + text[close:]
        assert parse_error(triple) == f"Merge must have exactly 2 elements at {at(triple, close + 5)}"
        unknown = text[:element] + '[1, "a"]' + text[close + 1:]
        assert parse_error(unknown) == f"invalid type: integer `1`, expected a string at {at(unknown, element + 1)}"
    cut = text[:len(text) // 2]
    assert parse_error(cut).startswith("EOF while parsing")
    assert parse_error(text[:-3] + ",]}}") == f"trailing comma at {at(text[:-3] + ',]}}', len(text) - 2)}"


def test_an_error_before_the_merge_list_is_the_one_reported():
    doc = large_document()
    text = text_of(doc, indent=None)
    key = text.index('"model"')
    bad = text[:key] + '"version": "again", ' + text[key:]
    assert parse_error(bad) == f"duplicate field `version` at {at(bad, key + len('version') + 1)}"
    vocab_entry = text.index('": 17', text.index('"vocab"'))
    bad = text[:vocab_entry] + '": -17' + text[vocab_entry + 5:]
    assert parse_error(bad).startswith("invalid value: integer `-17`, expected u32 at ")


def test_a_large_file_on_disk(tmp_path):
    doc = large_document(odd=True)
    path = tmp_path / "tokenizer.json"
    path.write_text(text_of(doc), encoding="utf-8")
    editor = vocarix.Vocarix(str(path))
    assert editor.get_merges() == [tuple(m) for m in doc["model"]["merges"]]
    assert editor.get_vocab() == doc["model"]["vocab"]


@pytest.mark.parametrize("bad_bytes", [b"\xff", b"\xc3(", b"\xed\xa0\x80", b"\xf0\x9f\x8c"])
def test_a_merge_part_that_is_not_utf8_fails_the_read_wherever_it_stands(tmp_path, bad_bytes):
    # Merge parts read on two threads are checked once they are known not to
    # be strings of the vocabulary: a part with bytes no UTF-8 text has must
    # still fail the read, near the worker's start and in the last pieces.
    data = text_of(large_document(), indent=None).encode("utf-8")
    start = data.index(b'"merges": [')
    for where in (start + 1000, len(data) - 2000):
        part = data.index(b'["', where) + 2
        bad = data[:part] + b"zz" + bad_bytes + data[part:]
        path = tmp_path / "tokenizer.json"
        path.write_bytes(bad)
        with pytest.raises(OSError, match="^Failed to load tokenizer: Failed to read: "):
            vocarix.Vocarix(str(path))
        with pytest.raises(OSError, match="stream did not contain valid UTF-8$"):
            vocarix_tools.open(str(path))
        # The same part written correctly is a new string, and reads.
        path.write_bytes(data[:part] + b"zz\xc3\xa9" + data[part:])
        merges = vocarix.Vocarix(str(path)).get_merges()
        assert sum(left.startswith("zzé") for left, _ in merges) == 1


def test_pairs_laid_out_in_every_way_read_as_on_one_thread():
    # Pairs are read from a mask of the next 64 bytes when they are laid out
    # plainly; any other layout, and anything not a plain pair, is read in full.
    rng = random.Random(5)
    doc = large_document(seed=3, odd=True)
    blanks = ["", " ", "\n", "\t", "\r\n", " " * 30, "\n" + " " * 70]
    pieces = []
    for left, right in doc["model"]["merges"]:
        gap = lambda: rng.choice(blanks)  # noqa: E731
        pieces.append(f"[{gap()}{json.dumps(left)}{gap()},{gap()}{json.dumps(right)}{gap()}]")
    text = text_of(doc, indent=None)
    start = text.index('"merges": [') + len('"merges": [')
    end = text.index("]]", start) + 1
    text = text[:start] + ",\n".join(pieces) + text[end:]
    editor = vocarix.Vocarix.from_json(text)
    assert editor.get_merges() == [tuple(m) for m in doc["model"]["merges"]]
    assert editor.get_vocab() == doc["model"]["vocab"]
    # A tab or a line break inside a part is an error there, not a separator.
    # (Pairs start on a line of their own; no string holds a raw line break.)
    for where in (start + 1000, len(text) - 2000):
        part = text.index('\n["', where) + 3
        for control in ("\t", "\n"):
            bad = text[:part] + "a" + control + text[part:]
            assert parse_error(bad) == (
                f"control character (\\u0000-\\u001F) found while parsing a string at {at(bad, part + 1)}")
