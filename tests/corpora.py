"""Text to learn from, made from what every Python installation carries:
the help topics (English prose about Python) and the standard library's
own sources (code), cut into lines and split into a training part and a
held-out part."""

from __future__ import annotations

import inspect
import json
import os

import pydoc_data.topics


def _lines_up_to(texts, limit_bytes, keep):
    """The lines of the texts that `keep` accepts, in order, until `limit_bytes` are reached."""
    lines: list[str] = []
    size = 0
    for text in texts:
        for line in text.splitlines():
            if not keep(line):
                continue
            lines.append(line)
            size += len(line) + 1
            if size >= limit_bytes:
                return lines
    return lines


def prose_lines(limit_bytes: int = 400_000) -> list[str]:
    """Lines of English prose, in a fixed order."""
    topics = (pydoc_data.topics.topics[key] for key in sorted(pydoc_data.topics.topics))
    stripped = ("\n".join(line.strip() for line in topic.splitlines()) for topic in topics)
    return _lines_up_to(stripped, limit_bytes, lambda line: len(line) >= 20)


def code_lines(limit_bytes: int = 400_000) -> list[str]:
    """Lines of Python source from the standard library, in a fixed order."""
    import argparse, ast, collections, dataclasses, functools, logging, pathlib, pydoc  # noqa: E401
    import subprocess, tarfile, textwrap, threading, typing, zipfile  # noqa: E401

    modules = (argparse, collections, dataclasses, functools, textwrap, typing, inspect, json, os,
               # more, for corpora beyond the first 400 kB
               ast, logging, pathlib, pydoc, subprocess, tarfile, threading, zipfile)
    return _lines_up_to((inspect.getsource(module) for module in modules), limit_bytes, str.strip)


def split(lines: list[str], held_out_every: int = 5) -> tuple[list[str], list[str]]:
    """Every fifth line held out, the rest to learn from."""
    train = [line for i, line in enumerate(lines) if i % held_out_every]
    held = [line for i, line in enumerate(lines) if not i % held_out_every]
    return train, held


def write(path, lines: list[str]):
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


def pseudo_chinese_lines(count: int = 4000, seed: int = 0) -> list[str]:
    """Lines of made-up Chinese: words of one to three characters drawn from
    a few hundred common ones, word frequencies falling off as in real text."""
    import random

    rng = random.Random(seed)
    characters = [chr(0x4E00 + rng.randrange(0x5000)) for _ in range(600)]
    words = ["".join(rng.choice(characters) for _ in range(rng.choice((1, 2, 2, 2, 3)))) for _ in range(3000)]
    weights = [1 / (rank + 1) for rank in range(len(words))]
    lines = []
    for _ in range(count):
        lines.append("".join(rng.choices(words, weights, k=rng.randrange(8, 30))) + rng.choice("。，！？"))
    return lines


def pseudo_word_lines(alphabet: str, count: int = 1500, seed: int = 0) -> list[str]:
    """Lines of made-up words in an alphabetic script (the letters given),
    separated by spaces, word frequencies falling off as in real text."""
    import random

    rng = random.Random(seed)
    words = ["".join(rng.choice(alphabet) for _ in range(rng.randrange(2, 10))) for _ in range(2500)]
    weights = [1 / (rank + 1) for rank in range(len(words))]
    lines = []
    for _ in range(count):
        line = " ".join(rng.choices(words, weights, k=rng.randrange(5, 16)))
        lines.append(line[0].upper() + line[1:] + rng.choice(".,!?;"))
    return lines


CYRILLIC = "абвгдеёжзийклмнопрстуфхцчшщъыьэюя"
GREEK = "αβγδεζηθικλμνξοπρστυφχψω"


def several_scripts(limit_bytes: int = 400_000, seed: int = 0) -> dict[str, list[str]]:
    """Text in several scripts, by name: English prose, Python code,
    made-up Chinese, Cyrillic and Greek."""
    return {"prose": prose_lines(limit_bytes), "code": code_lines(limit_bytes),
            "chinese": pseudo_chinese_lines(2000, seed), "cyrillic": pseudo_word_lines(CYRILLIC, 2000, seed + 1),
            "greek": pseudo_word_lines(GREEK, 1500, seed + 2)}


def metaspace_document(lines, vocab_size=700):
    """A "▁" tokenizer like the converted ones: trained with a Metaspace
    pre-tokenizer, then run with none (BPE over the whole line after
    Prepend and Replace), byte fallback over <0x00>..<0xFF>."""
    from tokenizers import Tokenizer, models, normalizers, pre_tokenizers, trainers

    runtime = Tokenizer(models.BPE(unk_token="<unk>", byte_fallback=True))
    runtime.pre_tokenizer = pre_tokenizers.Metaspace()
    trainer = trainers.BpeTrainer(vocab_size=vocab_size, special_tokens=["<unk>", "<s>", "</s>"],
                                  limit_alphabet=120, show_progress=False)
    runtime.train_from_iterator(lines, trainer)
    runtime.normalizer = normalizers.Sequence([normalizers.Prepend("▁"), normalizers.Replace(" ", "▁")])
    document = json.loads(runtime.to_str())
    document["pre_tokenizer"] = None
    vocab = document["model"]["vocab"]
    for byte in range(256):
        vocab.setdefault(f"<0x{byte:02X}>", len(vocab))
    return json.dumps(document, ensure_ascii=False)
