"""Words are counted as the runtime cuts text: its added tokens, normalizer
and pre-tokenizer, checked against the tokenizers runtime on every real
file and on every normalizer and pre-tokenizer the core applies."""

from collections import Counter

import pytest

import vocarix
import vocarix_tools
from vocarix_tools import _native, corpus_counting, counting

from conftest import REPO, all_real_names, doc_text, real_fixture
from corpora import prose_lines, write

tokenizers = pytest.importorskip("tokenizers")

AWKWARD_LINES = [
    "Zażółć gęślą jaźń, 中文字 e\u0301 \x01a\u200bb ΟΔΟΣ  İstanbul ﬁne",
    "  leading and trailing  ",
    "don't 'll 123 4567\t\ttabs \u00a0nbsp \u3000wide",
    "<s> hello</s><unk> x<|endoftext|>y <|im_start|>user",
    "ab    cd\t  \t x ▁▁marker▁ already",
]


def runtime_tokens(runtime, lines):
    tokens = Counter()
    for encoding in runtime.encode_batch(lines, add_special_tokens=False):
        tokens.update(encoding.tokens)
    return tokens


def core_tokens(editor, lines):
    counts = corpus_counting.count_text(editor, "\n".join(lines))
    tokens = Counter(counts.added_tokens)
    words = list(counts.words)
    for word, (pieces, _, _) in zip(words, _native.segment(editor, words)):
        for piece in pieces:
            tokens[piece] += counts.words[word]
    return tokens


def test_corpus_tokens_match_the_runtime_on_every_real_file():
    lines = prose_lines(60_000) + AWKWARD_LINES
    paths = [REPO / "examples" / "tokenizer.json"] + [real_fixture(name) for name in all_real_names()]
    checked = []
    for path in paths:
        editor = vocarix_tools.open(str(path))
        try:
            runtime = tokenizers.Tokenizer.from_str(editor.to_json())
        except Exception:
            continue  # a file the runtime refuses says nothing about splitting
        assert core_tokens(editor, lines) == runtime_tokens(runtime, lines), path.name
        checked.append(path.name)
    assert checked


def tokenizer_with(normalizer, pre_tokenizer, added=()):
    from tokenizers import Tokenizer, models

    runtime = Tokenizer(models.BPE(vocab={"<unk>": 0}, merges=[], unk_token="<unk>"))
    if normalizer is not None:
        runtime.normalizer = normalizer
    if pre_tokenizer is not None:
        runtime.pre_tokenizer = pre_tokenizer
    if added:
        runtime.add_tokens(list(added))
    return runtime


def runtime_words(runtime, lines):
    words = Counter()
    for line in lines:
        text = runtime.normalizer.normalize_str(line) if runtime.normalizer else line
        pieces = runtime.pre_tokenizer.pre_tokenize_str(text) if runtime.pre_tokenizer else [(text, None)]
        words.update(piece for piece, _ in pieces if piece)
    return words


def splitting_cases():
    from tokenizers import normalizers as n, pre_tokenizers as p

    return {
        "lowercase, NFKC": (n.Sequence([n.NFKC(), n.Lowercase()]), p.Whitespace()),
        "NFD, strip accents": (n.Sequence([n.NFD(), n.StripAccents()]), p.WhitespaceSplit()),
        "NFC, strip": (n.Sequence([n.NFC(), n.Strip()]), p.Punctuation()),
        "NFKD, strip left": (n.Sequence([n.NFKD(), n.Strip(left=True, right=False)]), p.Digits(True)),
        "bert lowercase": (n.BertNormalizer(lowercase=True), p.BertPreTokenizer()),
        "bert cased": (n.BertNormalizer(lowercase=False, strip_accents=False), p.BertPreTokenizer()),
        "nmt, replace": (n.Sequence([n.Nmt(), n.Replace("a", "4")]), p.Digits(False)),
        "metaspace first": (None, p.Metaspace(prepend_scheme="first")),
        "metaspace never, no split": (None, p.Metaspace(prepend_scheme="never", split=False)),
        "byte level with prefix": (None, p.ByteLevel(add_prefix_space=True)),
        "byte level without regex": (n.Prepend("x"), p.ByteLevel(add_prefix_space=False, use_regex=False)),
        "split behaviors": (None, p.Sequence([p.Split(" ", "merged_with_previous"), p.Split("a", "contiguous"),
                                             p.Split("e", "merged_with_next", invert=False),
                                             p.Punctuation("removed"), p.CharDelimiterSplit("o")])),
        "split inverted": (None, p.Split("ab", "isolated", invert=True)),
        "sequence": (n.Lowercase(), p.Sequence([p.WhitespaceSplit(), p.Digits(True), p.ByteLevel(False)])),
    }


