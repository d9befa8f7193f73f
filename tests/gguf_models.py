"""Tiny GGUF models around real tokenizers, built with the `gguf` package.

Each model is a one-layer Llama-architecture network with random weights
and the tokenizer of a `tokenizer.json`, written the way the usual
converter writes it:
- "gpt2" tokenizers (byte-level BPE): tokens by id, token types (control for
  special added tokens, user-defined for other added tokens, normal
  otherwise), "a b" merges, and the pre-tokenizer's name;
- "llama" tokenizers (SentencePiece-style): tokens, scores and types from a
  SentencePiece model, no merges.
The embedding (and the untied head) can be stored in any type the `gguf`
package's quantizer writes, or as raw blocks given by the caller.
"""

from __future__ import annotations

import json
import random
from pathlib import Path

import numpy as np

import gguf

HIDDEN = 256  # one block of the K types per row
FEED_FORWARD = 64
HEADS = 2

CONTROL, USER_DEFINED, NORMAL, UNKNOWN, UNUSED, BYTE = 3, 4, 1, 2, 5, 6


def _tokens_of(document: dict) -> tuple[list[str], list[int]]:
    vocab = document["model"]["vocab"]
    size = max(vocab.values()) + 1
    tokens = [f"[PAD{i}]" for i in range(size)]
    types = [UNUSED] * size
    for token, token_id in vocab.items():
        tokens[token_id] = token
        types[token_id] = NORMAL
    for added in document.get("added_tokens", []):
        if added["content"] in vocab:
            types[vocab[added["content"]]] = CONTROL if added["special"] else USER_DEFINED
    return tokens, types


def tokenizer_keys(document: dict, pre: str) -> dict:
    """The tokenizer.ggml.* keys of a byte-level tokenizer.json."""
    tokens, types = _tokens_of(document)
    merges = [m if isinstance(m, str) else " ".join(m) for m in document["model"]["merges"]]
    return {"model": "gpt2", "pre": pre, "tokens": tokens, "types": types, "merges": merges}


def sentencepiece_keys(model_file: str) -> dict:
    """The tokenizer.ggml.* keys of a SentencePiece model, as the converter writes them."""
    import sentencepiece

    processor = sentencepiece.SentencePieceProcessor(model_file=model_file)
    tokens, scores, types = [], [], []
    for i in range(processor.vocab_size()):
        tokens.append(processor.id_to_piece(i))
        scores.append(processor.get_score(i))
        types.append(UNKNOWN if processor.is_unknown(i) else CONTROL if processor.is_control(i)
                     else UNUSED if processor.is_unused(i) else BYTE if processor.is_byte(i) else NORMAL)
    return {"model": "llama", "pre": "default", "tokens": tokens, "types": types, "scores": scores}


def store(values: np.ndarray, type_name: str) -> tuple[np.ndarray, "gguf.GGMLQuantizationType"]:
    """A float32 matrix in the given type, as the writer takes it."""
    qtype = gguf.GGMLQuantizationType[type_name]
    if type_name == "F32":
        return values.astype(np.float32), qtype
    if type_name == "F16":
        return values.astype(np.float16), qtype
    return gguf.quants.quantize(values.astype(np.float32), qtype), qtype


