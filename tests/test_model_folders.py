"""Editing a model folder: every id of every file follows its token, and the
weights follow the ids. The folders are tiny models with random weights
built around the example tokenizer kept in the repository (and, where
available, around real tokenizers)."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import vocarix_tools
from vocarix_tools import _native
from vocarix_tools.model_folder import SpecialTokenRemoved, open_model

from conftest import REPO, real_fixture, run_json
from model_folders import (
    build_model_folder, embedding_rows, from_bf16, read_safetensors, stored_rows, to_bf16,
    with_trailing_special_tokens, write_safetensors,
)

EXAMPLE = REPO / "examples" / "tokenizer.json"
CHAT_TOKENS = ["<|endoftext|>", "<|im_start|>", "<|im_end|>"]
CHAT_SPECIALS = {"bos": None, "eos": "<|im_end|>", "pad": "<|endoftext|>"}
PLAIN_SPECIALS = {"bos": "<s>", "eos": "</s>", "pad": None}

VOCAB_TENSORS = {"llama": ["model.embed_tokens.weight", "lm_head.weight"],
                 "qwen2": ["model.embed_tokens.weight"], "gpt2": ["transformer.wte.weight"]}


def chat_tokenizer(tmp_path: Path, source: Path = EXAMPLE) -> Path:
    """A tokenizer whose special tokens sit past the vocabulary, as chat models keep them."""
    tmp_path.mkdir(parents=True, exist_ok=True)
    path = tmp_path / f"chat-{source.stem}.json"
    path.write_text(with_trailing_special_tokens(source.read_text(encoding="utf-8"), CHAT_TOKENS), encoding="utf-8")
    return path


def make_folder(tmp_path: Path, kind: str, name: str = "model", pad_rows_to: int = 128) -> Path:
    return build_model_folder(tmp_path / name, chat_tokenizer(tmp_path), kind, CHAT_SPECIALS, pad_rows_to)


def runtime_id(folder: Path, token: str) -> int | None:
    ids = _native.runtime_ids(vocarix_tools.open(folder / "tokenizer.json"))
    return ids["tokens"].get(token)


def read_json(path: Path) -> dict:
    return json.loads(path.read_text(encoding="utf-8"))


def assert_weights_follow(before: Path, after: Path, id_map: dict, kind: str) -> None:
    """Surviving rows are bitwise the old ones, a new token's row is the mean
    of its pieces' rows, and every other tensor is unchanged."""
    config = read_json(after / "config.json")
    for name in VOCAB_TENSORS[kind]:
        old, new = stored_rows(before, name), stored_rows(after, name)
        assert new.shape[0] == config["vocab_size"]
        moved = [(int(o), n) for o, n in id_map["old_to_new"].items() if n is not None]
        assert all(np.array_equal(new[n], old[o]) for o, n in moved), name
        old_values = embedding_rows(before, name)
        for token, entry in id_map["added"].items():
            if entry["from"]:
                mean = old_values[entry["from"]].mean(axis=0, dtype=np.float32)
                expected = from_bf16(to_bf16(mean)) if kind == "qwen2" else mean
                got = embedding_rows(after, name)[entry["id"]]
                assert np.allclose(got, expected, rtol=1e-6, atol=1e-7), token
    others = {name: arrays for path in sorted(before.glob("*.safetensors"))
              for name, arrays in read_safetensors(path).items() if name not in VOCAB_TENSORS[kind]}
    for name, (_, array) in others.items():
        assert np.array_equal(stored_rows(after, name), array), name


def assert_folder_agrees(folder: Path) -> None:
    """check finds nothing, and the decoder and config ids name their tokens."""
    model = open_model(folder)
    assert model.check() == []
    decoder = read_json(folder / "tokenizer_config.json")["added_tokens_decoder"]
    for key, entry in decoder.items():
        assert runtime_id(folder, entry["content"]) == int(key)
    config = read_json(folder / "config.json")
    assert config["eos_token_id"] == runtime_id(folder, "<|im_end|>")
    assert read_json(folder / "generation_config.json")["eos_token_id"] == [config["eos_token_id"]]


