"""vocab.json, merges.txt and added_tokens.json follow every edit of a
GPT-2-style folder, in the layout the folder had, so that a reader building
the tokenizer from them alone (transformers on a copy of the folder without
tokenizer.json, and the classic GPT-2 reader) gives the runtime's ids on the
edited tokenizer.json."""

from __future__ import annotations

import json
import shutil
from functools import lru_cache
from pathlib import Path

import pytest

import vocarix_tools
from vocarix_tools import usage

import corpora
from conftest import real_fixture, run_json

tokenizers = pytest.importorskip("tokenizers")

# How folders write the slow tokenizer's files: GPT-2's own files (one line,
# ASCII escapes, no final line break), transformers' save (indented, keys
# sorted), and a compact one with Windows line ends.
LAYOUTS = {
    "gpt2": {"vocab": dict(ensure_ascii=True), "vocab_tail": "", "by_id": True,
             "header": "#version: 0.2", "line_end": "\n", "final": True},
    "saved": {"vocab": dict(indent=2, ensure_ascii=False), "vocab_tail": "\n", "by_id": False,
              "header": "#version: 0.2 - Trained by huggingface/tokenizers", "line_end": "\n", "final": False},
    "compact": {"vocab": dict(separators=(",", ":"), ensure_ascii=False), "vocab_tail": "", "by_id": True,
                "header": None, "line_end": "\r\n", "final": True},
}


def merge_pairs(document: dict) -> list[tuple[str, str]]:
    return [tuple(m) if isinstance(m, list) else tuple(m.split(" ")) for m in document["model"]["merges"]]


def outside_added_tokens(document: dict) -> dict[str, int]:
    """Added tokens that are no vocabulary entry, with the ids the runtime numbers them with."""
    vocab = document["model"]["vocab"]
    outside = [t["content"] for t in document["added_tokens"] if t["content"] not in vocab]
    return {content: len(vocab) + i for i, content in enumerate(dict.fromkeys(outside))}


def slow_files(document: dict, layout: dict) -> dict[str, str]:
    """The slow tokenizer's files of a tokenizer.json, as `layout` writes them."""
    vocab = document["model"]["vocab"]
    ordered = dict(sorted(vocab.items(), key=lambda item: item[1])) if layout["by_id"] else dict(sorted(vocab.items()))
    lines = ([layout["header"]] if layout["header"] else []) + [f"{a} {b}" for a, b in merge_pairs(document)]
    merges = layout["line_end"].join(lines) + (layout["line_end"] if layout["final"] else "")
    files = {"vocab.json": json.dumps(ordered, **layout["vocab"]) + layout["vocab_tail"], "merges.txt": merges}
    added = outside_added_tokens(document)
    if added:
        files["added_tokens.json"] = json.dumps(added, indent=2, sort_keys=True, ensure_ascii=False) + "\n"
    return files


def gpt2_folder(tmp_path: Path, source: str, layout: str) -> Path:
    folder = tmp_path / f"{layout}-model"
    folder.mkdir()
    document = json.loads(Path(real_fixture(source)).read_text(encoding="utf-8"))
    (folder / "tokenizer.json").write_text(json.dumps(document, ensure_ascii=False, indent=2), encoding="utf-8")
    for name, text in slow_files(document, LAYOUTS[layout]).items():
        (folder / name).write_bytes(text.encode("utf-8"))
    decoder = {str(token["id"]): {key: token[key] for key in ("content", "lstrip", "normalized", "rstrip",
                                                             "single_word", "special")}
               for token in document["added_tokens"]}
    config = {"added_tokens_decoder": decoder, "bos_token": "<|endoftext|>", "eos_token": "<|endoftext|>",
              "unk_token": "<|endoftext|>", "model_max_length": 2048, "tokenizer_class": "GPT2Tokenizer"}
    (folder / "tokenizer_config.json").write_text(json.dumps(config, indent=2) + "\n", encoding="utf-8")
    return folder


@lru_cache(maxsize=1)
def held_out() -> tuple[str, ...]:
    scripts = corpora.several_scripts(60_000)
    return tuple(line for lines in scripts.values() for i, line in enumerate(lines) if i % 4 == 0)


