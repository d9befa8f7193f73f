"""Chat templates and the padding of the embedding across edits of a model
folder: the tokens a template names stay tokens unless forced, check says
when one is no single token or when the padding token ends every turn, a
chat prompt keeps its special ids through the id map, and the rows keep
the folder's padding multiple, also after an earlier edit."""

from __future__ import annotations

import json
import shutil
from pathlib import Path

import pytest

import vocarix_tools

from conftest import REPO, run_json
from model_folders import build_model_folder, with_trailing_special_tokens

SP_FIXTURE = Path(__file__).resolve().parent / "fixtures" / "sentencepiece"
CHATML = ("{%- for message in messages %}{{- '<|im_start|>' + message['role'] + '\\n' + message['content'] + "
          "'<|im_end|>' + '\\n' }}{%- endfor %}{%- if add_generation_prompt %}{{- '<|im_start|>assistant\\n' }}"
          "{%- endif %}")
TOOL_TEMPLATE = "{% for m in messages %}{{ '<|tool|>' + m['content'] + \"<|im_sep|>\" }}{% endfor %}"
CONVERSATION = [{"role": "system", "content": "You are terse."}, {"role": "user", "content": "Name a prime."},
                {"role": "assistant", "content": "Seven."}]


def read_json(path: Path) -> dict:
    return json.loads(path.read_text(encoding="utf-8"))


def write_json(path: Path, value) -> None:
    path.write_text(json.dumps(value, indent=2, ensure_ascii=False) + "\n", encoding="utf-8")


def sp_folder(tmp_path: Path) -> Path:
    folder = tmp_path / "sp"
    shutil.copytree(SP_FIXTURE, folder, ignore=shutil.ignore_patterns("*.py"))
    return folder


def chat_folder(tmp_path: Path, pad_rows_to: int = 128, name: str = "chat") -> Path:
    """A byte-level chat model whose special tokens sit past the vocabulary, with a ChatML template."""
    source = REPO / "examples" / "tokenizer.json"
    tokenizer = tmp_path / f"{name}-tokenizer.json"
    tokenizer.write_text(with_trailing_special_tokens(source.read_text(encoding="utf-8"),
                                                      ["<|endoftext|>", "<|im_start|>", "<|im_end|>"]),
                         encoding="utf-8")
    folder = build_model_folder(tmp_path / name, tokenizer, "qwen2",
                                {"bos": None, "eos": "<|im_end|>", "pad": "<|endoftext|>"}, pad_rows_to)
    config = read_json(folder / "tokenizer_config.json")
    config["chat_template"] = CHATML
    write_json(folder / "tokenizer_config.json", config)
    return folder


def test_templates_in_every_place_name_their_tokens(tmp_path):
    folder = sp_folder(tmp_path)
    config = read_json(folder / "tokenizer_config.json")
    config["chat_template"] = [{"name": "default", "template": config["chat_template"]},
                               {"name": "tool_use", "template": "{{ '<s>' }}{{ bos_token }}"}]
    write_json(folder / "tokenizer_config.json", config)
    (folder / "chat_template.jinja").write_text("{# <|skipped|> #}[INST]{{ '</s>' }}", encoding="utf-8")
    write_json(folder / "chat_template.json", {"chat_template": "{% raw %}<unk>{% endraw %}"})
    named = {entry["token"]: (entry["file"], entry["field"]) for entry in vocarix_tools.open_model(folder).named_tokens()}
    # The configs' special tokens first; then each template's, where it first names them.
    assert named["<s>"] == ("tokenizer_config.json", "bos_token")
    assert named["<|im_start|>"] == ("tokenizer_config.json", "extra_special_tokens[2]")
    assert named["<unk>"] == ("tokenizer_config.json", "unk_token")
    assert "<|skipped|>" not in named and "[INST]" not in named  # a comment; no token