def test_prune_reindex_add_remove_carry_the_folder(cli, tmp_path):
    """Through the CLI, on an untied float32, a tied bfloat16 and a sharded
    model: each step's output agrees with itself and its weights follow the ids."""
    for kind in ("llama", "qwen2", "gpt2"):
        base = make_folder(tmp_path / kind, kind)
        editor = vocarix_tools.open(base / "tokenizer.json")
        vocab = editor.get_vocab()
        counts = {token: (0 if 300 <= i < 700 else 5) for token, i in vocab.items()}
        (tmp_path / kind / "counts.json").write_text(json.dumps(counts), encoding="utf-8")
        steps = [
            ["prune", "{src}", "--counts", tmp_path / kind / "counts.json", "--min-count", "1"],
            ["reindex", "{src}"],
            ["add", "{src}", "Ġorchardwords", "Ġcollectedness"],
            ["remove", "{src}", "Ġorchardwords"],
        ]
        source = base
        for number, step in enumerate(steps):
            out = tmp_path / kind / f"step{number}"
            id_map = tmp_path / kind / f"map{number}.json"
            argv = [str(a).replace("{src}", str(source)) for a in step]
            report = run_json(cli, *argv, "-o", out, "--id-map", id_map)
            assert report["folder"]["written_to"] == str(out)
            mapping = read_json(id_map)
            assert_folder_agrees(out)
            assert_weights_follow(source, out, mapping, kind)
            rows = report["folder"]["rows"]
            assert rows["rows_after"] % 128 == 0 and rows["rows_after"] >= rows["tokens_after"]
            # Files the edit did not change are copied byte for byte.
            for name in report["folder"]["copied"]:
                assert (out / name).read_bytes() == (source / name).read_bytes()
            source = out
        # The chat tokens moved when the ids were closed up, and every file followed.
        assert runtime_id(source, "<|im_end|>") < runtime_id(base, "<|im_end|>")
        if kind == "gpt2":
            index = read_json(source / "model.safetensors.index.json")
            shards = {name: read_safetensors(source / name) for name in set(index["weight_map"].values())}
            assert all(tensor in shards[shard] for tensor, shard in index["weight_map"].items())
            assert index["metadata"]["total_size"] == sum(a.nbytes for s in shards.values() for _, a in s.values())


def test_config_layout_and_order_survive_an_edit(tmp_path):
    """Only the values that change are rewritten: key order, indentation,
    raw non-ASCII text and number forms stay; a file with no change is not touched."""
    folder = make_folder(tmp_path, "llama")
    config = read_json(folder / "config.json")
    eos = config["eos_token_id"]
    odd = ('{\n    "zeta": "Grüße — ✓",\n    "rope_theta": 1e-06,\n    "eos_token_id": %d,\n'
           '    "text_config": {"eos_token_id": [%d, 1], "vocab_size": %d},\n    "vocab_size": %d,\n'
           '    "nan_field": NaN\n}' % (eos, eos, config["vocab_size"], config["vocab_size"]))
    (folder / "config.json").write_text(odd, encoding="utf-8")
    special_map = (folder / "special_tokens_map.json").read_bytes()
    model = open_model(folder)
    model.editor.shrink(100)
    model.editor.reindex_vocab()
    report = model.save(tmp_path / "out")
    new_eos = runtime_id(tmp_path / "out", "<|im_end|>")
    rows = report["rows"]["rows_after"]
    assert (tmp_path / "out" / "config.json").read_text(encoding="utf-8") == odd.replace(
        str(eos), str(new_eos)).replace(str(config["vocab_size"]), str(rows))
    assert (tmp_path / "out" / "special_tokens_map.json").read_bytes() == special_map
    assert "special_tokens_map.json" in report["copied"]


