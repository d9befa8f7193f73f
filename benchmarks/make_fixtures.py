"""Deterministic, offline generators for the benchmark tokenizers.

Every fixture is a BPE ``tokenizer.json`` trained with the ``tokenizers``
package on text that this module makes up itself from seeded random
generators, so no download is ever needed and the same seed always gives the
same file (for a given ``tokenizers`` version: another trainer version may
break ties differently).  Files are written to ``benchmarks/.cache/``
(git-ignored) and are only rebuilt when missing; they use two-space
indentation with each merge spread over four lines, the usual layout of
trained files.

Fixtures
--------
``bytelevel-2k``     byte-level BPE, ~2k tokens; builds in about a second, for
                     smoke tests.
``bytelevel-128k``   byte-level BPE, ~128k tokens, more than 200k merges.
``bytelevel-256k``   byte-level BPE, ~256k tokens, plain trained merges.
``bytelevel-151k``   the first 151,643 ids of ``bytelevel-256k`` with the
                     merges among them (what training stopped there gives),
                     and 22 special tokens in ``added_tokens`` outside the
                     vocabulary: the shape of a common byte-level release.
``sp-32k``           sentencepiece-style BPE, 32k tokens: "▁" word prefix
                     (Metaspace pre-tokenizer and decoder), ``<unk>``, ``<s>``,
                     ``</s>`` at ids 0..2, the 256 byte tokens ``<0x00>`` ..
                     ``<0xFF>`` at ids 3..258 and ``byte_fallback`` on.

Two small files are made once and kept in ``tests/fixtures/generated`` for
the tests: ``sp-4k``, built as ``sp-32k`` with 4k tokens, and ``suffix-8k``,
word-suffix BPE with 8k tokens (every word's last piece carries "</w>";
BERT-style normalizer, pre-tokenizer and decoder; trained on the alphabetic
languages of the corpus), which stands in for a real file of that kind kept
outside the repository. The trainer may break ties otherwise from one run to
the next, so a rebuilt file can differ in details; the tests rely on its
kind, not on its tokens.

The bundled example ``examples/tokenizer.json`` (byte-level, 1,200 tokens)
is made by the same code from a small corpus of English sentences with some
phrases in other languages, and written with one vocabulary entry and one
merge per line: run this script with ``--example`` to regenerate it.

Training text
-------------
A synthetic multilingual corpus.  Each made-up "language" has a syllable
inventory in its own script (two Latin ones, one with diacritics; Cyrillic;
Greek; Hangul; CJK ideographs written without spaces) and a lexicon of words
built from those syllables; words are drawn with a Zipf-like law so that the
text has a few very frequent words and a long tail of rare ones, as real text
does.  Sentences get capitals, commas, quotes, brackets, numbers, dates and
decimals, and some lines are snippets of made-up source code.  The lexicon
and the number of lines grow with the target vocabulary size so that the
trainer has enough distinct material to reach it.

For ``sp-32k`` the character alphabet is limited to about 2,000 characters
(rarer ones are left to the byte tokens); the limit is placed where two
neighbouring characters of the frequency ranking have different counts,
because the trainer breaks ties at that cut in no fixed order.

Post-processing
---------------
The trainer's output is rewritten so that a strict reader accepts it: the
model's ``unk_token`` is always ``"<unk>"`` (a special token at id 0 of the
vocabulary; byte-level files usually carry null there, which the strict
reader refuses), ``fuse_unk``, ``byte_fallback`` and ``ignore_merges`` are
always present as booleans, and merges are two-element arrays (never the
older "a b" string form).  In the sentencepiece-style file the byte tokens
are plain vocabulary entries, not added tokens.
:func:`check_strict_format` enforces those rules on a written file and every
build also checks that ``tokenizers.Tokenizer.from_file`` loads the result.

Extra merges in ``bytelevel-128k``
----------------------------------
A trained BPE has about one merge per non-alphabet token, so a 128k
vocabulary has ~128k merges.  Real vocabularies often contain tokens that
more than one merge produces, and the benchmarks want a merge list longer
than the vocabulary, so after training this fixture gets extra merges
appended at the end of the list until it holds 210,000: for a token t and a
split t = a + b where both a and b are vocabulary entries and (a, b) is not
a merge yet, the merge (a, b) is an alternative way to build t.  The
candidate splits of all tokens are collected in vocabulary-id order, shuffled
with a fixed seed and taken in that order; the appended merges are then
sorted by the id of the token they build (ties by split position).  All of
them produce tokens that already exist, so the vocabulary is unchanged.
``bytelevel-256k`` keeps its merges exactly as trained (~256k of them).

Usage
-----
``python benchmarks/make_fixtures.py``            build all fixtures, print stats
``python benchmarks/make_fixtures.py NAME ...``   build only those
``python benchmarks/make_fixtures.py --force``    rebuild even if cached
``python benchmarks/make_fixtures.py --example``  regenerate examples/tokenizer.json
``python benchmarks/make_fixtures.py --test-fixtures``  regenerate tests/fixtures/generated

From code: ``from benchmarks.make_fixtures import fixture_path`` and
``fixture_path("bytelevel-128k")`` returns the path, building it on demand.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Iterable, Iterator

REPO_ROOT = Path(__file__).resolve().parents[1]
CACHE_DIR = Path(__file__).resolve().parent / ".cache"
EXAMPLE_PATH = REPO_ROOT / "examples" / "tokenizer.json"

UNK = "<unk>"
SUFFIX = "</w>"
# Languages of SyntheticCorpus (by index) the suffix-style file is trained on.
SUFFIX_LANGUAGES = (0, 1, 2, 3)
U32_MAX = 4294967295


# ---------------------------------------------------------------------------
# Synthetic text
# ---------------------------------------------------------------------------


def _zipf_cum_weights(n: int, exponent: float = 1.05, offset: float = 2.7) -> list[float]:
    total = 0.0
    cum = []
    for rank in range(n):
        total += 1.0 / (rank + offset) ** exponent
        cum.append(total)
    return cum


@dataclass
class _Script:
    """A made-up language: how its words and sentences look."""

    name: str
    make_syllable: Callable[[random.Random], str]
    syllables_per_word: tuple[int, ...]  # drawn uniformly
    word_sep: str = " "
    comma: str = ", "
    stops: tuple[str, ...] = (".", ".", ".", "?", "!")
    capitalise: bool = True
    finish_word: Callable[[str], str] = lambda w: w  # applied to every generated word
    suffixes: tuple[str, ...] = ()


def _pick(options: Iterable[str]) -> Callable[[random.Random], str]:
    opts = list(options)
    return lambda rng: rng.choice(opts)


def _compose(*parts: Callable[[random.Random], str]) -> Callable[[random.Random], str]:
    return lambda rng: "".join(p(rng) for p in parts)


def _greek_final_sigma(word: str) -> str:
    return word[:-1] + "ς" if word.endswith("σ") else word


def _make_scripts(rng: random.Random) -> list[_Script]:
    # Hangul syllables are composed from (lead, vowel, tail) jamo indexes;
    # a fixed pool keeps the character set realistic in size.
    hangul_pool = sorted(
        {
            chr(0xAC00 + (rng.randrange(19) * 21 + rng.randrange(21)) * 28
                + rng.choice([0, 0, 0, 0] + list(range(1, 28))))
            for _ in range(2600)
        }
    )
    # CJK: a pool of ideographs, itself drawn with a skew so that some
    # characters are much more common than others.
    cjk_pool = [chr(0x4E00 + i) for i in rng.sample(range(0x5200), 3500)]
    cjk_cum = _zipf_cum_weights(len(cjk_pool), exponent=0.9, offset=8.0)

    def cjk_char(r: random.Random) -> str:
        return r.choices(cjk_pool, cum_weights=cjk_cum)[0]

    return [
        _Script(
            "latin-plain",
            _compose(
                _pick(["", "", "b", "c", "d", "f", "g", "h", "j", "k", "l", "m", "n", "p", "r", "s",
                       "t", "v", "w", "y", "z", "bl", "br", "ch", "cl", "cr", "dr", "fl", "fr", "gr",
                       "pl", "pr", "sh", "sl", "sp", "st", "str", "th", "tr", "wh"]),
                _pick(["a", "e", "i", "o", "u", "a", "e", "i", "o", "ai", "ea", "ee", "oo", "ou", "y"]),
                _pick(["", "", "", "b", "ck", "d", "ft", "g", "l", "ll", "m", "n", "nd", "ng", "nt",
                       "p", "r", "rd", "s", "sk", "ss", "st", "t", "th", "x"]),
            ),
            (1, 1, 2, 2, 2, 3, 3, 4),
            suffixes=("s", "ed", "ing", "er", "ly", "ness", "tion"),
        ),
        _Script(
            "latin-accented",
            _compose(
                _pick(["", "b", "c", "d", "f", "g", "l", "m", "n", "p", "qu", "r", "s", "t", "v",
                       "ch", "gn", "ll", "ñ", "br", "tr", "pr", "gl"]),
                _pick(["a", "e", "i", "o", "u", "á", "é", "í", "ó", "ú", "ü", "è", "à", "ê", "ô",
                       "ie", "ue", "io", "ão", "œu", "ä", "ö"]),
                _pick(["", "", "", "", "n", "s", "r", "l", "z", "ç", "x", "ß"]),
            ),
            (1, 2, 2, 3, 3, 4),
            stops=(".", ".", "?", "!", "…", "¿?"),
            suffixes=("es", "os", "ment", "ción", "ão", "ung", "heit"),
        ),
        _Script(
            "cyrillic",
            _compose(
                _pick(["", "б", "в", "г", "д", "ж", "з", "к", "л", "м", "н", "п", "р", "с", "т",
                       "ф", "х", "ц", "ч", "ш", "щ", "ст", "пр", "кр", "тр", "зв", "сл", "дв"]),
                _pick(["а", "е", "и", "о", "у", "ы", "э", "ю", "я", "ё", "і", "є"]),
                _pick(["", "", "", "й", "н", "л", "р", "с", "т", "к", "ть", "сть", "в", "ж"]),
            ),
            (1, 2, 2, 3, 3, 4),
            suffixes=("ов", "ами", "ого", "ение", "ский"),
        ),
        _Script(
            "greek",
            _compose(
                _pick(["", "β", "γ", "δ", "θ", "κ", "λ", "μ", "ν", "ξ", "π", "ρ", "σ", "τ", "φ", "χ",
                       "ψ", "στ", "πρ", "τρ", "κλ"]),
                _pick(["α", "ε", "η", "ι", "ο", "υ", "ω", "ά", "έ", "ή", "ί", "ό", "ύ", "ώ", "αι",
                       "ει", "ου"]),
                _pick(["", "", "", "ν", "ρ", "σ", "λ"]),
            ),
            (1, 2, 2, 3, 3, 4),
            stops=(".", ".", ";", "·"),
            finish_word=_greek_final_sigma,
            suffixes=("ος", "ες", "ων", "ματα"),
        ),
        _Script(
            "hangul",
            _pick(hangul_pool),
            (1, 2, 2, 2, 3, 3, 4),
            capitalise=False,
            suffixes=("은", "는", "이", "가", "을", "를", "에서", "으로", "하다", "습니다"),
        ),
        _Script(
            "cjk",
            cjk_char,
            (1, 1, 2, 2, 2, 3),
            word_sep="",
            comma="，",
            stops=("。", "。", "！", "？"),
            capitalise=False,
        ),
    ]


class SyntheticCorpus:
    """Seeded generator of multilingual lines of text.

    ``lexicon_size`` is the number of distinct words per language; rarer
    words (and inflected forms of them) supply the long tail that a large
    vocabulary needs.
    """

    def __init__(self, seed: int, lexicon_size: int) -> None:
        self.rng = random.Random(seed)
        self.scripts = _make_scripts(self.rng)
        self.lexicons: list[list[str]] = []
        for script in self.scripts:
            words: dict[str, None] = {}
            attempts = 0
            while len(words) < lexicon_size and attempts < lexicon_size * 20:
                attempts += 1
                n = self.rng.choice(script.syllables_per_word)
                word = "".join(script.make_syllable(self.rng) for _ in range(n))
                words[script.finish_word(word)] = None
            # Short words tend to be the frequent ones: rank by a noisy length.
            lexicon = sorted(words, key=lambda w: len(w) + 4 * self.rng.random())
            self.lexicons.append(lexicon)
        self.cums = [_zipf_cum_weights(len(lex)) for lex in self.lexicons]
        # Short high-frequency words of the first Latin language double as
        # identifiers in the code snippets.
        self.identifiers = [w for w in self.lexicons[0][:3000] if w.isalpha() and len(w) <= 10]

    # -- pieces ---------------------------------------------------------
    def _number(self) -> str:
        r = self.rng
        kind = r.randrange(7)
        if kind == 0:
            return str(r.randrange(10))
        if kind == 1:
            return str(r.randrange(100, 10000))
        if kind == 2:
            return f"{r.randrange(1, 1000)},{r.randrange(1000):03d}"
        if kind == 3:
            return f"{r.randrange(1950, 2040)}-{r.randrange(1, 13):02d}-{r.randrange(1, 29):02d}"
        if kind == 4:
            return f"{r.randrange(1000)}.{r.randrange(100):02d}"
        if kind == 5:
            return f"{r.randrange(1, 100)}%"
        return f"#{r.randrange(1, 500)}"

    def _words(self, lang: int, k: int) -> list[str]:
        script = self.scripts[lang]
        words = self.rng.choices(self.lexicons[lang], cum_weights=self.cums[lang], k=k)
        if script.suffixes:
            for i in range(len(words)):
                if self.rng.random() < 0.2:
                    words[i] += self.rng.choice(script.suffixes)
        return words

    def sentence(self, lang: int) -> str:
        r = self.rng
        script = self.scripts[lang]
        words = self._words(lang, r.randint(3, 14))
        for i in range(len(words)):
            roll = r.random()
            if roll < 0.03:
                words[i] = self._number()
            elif roll < 0.045 and lang != 0:
                # a borrowed Latin word in a foreign sentence
                words[i] = self._words(0, 1)[0]
        if script.capitalise and words[0][:1].isalpha():
            words[0] = words[0][:1].upper() + words[0][1:]
        if r.random() < 0.15:
            i = r.randrange(len(words))
            words[i] = r.choice(['"{}"', "({})", "'{}'", "«{}»", "[{}]"]).format(words[i])
        text = ""
        for i, w in enumerate(words):
            if i:
                text += script.comma if r.random() < 0.08 else script.word_sep
            text += w
        return text + r.choice(script.stops)

    def code_line(self) -> str:
        r = self.rng
        ids = r.sample(self.identifiers, 3)
        style = r.randrange(4)
        if style == 0:
            name = "_".join(ids[:2])
            return f"def {name}({ids[2]}, n={r.randrange(100)}):"
        if style == 1:
            name = ids[0] + "".join(w.capitalize() for w in ids[1:])
            return f"    const {name} = {ids[2]}.get({r.randrange(1000)}) || [];"
        if style == 2:
            return f"    if ({ids[0]} >= {r.randrange(50)} && !{ids[1]}) {{ return {ids[2]}; }}"
        return f"{ids[0].upper()}_{ids[1].upper()} = 0x{r.randrange(1 << 16):04X}  # {ids[2]}"

    def lines(self, n_lines: int) -> Iterator[str]:
        r = self.rng
        # language mix: more Latin-script text, like most web text
        lang_weights = [30, 14, 14, 8, 12, 14]
        lang_cum = []
        acc = 0
        for w in lang_weights:
            acc += w
            lang_cum.append(acc)
        for _ in range(n_lines):
            if r.random() < 0.05:
                yield "\n".join(self.code_line() for _ in range(r.randint(1, 4)))
                continue
            lang = r.choices(range(len(lang_weights)), cum_weights=lang_cum)[0]
            sep = "" if self.scripts[lang].word_sep == "" else " "
            yield sep.join(self.sentence(lang) for _ in range(r.randint(1, 4)))


# A small, friendly corpus for the bundled example: short English sentences
# from a template grammar with some phrases in other languages mixed in.
_EX_NAMES = ["Anna", "Ben", "Clara", "David", "Elena", "Farid", "Greta", "Hugo", "Ines", "Jonas",
             "Kenji", "Lucia", "Mateo", "Nadia", "Oscar", "Priya", "Rosa", "Samuel", "Tomas", "Yuki"]
_EX_SUBJECTS = ["the cat", "my neighbour", "a small dog", "the baker", "our teacher", "the old fisherman",
                "a curious child", "the gardener", "my sister", "the travellers", "a quiet student",
                "the river", "the morning train", "an orange bird", "the librarian", "my grandmother",
                "the young musician", "a friendly stranger", "the postman", "our family"]
_EX_VERBS = ["likes", "found", "watches", "remembers", "paints", "carries", "is looking for", "shared",
             "planted", "cooked", "visited", "explained", "wanted", "followed", "opened", "borrowed",
             "described", "photographed", "admired", "repaired", "discovered", "recommended",
             "brought", "celebrated", "noticed", "imagined", "collected", "delivered"]
_EX_ADJECTIVES = ["warm", "blue", "fresh", "old", "tiny", "wooden", "golden", "quiet", "bright", "gentle",
                  "enormous", "delicious", "mysterious", "colourful", "peaceful", "shiny", "ancient",
                  "comfortable", "beautiful", "wonderful", "silver", "purple", "sleepy", "crunchy"]
_EX_NOUNS = ["loaf of bread", "umbrella", "strawberries", "map", "garden gate", "cup of tea",
             "newspaper", "tulips", "letter", "mountain path", "bowl of soup", "boat", "song",
             "snowflakes", "basket of apples", "lighthouse", "bicycle", "notebook", "kitchen",
             "window", "pumpkin", "violin", "blanket", "festival", "harbour", "orchard", "telescope",
             "pancakes", "lantern", "meadow", "chocolate cake", "postcard", "village square",
             "museum", "bookshop", "picnic", "waterfall", "butterfly", "sunflower", "castle"]
_EX_TAILS = ["every morning", "after lunch", "in the park", "near the station", "on Sunday",
             "before the rain", "with great care", "at the market", "by the sea", "in spring",
             "late at night", "without a word", "for the first time", "again and again",
             "during the holidays", "under the old bridge", "behind the bakery", "in the autumn",
             "with a big smile", "on a rainy Tuesday", "after the concert", "in the mountains"]
_EX_FOREIGN = ["Bonjour, comment ça va ?", "Merci beaucoup, à bientôt !", "Le café est très bon.",
               "¿Dónde está la biblioteca?", "Buenos días, señora.", "La música es maravillosa.",
               "Guten Morgen, schönes Wetter heute.", "Grüße aus München!", "Das Frühstück ist fertig.",
               "Привет, как дела?", "Спасибо большое.", "Сегодня хорошая погода.",
               "Καλημέρα σας.", "Ευχαριστώ πολύ!", "Η θάλασσα είναι ήρεμη.",
               "안녕하세요, 반갑습니다.", "감사합니다.", "오늘 날씨가 좋아요.",
               "今天天气很好。", "谢谢你的帮助。", "我们一起去公园吧。",
               "こんにちは、元気ですか。", "ありがとうございます。",
               "Dziękuję bardzo.", "Tack så mycket!", "Obrigado, até logo.", "Grazie mille, ciao!",
               "Hyvää huomenta!", "Dank je wel.", "Teşekkür ederim.", "Cảm ơn bạn rất nhiều."]


def example_lines(seed: int = 7, n_lines: int = 8000) -> Iterator[str]:
    rng = random.Random(seed)
    for _ in range(n_lines):
        roll = rng.random()
        if roll < 0.12:
            yield rng.choice(_EX_FOREIGN)
            continue
        subject = rng.choice(_EX_NAMES) if roll < 0.4 else rng.choice(_EX_SUBJECTS)
        words = [rng.choice(_EX_NOUNS)]
        if rng.random() < 0.6:
            words.insert(0, rng.choice(_EX_ADJECTIVES))
        if words[-1].endswith("s"):
            det = rng.choice(["some", "the", "her", "his", "our", "three"])
        else:
            det = rng.choice(["a", "the", "one", "her", "his", "our"])
        if det == "a" and words[0][0] in "aeiou":
            det = "an"
        obj = " ".join([det] + words)
        parts = [subject, rng.choice(_EX_VERBS), obj]
        if rng.random() < 0.7:
            parts.append(rng.choice(_EX_TAILS))
        text = " ".join(parts)
        text = text[0].upper() + text[1:]
        if roll < 0.2:
            text += f", at {rng.randrange(1, 13)}:{rng.randrange(0, 60, 5):02d}"
        yield text + rng.choice([".", ".", ".", "!"])


# ---------------------------------------------------------------------------
# Training and post-processing
# ---------------------------------------------------------------------------


def _train_bytelevel(lines: Iterable[str], vocab_size: int, specials: list[str]) -> dict:
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, processors, trainers

    tok = Tokenizer(models.BPE(unk_token=UNK, fuse_unk=False, byte_fallback=False))
    tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    tok.decoder = decoders.ByteLevel()
    tok.post_processor = processors.ByteLevel(trim_offsets=False)
    trainer = trainers.BpeTrainer(
        vocab_size=vocab_size,
        min_frequency=0,
        special_tokens=specials,
        initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
        show_progress=False,
    )
    tok.train_from_iterator(lines, trainer)
    return json.loads(tok.to_str())


def _train_sentencepiece_style(lines: Iterable[str], vocab_size: int, limit_alphabet: int) -> dict:
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, processors, trainers

    specials = [UNK, "<s>", "</s>"]
    byte_tokens = [f"<0x{b:02X}>" for b in range(256)]
    tok = Tokenizer(models.BPE(unk_token=UNK, fuse_unk=True, byte_fallback=True))
    tok.pre_tokenizer = pre_tokenizers.Metaspace(replacement="▁", prepend_scheme="always", split=True)
    tok.decoder = decoders.Sequence(
        [decoders.ByteFallback(), decoders.Metaspace(replacement="▁", prepend_scheme="always")]
    )
    tok.post_processor = processors.TemplateProcessing(
        single="<s> $A", pair="<s> $A <s> $B", special_tokens=[("<s>", 1)]
    )
    # The byte tokens are given to the trainer as "special" only so that they
    # get ids 3..258; they are ordinary vocabulary entries afterwards.
    trainer = trainers.BpeTrainer(
        vocab_size=vocab_size,
        min_frequency=0,
        special_tokens=specials + byte_tokens,
        limit_alphabet=limit_alphabet,
        show_progress=False,
    )
    tok.train_from_iterator(lines, trainer)
    doc = json.loads(tok.to_str())
    doc["added_tokens"] = [t for t in doc["added_tokens"] if t["content"] in specials]
    return doc


def _train_word_suffix(lines: Iterable[str], vocab_size: int) -> dict:
    """Word-suffix BPE as BERT-style files use it: the last piece of a word
    carries "</w>", words are split at spaces and punctuation."""
    from tokenizers import Tokenizer, decoders, models, normalizers, pre_tokenizers, trainers

    tok = Tokenizer(models.BPE(unk_token=UNK, end_of_word_suffix=SUFFIX, fuse_unk=False, byte_fallback=False))
    tok.normalizer = normalizers.BertNormalizer(clean_text=True, handle_chinese_chars=True, strip_accents=None,
                                                lowercase=False)
    tok.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
    tok.decoder = decoders.BPEDecoder(suffix=SUFFIX)
    trainer = trainers.BpeTrainer(vocab_size=vocab_size, min_frequency=0,
                                  special_tokens=["<s>", "</s>", "<pad>", UNK, "<mask>"],
                                  end_of_word_suffix=SUFFIX, show_progress=False)
    tok.train_from_iterator(lines, trainer)
    return json.loads(tok.to_str())


def _make_strict(doc: dict, *, fuse_unk: bool, byte_fallback: bool) -> dict:
    """Rewrite a trained document into the form the strict reader accepts."""
    model = doc["model"]
    if model.get("type") != "BPE":
        raise ValueError("expected a BPE model")
    vocab = model["vocab"]
    if UNK not in vocab:
        raise ValueError(f"{UNK!r} missing from the vocabulary")
    if not any(t.get("content") == UNK for t in doc.get("added_tokens", [])):
        raise ValueError(f"{UNK!r} missing from added_tokens")
    merges = []
    for m in model["merges"]:
        if isinstance(m, str):  # "a b" form of older writers
            left, sep, right = m.partition(" ")
            if not sep:
                raise ValueError(f"cannot split merge {m!r}")
            m = [left, right]
        merges.append([m[0], m[1]])
    new_model = {
        "type": "BPE",
        "dropout": model.get("dropout"),
        "unk_token": UNK,
        "continuing_subword_prefix": model.get("continuing_subword_prefix"),
        "end_of_word_suffix": model.get("end_of_word_suffix"),
        "fuse_unk": bool(fuse_unk),
        "byte_fallback": bool(byte_fallback),
        "ignore_merges": bool(model.get("ignore_merges", False)),
        "vocab": vocab,
        "merges": merges,
    }
    out = {
        "version": str(doc.get("version", "1.0")),
        "truncation": doc.get("truncation"),
        "padding": doc.get("padding"),
        "added_tokens": list(doc.get("added_tokens", [])),
        "normalizer": doc.get("normalizer"),
        "pre_tokenizer": doc.get("pre_tokenizer"),
        "post_processor": doc.get("post_processor"),
        "decoder": doc.get("decoder"),
        "model": new_model,
    }
    return out


def _add_alternative_merges(doc: dict, target: int, seed: int) -> int:
    """Append merges (a, b) with a + b an existing token until ``target``.

    Returns the number of merges appended.  See the module docstring.
    """
    model = doc["model"]
    vocab: dict[str, int] = model["vocab"]
    merges: list[list[str]] = model["merges"]
    need = target - len(merges)
    if need <= 0:
        return 0
    special = {t["content"] for t in doc["added_tokens"]}
    existing = {(a, b) for a, b in merges}
    candidates: list[tuple[int, int, str, str]] = []
    for token, tid in sorted(vocab.items(), key=lambda kv: kv[1]):
        if token in special or len(token) < 3:
            continue
        for k in range(1, len(token)):
            a, b = token[:k], token[k:]
            if a in vocab and b in vocab and (a, b) not in existing:
                candidates.append((tid, k, a, b))
    if len(candidates) < need:
        raise RuntimeError(f"only {len(candidates)} alternative splits, {need} needed")
    random.Random(seed).shuffle(candidates)
    chosen = sorted(candidates[:need])
    merges.extend([a, b] for _, _, a, b in chosen)
    return need


# ---------------------------------------------------------------------------
# Writing and checking
# ---------------------------------------------------------------------------


def _dump_pretty(doc: dict) -> str:
    # Two-space indentation with every merge spread over four lines, the
    # layout of the files that training tools usually write.
    return json.dumps(doc, ensure_ascii=False, indent=2)


def _dump_compact(doc: dict) -> str:
    """One vocabulary entry and one merge per line: small and diff-friendly."""

    def enc(v: object) -> str:
        return json.dumps(v, ensure_ascii=False)

    lines = ["{"]
    items = list(doc.items())
    for i, (key, value) in enumerate(items):
        comma = "," if i + 1 < len(items) else ""
        if key != "model":
            lines.append(f"  {enc(key)}: {enc(value)}{comma}")
            continue
        lines.append(f'  "model": {{')
        mitems = list(value.items())
        for j, (mkey, mvalue) in enumerate(mitems):
            mcomma = "," if j + 1 < len(mitems) else ""
            if mkey == "vocab":
                body = ",\n".join(f"      {enc(t)}: {n}" for t, n in mvalue.items())
                lines.append(f'    "vocab": {{\n{body}\n    }}{mcomma}')
            elif mkey == "merges":
                body = ",\n".join(f"      [{enc(a)}, {enc(b)}]" for a, b in mvalue)
                lines.append(f'    "merges": [\n{body}\n    ]{mcomma}')
            else:
                lines.append(f"    {enc(mkey)}: {enc(mvalue)}{mcomma}")
        lines.append(f"  }}{comma}")
    lines.append("}")
    return "\n".join(lines) + "\n"


def _write_temp(path: Path, text: str) -> Path:
    """Write ``text`` to a new temporary file beside ``path``."""
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=path.name + ".", suffix=".tmp")
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
    except BaseException:
        os.unlink(tmp)
        raise
    return Path(tmp)


def _write_checked(path: Path, text: str) -> None:
    """Write, check and only then move into place, so that a reader never
    sees a partial or invalid file (also with concurrent builders)."""
    tmp = _write_temp(path, text)
    try:
        check_strict_format(tmp)
        check_consistent(tmp)
        os.replace(tmp, path)
    finally:
        if tmp.exists():
            tmp.unlink()


class StrictFormatError(ValueError):
    pass


class _JsonObject(dict):
    """A parsed JSON object that remembers which keys occurred twice (the
    last occurrence wins, as in the reader's opaque sections)."""

    duplicates: frozenset = frozenset()


def _object_hook(pairs: list[tuple[str, object]]) -> _JsonObject:
    out = _JsonObject()
    dups = set()
    for k, v in pairs:
        if k in out:
            dups.add(k)
        out[k] = v
    out.duplicates = frozenset(dups)
    return out


_DOCUMENT_KEYS = frozenset({"version", "truncation", "padding", "added_tokens", "normalizer",
                            "pre_tokenizer", "post_processor", "decoder", "model"})
_MODEL_KEYS = frozenset({"type", "dropout", "unk_token", "continuing_subword_prefix",
                         "end_of_word_suffix", "fuse_unk", "byte_fallback", "ignore_merges",
                         "vocab", "merges"})


def _refuse_constant(name: str) -> object:
    raise StrictFormatError(f"non-standard JSON constant {name}")


def _is_int(v: object) -> bool:
    return isinstance(v, int) and not isinstance(v, bool)


def check_strict_format(path: str | os.PathLike) -> dict:
    """Check that ``path`` is a tokenizer.json the strict reader accepts.

    Raises :class:`StrictFormatError` (a ``ValueError``) naming the first
    problem found; returns ``{"vocab": n, "merges": n, "bytes": n}``.

    Rules: UTF-8 text without a byte-order mark holding one JSON object
    (only whitespace may follow; no known key twice in the document or
    model object); top-level "version" (string), "added_tokens" (array)
    and "model" (object) present; the optional sections, if present, may
    hold any JSON value, and unknown keys are ignored; model "type" is
    exactly "BPE"; "unk_token" is a string; "fuse_unk", "byte_fallback" and
    "ignore_merges" are booleans; "vocab" maps strings to integers in
    0..4294967295 (no fractions or exponents); "merges" is an array of
    two-string arrays; "dropout" is a number or null; the prefix and suffix
    are strings or null.
    """
    raw = Path(path).read_bytes()
    if raw.startswith(b"\xef\xbb\xbf"):
        raise StrictFormatError("byte-order mark before the document")
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        raise StrictFormatError(f"not UTF-8: {e}") from None
    try:
        doc = json.loads(text, object_pairs_hook=_object_hook, parse_constant=_refuse_constant)
    except json.JSONDecodeError as e:
        raise StrictFormatError(f"invalid JSON: {e}") from None

    if not isinstance(doc, dict):
        raise StrictFormatError("document is not an object")
    if doc.duplicates & _DOCUMENT_KEYS:
        raise StrictFormatError(f"duplicate field {sorted(doc.duplicates & _DOCUMENT_KEYS)[0]!r}")
    for key, kind in (("version", str), ("added_tokens", list), ("model", dict)):
        if key not in doc:
            raise StrictFormatError(f"missing field {key!r}")
        if not isinstance(doc[key], kind):
            raise StrictFormatError(f"{key!r} must be {kind.__name__}")

    model = doc["model"]
    if model.duplicates & _MODEL_KEYS:
        raise StrictFormatError(f"duplicate field model.{sorted(model.duplicates & _MODEL_KEYS)[0]}")
    for key in ("type", "unk_token", "fuse_unk", "byte_fallback", "ignore_merges", "vocab", "merges"):
        if key not in model:
            raise StrictFormatError(f"missing field model.{key}")
    if model.get("type") != "BPE":
        raise StrictFormatError(f"model type {model.get('type')!r} is not 'BPE'")
    if not isinstance(model.get("unk_token"), str):
        raise StrictFormatError("model.unk_token must be a string")
    for key in ("fuse_unk", "byte_fallback", "ignore_merges"):
        if not isinstance(model.get(key), bool):
            raise StrictFormatError(f"model.{key} must be a boolean")
    dropout = model.get("dropout")
    if dropout is not None and (isinstance(dropout, bool) or not isinstance(dropout, (int, float))):
        raise StrictFormatError("model.dropout must be a number or null")
    for key in ("continuing_subword_prefix", "end_of_word_suffix"):
        if model.get(key) is not None and not isinstance(model[key], str):
            raise StrictFormatError(f"model.{key} must be a string or null")

    vocab = model.get("vocab")
    if not isinstance(vocab, dict):
        raise StrictFormatError("model.vocab must be an object")
    for token, tid in vocab.items():
        if not _is_int(tid) or not 0 <= tid <= U32_MAX:
            raise StrictFormatError(f"bad id {tid!r} for token {token!r}")
    merges = model.get("merges")
    if not isinstance(merges, list):
        raise StrictFormatError("model.merges must be an array")
    for i, m in enumerate(merges):
        if not isinstance(m, list):
            raise StrictFormatError(f"merge {i} is not an array: {m!r}")
        if len(m) != 2:
            raise StrictFormatError(f"merge {i} must have exactly 2 elements")
        if not (isinstance(m[0], str) and isinstance(m[1], str)):
            raise StrictFormatError(f"merge {i} holds a non-string")
    return {"vocab": len(vocab), "merges": len(merges), "bytes": len(raw)}


def check_consistent(path: str | os.PathLike) -> None:
    """Extra sanity for generated files: ids unique, merge parts and results
    in the vocabulary, unknown token in the vocabulary and ``tokenizers``
    can load the file and round-trip some text."""
    doc = json.loads(Path(path).read_text(encoding="utf-8"))
    model = doc["model"]
    vocab = model["vocab"]
    if len(set(vocab.values())) != len(vocab):
        raise AssertionError("duplicate ids")
    if model["unk_token"] not in vocab:
        raise AssertionError("unk_token not in vocab")
    for a, b in model["merges"]:
        if a not in vocab or b not in vocab or a + b not in vocab:
            raise AssertionError(f"merge {[a, b]} refers to a missing token")

    from tokenizers import Tokenizer

    tok = Tokenizer.from_file(str(path))
    outside = {t["content"] for t in doc["added_tokens"]} - set(vocab)
    if tok.get_vocab_size(with_added_tokens=True) != len(vocab) + len(outside):
        raise AssertionError("tokenizers sees a different vocabulary size")
    if model["end_of_word_suffix"]:
        # Words are split at punctuation and decoded with a space after each,
        # so only the text without its spaces comes back.
        sample = "Hello world, 2024-05-17! Привет, мир. Καλημέρα."
        decoded = tok.decode(tok.encode(sample, add_special_tokens=False).ids)
        if decoded.replace(" ", "") != sample.replace(" ", ""):
            raise AssertionError(f"round trip failed: {decoded!r}")
        return
    sample = "Hello world, 2024-05-17! Привет, мир. Καλημέρα. 안녕하세요 你好世界"
    ids = tok.encode(sample, add_special_tokens=False).ids
    if tok.decode(ids).strip() != sample:
        raise AssertionError(f"round trip failed: {tok.decode(ids)!r}")


# ---------------------------------------------------------------------------
# Fixture registry
# ---------------------------------------------------------------------------


@dataclass(frozen=True)
class _Fixture:
    filename: str
    build: Callable[[], dict]


def _build_bytelevel(seed: int, vocab_size: int, lexicon: int, n_lines: int,
                     extra_merges_to: int = 0) -> Callable[[], dict]:
    def build() -> dict:
        corpus = SyntheticCorpus(seed, lexicon)
        doc = _train_bytelevel(corpus.lines(n_lines), vocab_size, [UNK, "<s>", "</s>", "<pad>"])
        doc = _make_strict(doc, fuse_unk=False, byte_fallback=False)
        if extra_merges_to:
            _add_alternative_merges(doc, extra_merges_to, seed)
        return doc

    return build


def _build_cut(source: str, size: int, outside: list[str]) -> Callable[[], dict]:
    """The first `size` ids of a trained fixture and the merges among them
    (training longer only appends), plus added tokens outside the vocabulary."""
    def build() -> dict:
        doc = json.loads(fixture_path(source).read_text(encoding="utf-8"))
        model = doc["model"]
        vocab = {token: i for token, i in model["vocab"].items() if i < size}
        model["vocab"] = vocab
        model["merges"] = [m for m in model["merges"] if m[0] in vocab and m[1] in vocab and m[0] + m[1] in vocab]
        doc["added_tokens"] = [t for t in doc["added_tokens"] if t["content"] in vocab] + [
            {"id": size + k, "content": content, "single_word": False, "lstrip": False, "rstrip": False,
             "normalized": False, "special": True}
            for k, content in enumerate(outside)]
        return doc

    return build


def _alphabet_limit(lines: list[str], about: int) -> int:
    """A character-alphabet limit near ``about`` that cuts the frequency
    ranking between two different counts.

    The trainer keeps the most frequent characters but breaks ties in an
    unspecified order, so a limit that falls inside a run of equal counts
    would make the output vary from run to run.  Spaces become the word
    prefix character, which is the most frequent one and always kept.
    """
    counts: dict[str, int] = {}
    for line in lines:
        for ch in line:
            counts[ch] = counts.get(ch, 0) + 1
    counts.pop(" ", None)
    ranked = sorted(counts.values(), reverse=True)
    if len(ranked) <= about:
        return len(ranked) + 1
    for delta in range(about):
        for k in (about - delta, about + delta):
            if 0 < k < len(ranked) and ranked[k - 1] > ranked[k]:
                return k + 1
    return len(ranked) + 1


def _build_sp(seed: int, vocab_size: int, lexicon: int, n_lines: int) -> Callable[[], dict]:
    def build() -> dict:
        corpus = SyntheticCorpus(seed, lexicon)
        lines = list(corpus.lines(n_lines))
        limit = _alphabet_limit(lines, 2000)
        doc = _train_sentencepiece_style(lines, vocab_size, limit_alphabet=limit)
        return _make_strict(doc, fuse_unk=True, byte_fallback=True)

    return build


def _build_suffix(seed: int, vocab_size: int, lexicon: int, n_lines: int) -> Callable[[], dict]:
    def build() -> dict:
        corpus = SyntheticCorpus(seed, lexicon)
        # The alphabetic scripts only: with a suffix form of every character
        # as well, ideographs would fill a small vocabulary.
        lines = [corpus.sentence(SUFFIX_LANGUAGES[index % len(SUFFIX_LANGUAGES)]) for index in range(n_lines)]
        return _make_strict(_train_word_suffix(lines, vocab_size), fuse_unk=False, byte_fallback=False)

    return build


def _build_example() -> dict:
    doc = _train_bytelevel(example_lines(), 1200, [UNK, "<s>", "</s>"])
    return _make_strict(doc, fuse_unk=False, byte_fallback=False)


FIXTURES: dict[str, _Fixture] = {
    "bytelevel-2k": _Fixture("bytelevel-2k.json", _build_bytelevel(11, 2000, 1500, 3000)),
    "bytelevel-128k": _Fixture(
        "bytelevel-128k.json", _build_bytelevel(128, 128000, 60000, 150000, extra_merges_to=210000)
    ),
    "bytelevel-256k": _Fixture("bytelevel-256k.json", _build_bytelevel(256, 256000, 120000, 300000)),
    "bytelevel-151k": _Fixture("bytelevel-151k.json", _build_cut(
        "bytelevel-256k", 151643,
        ["<|endoftext|>", "<|im_start|>", "<|im_end|>"] + [f"<|extra_{k}|>" for k in range(19)])),
    "sp-32k": _Fixture("sp-32k.json", _build_sp(32, 32000, 20000, 60000)),
}


# Made once and kept in the repository (xz-compressed), where tests read them:
# a kind of file none of the freely licensed real fixtures is. Regenerate
# with --test-fixtures after a change here.
TEST_FIXTURES_DIR = REPO_ROOT / "tests" / "fixtures" / "generated"
TEST_FIXTURES: dict[str, _Fixture] = {
    "suffix-8k": _Fixture("suffix-8k.array.json", _build_suffix(8, 8000, 6000, 24000)),
    "sp-4k": _Fixture("sp-4k.array.json", _build_sp(4, 4000, 3000, 8000)),
}


def build_test_fixtures() -> None:
    import lzma

    for name, fx in TEST_FIXTURES.items():
        start = time.perf_counter()
        path = TEST_FIXTURES_DIR / fx.filename
        _write_checked(path, _dump_pretty(fx.build()))
        stats = check_strict_format(path)
        packed = path.with_name(path.name + ".xz")
        packed.write_bytes(lzma.compress(path.read_bytes(), preset=9 | lzma.PRESET_EXTREME))
        path.unlink()
        print(f"{name:16} {stats['bytes']:>12,} bytes  vocab {stats['vocab']:>8,}  merges {stats['merges']:>8,}  "
              f"{time.perf_counter() - start:.1f}s -> {packed.relative_to(REPO_ROOT)}", flush=True)


def _canonical(name: str) -> str:
    key = name[:-5] if name.endswith(".json") else name
    if key not in FIXTURES:
        raise KeyError(f"unknown fixture {name!r}; known: {', '.join(FIXTURES)}")
    return key


def build_fixture(name: str, force: bool = False) -> tuple[Path, float]:
    """Build one fixture into the cache; returns (path, seconds spent)."""
    key = _canonical(name)
    fx = FIXTURES[key]
    path = CACHE_DIR / fx.filename
    if path.exists() and not force:
        return path, 0.0
    start = time.perf_counter()
    doc = fx.build()
    _write_checked(path, _dump_pretty(doc))
    return path, time.perf_counter() - start


def fixture_path(name: str) -> Path:
    """Path of the named fixture ("bytelevel-128k" or "bytelevel-128k.json"),
    building it first if it is not cached yet."""
    return build_fixture(name)[0]


def build_example(path: Path = EXAMPLE_PATH) -> tuple[Path, float]:
    start = time.perf_counter()
    _write_checked(path, _dump_compact(_build_example()))
    return path, time.perf_counter() - start


def _report(name: str, path: Path, seconds: float) -> None:
    stats = check_strict_format(path)
    took = f"{seconds:.1f}s" if seconds else "cached"
    print(f"{name:16} {stats['bytes']:>12,} bytes  vocab {stats['vocab']:>8,}  "
          f"merges {stats['merges']:>8,}  {took}", flush=True)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*", help=f"fixtures to build (default all: {', '.join(FIXTURES)})")
    parser.add_argument("--force", action="store_true", help="rebuild even if cached")
    parser.add_argument("--example", action="store_true", help="regenerate examples/tokenizer.json")
    parser.add_argument("--test-fixtures", action="store_true",
                        help=f"regenerate the files in {TEST_FIXTURES_DIR.relative_to(REPO_ROOT)}")
    args = parser.parse_args(argv)
    if args.test_fixtures:
        build_test_fixtures()
        if not args.names and not args.example:
            return 0
    if args.example:
        path, seconds = build_example()
        _report("example", path, seconds)
        if not args.names:
            return 0
    for name in args.names or list(FIXTURES):
        path, seconds = build_fixture(name, force=args.force)
        _report(_canonical(name), path, seconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
