"""Writes tests/fixtures/pipelines/*.json: one small tokenizer.json per
pre-tokenizer and normalizer kind the runtime reads (with each Split
behavior, Metaspace scheme and ByteLevel setting), and the pipelines of
common byte-level families (Qwen3-, Llama-3- and DeepSeek-style). The tests
compare vocarix's normalizer and pre-tokenizer with the runtime's on them.

The Precompiled fixture's character map was built by sentencepiece from
five rules (A->a, ab->x, fullwidth A->A, e + acute->é, 😀->":)"); it is
stored here as base64 so that the script needs nothing but Python.

Usage: python scripts/make_pipeline_fixtures.py
"""

from __future__ import annotations

import json
from pathlib import Path

OUT = Path(__file__).resolve().parents[1] / "tests" / "fixtures" / "pipelines"

CHARSMAP = (
    "AAQAAAAAAQBBDQAABQAAgGIdAAAHAACAzAgCAIEFAAAJAACAvIACAKENAAADAACAn3gCAIAJAACYBAIAAAAAgA4AAAARAAAAEAAAABMA"
    "AAASAAAAFQAAABQAAAAXAAAAFgAAABkAAAAYAAAAGwAAABoAAAAdAAAAHAAAAB8AAAAeAAAAIQAAAGEAAQAjAAAAIgAAACUAAABlsAMA"
    "JwAAACYAAAApAAAAKAAAACsAAAAqAAAALQAAACwAAAAvAAAALgAAADEAAAAwAAAAMwAAADIAAAA1AAAANAAAADcAAAA2AAAAOQAAADgA"
    "AAA7AAAAOgAAAD0AAAA8AAAAPwAAAD4AAABBAAAAQAAAAEMAAABCAAAARQAAAEQAAABHAAAARgAAAEkAAABIAAAASwAAAEoAAABNAAAA"
    "TAAAAE8AAABOAAAAUQAAAFAAAABTAAAAUgAAAFUAAABUAAAAVwAAAFYAAABZAAAAWAAAAFsAAABaAAAAXQAAAFwAAABfAAAAXgAAAGEA"
    "AABgAAAAYwAAAGIAAABlAAAAZAAAAGcAAABmAAAAaQAAAGgAAABrAAAAagAAAG0AAABsAAAAbwAAAG4AAABxAAAAcAAAAHMAAAByAAAA"
    "dQAAAHQAAAB3AAAAdgAAAHkAAAB4AAAAewAAAHoAAAB9AAAAfAAAAH8AAAB+AAAAgQAAAIAAAACDAAAAggAAAIUAAACEAAAAhwAAAIYA"
    "AACJAAAAiAAAAIsAAACKAAAAjQAAAIwAAACPAAAAjgAAAJEAAACQAAAAkwAAAJIAAACVAAAAlAAAAJcAAACWAAAAmQAAAJgAAACbAAAA"
    "mgAAAJ0AAACcAAAAnwAAAJ4AAAChAAAAoAAAAKMAAACiAAAApQAAAKQAAACnAAAApgAAAKkAAACoAAAAqwAAAKoAAACtAAAArAAAAK8A"
    "AADvbAAA8JAAALAAAACzAAAAsgAAALUAAAC0AAAAtwAAALYAAAC5AAAAuAAAALsAAAC6AAAAvQAAALwAAAC/AAAAvgAAAMEAAADAAAAA"
    "wwAAAMIAAADFAAAAxAAAAMcAAADGAAAAyQAAAMgAAADLAAAAygAAAM0AAADMAAAAzwAAAM4AAADRAAAA0AAAANMAAADSAAAA1QAAANQA"
    "AADXAAAA1gAAANkAAADYAAAA2wAAANoAAADdAAAA3AAAAN8AAADeAAAA4QAAAOAAAADjAAAA4gAAAOUAAADkAAAA5wAAAOYAAADpAAAA"
    "6AAAAOsAAADqAAAA7QAAAOwAAADvAAAA7gAAAPEAAADwAAAA8wAAAPIAAAD1AAAA9AAAAPcAAAD2AAAA+QAAAPgAAAD7AAAA+gAAAP0A"
    "AAD8AAAA/wAAAP4AAAA6KQBBAGEAeADDqQA="
)

