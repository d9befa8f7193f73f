"""Loading, refusing and writing tokenizer documents."""
import json
import os
import random
import threading

import pytest

import vocarix
from conftest import doc_text, document, fixture_names, model_section, real_fixture, real_fixtures

Vocarix = vocarix.Vocarix


def parse_error(text):
    with pytest.raises(ValueError) as info:
        Vocarix.from_json(text)
    message = str(info.value)
    assert message.startswith("Failed to parse JSON: ")
    return message[len("Failed to parse JSON: "):]


def without(mapping, key):
    return {k: v for k, v in mapping.items() if k != key}


# ---------------------------------------------------------------- refusals

@pytest.mark.parametrize("key", ["version", "added_tokens", "model"])
def test_missing_required_top_level_field(key):
    message = parse_error(json.dumps(without(document(), key)))
    assert message.startswith(f"missing field `{key}` at line 1 column ")


@pytest.mark.parametrize("key", ["type", "unk_token", "fuse_unk", "byte_fallback", "ignore_merges", "vocab", "merges"])
def test_missing_required_model_field(key):
    doc = document(model=without(model_section(), key))
    assert parse_error(json.dumps(doc)).startswith(f"missing field `{key}`")


@pytest.mark.parametrize("key", ["unk_token", "fuse_unk", "vocab", "merges", "type"])
def test_null_required_model_field(key):
    model = model_section()
    model[key] = None
    doc = document(model=model)
    assert parse_error(json.dumps(doc)).startswith("invalid type: null, expected ")


@pytest.mark.parametrize("key", ["version", "added_tokens", "model"])
def test_null_required_top_level_field(key):
    doc = document()
    doc[key] = None
    assert parse_error(json.dumps(doc)).startswith("invalid type: null, expected ")


def test_duplicate_known_fields_are_refused_unknown_ones_are_not():
    text = doc_text()
    assert parse_error('{"version": "2",' + text[1:]) == "duplicate field `version` at line 1 column 25"
    twice_vocab = text.replace('"vocab": {}', '"vocab": {}, "vocab": {}')
    assert parse_error(twice_vocab).startswith("duplicate field `vocab`")
    twice_unknown = text.replace('"version"', '"extra": 1, "extra": [2], "version"')
    assert Vocarix.from_json(twice_unknown).vocab_size == 0


@pytest.mark.parametrize(
    "merges, message",
    [
        (["a b"], 'invalid type: string "a b", expected a sequence'),
        ([["a"]], "Merge must have exactly 2 elements"),
        ([["a", "b", "c"]], "Merge must have exactly 2 elements"),
        ([[]], "Merge must have exactly 2 elements"),
        ([["a", 1]], "invalid type: integer `1`, expected a string"),
    ],
)
def test_merges_must_be_pairs_of_strings(merges, message):
    model = model_section()
    model["merges"] = merges
    assert parse_error(json.dumps(document(model=model))).startswith(message)


def test_merges_given_as_an_object_are_refused():
    model = model_section()
    model["merges"] = {}
    assert parse_error(json.dumps(document(model=model))).startswith("invalid type: map, expected a sequence")


@pytest.mark.parametrize(
    "literal, message",
    [
        ("-1", "invalid value: integer `-1`, expected u32"),
        ("4294967296", "invalid value: integer `4294967296`, expected u32"),
        ("1.5", "invalid type: floating point `1.5`, expected u32"),
        ("1.0", "invalid type: floating point `1.0`, expected u32"),
        ("1e2", "invalid type: floating point `100.0`, expected u32"),
        ('"1"', 'invalid type: string "1", expected u32'),
    ],
)
def test_vocabulary_ids_must_be_u32_integers(literal, message):
    text = doc_text({"a": 0}).replace('"a": 0', '"a": ' + literal)
    assert parse_error(text).startswith(message)


