"""Native segmentation and reachable addition, judged by the runtime.

The segmentation must split every word exactly as the runtime's BPE model
does (``Tokenizer.model.tokenize``), and a word added the reachable way must
come out of the saved file as one token. Both are driven through
``vocarix_tools._native``; the tests skip where the runtime is missing.
"""

import json
import random

import pytest

from conftest import document, fixture_names, model_section, real_fixture

import vocarix_tools
from vocarix_tools import _native

tokenizers = pytest.importorskip("tokenizers")


class Editor:
    """An editor opened leniently, with the segmentation calls the tests make."""

    def __init__(self, text):
        self.editor = vocarix_tools.open_text(text)

    def segment(self, words):
        return _native.segment(self.editor, words)

    segment_once = segment

    def add_reachable(self, words, add_unknown_characters=False):
        return _native.add_words_reachable(self.editor, words, add_unknown_characters)

    def add_prefix(self, words):
        self.editor.add_tokens(words)

    def unusable_merges(self):
        return _native.unusable_merges(self.editor)

    def vocab_size(self):
        return self.editor.vocab_size

    def merge_count(self):
        return self.editor.merges_count

    def to_json(self):
        return self.editor.to_json()

    def invalidate(self):
        pass  # every call segments the editor's current state

REAL_FILES = fixture_names(
    "bora-ko-32k.array.json",
    "herbert-pl-eow.array.json",
    "llama-tiny-random.array.json",
    "minimind-zh-6k.array.json",
    "tinylm-en-8k.array.json",
    "chatglm3-zh.string.json",
    "phi2-codegen.string.json",
    "roberta-base-notype.string.json",
    "tiny-random-gpt2.string.json",
)

MULTILINGUAL = (
    "appendectomy cholecystectomy thrombocytopenia electroencephalography immunohistochemistry "
    "pneumothorax hepatosplenomegaly kubernetes microservices tokenizer backpropagation "
    "hyperparameter asynchronous Straßenbahn naïve café coöperate "
    "źdźbło gżegżółka chrząszcz szczęście przedsiębiorstwo niewątpliwie "
    "데이터베이스 인공지능 자연어처리 한국어 감사합니다 "
    "人工智能 机器学习 自然语言处理 深度神经网络 数据库 "
    "機械翻訳 ひらがな カタカナ Здравствуйте программирование "
    "Ελληνικά αλγόριθμος مرحبا שלום नमस्ते ภาษาไทย 😀🚀 e\u0301 ﬁ ½ x²"
).split()


def byte_level(text):
    """``text`` in the byte-level alphabet, as the runtime's pre-tokenizer spells it."""
    pre = tokenizers.pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False)
    return "".join(piece for piece, _ in pre.pre_tokenize_str(text))


class Fixture:
    """A real file as the runtime and the native reader load it."""

    def __init__(self, name):
        path = real_fixture(name)
        self.runtime = tokenizers.Tokenizer.from_file(str(path))
        # Read leniently, so older forms load too.
        self.text = path.read_text(encoding="utf-8")
        doc = json.loads(self.text)
        self.model = doc["model"]
        self.byte_level = "ByteLevel" in json.dumps(doc["pre_tokenizer"])
        self.metaspace = "▁" in json.dumps([doc["normalizer"], doc["pre_tokenizer"]], ensure_ascii=False)

    def word_form(self, word):
        """``word`` as the model receives it at the start of a text."""
        if self.byte_level:
            return byte_level(" " + word)
        return "▁" + word if self.metaspace else word


def runtime_pieces(runtime, word):
    return [(t.id, t.value) for t in runtime.model.tokenize(word)]


