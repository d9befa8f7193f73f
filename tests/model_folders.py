"""Tiny model folders with random weights around real tokenizers, for tests.

Three shapes of model, each written the way model hubs ship them:
- "llama": untied float32 embedding and head (model.embed_tokens.weight, lm_head.weight);
- "qwen2": tied bfloat16, one stored tensor, q/k/v biases;
- "gpt2": tied float32 split over two shards with model.safetensors.index.json.

The safetensors files are written here with numpy alone (bfloat16 as the
upper half of float32), so the tests run without torch; the tensor names are
the ones the model classes expect, so that where torch and transformers are
installed the folders load as real models.
"""

from __future__ import annotations

import json
import struct
from pathlib import Path

import numpy as np

HIDDEN = 16
HEADS = 2
INTERMEDIATE = 32

DTYPE_NAMES = {"float32": "F32", "bfloat16": "BF16", "float16": "F16"}


def to_bf16(array: np.ndarray) -> np.ndarray:
    """float32 values rounded to bfloat16 (to nearest even), as uint16."""
    bits = np.ascontiguousarray(array, dtype=np.float32).view(np.uint32).astype(np.uint64)
    rounded = (bits + 0x7FFF + ((bits >> 16) & 1)) >> 16
    return rounded.astype(np.uint16)


def from_bf16(array: np.ndarray) -> np.ndarray:
    return (array.astype(np.uint32) << 16).view(np.float32)


def write_safetensors(path: Path, tensors: dict[str, tuple[str, np.ndarray]], metadata: dict | None = None) -> None:
    """tensors: name -> (dtype name as in DTYPE_NAMES, array whose bytes are stored)."""
    header: dict = {"__metadata__": metadata or {"format": "pt"}}
    offset = 0
    blobs = []
    for name, (dtype, array) in tensors.items():
        data = np.ascontiguousarray(array).tobytes()
        header[name] = {"dtype": DTYPE_NAMES[dtype], "shape": list(array.shape),
                        "data_offsets": [offset, offset + len(data)]}
        offset += len(data)
        blobs.append(data)
    text = json.dumps(header, separators=(",", ":")).encode()
    text += b" " * (-len(text) % 8)
    with open(path, "wb") as out:
        out.write(struct.pack("<Q", len(text)))
        out.write(text)
        for blob in blobs:
            out.write(blob)


def read_safetensors(path: Path) -> dict[str, tuple[str, np.ndarray]]:
    """name -> (dtype name, array): float32 as float32, bfloat16 as uint16."""
    raw = Path(path).read_bytes()
    (size,) = struct.unpack("<Q", raw[:8])
    header = json.loads(raw[8:8 + size])
    header.pop("__metadata__", None)
    kinds = {"F32": ("float32", np.float32), "BF16": ("bfloat16", np.uint16), "F16": ("float16", np.float16)}
    result = {}
    for name, entry in header.items():
        dtype, numpy_type = kinds[entry["dtype"]]
        begin, end = entry["data_offsets"]
        result[name] = (dtype, np.frombuffer(raw[8 + size + begin:8 + size + end], numpy_type).reshape(entry["shape"]))
    return result


def embedding_rows(folder: Path, name: str) -> np.ndarray:
    """A vocabulary tensor of the folder as float32 rows, whatever its dtype and shard."""
    for path in sorted(Path(folder).glob("*.safetensors")):
        tensors = read_safetensors(path)
        if name in tensors:
            dtype, array = tensors[name]
            return from_bf16(array) if dtype == "bfloat16" else array.astype(np.float32)
    raise KeyError(name)


def stored_rows(folder: Path, name: str) -> np.ndarray:
    """The tensor's rows as stored (bfloat16 as uint16), for bitwise comparison."""
    for path in sorted(Path(folder).glob("*.safetensors")):
        tensors = read_safetensors(path)
        if name in tensors:
            return tensors[name][1]
    raise KeyError(name)