def test_largest_id_is_accepted():
    assert Vocarix.from_json(doc_text({"a": 4294967295})).get_token_id("a") == 4294967295


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "EOF while parsing a value at line 1 column 0"),
        ("{", "EOF while parsing an object at line 1 column 1"),
        ('{"version": "1", "added_tokens": [1', "EOF while parsing a list at line 1 column 35"),
        ('{"version": "1.0",}', "trailing comma at line 1 column 19"),
        ('{"version" "1.0"}', "expected `:` at line 1 column 12"),
        ('{"version": tru}', "expected ident at line 1 column 16"),
        ('{"version": 01}', "invalid number at line 1 column 14"),
        ('{"version": "\\x"}', "invalid escape at line 1 column 15"),
        ('{"version": "\\ud800"}', "lone leading surrogate in hex escape at line 1 column 19"),
        ('{"version": "a\tb"}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 15"),
        ('{1: 2}', "key must be a string at line 1 column 2"),
        ('\n\n  {"x": 1e999}', "number out of range at line 3 column 13"),
        ("\ufeff{}", "expected value at line 1 column 1"),
        ("7", "invalid type: integer `7`, expected struct Tokenizer at line 1 column 1"),
    ],
)
def test_syntax_errors_report_line_and_column(text, message):
    assert parse_error(text) == message


def test_trailing_characters_after_the_document():
    text = doc_text() + "  x"
    assert parse_error(text) == f"trailing characters at line 1 column {len(text)}"
    assert Vocarix.from_json(doc_text() + " \n\t\r ").vocab_size == 0


def test_nesting_is_bounded_in_every_section():
    def nested(depth):
        return "[" * depth + "]" * depth

    # The document object and its member make two levels of their own.
    ok = doc_text().replace('"padding": null', '"padding": ' + nested(126))
    assert Vocarix.from_json(ok).to_json().count("[") >= 126
    too_deep = doc_text().replace('"padding": null', '"padding": ' + nested(127))
    assert parse_error(too_deep).startswith("recursion limit exceeded")
    unknown = doc_text().replace('"version"', '"extra": ' + nested(10_000) + ', "version"')
    assert parse_error(unknown).startswith("recursion limit exceeded")


def test_model_type_must_be_exactly_bpe(tmp_path):
    for kind in ["bpe", "WordPiece", "BPE "]:
        text = doc_text(model=model_section(type=kind))
        with pytest.raises(ValueError) as info:
            Vocarix.from_json(text)
        assert str(info.value) == "Only BPE tokenizers are supported"
        path = tmp_path / "t.json"
        path.write_text(text)
        with pytest.raises(OSError) as info:
            Vocarix(str(path))
        assert str(info.value) == "Failed to load tokenizer: Only BPE tokenizers are supported"


def test_array_forms_of_document_and_model():
    doc = document({"a": 0, "b": 1, "ab": 2}, [("a", "b")])
    model = doc["model"]
    as_array = [doc[k] for k in doc]
    as_array[-1] = [model[k] for k in model]
    editor = Vocarix.from_json(json.dumps(as_array))
    assert editor.to_json() == Vocarix.from_json(json.dumps(doc)).to_json()
    assert parse_error(json.dumps(as_array[:8])).startswith(
        "invalid length 8, expected struct Tokenizer with 9 elements")
    short_model = as_array[:8] + [as_array[-1][:9]]
    assert parse_error(json.dumps(short_model)).startswith("invalid length 9, expected struct Model with 10 elements")
    assert parse_error(json.dumps(as_array + [None])).startswith("trailing characters")


def test_file_errors_name_the_quoted_path(tmp_path):
    missing = tmp_path / "missing.json"
    with pytest.raises(OSError) as info:
        Vocarix(str(missing))
    assert str(info.value) == f'Failed to load tokenizer: Failed to read: "{missing}"'

    latin1 = tmp_path / "latin1.json"
    latin1.write_bytes(doc_text({"caf\u00e9": 0}).encode("latin-1"))
    with pytest.raises(OSError) as info:
        Vocarix(str(latin1))
    assert str(info.value) == f'Failed to load tokenizer: Failed to read: "{latin1}"'

    broken = tmp_path / "broken.json"
    broken.write_text(doc_text()[:-1])
    with pytest.raises(OSError) as info:
        Vocarix(str(broken))
    assert str(info.value) == "Failed to load tokenizer: Failed to parse tokenizer.json"

    odd = str(tmp_path / 'a\tb"c\\d\u00e9\u200b.json')
    with pytest.raises(OSError) as info:
        Vocarix(odd)
    quoted = odd.replace("\\", "\\\\").replace('"', '\\"').replace("\t", "\\t").replace("\u200b", "\\u{200b}")
    assert str(info.value) == f'Failed to load tokenizer: Failed to read: "{quoted}"'

    editor = Vocarix.from_json(doc_text())
    target = tmp_path / "no" / "such" / "dir.json"
    with pytest.raises(OSError) as info:
        editor.save(str(target))
    assert str(info.value) == f'Failed to save tokenizer: Failed to write: "{target}"'


