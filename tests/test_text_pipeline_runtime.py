"""The file's normalizer and pre-tokenizer as vocarix applies them, against
the runtime's own normalize_str and pre_tokenize_str: the same normalized
text, and the same words with the same offsets, on every pipeline fixture
(one per kind, tests/fixtures/pipelines) and every real file, over text in
many scripts, code, numbers, emoji, runs of white space and random Unicode.
The hand-written matchers of the byte-level expressions are held to the
regular-expression engine the same way."""

from __future__ import annotations

import unicodedata
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vocarix_tools
from conftest import all_real_names, real_fixture
from vocarix_tools import _native

tokenizers = pytest.importorskip("tokenizers")

REPO = Path(__file__).resolve().parents[1]
PIPELINES = sorted((REPO / "tests" / "fixtures" / "pipelines").glob("*.json"))
SAMPLE = (REPO / "tests" / "data" / "multiscript_sample.txt").read_text(encoding="utf-8").splitlines()

ONE_DIGIT = (r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+"
             r"|\s+(?!\S)|\s+")
HAND_WRITTEN = {
    "classic": r"'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+",
    "one digit": ONE_DIGIT,
    "three digits": ONE_DIGIT.replace(r"\p{N}|", r"\p{N}{1,3}|", 1),
    "DeepSeek digits": r"\p{N}{1,3}",
    "DeepSeek CJK": "[一-龥\u3040-ゟ゠-ヿ]+",
    "DeepSeek CJK escaped": r"[一-龥\u3040-ゟ゠-ヿ]+",
    "DeepSeek words": ("[!\"#$%&'()*+,\\-./:;<=>?@\\[\\\\\\]^_`{|}~][A-Za-z]+"
                       r"|[^\r\n\p{L}\p{P}\p{S}]?[\p{L}\p{M}]+| ?[\p{P}\p{S}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+"),
    # Files written from strings that were not raw hold the line breaks themselves, and may escape the quote.
    "DeepSeek words, line breaks written out": ("[!\\\"#$%&'()*+,\\-./:;<=>?@\\[\\\\\\]^_`{|}~][A-Za-z]+"
                                                "|[^\r\n\\p{L}\\p{P}\\p{S}]?[\\p{L}\\p{M}]+| ?[\\p{P}\\p{S}]+[\r\n]*"
                                                "|\\s*[\r\n]+|\\s+(?!\\S)|\\s+"),
    "one digit, line breaks written out": ONE_DIGIT.replace(r"\r", "\r").replace(r"\n", "\n"),
}


class Pipeline:
    """One tokenizer file, as the runtime and as vocarix read it."""

    def __init__(self, path: Path) -> None:
        self.name = path.name.split(".")[0]
        self.runtime = tokenizers.Tokenizer.from_file(str(path))
        self.editor = vocarix_tools.open(str(path))

    def runtime_words(self, text: str) -> tuple[str, list]:
        normalized = self.runtime.normalizer.normalize_str(text) if self.runtime.normalizer else text
        if self.runtime.pre_tokenizer is None:
            return normalized, [(normalized, (0, len(normalized)))] if normalized else []
        return normalized, [(word, tuple(offsets)) for word, offsets in
                            self.runtime.pre_tokenizer.pre_tokenize_str(normalized)]

    def vocarix_words(self, text: str) -> tuple[str, list]:
        normalized = _native.normalize_text(self.editor, text)
        return normalized, [(word, tuple(offsets)) for word, offsets in _native.pre_tokenize_text(self.editor, normalized)]

    def assert_same(self, text: str) -> None:
        expected, got = self.runtime_words(text), self.vocarix_words(text)
        assert got[0] == expected[0], f"{self.name}: normalized text of {text!r}"
        assert got[1] == expected[1], f"{self.name}: words and offsets of {expected[0]!r}"


_pipelines: dict[Path, Pipeline] = {}


def pipeline(path: Path) -> Pipeline:
    if path not in _pipelines:
        _pipelines[path] = Pipeline(path)
    return _pipelines[path]


@pytest.mark.parametrize("path", PIPELINES, ids=lambda path: path.stem)
def test_every_kind_cuts_text_in_every_script_as_the_runtime_does(path):
    under_test = pipeline(path)
    for line in SAMPLE:
        under_test.assert_same(line)
    under_test.assert_same("\n".join(SAMPLE))
    for text in ["", " ", "  ", "\n", "\t\t", "a", "'s", "1", "٣", "😀"]:
        under_test.assert_same(text)


@pytest.mark.parametrize("name", all_real_names())
def test_every_real_file_cuts_text_as_the_runtime_does(name):
    path = real_fixture(name)
    try:
        tokenizers.Tokenizer.from_file(str(path))
    except Exception:
        pytest.skip(f"the runtime does not read {name}")
    under_test = pipeline(path)
    for line in SAMPLE:
        under_test.assert_same(line)