def test_padding_keeps_its_multiple_and_new_tokens_grow_into_it(tmp_path, cli):
    folder = make_folder(tmp_path, "qwen2", pad_rows_to=256)
    rows_before = read_json(folder / "config.json")["vocab_size"]
    padding_row = stored_rows(folder, "model.embed_tokens.weight")[rows_before - 1]
    # Two new tokens fit in the padding: the rows stay, the padding rows too.
    grown = run_json(cli, "add", folder, "Ġorchardwords", "Ġcollectedness", "-o", tmp_path / "grown")
    assert grown["folder"]["rows"]["rows_after"] == rows_before
    assert np.array_equal(stored_rows(tmp_path / "grown", "model.embed_tokens.weight")[-1], padding_row)
    # Shrinking rounds the rows to the same multiple; the padding rows move along.
    shrunk = run_json(cli, "shrink", folder, "300", "-o", tmp_path / "a")
    shrunk = run_json(cli, "reindex", tmp_path / "a", "-o", tmp_path / "b")
    rows = shrunk["folder"]["rows"]
    assert rows["multiple"] == 256 and rows["rows_after"] == -(-rows["tokens_after"] // 256) * 256
    # --pad-to-multiple-of overrides, 1 meaning no padding; a dry run plans the same and writes nothing.
    files = {p.name: p.read_bytes() for p in (tmp_path / "a").iterdir()}
    dry = run_json(cli, "reindex", tmp_path / "a", "--dry-run", "--pad-to-multiple-of", "1")
    assert {p.name: p.read_bytes() for p in (tmp_path / "a").iterdir()} == files
    exact = run_json(cli, "reindex", tmp_path / "a", "-o", tmp_path / "c", "--pad-to-multiple-of", "1")
    assert dry["folder"]["files_changed"] == exact["folder"]["rewritten"]
    assert dry["folder"]["changes"] == exact["folder"]["changes"]
    assert exact["folder"]["rows"]["rows_after"] == exact["folder"]["rows"]["tokens_after"]
    assert read_json(tmp_path / "c" / "config.json")["vocab_size"] == exact["folder"]["rows"]["tokens_after"]


def test_check_names_every_disagreement_and_fix_repairs_them(tmp_path, cli):
    """A folder whose tokenizer was edited as a file alone: check exits 1
    naming file and field; --fix makes it agree, weights untouched."""
    folder = make_folder(tmp_path, "llama", pad_rows_to=1)
    code, _, err = cli("shrink", folder / "tokenizer.json", "100", "-o", tmp_path / "t.json")
    assert code == 0, err
    code, _, err = cli("reindex", tmp_path / "t.json", "--in-place")
    assert code == 0, err
    os.replace(tmp_path / "t.json", folder / "tokenizer.json")
    config = read_json(folder / "config.json")
    config["vocab_size"] = 10
    (folder / "config.json").write_text(json.dumps(config, indent=2))
    # Special tokens in the older dict form, and one that names no token.
    tokenizer_config = read_json(folder / "tokenizer_config.json")
    tokenizer_config["eos_token"] = {"__type": "AddedToken", "content": "<|im_end|>", "lstrip": False,
                                     "normalized": False, "rstrip": False, "single_word": False}
    tokenizer_config["additional_special_tokens"] = ["<|im_start|>", {"content": "<|no such token|>"}]
    (folder / "tokenizer_config.json").write_text(json.dumps(tokenizer_config, indent=2))
    code, out, _ = cli("check", folder)
    assert code == 1
    for expected in ("tokenizer_config.json added_tokens_decoder.1200", "config.json eos_token_id",
                     "generation_config.json eos_token_id", "config.json vocab_size", "config.json pad_token_id",
                     'tokenizer_config.json additional_special_tokens[1]: "<|no such token|>" is no token'):
        assert expected in out, expected
    tokenizer_config["additional_special_tokens"].pop()
    (folder / "tokenizer_config.json").write_text(json.dumps(tokenizer_config, indent=2))
    code, out, err = cli("check", folder, "--fix", "-o", tmp_path / "fixed")
    assert code == 0, out + err
    assert_folder_agrees(tmp_path / "fixed")
    assert read_json(tmp_path / "fixed" / "config.json")["vocab_size"] == 1203
    assert (tmp_path / "fixed" / "model.safetensors").read_bytes() == (folder / "model.safetensors").read_bytes()
    code, out, _ = cli("check", tmp_path / "fixed")
    assert code == 0 and "every config, decoder entry and weight agrees" in out


def test_removing_a_named_special_token_is_refused_unless_forced(tmp_path, cli):
    folder = build_model_folder(tmp_path / "model", EXAMPLE, "llama", PLAIN_SPECIALS)
    before = {p.name: p.read_bytes() for p in folder.iterdir()}
    code, out, err = cli("remove", folder, "</s>", "--in-place")
    assert code == 1 and out == ""
    assert err.count("\n") == 1 and "eos_token" in err and "--force" in err
    assert {p.name: p.read_bytes() for p in folder.iterdir()} == before
    model = open_model(folder)
    model.editor.remove_tokens(["</s>"])
    with pytest.raises(SpecialTokenRemoved):
        model.save(tmp_path / "out")
    assert not (tmp_path / "out").exists()
    report = run_json(cli, "remove", folder, "</s>", "--in-place", "--force")
    assert {(r["file"], r["field"]) for r in report["folder"]["special_tokens_removed"]} >= {
        ("tokenizer_config.json", "eos_token"), ("config.json", "eos_token_id")}
    assert read_json(folder / "config.json")["eos_token_id"] is None
    assert read_json(folder / "generation_config.json")["eos_token_id"] == []


def test_python_api_saves_in_place_and_keeps_editing(tmp_path):
    folder = make_folder(tmp_path, "gpt2")
    model = open_model(folder)
    assert model.contents["weights"] == ["model-00001-of-00002.safetensors", "model-00002-of-00002.safetensors"]
    im_end = runtime_id(folder, "<|im_end|>")
    model.editor.shrink(50)
    model.editor.reindex_vocab()
    model.finish()  # the repairs save makes, so that the map and the plan count them
    id_map = model.id_map()
    planned = model.plan()
    report = model.save()
    assert report["files_changed"] == planned["files_changed"] == report["rewritten"]
    assert report["rewritten"][-1] == "tokenizer.json" and report["rewritten"][0].endswith(".safetensors")
    assert runtime_id(folder, "<|im_end|>") == id_map["old_to_new"][str(im_end)]
    assert model.check() == []
    # The saved folder is the new start: a second edit is carried from it.
    assert all(int(old) == new for old, new in model.id_map()["old_to_new"].items())
    assert model.save()["rewritten"] == []
    model.editor.reindex_vocab()  # closes the gaps the pinned chat tokens stood past
    moved = model.id_map()["old_to_new"][str(runtime_id(folder, "<|im_end|>"))]
    model.save()
    assert runtime_id(folder, "<|im_end|>") == moved and model.check() == []


def overlap(header: dict) -> None:
    """The norm weight laid over the start of the embedding."""
    begin = header["model.embed_tokens.weight"]["data_offsets"][0]
    length = 4 * header["model.norm.weight"]["shape"][0]
    header["model.norm.weight"]["data_offsets"] = [begin, begin + length]


BAD_HEADERS = {
    "offsets past the end": lambda h: h["model.norm.weight"].update(data_offsets=[0, 10 ** 9]),
    "overlapping tensors": overlap,
    "a shape that disagrees with the data": lambda h: h["model.norm.weight"].update(shape=[3]),
}


def test_bad_input_is_one_line_and_changes_nothing(tmp_path, cli):
    folder = make_folder(tmp_path, "llama", pad_rows_to=1)
    cases = {}
    empty = tmp_path / "empty"
    empty.mkdir()
    cases["no tokenizer.json"] = (empty, "holds no tokenizer.json")
    broken = make_folder(tmp_path, "llama", "broken-config", pad_rows_to=1)
    (broken / "config.json").write_text('{"vocab_size": 12,,}')
    cases["malformed config"] = (broken, "config.json: not valid JSON")
    rows = make_folder(tmp_path, "llama", "rows", pad_rows_to=1)
    config = read_json(rows / "config.json")
    config["vocab_size"] += 64
    (rows / "config.json").write_text(json.dumps(config))
    cases["rows against vocab_size"] = (rows, "vocab_size")
    huge = make_folder(tmp_path, "llama", "huge-header", pad_rows_to=1)
    with open(huge / "model.safetensors", "r+b") as handle:
        handle.write((200_000_000).to_bytes(8, "little"))
    cases["a header over 100 MB"] = (huge, "model.safetensors")
    for name, change in BAD_HEADERS.items():
        bad = make_folder(tmp_path, "llama", name.replace(" ", "-"), pad_rows_to=1)
        tensors = read_safetensors(bad / "model.safetensors")
        raw = (bad / "model.safetensors").read_bytes()
        size = int.from_bytes(raw[:8], "little")
        header = json.loads(raw[8:8 + size])
        change(header)
        text = json.dumps(header).encode()
        text += b" " * (-len(text) % 8)
        (bad / "model.safetensors").write_bytes(len(text).to_bytes(8, "little") + text + raw[8 + size:])
        assert tensors  # the file was a good one before
        cases[name] = (bad, "model.safetensors")
    for name, (path, expected) in cases.items():
        before = {p.name: p.read_bytes() for p in path.iterdir()}
        out = tmp_path / f"out-{name.replace(' ', '-')}"
        out.mkdir()
        code, stdout, err = cli("reindex", path, "-o", out)
        assert code == 1, name
        assert stdout == "" and err.count("\n") == 1 and expected in err, (name, err)
        assert {p.name: p.read_bytes() for p in path.iterdir()} == before, name
        assert list(out.iterdir()) == [], name
    # The output folder must be new or empty, so that no old file mixes in.
    busy = tmp_path / "busy"
    busy.mkdir()
    (busy / "keep.txt").write_text("mine")
    code, _, err = cli("reindex", folder, "-o", busy)
    assert code == 1 and "not empty" in err and (busy / "keep.txt").read_text() == "mine"
    code, _, err = cli("reindex", folder, "-o", "-")
    assert code == 2 and "standard output" in err
    code, _, err = cli("reindex", folder / "tokenizer.json", "-o", tmp_path / "x.json", "--pad-to-multiple-of", "8")
    assert code == 2 and "model folder" in err


def test_real_tokenizers_carry_their_folders(tmp_path):
    """The three model shapes around real tokenizers: a 32k SentencePiece-style
    tokenizer, a byte-level chat tokenizer and a small byte-level one."""
    sources = {"llama": "llama-tiny-random.array.json", "qwen2": "minimind-zh-6k.array.json",
               "gpt2": "tiny-random-gpt2.string.json"}
    for kind, name in sources.items():
        tokenizer = chat_tokenizer(tmp_path, real_fixture(name))
        folder = build_model_folder(tmp_path / kind, tokenizer, kind, CHAT_SPECIALS, pad_rows_to=64)
        model = open_model(folder)
        model.editor.shrink(model.editor.vocab_size // 5)
        model.editor.reindex_vocab()
        model.save(tmp_path / f"{kind}-out")
        assert_folder_agrees(tmp_path / f"{kind}-out")
        assert_weights_follow(folder, tmp_path / f"{kind}-out", model.id_map(), kind)


def test_weights_only_safetensors_files_can_follow(tmp_path, cli):
    """Weights in a format that cannot be rewritten stop an edit that moves ids."""
    folder = make_folder(tmp_path, "llama", pad_rows_to=1)
    os.replace(folder / "model.safetensors", folder / "pytorch_model.bin")
    code, _, err = cli("shrink", folder, "10", "-o", tmp_path / "out")
    assert code == 1 and "pytorch_model.bin" in err and "safetensors" in err
    # With safetensors beside it, the old file is copied and named in a note.
    write_safetensors(folder / "model.safetensors", {"model.embed_tokens.weight": (
        "float32", np.zeros((read_json(folder / "config.json")["vocab_size"], 4), np.float32))})
    report = run_json(cli, "shrink", folder, "10", "-o", tmp_path / "out2")
    assert any("pytorch_model.bin" in note for note in report["folder"]["notes"])


SENTENCE = "Elena collected an orchard without a word."
CORPUS = [SENTENCE, "The orchard was quiet.", "A word without an orchard."]


def load_with_transformers(folder: Path):
    """The tokenizer and the model as transformers loads them, with every warning it gave."""
    import logging
    import warnings

    import torch
    import transformers

    records: list[str] = []
    handler = logging.Handler(logging.WARNING)
    handler.emit = lambda record: records.append(record.getMessage())  # type: ignore[method-assign]
    logger = logging.getLogger("transformers")
    logger.addHandler(handler)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            tokenizer = transformers.AutoTokenizer.from_pretrained(folder)
            model, info = transformers.AutoModelForCausalLM.from_pretrained(
                folder, output_loading_info=True, dtype=torch.float32)
    finally:
        logger.removeHandler(handler)
    records += [str(w.message) for w in caught]
    return tokenizer, model, info, records


def test_transformers_load_the_edited_folders(tmp_path, cli):
    """Where torch and transformers are installed: after prune + reindex, add
    and remove, each shape of model loads with no warning and no missing,
    unexpected or mismatched key, and a sentence's logits for the tokens that
    survive are unchanged."""
    torch = pytest.importorskip("torch")
    pytest.importorskip("transformers")
    for kind in ("llama", "qwen2", "gpt2"):
        base = make_folder(tmp_path / kind, kind)
        tok_before, model_before, _, _ = load_with_transformers(base)
        counts = {}
        for line in CORPUS:
            for token in tok_before.convert_ids_to_tokens(tok_before(line)["input_ids"]):
                counts[token] = counts.get(token, 0) + 1
        (tmp_path / kind / "counts.json").write_text(json.dumps(counts), encoding="utf-8")
        steps = [("prune", "--counts", tmp_path / kind / "counts.json", "--min-count", "1"), ("reindex",),
                 ("add", "Ġorchardwords", "Ġcollected"), ("remove", "Ġorchardwords")]
        source = base
        for number, (command, *rest) in enumerate(steps):
            out = tmp_path / kind / f"step{number}"
            code, _, err = cli(command, source, *rest, "-o", out, "--id-map", tmp_path / kind / f"map{number}.json")
            assert code == 0, err
            id_map = read_json(tmp_path / kind / f"map{number}.json")
            tok_after, model_after, info, warned = load_with_transformers(out)
            assert warned == [], (kind, command, warned)
            assert info == {"missing_keys": set(), "unexpected_keys": set(), "mismatched_keys": set(),
                            "error_msgs": []}, (kind, command)
            ids_before = tok_before(SENTENCE)["input_ids"]
            ids_after = tok_after(SENTENCE)["input_ids"]
            assert ids_after == [id_map["old_to_new"][str(i)] for i in ids_before], (kind, command)
            old = [int(o) for o, n in id_map["old_to_new"].items() if n is not None]
            new = [id_map["old_to_new"][str(o)] for o in old]
            with torch.no_grad():
                logits_before = model_before(torch.tensor([ids_before])).logits[0][:, old]
                logits_after = model_after(torch.tensor([ids_after])).logits[0][:, new]
            assert torch.allclose(logits_before, logits_after, rtol=1e-5, atol=1e-6), (kind, command)
            embeddings_before = model_before.get_input_embeddings().weight
            embeddings_after = model_after.get_input_embeddings().weight
            assert torch.equal(embeddings_after[new], embeddings_before[old])
            for entry in id_map["added"].values():
                mean = embeddings_before[entry["from"]].mean(0)
                tolerance = 1e-2 if kind == "qwen2" else 1e-6  # stored in bfloat16
                assert torch.allclose(embeddings_after[entry["id"]], mean, rtol=tolerance, atol=tolerance)
            source, tok_before, model_before = out, tok_after, model_after


def test_sizes_and_padding_out_of_range_are_handled_before_writing(tmp_path):
    """An index's total_size near the top of the range cannot wrap when rows
    grow (the true sum is written), and padding to a huge multiple is refused."""
    folder = make_folder(tmp_path, "gpt2", pad_rows_to=1)
    index = read_json(folder / "model.safetensors.index.json")
    index["metadata"]["total_size"] = 2**63 - 1
    (folder / "model.safetensors.index.json").write_text(json.dumps(index), encoding="utf-8")
    model = open_model(folder)
    model.editor.add_tokens(["Ġorchardwords"])
    with pytest.raises(ValueError, match="multiple of 16777216: the multiple must lie in 1..65536"):
        model.plan(pad_to_multiple_of=16777216)
    change = next(c for c in model.plan()["changes"] if c["field"] == "metadata.total_size")
    model.save(tmp_path / "out")
    shards = [read_safetensors(path) for path in sorted((tmp_path / "out").glob("*.safetensors"))]
    written = read_json(tmp_path / "out" / "model.safetensors.index.json")["metadata"]["total_size"]
    assert written == int(change["after"]) == sum(a.nbytes for s in shards for _, a in s.values())
