"""Looking into tokenizers from Python: token style, readable text, the
vocabulary report, token explanations and the diff of two documents."""
import json
import random
from collections import Counter

import pytest

import vocarix
import vocarix_tools
from conftest import doc_text, fixture_names, model_section, real_fixture, real_fixtures

BYTE_LEVEL = {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True, "use_regex": True}
METASPACE = {"type": "Metaspace", "replacement": "\u2581", "prepend_scheme": "always", "split": True}


def byte_level(text):
    """`text` in the byte-level alphabet, as byte-level vocabularies store it."""
    shifted = [b for b in range(256) if not (0x21 <= b <= 0x7E or 0xA1 <= b <= 0xAC or 0xAE <= b <= 0xFF)]
    alphabet = {b: chr(b) for b in range(256)}
    alphabet.update({b: chr(256 + k) for k, b in enumerate(shifted)})
    return "".join(alphabet[b] for b in text.encode("utf-8"))


def editor_of(vocab=None, merges=(), **kwargs):
    return vocarix_tools.open_text(doc_text(vocab, merges, **kwargs))


STYLES = {
    "minimind-zh-6k.array.json": "byte_level",
    "phi2-codegen.string.json": "byte_level",
    "tinylm-en-8k.array.json": "byte_level",
    "llama-tiny-random.array.json": "metaspace",
    "bora-ko-32k.array.json": "metaspace",
    "chatglm3-zh.string.json": "metaspace",
    real_fixtures.ALTERED_BORA: "metaspace",
    "herbert-pl-eow.array.json": "end_of_word_suffix",
    real_fixtures.SUFFIX_STAND_IN: "end_of_word_suffix",
}


@pytest.mark.parametrize("name", fixture_names(*STYLES))
def test_style_of_real_files(name):
    assert vocarix_tools.token_style(vocarix_tools.open(real_fixture(name)))["style"] == STYLES[name]


def test_style_from_settings_then_vocabulary():
    vocab = {t: i for i, t in enumerate(["a", "b", "\u0120a", "\u0120b", "ab"])}
    style = vocarix_tools.token_style

    assert style(editor_of(vocab, pre_tokenizer=BYTE_LEVEL))["evidence"] == "pre_tokenizer ByteLevel"
    assert style(editor_of(vocab, decoder=METASPACE))["style"] == "metaspace"
    suffix = style(editor_of(model=model_section(vocab, end_of_word_suffix="</w>")))
    assert (suffix["style"], suffix["marker"]) == ("end_of_word_suffix", "</w>")
    prefix = style(editor_of(model=model_section(vocab, continuing_subword_prefix="##")))
    assert (prefix["style"], prefix["marker"]) == ("continuing_subword_prefix", "##")
    # Byte-level encoding keeps a model's word marker; empty markers are none.
    both = style(editor_of(model=model_section(vocab, end_of_word_suffix="</w>"), pre_tokenizer=BYTE_LEVEL))
    assert (both["style"], both["byte_level"], both["marker"]) == ("byte_level", True, "</w>")
    assert style(editor_of(model=model_section(vocab, end_of_word_suffix="", continuing_subword_prefix="")))[
        "style"] == "byte_level"  # settings say nothing: two of five tokens start with Ġ
    assert style(editor_of({"\u2581a": 0, "\u2581b": 1, "c": 2}))["style"] == "metaspace"
    assert style(editor_of({"a": 0, "b": 1, "\u0120a": 2}))["style"] == "plain"  # one marked token is no evidence
    assert style(editor_of({}))["style"] == "plain"


def test_readable_text_of_byte_level_tokens():
    tokens = [byte_level("以下是"), byte_level(" the"), byte_level("\n\t"), byte_level("a\u200bb"),
              byte_level("以")[:2], "<0x0A>", "<|im_start|>", "日本", byte_level("\u00a0x")]
    editor = editor_of({t: i for i, t in enumerate(tokens)}, pre_tokenizer=BYTE_LEVEL,
                       added_tokens=[{"id": 7, "content": "日本", "special": False}])
    display = vocarix_tools.TokenDisplay(editor)
    assert display.show_many(tokens) == [
        '"以下是"', '" the"', '"\\n\\t"', '"a\\u{200b}b"', '"\\xe4\\xbb"', '"<0x0A>"', '"<|im_start|>"',
        '"日本"',  # an added token is matched as raw text, so it is stored raw
        '"\\u{a0}x"']
    assert display.texts(tokens) == ["以下是", " the", "\n\t", "a\u200bb", "\\xe4\\xbb", "<0x0A>", "<|im_start|>",
                                     "日本", "\u00a0x"]
    raw = vocarix_tools.TokenDisplay(editor, raw=True)
    assert raw.show(tokens[0]) == json.dumps(tokens[0], ensure_ascii=False)
    assert raw.texts(tokens[:1]) == ["以下是"]  # JSON text is the same with --raw