def _layer(prefix: str, biases: bool) -> dict[str, tuple[int, ...]]:
    shapes = {
        f"{prefix}.self_attn.q_proj.weight": (HIDDEN, HIDDEN),
        f"{prefix}.self_attn.k_proj.weight": (HIDDEN, HIDDEN),
        f"{prefix}.self_attn.v_proj.weight": (HIDDEN, HIDDEN),
        f"{prefix}.self_attn.o_proj.weight": (HIDDEN, HIDDEN),
        f"{prefix}.mlp.gate_proj.weight": (INTERMEDIATE, HIDDEN),
        f"{prefix}.mlp.up_proj.weight": (INTERMEDIATE, HIDDEN),
        f"{prefix}.mlp.down_proj.weight": (HIDDEN, INTERMEDIATE),
        f"{prefix}.input_layernorm.weight": (HIDDEN,),
        f"{prefix}.post_attention_layernorm.weight": (HIDDEN,),
    }
    if biases:
        for part in ("q", "k", "v"):
            shapes[f"{prefix}.self_attn.{part}_proj.bias"] = (HIDDEN,)
    return shapes


def _gpt2_layer(prefix: str) -> dict[str, tuple[int, ...]]:
    return {
        f"{prefix}.ln_1.weight": (HIDDEN,), f"{prefix}.ln_1.bias": (HIDDEN,),
        f"{prefix}.attn.c_attn.weight": (HIDDEN, 3 * HIDDEN), f"{prefix}.attn.c_attn.bias": (3 * HIDDEN,),
        f"{prefix}.attn.c_proj.weight": (HIDDEN, HIDDEN), f"{prefix}.attn.c_proj.bias": (HIDDEN,),
        f"{prefix}.ln_2.weight": (HIDDEN,), f"{prefix}.ln_2.bias": (HIDDEN,),
        f"{prefix}.mlp.c_fc.weight": (HIDDEN, 4 * HIDDEN), f"{prefix}.mlp.c_fc.bias": (4 * HIDDEN,),
        f"{prefix}.mlp.c_proj.weight": (4 * HIDDEN, HIDDEN), f"{prefix}.mlp.c_proj.bias": (HIDDEN,),
    }


def _tensor_shapes(kind: str, rows: int) -> dict[str, tuple[int, ...]]:
    if kind == "gpt2":
        shapes = {"transformer.wte.weight": (rows, HIDDEN), "transformer.wpe.weight": (64, HIDDEN)}
        shapes.update(_gpt2_layer("transformer.h.0"))
        shapes.update({"transformer.ln_f.weight": (HIDDEN,), "transformer.ln_f.bias": (HIDDEN,)})
        return shapes
    shapes = {"model.embed_tokens.weight": (rows, HIDDEN)}
    shapes.update(_layer("model.layers.0", biases=kind == "qwen2"))
    shapes["model.norm.weight"] = (HIDDEN,)
    if kind == "llama":
        shapes["lm_head.weight"] = (rows, HIDDEN)
    return shapes


def _model_config(kind: str, rows: int, ids: dict[str, int | None]) -> dict:
    common = {"vocab_size": rows, "bos_token_id": ids["bos"], "eos_token_id": ids["eos"]}
    if kind == "gpt2":
        return {"architectures": ["GPT2LMHeadModel"], "model_type": "gpt2", "n_embd": HIDDEN, "n_head": HEADS,
                "n_layer": 1, "n_positions": 64, "n_inner": 4 * HIDDEN, "activation_function": "gelu_new",
                "layer_norm_epsilon": 1e-05, "tie_word_embeddings": True, "torch_dtype": "float32", **common}
    config = {"architectures": ["LlamaForCausalLM" if kind == "llama" else "Qwen2ForCausalLM"],
              "model_type": kind, "hidden_size": HIDDEN, "intermediate_size": INTERMEDIATE,
              "num_attention_heads": HEADS, "num_key_value_heads": HEADS, "num_hidden_layers": 1,
              "max_position_embeddings": 64, "rms_norm_eps": 1e-06, "hidden_act": "silu",
              "tie_word_embeddings": kind == "qwen2", "torch_dtype": "float32" if kind == "llama" else "bfloat16",
              **common}
    if ids["pad"] is not None:
        config["pad_token_id"] = ids["pad"]
    return config


def _special_ids(tokenizer: dict, specials: dict[str, str | None]) -> dict[str, int | None]:
    ids = {}
    vocab = tokenizer["model"]["vocab"]
    added = {t["content"]: t["id"] for t in tokenizer.get("added_tokens") or []}
    for role, token in specials.items():
        ids[role] = None if token is None else vocab.get(token, added.get(token))
    return ids