def test_every_normalizer_and_pre_tokenizer_splits_words_as_the_runtime_does():
    lines = prose_lines(20_000) + AWKWARD_LINES + ["ΣΊΣΥΦΟΣ σοφός ΌΣΟΣ aaa-eee ... 1,234.5 ab ab"]
    for name, (normalizer, pre_tokenizer) in splitting_cases().items():
        runtime = tokenizer_with(normalizer, pre_tokenizer)
        editor = vocarix_tools.open_text(runtime.to_str())
        counts = corpus_counting.count_text(editor, "\n".join(lines))
        assert Counter(counts.words) == runtime_words(runtime, lines), name


def test_added_tokens_come_out_whole_as_the_runtime_takes_them():
    from tokenizers import AddedToken, pre_tokenizers as p

    runtime = tokenizer_with(None, p.ByteLevel(add_prefix_space=False))
    runtime.add_special_tokens([AddedToken("<|end|>", lstrip=True, rstrip=True)])
    runtime.add_tokens([AddedToken("cat", single_word=True), AddedToken("dog", normalized=True)])
    editor = vocarix_tools.open_text(runtime.to_str())
    lines = ["a <|end|> b cat concat dog hotdog", "<|end|><|end|>cat", "cats cat,dog"]
    counts = corpus_counting.count_text(editor, "\n".join(lines))
    expected = Counter()
    for encoding in runtime.encode_batch(lines, add_special_tokens=False):
        # A stripping token's span takes the white space beside it along.
        expected.update(token.strip() for token in encoding.tokens if token.strip() in ("<|end|>", "cat", "dog"))
    assert counts.added_tokens == dict(expected)


def test_a_normalizer_or_pre_tokenizer_the_core_cannot_apply_is_refused_by_name(make_editor):
    unknown = {"type": "Sequence", "pretokenizers": [{"type": "Whitespace"}, {"type": "Fancy"}]}
    bad_regex = {"type": "Split", "pattern": {"Regex": "(a"}, "behavior": "Removed", "invert": False}
    cases = {"the pre-tokenizer Fancy": dict(pre_tokenizer=unknown),
             r'a Split on the regular expression "\(a", which the regular-expression engine refuses \(end pattern with '
             r"unmatched parenthesis\)": dict(pre_tokenizer=bad_regex),
             "Precompiled cannot be read: the precompiled_charsmap is shorter": dict(
                 normalizer={"type": "Precompiled", "precompiled_charsmap": ""}),
             "the normalizer Fancy": dict(normalizer={"type": "Fancy"})}
    for message, sections in cases.items():
        editor = make_editor({"<unk>": 0}, **sections)
        with pytest.raises(ValueError, match=message):
            _native.check_counting(editor)


def test_counts_do_not_depend_on_how_the_corpus_is_cut_or_where_it_is_counted(tmp_path):
    editor = vocarix_tools.open(str(REPO / "examples" / "tokenizer.json"))
    lines = prose_lines(120_000)
    whole = write(tmp_path / "whole.txt", lines)
    third = len(lines) // 3
    shards = [write(tmp_path / f"shard{i}.txt", lines[i * third:(i + 1) * third if i < 2 else None])
              for i in range(3)]
    # A byte-order mark and Windows line breaks count nothing of their own.
    shards[1].write_bytes(b"\xef\xbb\xbf" + shards[1].read_bytes().replace(b"\n", b"\r\n"))
    one = corpus_counting.count_words(editor, [whole])
    assert corpus_counting.count_words(editor, shards) == one
    assert corpus_counting.count_words(editor, shards, jobs=2, chunk_bytes=10_000) == one
    assert corpus_counting.count_words(editor, [whole], scheduler="local", chunk_bytes=7_000) == one
    assert one.lines == len(lines)


def test_a_corpus_that_is_not_text_is_named_with_the_byte(tmp_path):
    editor = vocarix_tools.open(str(REPO / "examples" / "tokenizer.json"))
    good = write(tmp_path / "good.txt", ["fine text"] * 10)
    binary = tmp_path / "binary.bin"
    binary.write_bytes(b"line one\nline two\x00 and more")
    latin = tmp_path / "latin.txt"
    latin.write_bytes(b"caf\xe9\n")
    with pytest.raises(ValueError, match=r"binary.bin: not text: a NUL byte at byte 17"):
        corpus_counting.count_words(editor, [good, binary])
    with pytest.raises(ValueError, match=r"latin.txt: not UTF-8 text \(byte 3\)"):
        corpus_counting.count_words(editor, [latin], jobs=2, chunk_bytes=1)


def test_count_files_take_json_lines_and_name_the_bad_line(tmp_path):
    path = tmp_path / "words.jsonl"
    path.write_text('["Ġthe", 3]\n\n["Ġcat", 1]\n["Ġthe", 2]\n', encoding="utf-8")
    assert counting.read_counts(path, kind="word") == {"Ġthe": 5, "Ġcat": 1}
    for bad, message in (('["a", 1]\n["b", -2]\n', r":2: the count of \"b\" is -2"),
                         ('["a", 1]\n{"b": 1}\n', r":2: a word-count file is a JSON object"),
                         ('["a", 1]\n["b", 1\n', r":2: not a JSON line"),
                         ("", "empty"), ('[3, 1]\n', "keyed by strings")):
        path.write_text(bad, encoding="utf-8")
        with pytest.raises(ValueError, match=message):
            counting.read_counts(path, kind="word")


