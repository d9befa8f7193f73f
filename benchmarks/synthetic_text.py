"""Seeded synthetic text in many scripts: the corpora the generated tokenizers are trained on
and the words the benchmarks add."""

from __future__ import annotations

import random
from dataclasses import dataclass
from typing import Callable, Iterable, Iterator


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
