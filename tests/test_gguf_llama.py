"""Edited GGUF models checked by llama.cpp itself (through `llama_cpp`), and,
where it is absent, by the `gguf` package's reader.

Three tokenizers, each as a tokenizer.json and as a tiny GGUF model built
from it: a Llama-3-style byte-level BPE ("llama-bpe", F32 embedding and
head), a Qwen-style one with its Split expression ("qwen2", F16, tied), and
a SentencePiece-style one ("llama", trained here, Q8_0). Every edit is made
twice with the command line, on the tokenizer.json and on the GGUF; then
llama.cpp loads the GGUF, its tokenize gives the ids the tokenizers runtime
gives on the edited tokenizer.json over held-out lines in several scripts,
surviving rows are byte-equal, and a short generation stops at eos when eos
is forced."""

from __future__ import annotations

import json
import lzma
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("gguf")
tokenizers = pytest.importorskip("tokenizers")

import corpora  # noqa: E402
import gguf_models  # noqa: E402
from gguf_models import field, read, tensors  # noqa: E402

try:
    import llama_cpp
except ImportError:  # the checks below fall back to the gguf reader
    llama_cpp = None

REPO = Path(__file__).resolve().parents[1]
TRAIN = corpora.prose_lines(120_000)
HELD_OUT_PROSE = corpora.prose_lines(160_000)[len(TRAIN):]
HELD_OUT = HELD_OUT_PROSE[:150] + corpora.code_lines(20_000)[:150] + gguf_models.held_out_lines(140)


def real_document(name: str) -> dict:
    return json.loads(lzma.decompress((REPO / "tests/fixtures/real" / f"{name}.xz").read_bytes()))


@pytest.fixture(scope="module")
def models(tmp_path_factory) -> dict[str, tuple[Path, Path]]:
    """Each kind: (tokenizer.json, model.gguf)."""
    root = tmp_path_factory.mktemp("gguf-models")
    made = {}
    for kind, source, embedding, tied in (("llama-bpe", "tinylm-en-8k.array.json", "F32", False),
                                          ("qwen2", "minimind-zh-6k.array.json", "F16", True)):
        document = gguf_models.with_pre_tokenizer(real_document(source), kind)
        keys = gguf_models.tokenizer_keys(document, kind)
        eos = keys["tokens"].index(document["added_tokens"][0]["content"])
        made[kind] = (root / f"{kind}.json", root / f"{kind}.gguf")
        made[kind][0].write_text(json.dumps(document, ensure_ascii=False))
        gguf_models.write_model(made[kind][1], keys, embedding_type=embedding, tied=tied, special={"eos": eos})
    pytest.importorskip("sentencepiece")
    pytest.importorskip("transformers")
    document = gguf_models.sentencepiece_model(root / "spm.model", TRAIN)
    made["llama"] = (root / "llama.json", root / "llama.gguf")
    made["llama"][0].write_text(json.dumps(document, ensure_ascii=False))
    gguf_models.write_model(made["llama"][1], gguf_models.sentencepiece_keys(str(root / "spm.model")),
                            embedding_type="Q8_0", special={"bos": 1, "eos": 2, "unknown": 0})
    (root / "train.txt").write_text("\n".join(TRAIN) + "\n")
    return made


def edit_arguments(edit: str, train: Path) -> list:
    return {
        "prune": ["prune", "--corpus", train, "--size", "1200"],
        "add": ["add", "thrombocytopenia", "vocarixes", "Zürich", "überall", "москва", "北京市", "--forms", "all"],
        "learn": ["learn", "--corpus", train, "--add", "150"],
        "remove": ["remove", "Ġthe", "▁the", "the", "ing", "Ġand", "▁and", "er"],
    }[edit]


def byte_characters() -> list[str]:
    """The character a byte-level vocabulary writes each byte as."""
    printable = [*range(ord("!"), ord("~") + 1), *range(ord("¡"), ord("¬") + 1), *range(ord("®"), ord("ÿ") + 1)]
    extra = iter(range(256, 512))
    return [chr(b) if b in printable else chr(next(extra)) for b in range(256)]


def runtime_ids(tokenizer_json: Path, lines: list[str]) -> tuple[list[list[int]], list[bool]]:
    """The runtime's ids of each line, and whether every character of the
    line is spelled by some token (always, with byte fallback)."""
    document = json.loads(tokenizer_json.read_text())
    runtime = tokenizers.Tokenizer.from_str(json.dumps(document))
    ids = [encoding.ids for encoding in runtime.encode_batch(lines, add_special_tokens=False)]
    if document["model"]["byte_fallback"]:
        return ids, [True] * len(lines)
    vocab, characters = document["model"]["vocab"], byte_characters()
    return ids, [all(characters[b] in vocab for b in line.encode()) for line in lines]


def removable(tokens: list[str], json_path: Path) -> list[str]:
    vocab = json.loads(json_path.read_text())["model"]["vocab"]
    return [token for token in tokens if token in vocab]