def hard_words(fixture, count, seed):
    """Words that stress the segmentation: the file's own alphabet and pieces,
    repeats, multilingual text and characters the file does not hold."""
    rng = random.Random(seed)
    vocab = [t for t in fixture.model["vocab"] if t]
    characters = sorted({c for t in vocab for c in t})
    foreign = [chr(rng.randrange(0x20, 0x2FFFF)) for _ in range(300)]
    foreign = [c for c in foreign if not 0xD800 <= ord(c) < 0xE000]
    suffix = fixture.model.get("end_of_word_suffix") or ""

    def spelled(text):
        return byte_level(text) if fixture.byte_level else text

    def glued_pieces():
        pieces = [rng.choice(vocab) for _ in range(rng.randint(1, 4))]
        if suffix and rng.random() < 0.7:
            pieces = [p[: -len(suffix)] if p.endswith(suffix) else p for p in pieces]
        return "".join(pieces)

    def alphabet_run():
        return "".join(rng.choice(characters) for _ in range(rng.randint(1, 12)))

    def repeat():
        unit = rng.choice([rng.choice(characters), rng.choice(vocab)[:3], "ab", "▁", "Ġ", " "])
        return unit * rng.randint(2, 8)

    def multilingual():
        word = rng.choice(MULTILINGUAL)
        if rng.random() < 0.4:
            start = rng.randrange(len(word))
            word = word[start : start + rng.randint(1, 8)]
        if rng.random() < 0.3:
            word += rng.choice(MULTILINGUAL)
        return fixture.word_form(word) if rng.random() < 0.7 else spelled(word)

    def unknown_mix():
        parts = [rng.choice(foreign) if rng.random() < 0.5 else rng.choice(characters) for _ in range(rng.randint(1, 6))]
        return "".join(parts)

    makers = [glued_pieces, alphabet_run, repeat, multilingual, unknown_mix]
    words = [makers[i % len(makers)]() for i in range(count)]
    return [w for w in words if w]


@pytest.mark.parametrize("name", REAL_FILES)
def test_segmentation_agrees_with_the_runtime_on_real_files(name):
    fixture = Fixture(name)
    editor = Editor(fixture.text)
    words = hard_words(fixture, 10_000, seed=len(name))
    disagreements = []
    for word, (pieces, ids, _) in zip(words, editor.segment(words)):
        expected = runtime_pieces(fixture.runtime, word)
        if expected != list(zip(ids, pieces)):
            disagreements.append((word, pieces, [value for _, value in expected]))
    assert len(words) > 9_900
    assert disagreements == [], f"{len(disagreements)} disagreements, first: {disagreements[:5]}"


def random_model(rng):
    """A small model with random settings and merges that the runtime accepts."""
    prefix = rng.choice([None, None, "##", "@"])
    suffix = rng.choice([None, None, "</w>"])
    known = ["a", "b", "c", "é", "▁"]
    vocab = ["<unk>"] if rng.random() < 0.85 else []
    for ch in known:
        forms = {ch, (prefix or "") + ch, ch + (suffix or ""), (prefix or "") + ch + (suffix or "")}
        vocab += sorted(forms - set(vocab))
    byte_fallback = rng.random() < 0.5
    if byte_fallback:
        # Bytes of "d" and "한" but not of "ü", so some characters cannot fall back.
        vocab += [f"<0x{b:02X}>" for b in sorted(set("d한#@</w>".encode()))]
    merges = []
    pl = len(prefix or "")
    for _ in range(rng.randint(0, 40)):
        if merges and rng.random() < 0.1:
            merges.append(rng.choice(merges))  # a pair listed twice
            continue
        left = rng.choice(vocab[1:])
        rights = [t for t in vocab if t.startswith(prefix or "") and len(t) > pl and not t.startswith("<")]
        right = rng.choice(rights)
        result = left + right[pl:]
        if result not in vocab:
            vocab.append(result)
        merges.append((left, right))
    model = model_section(
        {t: i for i, t in enumerate(vocab)},
        merges,
        continuing_subword_prefix=prefix,
        end_of_word_suffix=suffix,
        byte_fallback=byte_fallback,
        fuse_unk=rng.random() < 0.5,
        ignore_merges=rng.random() < 0.3,
    )
    return json.dumps(document(model=model), ensure_ascii=False)


def test_segmentation_agrees_with_the_runtime_on_random_small_models():
    """Prefixes, suffixes, byte fallback, unknown runs, repeated pairs and
    ignore_merges, in every combination the draw makes."""
    rng = random.Random(7)
    compared = 0
    for _ in range(300):
        text = random_model(rng)
        runtime = tokenizers.Tokenizer.from_str(text)
        editor = Editor(text)
        vocab = list(json.loads(text)["model"]["vocab"])
        words = ["".join(rng.choice("abcé▁dü한") for _ in range(rng.randint(1, 9))) for _ in range(40)]
        words += [rng.choice(vocab) for _ in range(5)] + [""]
        for word, (pieces, ids, met_unknown) in zip(words, editor.segment(words)):
            try:
                expected = runtime_pieces(runtime, word)
            except Exception:
                # The runtime fails on an unknown character when the unknown token is no entry.
                assert met_unknown, word
                continue
            assert list(zip(ids, pieces)) == expected, (text, word)
            compared += 1
    assert compared > 10_000