def bytes_to_unicode() -> dict[int, str]:
    """GPT-2's map of bytes to printable characters."""
    printable = list(range(ord("!"), ord("~") + 1)) + list(range(ord("¡"), ord("¬") + 1)) + list(range(ord("®"), ord("ÿ") + 1))
    characters = printable[:]
    extra = 0
    for byte in range(256):
        if byte not in printable:
            printable.append(byte)
            characters.append(256 + extra)
            extra += 1
    return dict(zip(printable, map(chr, characters)))


class ClassicGpt2Reader:
    """GPT-2's original encoder, reading vocab.json and merges.txt as it did:
    the merges are the lines between the first and the last."""

    PATTERN = r"""'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"""

    def __init__(self, folder: Path):
        regex = pytest.importorskip("regex")
        self.pattern = regex.compile(self.PATTERN)
        self.encoder = json.loads((folder / "vocab.json").read_text(encoding="utf-8"))
        lines = (folder / "merges.txt").read_text(encoding="utf-8").split("\n")[1:-1]
        self.ranks = {tuple(line.split()): rank for rank, line in enumerate(lines)}
        self.byte_encoder = bytes_to_unicode()
        self.cache: dict[str, list[str]] = {}

    def bpe(self, word: str) -> list[str]:
        if word in self.cache:
            return self.cache[word]
        parts = list(word)
        while len(parts) > 1:
            pairs = {(parts[i], parts[i + 1]) for i in range(len(parts) - 1)}
            best = min(pairs, key=lambda pair: self.ranks.get(pair, float("inf")))
            if best not in self.ranks:
                break
            merged, i = [], 0
            while i < len(parts):
                if i + 1 < len(parts) and (parts[i], parts[i + 1]) == best:
                    merged.append(parts[i] + parts[i + 1])
                    i += 2
                else:
                    merged.append(parts[i])
                    i += 1
            parts = merged
        self.cache[word] = parts
        return parts

    def covers(self, text: str) -> bool:
        """Whether every byte of the text is a token (the runtime drops those that are not before
        merging, the classic reader after)."""
        return all(self.byte_encoder[b] in self.encoder for b in text.encode("utf-8"))

    def encode(self, text: str) -> list[int]:
        ids = []
        for piece in self.pattern.findall(text):
            word = "".join(self.byte_encoder[b] for b in piece.encode("utf-8"))
            ids.extend(self.encoder[token] for token in self.bpe(word))
        return ids


def edit_folder(cli, tmp_path: Path, folder: Path, edit: str) -> Path:
    out = tmp_path / f"{folder.name}-{edit}"
    if edit == "add":
        run_json(cli, "add", folder, "vocabulary", "tokenizer", "thrombocytopenia", "неподражаемый", "-o", out)
    elif edit == "prune":
        corpus = corpora.write(tmp_path / "corpus.txt", list(held_out()[::3]))
        runtime = json.loads((folder / "tokenizer.json").read_text(encoding="utf-8"))
        size = len(runtime["model"]["vocab"]) * 3 // 4
        run_json(cli, "prune", folder, "--corpus", corpus, "--size", size, "-o", out)
    else:
        run_json(cli, "shrink", folder, "40", "-o", tmp_path / "shrunk")
        run_json(cli, "reindex", tmp_path / "shrunk", "-o", out)
    return out


@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize("edit", ["add", "prune", "shrink-and-reindex"])
def test_slow_files_follow_each_edit_in_their_layout(tmp_path, cli, layout, edit):
    folder = gpt2_folder(tmp_path, "tiny-random-gpt2.string.json", layout)
    out = edit_folder(cli, tmp_path, folder, edit)
    document = json.loads((out / "tokenizer.json").read_text(encoding="utf-8"))
    for name, text in slow_files(document, LAYOUTS[layout]).items():
        assert (out / name).read_bytes() == text.encode("utf-8"), name
    assert vocarix_tools.open_model(out).check() == []