def random_text(excluded=frozenset()):
    """Text mixing the sample's characters, white space of every kind, the
    characters the expressions treat specially, and any Unicode at all."""
    special = list("'sStTlLdDmMrReEvVſ0123456789٣४๑ \t\n\r\x0b\x0c\x85\xa0\u2028\u3000\u200b_-.,!?…「」Ἀé\u0301"
                   "ⅫⅨ²½\U0001F600\U0001F3FD\u200d한\u3042\u30a2\u30fc漢")
    sample = sorted(set("".join(SAMPLE)))
    unicode_char = st.characters(blacklist_categories=("Cs",)).filter(lambda c: c not in excluded)
    char = st.one_of(st.sampled_from(special), st.sampled_from(sample), unicode_char)
    return st.lists(char, max_size=40).map("".join)


def unknown_to_python(text: str) -> bool:
    return any(unicodedata.category(c) == "Cn" for c in text)


def running_text():
    """Longer text: pieces of the sample cut anywhere, runs of white space of
    every kind, and random characters, one after another."""
    def cut(line):
        return st.tuples(st.integers(0, len(line)), st.integers(0, len(line))).map(lambda ends: line[min(ends):max(ends)])
    spaces = st.lists(st.sampled_from(" \t\n\r\x0b\x0c\x85\xa0\u2028\u3000"), min_size=1, max_size=6).map("".join)
    return st.lists(st.one_of(st.sampled_from(SAMPLE).flatmap(cut), spaces, random_text()), max_size=10).map("".join)


def lowercases(path: Path) -> bool:
    """The runtime lower-cases by its own, newer Unicode tables, vocarix by
    Python's: characters Python does not know yet differ."""
    import json

    return "owercase" in json.dumps(json.loads(path.read_text(encoding="utf-8")).get("normalizer"))


@pytest.mark.parametrize("path", PIPELINES, ids=lambda path: path.stem)
@settings(max_examples=85, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(text=st.one_of(random_text(), running_text()))
def test_every_kind_cuts_random_text_as_the_runtime_does(path, text):
    if lowercases(path) and unknown_to_python(text):
        return
    pipeline(path).assert_same(text)


@pytest.mark.parametrize("name", all_real_names())
@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(text=running_text())
def test_every_real_file_cuts_random_running_text_as_the_runtime_does(name, text):
    path = real_fixture(name)
    try:
        under_test = pipeline(path)
    except Exception:
        pytest.skip(f"the runtime does not read {name}")
    if lowercases(path) and unknown_to_python(text):
        return
    under_test.assert_same(text)


@pytest.mark.parametrize("pattern", list(HAND_WRITTEN.values()), ids=list(HAND_WRITTEN))
@settings(max_examples=400, deadline=None)
@given(text=random_text())
def test_the_hand_written_matchers_match_as_the_engine_does(pattern, text):
    assert _native.pattern_matches(pattern, text, True) == _native.pattern_matches(pattern, text)


def test_a_deepseek_style_file_is_counted_as_the_runtime_cuts_it(tmp_path):
    """A Sequence of three Splits, with a character class written with \\u
    escapes, counts every word the runtime's pre-tokenizer gives."""
    from collections import Counter

    from vocarix_tools import corpus_counting

    under_test = pipeline(REPO / "tests" / "fixtures" / "pipelines" / "deepseek-style.json")
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("\n".join(SAMPLE) + "\n", encoding="utf-8")
    counts = corpus_counting.count_words(under_test.editor, [corpus], jobs=1)
    expected = Counter(word for line in SAMPLE for word, _ in under_test.runtime_words(line)[1])
    assert counts.words == dict(expected)


@pytest.mark.parametrize("form", ["NFC", "NFD", "NFKC", "NFKD"])
def test_text_a_form_is_said_to_leave_alone_is_left_alone(form):
    """The characters whose text never goes to the Unicode data: each is its
    own normal form, a starter, and no composition takes it as its second half."""
    seconds = set()
    for cp in range(0x110000):
        decomposition = unicodedata.decomposition(chr(cp)).split()
        if len(decomposition) == 2 and not decomposition[0].startswith("<"):
            seconds.add(int(decomposition[1], 16))
    seconds.update(range(0x1161, 0x1176))  # Hangul vowels and final consonants join the syllable before them
    seconds.update(range(0x11A8, 0x11C3))
    ranges = _native.unicode_form_kept_ranges(form)
    assert ranges
    for first, last in ranges:
        for cp in range(first, last + 1):
            c = chr(cp)
            assert unicodedata.normalize(form, c) == c and unicodedata.combining(c) == 0, hex(cp)
            assert form in ("NFD", "NFKD") or cp not in seconds, hex(cp)