REACHABLE_WORDS = (
    "appendectomy cholecystectomy thrombocytopenia electroencephalography immunohistochemistry "
    "hepatosplenomegaly pneumothorax bronchiectasis glomerulonephritis myelodysplastic "
    "kubernetes microservices tokenizer backpropagation hyperparameter containerization "
    "observability idempotency serializable deduplication "
    "przedsiębiorstwo niewątpliwie gżegżółka chrząszcz źdźbło szczęśliwy "
    "데이터베이스 인공지능 자연어처리 감사합니다 "
    "人工智能 机器学习 自然语言处理 深度神经网络"
).split()


def added_words(fixture, rng):
    words = [w + s for w in REACHABLE_WORDS for s in ("", "s")]
    words += ["".join(rng.sample(w, len(w))) for w in REACHABLE_WORDS for _ in range(4)]
    words += ["abab", "aaaa", "ababab", "xyzxyz"]
    return [fixture.word_form(w) for w in dict.fromkeys(words)]


@pytest.mark.parametrize("name", REAL_FILES)
def test_reachable_words_come_out_whole_from_the_saved_file(name):
    fixture = Fixture(name)
    words = added_words(fixture, random.Random(3))
    editor = Editor(fixture.text)
    size_before = editor.vocab_size()
    records = editor.add_reachable(words)
    runtime = tokenizers.Tokenizer.from_str(editor.to_json())

    outcomes = {r["outcome"] for r in records}
    assert outcomes <= {"added", "already_whole", "unknown_characters"}
    assert sum(r["outcome"] == "added" for r in records) > len(words) // 2
    for record in records:
        if record["outcome"] == "unknown_characters":
            assert record["unknown_characters"] and not record["added"]
            continue
        # Later additions leave earlier words whole.
        assert [t.value for t in runtime.model.tokenize(record["word"])] == [record["token"]], record
    created = sum(len(r["entries_created"]) for r in records)
    assert editor.vocab_size() == size_before + created

    prefix_editor = Editor(fixture.text)
    prefix_editor.add_prefix([r["word"] for r in records if r["outcome"] != "unknown_characters"])
    assert created <= prefix_editor.vocab_size() - size_before


def test_reachable_addition_records_what_it_did():
    """Pieces before, appended merges and created entries describe the edit;
    with a suffix the token is the word plus the suffix."""
    vocab = {t: i for i, t in enumerate(["<unk>", "a", "b", "c", "a</w>", "b</w>", "c</w>", "ab", "bc</w>"])}
    text = json.dumps(document(model=model_section(vocab, [("b", "c</w>"), ("a", "b")], end_of_word_suffix="</w>")))
    editor = Editor(text)
    (record,) = editor.add_reachable(["abc"])
    assert record["pieces_before"] == ["a", "bc</w>"]
    assert record["piece_ids_before"] == [1, 8]
    assert record["token"] == "abc</w>"
    assert record["merges_appended"] == [("a", "bc</w>")]
    assert record["entries_created"] == [("abc</w>", 9)]
    assert editor.add_reachable(["abc"])[0]["outcome"] == "already_whole"
    runtime = tokenizers.Tokenizer.from_str(editor.to_json())
    assert [t.value for t in runtime.model.tokenize("abc")] == ["abc</w>"]


def test_unknown_characters_are_reported_unless_asked_to_add_them():
    vocab = {"<unk>": 0, "a": 1, "b": 2}
    text = json.dumps(document(model=model_section(vocab, [])))
    editor = Editor(text)
    (record,) = editor.add_reachable(["aüb"])
    assert record["outcome"] == "unknown_characters"
    assert record["unknown_characters"] == ["ü"]
    assert not record["added"] and editor.vocab_size() == 3

    (record,) = editor.add_reachable(["aüb"], add_unknown_characters=True)
    assert record["outcome"] == "added"
    assert record["entries_created"][0] == ("ü", 3)
    runtime = tokenizers.Tokenizer.from_str(editor.to_json())
    assert [t.value for t in runtime.model.tokenize("aüb")] == ["aüb"]