# ---------------------------------------------------------------- layouts

LAYOUT_DOC = (
    '{"model": {"vocab": {"b\\t\\"q\\"": 0, "\u00e9": 2, "a": 1, "\\u0001\\u007f/": 3},'
    ' "merges": [["a", "\u00e9"]], "type": "BPE", "unk_token": "a", "fuse_unk": true,'
    ' "byte_fallback": false, "ignore_merges": true, "dropout": 0, "unknown": [1, 2],'
    ' "end_of_word_suffix": "</w>"},'
    ' "version": "1.0", "added_tokens": [{"id": 3, "content": "x", "special": true}],'
    ' "normalizer": {"z": 1, "a": [18446744073709551615, -9223372036854775808, 0.1, 1e-7, 2.5e16, {}], "z": 2},'
    ' "extra": {"dropped": true}}'
)

EXPECTED_TO_JSON = """{
  "version": "1.0",
  "truncation": null,
  "padding": null,
  "added_tokens": [
    {
      "content": "x",
      "id": 3,
      "special": true
    }
  ],
  "normalizer": {
    "a": [
      18446744073709551615,
      -9223372036854775808,
      0.1,
      1e-7,
      2.5e16,
      {}
    ],
    "z": 2
  },
  "pre_tokenizer": null,
  "post_processor": null,
  "decoder": null,
  "model": {
    "type": "BPE",
    "dropout": 0.0,
    "unk_token": "a",
    "continuing_subword_prefix": null,
    "end_of_word_suffix": "</w>",
    "fuse_unk": true,
    "byte_fallback": false,
    "ignore_merges": true,
    "vocab": {
      "\\u0001\x7f/": 3,
      "a": 1,
      "b\\t\\"q\\"": 0,
      "\u00e9": 2
    },
    "merges": [
      [
        "a",
        "\u00e9"
      ]
    ]
  }
}"""

EXPECTED_SAVE = """{
  "added_tokens": [
    {
      "content": "x",
      "id": 3,
      "special": true
    }
  ],
  "decoder": null,
  "model": {
    "byte_fallback": false,
    "continuing_subword_prefix": null,
    "dropout": 0.0,
    "end_of_word_suffix": "</w>",
    "fuse_unk": true,
    "ignore_merges": true,
    "merges": [
      [
        "a",
        "\u00e9"
      ]
    ],
    "type": "BPE",
    "unk_token": "a",
    "vocab": {
      "b\\t\\"q\\"": 0,
      "a": 1,
      "\u00e9": 2,
      "\\u0001\x7f/": 3
    }
  },
  "normalizer": {
    "a": [
      18446744073709551615,
      -9223372036854775808,
      0.1,
      1e-7,
      2.5e16,
      {}
    ],
    "z": 2
  },
  "padding": null,
  "post_processor": null,
  "pre_tokenizer": null,
  "truncation": null,
  "version": "1.0"
}"""


def test_to_json_layout():
    assert Vocarix.from_json(LAYOUT_DOC).to_json() == EXPECTED_TO_JSON


def test_save_layout(tmp_path):
    path = tmp_path / "out.json"
    Vocarix.from_json(LAYOUT_DOC).save(str(path))
    assert path.read_bytes() == EXPECTED_SAVE.encode("utf-8")


@pytest.mark.parametrize(
    "literal, written",
    [
        ("1", "1.0"), ("0.1", "0.1"), ("-0.0", "-0.0"), ("1e-5", "0.00001"), ("1e-6", "1e-6"),
        ("1.5e-7", "1.5e-7"), ("123456789012345678", "1.2345678901234568e17"), ("1e15", "1000000000000000.0"),
        ("1e16", "1e16"), ("1.7976931348623157e308", "1.7976931348623157e308"), ("5e-324", "5e-324"),
        ("1e-400", "0.0"), ("0.30000000000000004", "0.30000000000000004"),
    ],
)
def test_float_formatting(literal, written):
    text = doc_text().replace('"dropout": null', '"dropout": ' + literal)
    assert f'"dropout": {written},' in Vocarix.from_json(text).to_json()


def test_opaque_number_kinds():
    text = doc_text().replace('"padding": null', '"padding": [18446744073709551616, -9223372036854775809, -0, 0]')
    out = Vocarix.from_json(text).to_json()
    assert "1.8446744073709552e19,\n    -9.223372036854776e18,\n    -0.0,\n    0\n" in out