def test_removing_a_token_a_template_names_needs_force(tmp_path, cli):
    folder = chat_folder(tmp_path)
    config = read_json(folder / "tokenizer_config.json")
    config["chat_template"] = [{"name": "default", "template": CHATML}, {"name": "tools", "template": TOOL_TEMPLATE}]
    write_json(folder / "tokenizer_config.json", config)
    run_json(cli, "add", folder, "--atomic", "<|tool|>", "--in-place")  # an entry, neither added token nor config's
    assert "<|tool|>" in [entry["token"] for entry in vocarix_tools.open_model(folder).named_tokens()]
    code, _, err = cli("remove", folder, "<|tool|>", "-o", tmp_path / "out")
    assert code == 1 and not (tmp_path / "out").exists()
    assert "'<|tool|>' (tokenizer_config.json chat_template[tools])" in err and "--force" in err
    report = run_json(cli, "remove", folder, "<|tool|>", "--force", "-o", tmp_path / "forced")
    assert report["folder"]["special_tokens_removed"] == [
        {"file": "tokenizer_config.json", "field": "chat_template[tools]", "token": "<|tool|>"}]
    # Pruning to a size far below spares every token a template names.
    counts = tmp_path / "counts.json"
    write_json(counts, {})
    run_json(cli, "prune", folder, "--counts", counts, "--size", "300", "-o", tmp_path / "pruned")
    after = vocarix_tools.open(tmp_path / "pruned" / "tokenizer.json")
    assert all(after.has_token(token) for token in ("<|tool|>", "<|im_start|>", "<|im_end|>"))


def test_check_reports_template_tokens_that_are_not_one_token(tmp_path, cli):
    folder = chat_folder(tmp_path)
    run_json(cli, "add", folder, "--atomic", "<|tool|>", "--in-place")
    config = read_json(folder / "tokenizer_config.json")
    config["chat_template"] = TOOL_TEMPLATE
    write_json(folder / "tokenizer_config.json", config)
    code, out, _ = cli("check", folder)
    assert code == 1
    lines = [line for line in out.splitlines() if "chat_template" in line]
    assert len(lines) == 2
    assert "'<|im_sep|>' is named by the chat template but is no token" in lines[0].replace('"', "'") or \
        "'<|im_sep|>' is named by the chat template but is no token" in lines[1].replace('"', "'")
    assert any("is no added token, and the pre-tokenizer splits its text" in line for line in lines)


def test_a_padding_token_that_ends_every_turn_is_a_warning(tmp_path, cli):
    folder = sp_folder(tmp_path)
    config = read_json(folder / "tokenizer_config.json")
    config["eos_token"] = config["pad_token"] = "<|im_end|>"
    write_json(folder / "tokenizer_config.json", config)
    code, out, _ = cli("check", folder)
    assert code == 0
    warning = [line for line in out.splitlines() if "warning:" in line]
    assert len(warning) == 1 and "tokenizer_config.json pad_token" in warning[0]
    assert "the model learns never to stop" in warning[0]
    # A padding token of its own is fine.
    config["pad_token"] = "<unk>"
    write_json(folder / "tokenizer_config.json", config)
    assert "warning:" not in cli("check", folder)[1]


@pytest.mark.parametrize("edit", ["prune", "add", "keep-size", "shrink-and-reindex"])
def test_a_chat_prompt_keeps_its_special_ids_through_the_id_map(tmp_path, cli, edit):
    transformers = pytest.importorskip("transformers")
    folder = chat_folder(tmp_path)
    out, ids = tmp_path / "out", tmp_path / "ids.json"
    if edit == "prune":
        counts = tmp_path / "counts.json"
        write_json(counts, {"Ġthe": 5, "Ġprime": 3})
        run_json(cli, "prune", folder, "--counts", counts, "--size", "600", "-o", out, "--id-map", ids)
    elif edit == "add":
        run_json(cli, "add", folder, "terse", "assistant", "system", "-o", out, "--id-map", ids)
    elif edit == "keep-size":
        run_json(cli, "add", folder, "--keep-size", "terse", "assistant", "-o", out, "--id-map", ids)
    else:
        run_json(cli, "shrink", folder, "100", "-o", tmp_path / "shrunk")
        run_json(cli, "reindex", tmp_path / "shrunk", "-o", out)
        ids = None
    before = transformers.AutoTokenizer.from_pretrained(str(folder))
    after = transformers.AutoTokenizer.from_pretrained(str(out))
    specials = ["<|im_start|>", "<|im_end|>"]
    prompt_before = before.apply_chat_template(CONVERSATION, tokenize=True, add_generation_prompt=True)
    prompt_after = after.apply_chat_template(CONVERSATION, tokenize=True, add_generation_prompt=True)
    prompt_before = list(getattr(prompt_before, "input_ids", prompt_before))
    prompt_after = list(getattr(prompt_after, "input_ids", prompt_after))
    special_before = [i for i in prompt_before if before.convert_ids_to_tokens(i) in specials]
    special_after = [i for i in prompt_after if after.convert_ids_to_tokens(i) in specials]
    assert len(special_before) == 7
    if ids is None:
        mapped = [after.convert_tokens_to_ids(before.convert_ids_to_tokens(i)) for i in special_before]
    else:
        old_to_new = vocarix_tools.read_id_map(str(ids))["old_to_new"]
        mapped = [old_to_new[str(i)] for i in special_before]
    assert special_after == mapped