def test_byte_fallback_characters_become_entries_and_ignore_merges_needs_no_merge():
    vocab = {"<unk>": 0, "a": 1, **{f"<0x{b:02X}>": 2 + b for b in range(256)}}
    text = json.dumps(document(model=model_section(vocab, [], byte_fallback=True)))
    editor = Editor(text)
    (record,) = editor.add_reachable(["a한a"])
    assert record["pieces_before"] == ["a", "<0xED>", "<0x95>", "<0x9C>", "a"]
    assert [e for e, _ in record["entries_created"]] == ["한", "a한", "a한a"]
    runtime = tokenizers.Tokenizer.from_str(editor.to_json())
    assert [t.value for t in runtime.model.tokenize("a한a")] == ["a한a"]

    text = json.dumps(document(model=model_section({"<unk>": 0, "x": 1, "y": 2}, [], ignore_merges=True)))
    editor = Editor(text)
    (record,) = editor.add_reachable(["xyx"])
    assert record["merges_appended"] == [] and record["entries_created"] == [("xyx", 3)]
    runtime = tokenizers.Tokenizer.from_str(editor.to_json())
    assert [t.value for t in runtime.model.tokenize("xyx")] == ["xyx"]


def test_reachable_addition_with_a_continuing_subword_prefix():
    """Merge results drop the right piece's prefix, and the word starts without one."""
    vocab = {t: i for i, t in enumerate(["<unk>", "u", "##n", "##i", "##t", "un", "##it"])}
    text = json.dumps(document(model=model_section(vocab, [("u", "##n"), ("##i", "##t")], continuing_subword_prefix="##")))
    editor = Editor(text)
    words = ["unit", "units", "tin", "nut"]
    records = editor.add_reachable(words, add_unknown_characters=True)
    runtime = tokenizers.Tokenizer.from_str(editor.to_json())
    for record in records:
        assert [t.value for t in runtime.model.tokenize(record["word"])] == [record["word"]], record
    assert records[0]["merges_appended"] == [("un", "##it")]


def test_a_listed_merge_whose_result_was_missing_is_used_once_the_entry_exists():
    """The merge (a, b) without an "ab" entry is one the runtime refuses; adding
    "ab" creates the entry and keeps the merge at its place instead of
    appending a second one."""
    text = json.dumps(document(model=model_section({"<unk>": 0, "a": 1, "b": 2}, [("a", "b")])))
    editor = Editor(text)
    assert editor.unusable_merges() == 1
    (record,) = editor.add_reachable(["ab"])
    assert record["outcome"] == "added"
    assert record["merges_appended"] == [] and record["entries_created"] == [("ab", 3)]
    assert editor.merge_count() == 1
    runtime = tokenizers.Tokenizer.from_str(editor.to_json())
    assert [t.value for t in runtime.model.tokenize("ab")] == ["ab"]


def test_refused_words_leave_the_editor_unchanged():
    text = json.dumps(document(model=model_section({"a": 0, "b": 4294967295}, [])))
    editor = Editor(text)
    with pytest.raises((RuntimeError, OverflowError), match="no free token id"):
        editor.add_reachable(["ab"])
    with pytest.raises(TypeError, match="argument 'words'"):
        editor.add_reachable([b"ab"])
    with pytest.raises(UnicodeEncodeError):
        editor.add_reachable(["a\ud800b"])
    assert editor.vocab_size() == 2 and editor.merge_count() == 0


def test_reachable_addition_makes_every_word_whole_on_random_small_models():
    """Whatever the settings and the merges already there, every word that can
    be spelled is added whole, and later words leave earlier ones whole."""
    rng = random.Random(11)
    checked = 0
    for _ in range(150):
        text = random_model(rng)
        editor = Editor(text)
        words = ["".join(rng.choice("abcé▁dü한") for _ in range(rng.randint(1, 8))) for _ in range(12)]
        records = editor.add_reachable(words, add_unknown_characters=rng.random() < 0.5)
        runtime = tokenizers.Tokenizer.from_str(editor.to_json())
        for record in records:
            assert record["outcome"] in {"added", "already_whole", "unknown_characters"}, record
            if record["outcome"] != "unknown_characters":
                assert [t.value for t in runtime.model.tokenize(record["word"])] == [record["token"]], (text, record)
                checked += 1
    assert checked > 1_000