def test_absent_and_null_optional_sections_are_written_as_null(tmp_path):
    doc = document()
    for key in ["truncation", "padding", "normalizer", "pre_tokenizer", "post_processor", "decoder"]:
        del doc[key]
    for key in ["dropout", "continuing_subword_prefix", "end_of_word_suffix"]:
        del doc["model"][key]
    editor = Vocarix.from_json(json.dumps(doc))
    assert editor.to_json() == Vocarix.from_json(doc_text()).to_json()
    path = tmp_path / "t.json"
    editor.save(str(path))
    saved = json.loads(path.read_text())
    assert saved["truncation"] is None and saved["model"]["dropout"] is None


def test_output_round_trips_are_fixed_points(tmp_path):
    editor = Vocarix.from_json(LAYOUT_DOC)
    text = editor.to_json()
    assert Vocarix.from_json(text).to_json() == text
    first, second = tmp_path / "1.json", tmp_path / "2.json"
    editor.save(str(first))
    Vocarix(str(first)).save(str(second))
    assert first.read_bytes() == second.read_bytes()
    assert Vocarix(str(first)).to_json() == text


def test_large_strings_and_ids(tmp_path):
    big = "x" * 1_000_000
    editor = Vocarix.from_json(doc_text({big: 4294967295, "y": 0}))
    assert editor.get_token_by_id(4294967295) == big
    # Far more text than the writer expects from two entries: its buffer grows.
    assert json.loads(editor.to_json())["model"]["vocab"] == {big: 4294967295, "y": 0}
    path = tmp_path / "big.json"
    editor.save(str(path))
    assert Vocarix(str(path)).get_token_id(big) == 4294967295


def test_keys_that_need_escaping_anywhere_are_written_exactly(tmp_path):
    # Every length up to 33 bytes with a character that must be escaped at
    # every position: the writer checks keys a word at a time.
    keys = [""]
    for length in range(1, 34):
        keys.append("k" * length)
        for position in range(length):
            for bad in ['"', "\\", "\x01", "\n", "\x1f"]:
                keys.append("a" * position + bad + "b" * (length - position - 1))
    keys += ["é" * 9 + '"', "日\t", "😀" * 5 + "\\"]
    vocab = {key: i for i, key in enumerate(keys)}
    merges = [[keys[i], keys[i + 1]] for i in range(len(keys) - 1)]
    editor = Vocarix.from_json(doc_text(vocab, merges))
    text = editor.to_json()
    model = json.loads(text)["model"]
    assert model["vocab"] == vocab
    assert model["merges"] == merges
    for key, i in vocab.items():
        assert "\n      " + json.dumps(key, ensure_ascii=False) + ": " + str(i) in text
    path = tmp_path / "escaped.json"
    editor.save(str(path))
    saved = json.loads(path.read_text(encoding="utf-8"))["model"]
    assert saved["vocab"] == vocab and saved["merges"] == merges


@pytest.mark.parametrize("widest", ["z", "é", "日", "😀"])
@pytest.mark.parametrize("where", ["first key", "last key", "normalizer"])
def test_to_json_str_has_the_exact_width_of_its_widest_character(widest, where):
    # Large enough that the text is gathered in several chunks.
    vocab = {f"token{i:06d}": i for i in range(20_000)}
    normalizer = None
    if where == "first key":
        vocab = {widest: 20_000, **vocab}
    elif where == "last key":
        vocab["~" + widest] = 20_000
    else:
        normalizer = {"type": "Replace", "content": widest}
    text = Vocarix.from_json(doc_text(vocab, normalizer=normalizer)).to_json()
    # A str stored wider than its widest character compares unequal to the same text.
    assert text == text.encode("utf-8").decode("utf-8")
    assert json.loads(text)["model"]["vocab"] == vocab


@pytest.mark.parametrize("widest", ["é", "Ġ", "😀"])
def test_from_json_reads_text_of_every_width(widest):
    # Keys mix ASCII runs of every length with wide characters.
    vocab = {"a" * n + widest * (n % 3) + "b" * (n % 5): n for n in range(40)}
    vocab[widest] = 40
    text = doc_text(vocab)
    assert json.loads(Vocarix.from_json(text).to_json())["model"]["vocab"] == vocab
    with pytest.raises(UnicodeEncodeError):
        Vocarix.from_json(text[:200] + "\ud800" + text[200:])