def test_readable_text_of_other_styles():
    metaspace = editor_of({"\u2581the": 0, "\u2581\u2581": 1, "\u0301a": 2, "a\u0301": 3, '"\\': 4},
                          pre_tokenizer=METASPACE)
    display = vocarix_tools.TokenDisplay(metaspace)
    # "▁" stays visible as the mark of a space; the text holds the space itself.
    assert display.show_many(["\u2581the", "\u2581\u2581"]) == ['"\u2581the"', '"\u2581\u2581"']
    assert display.texts(["\u2581the", "\u2581\u2581"]) == [" the", "  "]
    # A combining mark is escaped only where it has nothing to combine with.
    assert display.show_many(["\u0301a", "a\u0301", '"\\']) == ['"\\u{301}a"', '"a\u0301"', '"\\"\\\\"']
    # Byte-level-looking text in a file of another style is shown as stored.
    plain = vocarix_tools.TokenDisplay(editor_of({"\u0120x": 0}))
    assert plain.show("\u0120x") == '"\u0120x"'


def test_readable_text_matches_the_runtime_decoder():
    tokenizers = pytest.importorskip("tokenizers")
    path = real_fixture("minimind-zh-6k.array.json")
    runtime = tokenizers.Tokenizer.from_file(str(path))
    editor = vocarix_tools.open(path)
    tokens = list(editor.get_vocab())
    texts = vocarix_tools.TokenDisplay(editor).texts(tokens)
    partial = 0
    for token, text in zip(tokens, texts):
        decoded = runtime.decoder.decode([token])
        if "\\x" in text:  # part of a character: the runtime shows a replacement character
            partial += 1
            assert "\ufffd" in decoded, token
        else:
            assert text == decoded, token
    assert 0 < partial < len(tokens) // 10


def test_vocabulary_report_gaps_bytes_added_tokens_and_rows():
    vocab = {"<unk>": 0, "<0x0A>": 1, "<0x0a>": 2, "a": 5, "b": 6, "ab": 9, "[CLS]": 12}
    added = [
        {"id": 0, "content": "<unk>", "special": True},       # an entry: keeps the entry's id
        {"id": 40, "content": "<|x|>", "special": True},      # outside: numbered from len(vocab) = 7
        {"id": 41, "content": "<|y|>", "special": False},
        {"id": 42, "content": "<|x|>", "special": True},      # listed twice: numbered once
        {"content": "<|z|>"},                                 # no id at all
    ]
    report = vocarix_tools.vocabulary_report(editor_of(vocab, added_tokens=added), range_limit=2)
    assert report["gap_ranges"] == [(3, 4), (7, 8)]
    assert (report["gap_range_count"], report["missing_ids"]) == (3, 6)
    assert (report["byte_tokens"], report["special_tokens_besides_bytes"]) == (1, 3)  # "<0x0a>" is no byte token
    assert [(t["content"], t["stored_id"], t["runtime_id"]) for t in report["added_outside_vocab"]] == [
        ("<|x|>", 40, 7), ("<|y|>", 41, 8), ("<|z|>", None, 9)]
    assert report["runtime_rows"] == 13  # the entry at 12 lies above the added tokens

    empty = vocarix_tools.vocabulary_report(editor_of({}))
    assert (empty["gap_ranges"], empty["missing_ids"], empty["runtime_rows"]) == ([], 0, 0)


def test_added_token_ids_agree_with_the_runtime():
    tokenizers = pytest.importorskip("tokenizers")
    path = real_fixture("phi2-codegen.string.json")
    runtime = tokenizers.Tokenizer.from_file(str(path))
    report = vocarix_tools.vocabulary_report(vocarix_tools.open(path))
    outside = report["added_outside_vocab"]
    assert len(outside) == 38
    assert all(runtime.token_to_id(t["content"]) == t["runtime_id"] for t in outside)
    assert report["runtime_rows"] == runtime.get_vocab_size(with_added_tokens=True)