def write_model(path: Path, keys: dict | None, *, embedding_type: str = "F32", tied: bool = False,
                embedding: np.ndarray | None = None, seed: int = 0, special: dict | None = None,
                split_max_tensors: int = 0, rows: int | None = None, nested_key: bool = False) -> np.ndarray:
    """Writes the model; returns the float32 embedding it started from.

    `nested_key` adds a key holding arrays of arrays (which llama.cpp
    refuses to load). `embedding` (raw bytes, shape [rows, bytes per row], uint8) stores rows
    already in `embedding_type` (for the types the `gguf` package cannot
    quantize)."""
    rng = np.random.default_rng(seed)
    rows = len(keys["tokens"]) if keys else rows
    writer = gguf.GGUFWriter(str(path), "llama", split_max_tensors=split_max_tensors)
    writer.add_context_length(256)
    writer.add_embedding_length(HIDDEN)
    writer.add_block_count(1)
    writer.add_feed_forward_length(FEED_FORWARD)
    writer.add_head_count(HEADS)
    writer.add_head_count_kv(HEADS)
    writer.add_rope_dimension_count(HIDDEN // HEADS)
    writer.add_layer_norm_rms_eps(1e-5)
    writer.add_vocab_size(rows)
    writer.add_file_type(0)
    if keys:
        writer.add_tokenizer_model(keys["model"])
        writer.add_tokenizer_pre(keys["pre"])
        writer.add_token_list(keys["tokens"])
        writer.add_token_types(keys["types"])
        if "scores" in keys:
            writer.add_token_scores(keys["scores"])
        if "merges" in keys:
            writer.add_token_merges(keys["merges"])
    for name, token_id in (special or {}).items():
        writer.add_uint32(f"tokenizer.ggml.{name}_token_id", token_id)
    writer.add_add_bos_token(False)
    writer.add_chat_template("{% for m in messages %}{{ m['content'] }}{% endfor %}")
    writer.add_string("vocarix.test.note", "an unknown key, kept as it is")

    floats = rng.normal(0, 0.02, size=(rows, HIDDEN)).astype(np.float32)
    if embedding is not None:
        writer.add_tensor("token_embd.weight", embedding, raw_dtype=gguf.GGMLQuantizationType[embedding_type])
    else:
        data, qtype = store(floats, embedding_type)
        writer.add_tensor("token_embd.weight", data, raw_dtype=None if embedding_type in ("F32", "F16") else qtype)
    writer.add_tensor("output_norm.weight", np.ones(HIDDEN, dtype=np.float32))
    if not tied:
        head = rng.normal(0, 0.02, size=(rows, HIDDEN)).astype(np.float32)
        data, qtype = store(head, "F32" if embedding is not None else embedding_type)
        writer.add_tensor("output.weight", data, raw_dtype=None if data.dtype != np.uint8 else qtype)
    layer = {
        "attn_norm.weight": np.ones(HIDDEN), "ffn_norm.weight": np.ones(HIDDEN),
        "attn_q.weight": rng.normal(0, 0.02, (HIDDEN, HIDDEN)), "attn_k.weight": rng.normal(0, 0.02, (HIDDEN, HIDDEN)),
        "attn_v.weight": rng.normal(0, 0.02, (HIDDEN, HIDDEN)), "attn_output.weight": rng.normal(0, 0.02, (HIDDEN, HIDDEN)),
        "ffn_gate.weight": rng.normal(0, 0.02, (FEED_FORWARD, HIDDEN)),
        "ffn_up.weight": rng.normal(0, 0.02, (FEED_FORWARD, HIDDEN)),
        "ffn_down.weight": rng.normal(0, 0.02, (HIDDEN, FEED_FORWARD)),
    }
    for name, values in layer.items():
        writer.add_tensor(f"blk.0.{name}", values.astype(np.float32))
    if nested_key:
        # An array of arrays: the format allows it, llama.cpp refuses it.
        writer.add_array("vocarix.test.nested", [[1, 2], [3]])
    writer.write_header_to_file(path=Path(path) if split_max_tensors else None)
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()
    return floats


def with_pre_tokenizer(document: dict, kind: str) -> dict:
    """A byte-level document with the splitting expression of a Llama-3-style
    ("llama-bpe") or Qwen-style ("qwen2") pre-tokenizer."""
    digits = r"\p{N}{1,3}" if kind == "llama-bpe" else r"\p{N}"
    pattern = (r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|" + digits +
               r"| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+")
    changed = json.loads(json.dumps(document))
    changed["normalizer"] = None
    changed["pre_tokenizer"] = {"type": "Sequence", "pretokenizers": [
        {"type": "Split", "pattern": {"Regex": pattern}, "behavior": "Isolated", "invert": False},
        {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True, "use_regex": False}]}
    changed["model"]["ignore_merges"] = kind == "llama-bpe"
    return changed


SCRIPTS = {
    "latin": (0x61, 0x7A), "cyrillic": (0x430, 0x44F), "greek": (0x3B1, 0x3C9), "han": (0x4E00, 0x4FFF),
    "hangul": (0xAC00, 0xAD00), "arabic": (0x627, 0x64A), "devanagari": (0x915, 0x939),
}


def held_out_lines(count: int = 120, seed: int = 7) -> list[str]:
    """Lines of made-up words in several scripts, with digits, punctuation and runs of spaces."""
    rng = random.Random(seed)
    lines = []
    for i in range(count):
        low, high = list(SCRIPTS.values())[i % len(SCRIPTS)]
        words = []
        for _ in range(rng.randint(3, 12)):
            word = "".join(chr(rng.randint(low, high)) for _ in range(rng.randint(1, 7)))
            if rng.random() < 0.2:
                word = word.capitalize()
            if rng.random() < 0.15:
                word += rng.choice([",", ".", "!", "?", ":", "'s", "'ll"])
            if rng.random() < 0.1:
                word = str(rng.randint(0, 99999))
            words.append(word)
        lines.append(rng.choice([" ", "  ", " "]).join(words))
    return lines


def random_blocks(rows: int, type_name: str, seed: int = 0) -> np.ndarray:
    """Rows of random blocks of a quantized type, their scales set to sane
    float16 values (so that every value decodes to a finite number)."""
    qtype = gguf.GGMLQuantizationType[type_name]
    block_values, block_bytes = gguf.GGML_QUANT_SIZES[qtype]
    blocks = HIDDEN // block_values
    rng = np.random.default_rng(seed)
    raw = rng.integers(0, 256, size=(rows, blocks, block_bytes), dtype=np.uint8)
    scale_at = {"Q4_K": (0, 2), "Q5_K": (0, 2), "Q6_K": (208,)}.get(type_name, (0,))
    for at in scale_at:
        scales = rng.uniform(0.0005, 0.002, size=(rows, blocks)).astype(np.float16)
        raw[:, :, at:at + 2] = scales.view(np.uint8).reshape(rows, blocks, 2)
    return raw.reshape(rows, blocks * block_bytes)


def dequantized(reader_tensor) -> np.ndarray:
    """A tensor read by gguf's reader, as float32 rows."""
    data = np.asarray(reader_tensor.data)
    qtype = reader_tensor.tensor_type
    if qtype in (gguf.GGMLQuantizationType.F32, gguf.GGMLQuantizationType.F16):
        return data.astype(np.float32)
    return gguf.quants.dequantize(data, qtype).astype(np.float32)


def read(path) -> "gguf.GGUFReader":
    return gguf.GGUFReader(str(path))


def tensors(reader) -> dict:
    return {tensor.name: tensor for tensor in reader.tensors}


def field(reader, key: str):
    """A key's value as Python data (a str, a number or a list)."""
    value = reader.fields[key]
    return value.contents()


def sentencepiece_model(path: Path, lines: list[str], vocab_size: int = 1500) -> dict:
    """Trains a SentencePiece BPE model with byte fallback on `lines` and
    returns the tokenizer.json a converter makes of it: pieces by id, the
    merges the converter generates, and the normalizer and decoder of a
    Llama-style file."""
    import io

    import sentencepiece
    from transformers.convert_slow_tokenizer import generate_merges

    model = io.BytesIO()
    sentencepiece.SentencePieceTrainer.train(
        sentence_iterator=iter(lines), model_writer=model, vocab_size=vocab_size, model_type="bpe",
        byte_fallback=True, character_coverage=1.0, normalization_rule_name="identity",
        remove_extra_whitespaces=False, minloglevel=2)
    path.write_bytes(model.getvalue())
    keys = sentencepiece_keys(str(path))
    vocab = {token: i for i, token in enumerate(keys["tokens"])}
    added = [{"id": i, "content": token, "single_word": False, "lstrip": False, "rstrip": False, "normalized": False,
              "special": True} for i, token in enumerate(keys["tokens"]) if keys["types"][i] in (CONTROL, UNKNOWN)]
    return {
        "version": "1.0", "truncation": None, "padding": None, "added_tokens": added,
        "normalizer": {"type": "Sequence", "normalizers": [
            {"type": "Prepend", "prepend": "▁"}, {"type": "Replace", "pattern": {"String": " "}, "content": "▁"}]},
        "pre_tokenizer": None, "post_processor": None,
        "decoder": {"type": "Sequence", "decoders": [
            {"type": "Replace", "pattern": {"String": "▁"}, "content": " "}, {"type": "ByteFallback"},
            {"type": "Fuse"}, {"type": "Strip", "content": " ", "start": 1, "stop": 0}]},
        "model": {"type": "BPE", "dropout": None, "unk_token": "<unk>", "continuing_subword_prefix": None,
                  "end_of_word_suffix": None, "fuse_unk": True, "byte_fallback": True, "ignore_merges": False,
                  "vocab": vocab, "merges": [list(pair) for pair in generate_merges(vocab)]},
    }