def test_a_word_is_the_text_between_added_tokens():
    editor = vocarix.Vocarix.from_json(doc_text({"<unk>": 0, "a": 1}, added_tokens=[
        {"id": 1, "content": "a", "single_word": False, "lstrip": False, "rstrip": False, "normalized": False,
         "special": True}]))
    assert corpus_counting.count_text(editor, "banana").words == {"b": 1, "n": 2}



def test_tables_of_other_processes_add_up_exactly_and_in_linear_time():
    """Another table's words arrive in the order of its slots, which is the
    order of their hashes; added in that order to a table that grows, they
    once piled up in runs every later word probed through (seconds for a few
    hundred thousand words). Counts and words must add up exactly, too."""
    import time

    editor = vocarix_tools.open(str(REPO / "tests" / "fixtures" / "pipelines" / "whitespace-split.json"))
    n = 300_000

    def table_of(words):
        table = _native.WordCountTable(editor)
        table.count_bytes("\n".join(words).encode() + b"\n", "words")
        return table

    first = table_of(f"w{i}" for i in range(n))
    second = table_of(f"w{i}" for i in range(n // 2, n + n // 2))
    for into in (_native.WordCountTable(editor), table_of(f"w{i}" for i in range(0, n, 3))):
        before = into.words()
        started = time.process_time()  # CPU time: a busy machine does not move it
        into.add_serialized(first.serialized())
        into.add_serialized(memoryview(second.serialized()))  # as a worker's table is mapped from its file
        assert time.process_time() - started < 0.6  # a few hundredths of a second; the runs took seconds
        expected = Counter(before) + Counter(first.words()) + Counter(second.words())
        assert (into.words(), into.distinct, into.total) == (dict(expected), len(expected), sum(expected.values()))
    with pytest.raises(ValueError, match="cut short"):
        into.add_serialized(first.serialized()[:-3])
    with pytest.raises(TypeError, match="contiguous"):
        into.add_serialized(memoryview(first.serialized())[::2])
    assert into.words() == dict(expected)  # a table cut short adds nothing


def test_a_word_given_twice_in_table_bytes_is_counted_both_times():
    """Bytes a table did not write may hold a word twice; added (on one
    thread or, past 100,000 words, on two), both counts must land on the
    one word, whether it was in the table already or not."""
    import struct

    editor = vocarix_tools.open(str(REPO / "tests" / "fixtures" / "pipelines" / "whitespace-split.json"))

    def counts_bytes(words):
        body = b"".join(struct.pack("<I", len(w)) + w + struct.pack("<Q", c) for w, c in words)
        return struct.pack("<QQ", 0, len(body)) + body

    for n in (10, 150_000):
        words = [(f"w{i}".encode(), 1 + i % 3) for i in range(n)]
        into = _native.WordCountTable(editor)
        into.count_bytes(b"w0 w1 w1\n", "text")
        into.add_serialized(counts_bytes(words + words[::-1]))
        expected = Counter({"w0": 1, "w1": 2}) + Counter({w.decode(): 2 * c for w, c in words})
        assert (into.words(), into.distinct, into.total) == (dict(expected), n, sum(expected.values()))


def test_a_word_count_file_lists_words_as_the_model_receives_them_most_used_first(tmp_path):
    """Byte-level files are counted as the bytes of their pieces and written
    in the byte-level alphabet at the end; the file must still be ordered by
    count, then by the written word, on one thread and on two (enough words
    for the two to share the work)."""
    import json
    import random

    editor = vocarix_tools.open(str(REPO / "tests" / "fixtures" / "pipelines" / "qwen3-style.json"))
    rng = random.Random(7)
    alphabet = "abcxyzéßЖж中文字한국!~\u00a0\u0100"
    words = ["".join(rng.choice(alphabet) for _ in range(rng.randint(1, 9))) for _ in range(300_000)]
    lines = [" ".join(rng.choice(words) for _ in range(12)) for _ in range(40_000)]
    counts = corpus_counting.count_text(editor, "\n".join(lines))
    runtime = tokenizers.Tokenizer.from_file(str(REPO / "tests" / "fixtures" / "pipelines" / "qwen3-style.json"))
    expected = Counter(word for line in lines[:2000]
                       for word, _ in runtime.pre_tokenizer.pre_tokenize_str(runtime.normalizer.normalize_str(line)))
    assert corpus_counting.count_text(editor, "\n".join(lines[:2000])).words == dict(expected)
    assert counts.distinct > 100_000
    for threads in (1, 2):
        text = counts.words_json(threads)
        written = json.loads(text)
        assert written == counts.words
        assert list(written.items()) == sorted(written.items(), key=lambda item: (-item[1], item[0]))
        # Written to a file in the parts the threads made: the same bytes.
        counts.write_words_json(tmp_path / "counts.json", threads)
        assert (tmp_path / "counts.json").read_bytes() == text