def test_explain_tokens_merges_and_added_entry():
    vocab = {"a": 0, "b": 1, "ab": 2, "abb": 3, "<s>": 4}
    merges = [("a", "b"), ("ab", "b"), ("a", "b"), ("x", "y"), ("b", "b")]
    editor = editor_of(vocab, merges, added_tokens=[{"id": 4, "content": "<s>", "special": True},
                                                    {"id": 9, "content": "<t>", "special": True}])
    editor.remove_token("abb")  # leaves dead merge slots behind: positions must still be list positions
    assert editor.get_merges() == [("a", "b"), ("a", "b"), ("x", "y"), ("b", "b")]
    ab, b, xy, s, t, again = vocarix_tools.explain_tokens(editor, ["ab", "b", "xy", "<s>", "<t>", "ab"])
    assert ab["producers"] == [(0, "a", "b"), (1, "a", "b")] and ab["uses"] == []
    assert (ab["id"], ab["runtime_id"], ab["char_length"], ab["added_token"]) == (2, 2, 2, None)
    assert b["uses"] == [(0, "a", "b"), (1, "a", "b"), (3, "b", "b")]  # ("b", "b") counted once
    assert xy["id"] is None and xy["producers"] == [(2, "x", "y")]  # an invalid merge still produces it
    assert s["special"] and s["added_token"]["stored_id"] == 4 and s["runtime_id"] == 4
    assert t["id"] is None and t["runtime_id"] == 4  # the runtime numbers it from the vocabulary size
    assert json.loads(t["added_token"]["entry"]) == {"id": 9, "content": "<t>", "special": True}
    assert again == ab


def naive_merge_diff(merges_a, merges_b):
    """Removed and added merges by multiset; shared merges in B's order matched to A's earliest."""
    left = Counter(merges_b)
    removed = []
    for position, merge in enumerate(merges_a):
        if left[merge]:
            left[merge] -= 1
        else:
            removed.append(position)
    left = Counter(merges_a)
    added = []
    for position, merge in enumerate(merges_b):
        if left[merge]:
            left[merge] -= 1
        else:
            added.append(position)
    return removed, added


@pytest.mark.parametrize("seed", range(25))
def test_diff_agrees_with_a_naive_comparison(seed):
    rng = random.Random(seed)
    letters = "abcde"
    tokens = sorted({"".join(rng.choice(letters) for _ in range(rng.randint(1, 3))) for _ in range(30)})
    vocab_a = {t: i for i, t in enumerate(tokens)}
    merges_a = [(rng.choice(tokens), rng.choice(tokens)) for _ in range(25)]
    vocab_b = {t: (i if rng.random() < 0.8 else i + 100) for t, i in vocab_a.items() if rng.random() < 0.85}
    vocab_b.update({"new" + t: 200 + i for i, t in enumerate(tokens) if rng.random() < 0.2})
    merges_b = [m for m in merges_a if rng.random() < 0.85]
    if rng.random() < 0.5 and len(merges_b) > 3:
        i, j = rng.sample(range(len(merges_b)), 2)
        merges_b[i], merges_b[j] = merges_b[j], merges_b[i]
    merges_b += [(rng.choice(tokens), rng.choice(tokens)) for _ in range(rng.randint(0, 4))]
    diff = vocarix_tools.diff(editor_of(vocab_a, merges_a), editor_of(vocab_b, merges_b))

    assert diff["only_in_a"] == sorted(((t, i) for t, i in vocab_a.items() if t not in vocab_b),
                                       key=lambda x: (x[1], x[0]))
    assert diff["only_in_b"] == sorted(((t, i) for t, i in vocab_b.items() if t not in vocab_a),
                                       key=lambda x: (x[1], x[0]))
    assert diff["id_changed"] == sorted(((t, i, vocab_b[t]) for t, i in vocab_a.items()
                                         if t in vocab_b and vocab_b[t] != i), key=lambda x: (x[1], x[0]))
    assert diff["common_tokens"] == len(set(vocab_a) & set(vocab_b))
    removed, added = naive_merge_diff(merges_a, merges_b)
    assert [p for p, _, _ in diff["merges_removed"]] == removed
    assert [p for p, _, _ in diff["merges_added"]] == added
    assert all(merges_a[p] == (l, r) for p, l, r in diff["merges_removed"])
    assert all(merges_b[p] == (l, r) for p, l, r in diff["merges_added"])
    assert diff["common_merges"] == len(merges_a) - len(removed) == len(merges_b) - len(added)
    # Without the moved merges, the shared merges come in the same order in both lists.
    moved_a = {pa for _, _, pa, _ in diff["merges_moved"]}
    moved_b = {pb for _, _, _, pb in diff["merges_moved"]}
    kept_a = [m for p, m in enumerate(merges_a) if p not in set(removed) | moved_a]
    kept_b = [m for p, m in enumerate(merges_b) if p not in set(added) | moved_b]
    assert kept_a == kept_b
    assert all(merges_a[pa] == merges_b[pb] == (l, r) for l, r, pa, pb in diff["merges_moved"])