ONE_DIGIT = (r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+"
             r"|\s+(?!\S)|\s+")
THREE_DIGITS = ONE_DIGIT.replace(r"\p{N}|", r"\p{N}{1,3}|", 1)
DEEPSEEK_WORDS = ("[!\"#$%&'()*+,\\-./:;<=>?@\\[\\\\\\]^_`{|}~][A-Za-z]+"
                  r"|[^\r\n\p{L}\p{P}\p{S}]?[\p{L}\p{M}]+"
                  r"| ?[\p{P}\p{S}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+")


def split(pattern: str, behavior: str = "Isolated", invert: bool = False, kind: str = "Regex") -> dict:
    return {"type": "Split", "pattern": {kind: pattern}, "behavior": behavior, "invert": invert}


def byte_level(add_prefix_space: bool = False, use_regex: bool = True) -> dict:
    return {"type": "ByteLevel", "add_prefix_space": add_prefix_space, "trim_offsets": True, "use_regex": use_regex}


def metaspace(prepend_scheme: str = "always", split_: bool = True) -> dict:
    return {"type": "Metaspace", "replacement": "\u2581", "prepend_scheme": prepend_scheme, "split": split_}


def sequence(*steps: dict) -> dict:
    return {"type": "Sequence", "pretokenizers": list(steps)}


def normalizers(*steps: dict) -> dict:
    return {"type": "Sequence", "normalizers": list(steps)}


WHITESPACE_SPLIT = {"type": "WhitespaceSplit"}