@pytest.mark.parametrize("widest", ["é", "Ġ", "😀"])
def test_from_json_reads_large_text_of_every_width(widest):
    # Past a million characters the text is encoded in two halves at once:
    # the second half must land exactly where the first one ends.
    rng = random.Random(7)
    vocab = {}
    while len(vocab) < 90_000:
        vocab["".join(rng.choice(["a", "bc", "def", widest, "é"]) for _ in range(rng.randrange(1, 12)))] = len(vocab)
    text = doc_text(vocab)
    assert len(text) > 2**20
    assert json.loads(Vocarix.from_json(text).to_json())["model"]["vocab"] == vocab
    for where in (len(text) // 4, len(text) // 2 - 1, len(text) // 2, len(text) - 3):
        with pytest.raises(UnicodeEncodeError):
            Vocarix.from_json(text[:where] + "\udfff" + text[where:])


def test_a_document_loads_from_a_pipe(tmp_path):
    # A pipe has no size to go by, so the buffer grows as the text arrives.
    vocab = {f"token{i}": i for i in range(20_000)}
    text = doc_text(vocab)
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    writer = threading.Thread(target=lambda: fifo.write_text(text, encoding="utf-8"))
    writer.start()
    editor = Vocarix(str(fifo))
    writer.join()
    assert len(text) > 300_000
    assert editor.to_json() == Vocarix.from_json(text).to_json()


# ---------------------------------------------------------------- real files

ACCEPTED = fixture_names("llama-tiny-random.array.json", "bora-ko-32k.array.json", "herbert-pl-eow.array.json")
REFUSED = {
    "llama-tiny-random.string.json": "invalid type: string",
    "minimind-zh-6k.array.json": "invalid type: null, expected a string",
    "tinylm-en-8k.array.json": "invalid type: null, expected a string",
    "phi2-codegen.string.json": "invalid type: null, expected a string",
    "chatglm3-zh.string.json": "invalid type: string",
    # unk_token (null) comes before the end of the model object, where the absent type would be noticed.
    "roberta-base-notype.string.json": "invalid type: null, expected a string",
    "tiny-random-gpt2.string.json": "invalid type: null, expected a string",
    "added-tokens-merges-object.json": "invalid type: map, expected a sequence",
    real_fixtures.ALTERED_BORA: "invalid type: string",
}


@pytest.mark.parametrize("name", ACCEPTED)
def test_real_files_round_trip(name, tmp_path):
    path = real_fixture(name)
    original = json.loads(path.read_text(encoding="utf-8"))
    editor = Vocarix(str(path))
    assert editor.get_vocab() == original["model"]["vocab"]
    assert editor.get_merges() == [tuple(m) for m in original["model"]["merges"]]
    text = editor.to_json()
    assert Vocarix.from_json(text).to_json() == text
    out = tmp_path / "out.json"
    editor.save(str(out))
    assert json.loads(out.read_text(encoding="utf-8")) == original
    again = tmp_path / "again.json"
    Vocarix(str(out)).save(str(again))
    assert out.read_bytes() == again.read_bytes()


@pytest.mark.parametrize("name", fixture_names(*sorted(REFUSED)))
def test_real_files_the_strict_reader_refuses(name):
    path = real_fixture(name)
    detail = REFUSED[name]
    with pytest.raises(OSError, match="^Failed to load tokenizer: Failed to parse tokenizer.json$"):
        Vocarix(str(path))
    assert parse_error(path.read_text(encoding="utf-8")).startswith(detail)


def test_strings_end_and_fail_at_every_place_of_a_sixteen_byte_block():
    # Strings are scanned by blocks: a quote, an escape, a control character
    # or a non-ASCII character may fall anywhere in or across one.
    for length in range(0, 40):
        for filler in ("a", "é", "日"):
            token = filler * length
            for tail in ("", "b", "\n", "é", '"'):
                vocab = {token + tail: 0}
                assert Vocarix.from_json(doc_text(vocab)).get_vocab() == vocab
            prefix = '{"version": "' + token
            bad = prefix + '\x01"}'
            column = len(prefix.encode()) + 1
            assert parse_error(bad) == \
                f"control character (\\u0000-\\u001F) found while parsing a string at line 1 column {column}"
            assert parse_error(prefix).startswith("EOF while parsing a string")