def test_diff_of_swapped_merges_settings_added_tokens_and_sections():
    vocab = {"a": 0, "b": 1, "c": 2, "ab": 3, "bc": 4, "<s>": 5}
    added_a = [{"id": 5, "content": "<s>", "special": True}, {"id": 9, "content": "<x>", "special": True},
               {"id": 10, "content": "<y>", "special": True}]
    added_b = [{"id": 10, "content": "<y>", "special": True}, {"id": 9, "content": "<x>", "special": False},
               {"id": 11, "content": "<z>", "special": True}]
    a = editor_of(vocab, [("a", "b"), ("b", "c")], added_tokens=added_a)
    b = vocarix_tools.open_text(doc_text(added_tokens=added_b, normalizer={"type": "NFC"},
                                         model=model_section(vocab, [("b", "c"), ("a", "b")], dropout=0.1,
                                                             unk_token="<s>")))
    diff = vocarix_tools.diff(a, b)
    assert len(diff["merges_moved"]) == 1 and not diff["merges_added"] and not diff["merges_removed"]
    assert [c for c, _, _ in diff["added_tokens_removed"]] == ["<s>"]
    assert [c for c, _, _ in diff["added_tokens_added"]] == ["<z>"]
    assert [c for c, _, _ in diff["added_tokens_changed"]] == ["<x>"] and diff["added_tokens_reordered"]
    assert diff["model_changes"] == [("dropout", "null", "0.1"), ("unk_token", '"<unk>"', '"<s>"')]
    assert diff["sections_changed"] == [("normalizer", "null", '{"type":"NFC"}')]

    same = vocarix_tools.diff(a, a)
    assert same["common_tokens"] == 6 and same["common_merges"] == 2
    assert not any(v for k, v in same.items() if k not in ("common_tokens", "common_merges"))


def test_diff_across_forms_reports_absent_fields():
    legacy = vocarix_tools.open_text(json.dumps({
        "added_tokens": [], "model": {"unk_token": None, "vocab": {"a": 0, "b": 1, "ab": 2}, "merges": ["a b"]}}))
    current = editor_of({"a": 0, "b": 1, "ab": 2}, [("a", "b")])
    diff = vocarix_tools.diff(legacy, current)
    changes = {name: (before, after) for name, before, after in diff["model_changes"]}
    assert changes["type"] == (None, '"BPE"') and changes["unk_token"] == ("null", '"<unk>"')
    assert ("version", None, '"1.0"') in diff["sections_changed"]
    assert diff["common_merges"] == 1 and diff["common_tokens"] == 3


def test_editors_stay_usable_and_borrows_are_released():
    editor = editor_of({"a": 0, "b": 1, "ab": 2}, [("a", "b")])
    display = vocarix_tools.TokenDisplay(editor)
    vocarix_tools.diff(editor, editor)
    vocarix_tools.explain_tokens(editor, ["ab"])
    editor.add_token("abc")  # no borrow is left behind
    assert display.show("abc") == '"abc"'
    with pytest.raises(TypeError):
        vocarix_tools.explain_tokens(editor, "ab")
    with pytest.raises(TypeError):
        vocarix_tools.diff(editor, "not an editor")  # type: ignore[arg-type]
    assert isinstance(editor, vocarix.Vocarix)


@pytest.mark.parametrize("name", fixture_names("tinylm-en-8k.array.json", "herbert-pl-eow.array.json",
                                               "llama-tiny-random.array.json"))
def test_explained_split_is_the_runtime_models(name):
    tokenizers = pytest.importorskip("tokenizers")
    path = real_fixture(name)
    runtime = tokenizers.Tokenizer.from_file(str(path))
    editor = vocarix_tools.open(path)
    tokens = [token for token, _, _ in editor.find_tokens_to_shrink(40)]
    tokens += [tokens[0] + tokens[1], "zzqx", "日本語"]
    for explanation in vocarix_tools.explain_tokens(editor, tokens):
        split = explanation["split"]
        assert [t.value for t in runtime.model.tokenize(split["word"])] == split["pieces"], explanation["token"]
        assert split["ids"] == [editor.get_token_id(piece) for piece in split["pieces"]]


def test_split_strips_the_suffix_and_skips_continuations():
    vocab = {"a": 0, "b": 1, "b</w>": 2, "ab</w>": 3, "##b": 4, "<unk>": 5}
    suffixed = editor_of(model=model_section(vocab, [("a", "b</w>")], end_of_word_suffix="</w>"))
    ab, plain_b = vocarix_tools.explain_tokens(suffixed, ["ab</w>", "b"])
    assert ab["split"] == {"word": "ab", "pieces": ["ab</w>"], "ids": [3], "met_unknown": False}
    assert plain_b["split"]["pieces"] == ["b</w>"]
    prefixed = editor_of(model=model_section(vocab, [], continuing_subword_prefix="##"))
    continuation, unknown = vocarix_tools.explain_tokens(prefixed, ["##b", "ax"])
    assert continuation["split"] is None
    assert unknown["split"]["met_unknown"] and unknown["split"]["pieces"] == ["a", "<unk>"]