# name -> (normalizer, pre-tokenizer)
PIPELINES: dict[str, tuple[dict | None, dict | None]] = {
    "split-isolated": (None, split(r"\w+|[^\w\s]+")),
    "split-removed": (None, split(r"\s+", "Removed")),
    "split-merged-with-previous": (None, split("-", "MergedWithPrevious", kind="String")),
    "split-merged-with-next": (None, split(r"\p{Lu}", "MergedWithNext")),
    "split-contiguous": (None, split(r"\p{P}", "Contiguous")),
    "split-invert": (None, split(r"\p{L}+", "Removed", invert=True)),
    "split-lookaround-lazy-possessive": (None, split(r"(?<=\p{Ll})(?=\p{Lu})|\d++|[a-z]+?(?=[A-Z])|\X")),
    "split-empty-string": (None, split("", kind="String")),
    "byte-level": (None, byte_level(add_prefix_space=True)),
    "byte-level-no-prefix": (None, byte_level()),
    "byte-level-no-regex": (None, byte_level(add_prefix_space=True, use_regex=False)),
    "metaspace-always": (None, metaspace("always")),
    "metaspace-first": (None, metaspace("first")),
    "metaspace-never": (None, metaspace("never")),
    "metaspace-no-split": (None, metaspace("always", split_=False)),
    "whitespace": (None, {"type": "Whitespace"}),
    "whitespace-split": (None, WHITESPACE_SPLIT),
    "punctuation": (None, {"type": "Punctuation", "behavior": "Isolated"}),
    "punctuation-merged-with-next": (None, {"type": "Punctuation", "behavior": "MergedWithNext"}),
    "digits": (None, {"type": "Digits", "individual_digits": False}),
    "digits-individual": (None, {"type": "Digits", "individual_digits": True}),
    "unicode-scripts": (None, {"type": "UnicodeScripts"}),
    "char-delimiter-split": (None, {"type": "CharDelimiterSplit", "delimiter": "_"}),
    "bert-pre-tokenizer": (None, {"type": "BertPreTokenizer"}),
    "fixed-length": (None, {"type": "FixedLength", "length": 4}),
    "sequence": (None, sequence(WHITESPACE_SPLIT, {"type": "Digits", "individual_digits": True},
                                {"type": "Punctuation", "behavior": "Isolated"})),
    "qwen3-style": ({"type": "NFC"}, sequence(split(ONE_DIGIT), byte_level(use_regex=False))),
    "llama3-style": (None, sequence(split(THREE_DIGITS), byte_level(use_regex=False))),
    "deepseek-style": (normalizers(), sequence(split(r"\p{N}{1,3}"), split("[一-龥\\u3040-ゟ゠-ヿ]+"),
                                               split(DEEPSEEK_WORDS), byte_level(use_regex=False))),
    "nfc": ({"type": "NFC"}, WHITESPACE_SPLIT),
    "nfd": ({"type": "NFD"}, WHITESPACE_SPLIT),
    "nfkc": ({"type": "NFKC"}, WHITESPACE_SPLIT),
    "nfkd": ({"type": "NFKD"}, WHITESPACE_SPLIT),
    "lowercase": ({"type": "Lowercase"}, WHITESPACE_SPLIT),
    "strip": ({"type": "Strip", "strip_left": True, "strip_right": True}, metaspace("first")),
    "strip-accents": (normalizers({"type": "NFD"}, {"type": "StripAccents"}), WHITESPACE_SPLIT),
    "replace-string": ({"type": "Replace", "pattern": {"String": " "}, "content": "\u2581"}, None),
    "replace-regex": ({"type": "Replace", "pattern": {"Regex": r"\s+|\d"}, "content": "#"}, WHITESPACE_SPLIT),
    "prepend": ({"type": "Prepend", "prepend": "\u2581"}, None),
    "precompiled": ({"type": "Precompiled", "precompiled_charsmap": CHARSMAP}, WHITESPACE_SPLIT),
    "nmt": ({"type": "Nmt"}, WHITESPACE_SPLIT),
    "bert-normalizer": ({"type": "BertNormalizer", "clean_text": True, "handle_chinese_chars": True,
                         "strip_accents": None, "lowercase": True}, {"type": "BertPreTokenizer"}),
    "byte-level-normalizer": ({"type": "ByteLevel"}, None),
    "normalizer-sequence": (normalizers({"type": "Strip", "strip_left": True, "strip_right": False},
                                        {"type": "NFKC"}, {"type": "Lowercase"},
                                        {"type": "Replace", "pattern": {"Regex": r"\p{N}+"}, "content": "0"},
                                        {"type": "Prepend", "prepend": "\u2581"}),
                            metaspace("never")),
}


def byte_level_alphabet() -> list[str]:
    kept = [*range(ord("!"), ord("~") + 1), *range(0xA1, 0xAD), *range(0xAE, 0x100)]
    shifted = iter(range(256, 512))
    return [chr(b) if b in kept else chr(next(shifted)) for b in range(256)]


def model(byte_level_words: bool) -> dict:
    if byte_level_words:
        vocab = {token: i for i, token in enumerate(byte_level_alphabet())}
        vocab["Ġt"] = len(vocab)
        merges = [["Ġ", "t"]]
        unk = None
    else:
        vocab = {"<unk>": 0, "\u2581": 1, "a": 2, "b": 3, "ab": 4}
        merges = [["a", "b"]]
        unk = "<unk>"
    return {"type": "BPE", "dropout": None, "unk_token": unk, "continuing_subword_prefix": None,
            "end_of_word_suffix": None, "fuse_unk": False, "byte_fallback": False, "ignore_merges": False,
            "vocab": vocab, "merges": merges}


def main() -> None:
    OUT.mkdir(parents=True, exist_ok=True)
    for name, (normalizer, pre_tokenizer) in PIPELINES.items():
        text = json.dumps(pre_tokenizer or {}) + json.dumps(normalizer or {})
        document = {"version": "1.0", "truncation": None, "padding": None, "added_tokens": [],
                    "normalizer": normalizer, "pre_tokenizer": pre_tokenizer, "post_processor": None,
                    "decoder": byte_level() if '"ByteLevel"' in text else None,
                    "model": model('"ByteLevel"' in text)}
        (OUT / f"{name}.json").write_text(json.dumps(document, ensure_ascii=False, indent=2) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