@pytest.mark.parametrize("source", ["tiny-random-gpt2.string.json", "phi2-codegen.string.json"])
def test_readers_of_the_slow_files_give_the_runtime_ids(tmp_path, cli, source):
    transformers = pytest.importorskip("transformers")
    folder = gpt2_folder(tmp_path, source, "gpt2")
    out = edit_folder(cli, tmp_path, folder, "prune")
    out = edit_folder(cli, tmp_path, out, "add")
    runtime = tokenizers.Tokenizer.from_file(str(out / "tokenizer.json"))
    slow = tmp_path / "without-tokenizer-json"
    shutil.copytree(out, slow)
    (slow / "tokenizer.json").unlink()
    from_files = transformers.AutoTokenizer.from_pretrained(str(slow))
    classic = ClassicGpt2Reader(out)
    lines = list(held_out())
    expected = [e.ids for e in runtime.encode_batch(lines, add_special_tokens=False)]
    assert [from_files(line, add_special_tokens=False)["input_ids"] for line in lines] == expected
    # The classic reader knows no added tokens: compare it where the runtime met none.
    added = set(outside_added_tokens(json.loads((folder / "tokenizer.json").read_text(encoding="utf-8"))))
    ids_of_added = {runtime.token_to_id(token) for token in added}
    plain = [i for i, ids in enumerate(expected) if not ids_of_added.intersection(ids) and classic.covers(lines[i])]
    assert len(plain) > 0.3 * len(lines)
    assert [classic.encode(lines[i]) for i in plain] == [expected[i] for i in plain]


def test_added_tokens_json_takes_the_runtime_ids(tmp_path, cli):
    folder = gpt2_folder(tmp_path, "phi2-codegen.string.json", "saved")
    out = edit_folder(cli, tmp_path, folder, "prune")
    added = json.loads((out / "added_tokens.json").read_text(encoding="utf-8"))
    runtime = tokenizers.Tokenizer.from_file(str(out / "tokenizer.json"))
    before = json.loads((folder / "added_tokens.json").read_text(encoding="utf-8"))
    assert set(added) == set(before)
    assert added == {token: runtime.token_to_id(token) for token in before}
    assert added != before  # the prune moved them


def test_check_names_the_first_stale_token_and_fix_regenerates(tmp_path, cli):
    folder = gpt2_folder(tmp_path, "tiny-random-gpt2.string.json", "saved")
    editor = vocarix_tools.open(folder / "tokenizer.json")
    usage.add_words(editor, ["vocabulary"])
    editor.save(str(folder / "tokenizer.json"))  # the tokenizer alone
    code, out, _ = cli("check", folder)
    assert code == 1
    lines = {line.split(":")[0].strip(): line for line in out.splitlines() if line.startswith("  ")}
    assert "(id 1000 in tokenizer.json) is missing" in lines["vocab.json"]
    assert "it ends after 806 merges; tokenizer.json goes on with" in lines["merges.txt"]
    code, out, err = cli("check", folder, "--fix", "--in-place")
    assert code == 0, out + err
    document = json.loads((folder / "tokenizer.json").read_text(encoding="utf-8"))
    for name, text in slow_files(document, LAYOUTS["saved"]).items():
        assert (folder / name).read_text(encoding="utf-8") == text


def test_merges_a_file_cannot_hold_remove_both_files_with_the_reason(tmp_path, cli):
    folder = gpt2_folder(tmp_path, "tiny-random-gpt2.string.json", "gpt2")
    model = vocarix_tools.open_model(folder)
    model.editor.add_token("a b")  # a part with a space: no merges.txt line can hold it
    report = model.save(tmp_path / "out")
    assert sorted(gone["file"] for gone in report["files_removed"]) == ["merges.txt", "vocab.json"]
    assert all("merges.txt cannot hold the merge" in gone["reason"] for gone in report["files_removed"])
    assert not (tmp_path / "out" / "vocab.json").exists() and not (tmp_path / "out" / "merges.txt").exists()
    assert (tmp_path / "out" / "tokenizer.json").exists()


@pytest.mark.parametrize("name, text, problem", [
    ("vocab.json", '{"a": 1, "a": 2}', "duplicate token"),
    ("vocab.json", '{"a": -1}', "expected a token id"),
    ("vocab.json", '["a"]', "no JSON object"),
    ("merges.txt", "#version: 0.2\na b\nab\n", "line 3"),
    ("merges.txt", "#version: 0.2\na  b\n", "line 2"),
    ("added_tokens.json", '{"a": 1} x', "trailing characters"),
])
def test_a_broken_slow_file_stops_the_edit_naming_it(tmp_path, name, text, problem):
    folder = gpt2_folder(tmp_path, "tiny-random-gpt2.string.json", "gpt2")
    (folder / name).write_text(text, encoding="utf-8")
    with pytest.raises(ValueError, match=f"^{name}: ") as refused:
        vocarix_tools.open_model(folder)
    assert problem in str(refused.value)