def test_the_padding_multiple_is_the_folders_and_survives_an_earlier_edit(tmp_path, cli):
    # 1408 rows = 11 x 128: the folder pads to 128.
    folder = chat_folder(tmp_path, pad_rows_to=1408)
    assert read_json(folder / "config.json")["vocab_size"] == 1408
    counts = tmp_path / "counts.json"
    write_json(counts, {})
    pruned = run_json(cli, "prune", folder, "--counts", counts, "--size", "512", "-o", tmp_path / "pruned")
    rows = pruned["folder"]["rows"]
    assert (rows["tokens_after"], rows["rows_after"], rows["multiple"]) == (512, 512, 128)
    config = read_json(tmp_path / "pruned" / "config.json")
    assert (config["vocab_size"], config["pad_vocab_size_to_multiple_of"]) == (512, 128)
    # 512 rows alone would say 256: the recorded multiple wins.
    grown = run_json(cli, "add", tmp_path / "pruned", "vocarixation", "-o", tmp_path / "grown")
    assert grown["folder"]["rows"]["multiple"] == 128
    assert grown["folder"]["rows"]["rows_after"] == -(-grown["folder"]["rows"]["tokens_after"] // 128) * 128 == 640
    assert read_json(tmp_path / "grown" / "config.json")["vocab_size"] == 640
    # --pad-to-multiple-of overrides, and the next edit keeps what it chose.
    chosen = run_json(cli, "reindex", tmp_path / "grown", "--pad-to-multiple-of", "8", "-o", tmp_path / "eight")
    assert chosen["folder"]["rows"]["rows_after"] == -(-chosen["folder"]["rows"]["tokens_after"] // 8) * 8
    assert read_json(tmp_path / "eight" / "config.json")["pad_vocab_size_to_multiple_of"] == 8


def test_151936_rows_pruned_to_80000_then_230_entries_give_80256(tmp_path, cli):
    folder = tmp_path / "big"
    folder.mkdir()
    vocab = {f"tok{i:05d}": i for i in range(80_500)}
    document = {"version": "1.0", "truncation": None, "padding": None, "added_tokens": [], "normalizer": None,
                "pre_tokenizer": None, "post_processor": None, "decoder": None,
                "model": {"type": "BPE", "dropout": None, "unk_token": None, "continuing_subword_prefix": None,
                          "end_of_word_suffix": None, "fuse_unk": False, "byte_fallback": False,
                          "ignore_merges": False, "vocab": vocab, "merges": []}}
    write_json(folder / "tokenizer.json", document)
    write_json(folder / "config.json", {"model_type": "qwen2", "vocab_size": 151_936})
    counts = tmp_path / "counts.json"
    write_json(counts, {token: 1 for token in list(vocab)[:80_000]})
    pruned = run_json(cli, "prune", folder, "--counts", counts, "--size", "80000", "-o", tmp_path / "pruned")
    assert (pruned["folder"]["rows"]["rows_after"], pruned["folder"]["rows"]["multiple"]) == (80_000, 128)
    added = run_json(cli, "add", tmp_path / "pruned", "--atomic", *[f"new{i}" for i in range(230)],
                     "-o", tmp_path / "added")
    assert added["after"]["vocab_size"] == 80_230
    assert read_json(tmp_path / "added" / "config.json")["vocab_size"] == 80_256