@pytest.mark.parametrize("kind", ["llama-bpe", "qwen2", "llama"])
@pytest.mark.parametrize("edit", ["prune", "add", "learn", "remove"])
def test_llama_cpp_reads_the_edited_model_as_the_runtime_reads_the_edited_tokenizer(tmp_path, cli, models, kind, edit):
    tokenizer_json, model = models[kind]
    train = model.parent / "train.txt"
    arguments = edit_arguments(edit, train)
    if edit == "remove":
        arguments = ["remove", *removable(arguments[1:], tokenizer_json)]
    edited_json, edited_gguf = tmp_path / "edited.json", tmp_path / "edited.gguf"
    code, _, err = cli(arguments[0], tokenizer_json, *arguments[1:], "-o", edited_json)
    assert code == 0, err
    code, _, err = cli(arguments[0], model, *arguments[1:], "-o", edited_gguf, "--id-map", tmp_path / "ids.json")
    assert code == 0, err

    # The token list is the edited tokenizer.json's vocabulary, by id.
    vocab = json.loads(edited_json.read_text())["model"]["vocab"]
    reader = read(edited_gguf)
    tokens = field(reader, "tokenizer.ggml.tokens")
    assert {token: i for i, token in enumerate(tokens) if not token.startswith("[PAD")} == vocab

    # Surviving rows are byte-equal; the rows are as many as the tokens.
    mapping = json.loads((tmp_path / "ids.json").read_text())
    old_rows = np.asarray(tensors(read(model))["token_embd.weight"].data)
    new_rows = np.asarray(tensors(reader)["token_embd.weight"].data)
    assert len(new_rows) == len(tokens) == field(reader, "llama.vocab_size")
    for old_id, new_id in mapping["old_to_new"].items():
        if new_id is not None:
            assert bytes(new_rows[new_id]) == bytes(old_rows[int(old_id)])

    if llama_cpp is None:
        return
    llm = llama_cpp.Llama(str(edited_gguf), n_ctx=128, verbose=False, seed=1)
    expected, spelled = runtime_ids(edited_json, HELD_OUT)
    differing = [line for line, ids, whole in zip(HELD_OUT, expected, spelled)
                 if whole and llm.tokenize(line.encode(), add_bos=False, special=True) != ids]
    # No difference is expected where every character is spelled by a token:
    # both read the same vocabulary, merges (or scores) and splitting
    # expression. Lines with a character no token spells (the byte-level
    # vocabularies here lack a few bytes, such as "[") are left out: the
    # runtime drops such a character before merging, so its neighbours can
    # merge across it, while llama.cpp keeps it in place until the end.
    assert len(differing) <= len(HELD_OUT) // 1000, differing[:3]
    assert sum(spelled) >= len(HELD_OUT) // 2

    eos = field(reader, "tokenizer.ggml.eos_token_id")
    assert tokens[eos] == tokens[eos]  # the key names a token of the list
    free = llm.create_completion(HELD_OUT[0][:20], max_tokens=4, temperature=0.0)
    assert free["usage"]["completion_tokens"] >= 1
    forced = llm.create_completion(HELD_OUT[0][:20], max_tokens=8, logit_bias={eos: 1000.0})
    assert forced["choices"][0]["finish_reason"] == "stop" and forced["usage"]["completion_tokens"] <= 1


def test_sentencepiece_merges_are_the_converters(models):
    """The merges the editor reads from a SentencePiece-style GGUF's scores
    are those a converter generates from the same model."""
    import vocarix_tools

    tokenizer_json, model = models["llama"]
    editor = vocarix_tools.open_gguf(model).editor
    assert [list(pair) for pair in editor.get_merges()] == json.loads(tokenizer_json.read_text())["model"]["merges"]


@pytest.mark.skipif(llama_cpp is None, reason="llama_cpp is not installed")
def test_a_quantized_k_embedding_loads_and_generates_after_an_addition(tmp_path, cli, models):
    tokenizer_json, _ = models["llama-bpe"]
    document = json.loads(tokenizer_json.read_text())
    keys = gguf_models.tokenizer_keys(document, "llama-bpe")
    rows = len(keys["tokens"])
    source = tmp_path / "q4k.gguf"
    eos = keys["tokens"].index(document["added_tokens"][0]["content"])
    gguf_models.write_model(source, keys, embedding_type="Q4_K", embedding=gguf_models.random_blocks(rows, "Q4_K"),
                            special={"eos": eos})
    out = tmp_path / "out.gguf"
    assert cli("add", source, "thrombocytopenia", "-o", out)[0] == 0
    llm = llama_cpp.Llama(str(out), n_ctx=64, verbose=False)
    assert len(llm.tokenize(b" thrombocytopenia", add_bos=False)) == 1
    forced = llm.create_completion("hello", max_tokens=8, logit_bias={eos: 1000.0})
    assert forced["choices"][0]["finish_reason"] == "stop"