def build_model_folder(folder: Path, tokenizer_path: Path, kind: str, specials: dict[str, str | None],
                       pad_rows_to: int = 1, seed: int = 0) -> Path:
    """Writes a model folder of `kind` around the tokenizer at `tokenizer_path`.

    `specials` maps "bos", "eos" and "pad" to token strings (or None); the
    embedding gets the tokenizer's rows rounded up to `pad_rows_to`."""
    folder.mkdir(parents=True, exist_ok=True)
    text = Path(tokenizer_path).read_text(encoding="utf-8")
    (folder / "tokenizer.json").write_text(text, encoding="utf-8")
    tokenizer = json.loads(text)
    ids = [*tokenizer["model"]["vocab"].values(), *(t["id"] for t in tokenizer.get("added_tokens") or [])]
    rows = -(-(max(ids) + 1) // pad_rows_to) * pad_rows_to
    special_ids = _special_ids(tokenizer, specials)

    decoder = {str(t["id"]): {key: t[key] for key in ("content", "lstrip", "normalized", "rstrip", "single_word",
                                                     "special")}
               for t in tokenizer.get("added_tokens") or []}
    tokenizer_config = {"added_tokens_decoder": decoder, "bos_token": specials["bos"], "clean_up_tokenization_spaces":
                        False, "eos_token": specials["eos"], "model_max_length": 64, "pad_token": specials["pad"],
                        "tokenizer_class": "PreTrainedTokenizerFast"}
    special_map = {role + "_token": {"content": token, "lstrip": False, "normalized": False, "rstrip": False,
                                     "single_word": False}
                   for role, token in specials.items() if token is not None}
    generation = {"bos_token_id": special_ids["bos"], "eos_token_id": [special_ids["eos"]],
                  "transformers_version": "4.45.0"}
    if special_ids["pad"] is not None:
        generation["pad_token_id"] = special_ids["pad"]
    for name, data in (("tokenizer_config.json", tokenizer_config), ("special_tokens_map.json", special_map),
                       ("config.json", _model_config(kind, rows, special_ids)),
                       ("generation_config.json", generation)):
        (folder / name).write_text(json.dumps(data, indent=2, ensure_ascii=False) + "\n", encoding="utf-8")

    random = np.random.default_rng(seed)
    dtype = "bfloat16" if kind == "qwen2" else "float32"
    tensors = {}
    for name, shape in _tensor_shapes(kind, rows).items():
        values = random.normal(0, 0.5, shape).astype(np.float32)
        if name.endswith("norm.weight") or ".ln_" in name and name.endswith(".weight"):
            values = 1 + values * 0.1
        tensors[name] = (dtype, to_bf16(values) if dtype == "bfloat16" else values)
    if kind == "gpt2":
        names = list(tensors)
        shards = {"model-00001-of-00002.safetensors": names[:len(names) // 2],
                  "model-00002-of-00002.safetensors": names[len(names) // 2:]}
        weight_map = {}
        total = 0
        for shard, members in shards.items():
            write_safetensors(folder / shard, {name: tensors[name] for name in members})
            for name in members:
                weight_map[name] = shard
                total += tensors[name][1].nbytes
        index = {"metadata": {"total_size": total}, "weight_map": dict(sorted(weight_map.items()))}
        (folder / "model.safetensors.index.json").write_text(json.dumps(index, indent=2) + "\n")
    else:
        write_safetensors(folder / "model.safetensors", tensors)
    return folder


def with_trailing_special_tokens(tokenizer_text: str, tokens: list[str]) -> str:
    """The tokenizer with `tokens` added as special added tokens outside the
    vocabulary, at the ids after it, as chat models keep theirs."""
    tokenizer = json.loads(tokenizer_text)
    vocab = tokenizer["model"]["vocab"]
    added = tokenizer.setdefault("added_tokens", [])
    next_id = max([*vocab.values(), *(t["id"] for t in added)]) + 1
    present = set(vocab) | {t["content"] for t in added}
    for offset, token in enumerate(t for t in tokens if t not in present):
        added.append({"id": next_id + offset, "content": token, "single_word": False, "lstrip": False,
                      "rstrip": False, "normalized": False, "special": True})
    return json.dumps(tokenizer, ensure_ascii=False, indent=2)
