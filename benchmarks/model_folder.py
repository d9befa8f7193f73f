"""The model folders the folder-edit benchmark of ``benchmarks/run.py`` works
on, the edit it times, and the child process that measures its memory.

Each case is a folder around the same tokenizer with weights of one shape
(``FOLDER_CASES``), written into the suite's temporary folder, and a twin
folder with the same configs and no weights. The edit opens the folder,
removes the longest tokens, closes the ids up and writes a new folder.
"""

from __future__ import annotations

import json
import os
import shutil
import struct
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path


@dataclass(frozen=True)
class FolderCase:
    name: str
    dtype: str  # "BF16" or "F32"
    hidden: int  # full size; quick runs use 64
    # Tensors per shard: (name, "rows" for [rows, hidden], "cols" for [hidden, rows], "half" for half of that).
    shards: tuple[tuple[tuple[str, str], ...], ...]
    tied: bool


FOLDER_CASES = [
    FolderCase("tied bf16, one file (Qwen2-style)", "BF16", 1024,
               ((("model.embed_tokens.weight", "rows"), ("model.layers.0.mlp.up_proj.weight", "cols")),), True),
    FolderCase("untied f32, one file (Llama-style)", "F32", 512,
               ((("model.embed_tokens.weight", "rows"), ("lm_head.weight", "rows")),), False),
    FolderCase("tied f32, three shards (GPT-2-style)", "F32", 512,
               ((("transformer.wte.weight", "rows"),), (("transformer.h.0.mlp.c_fc.weight", "half"),),
                (("transformer.h.0.mlp.c_proj.weight", "half"),)), True),
]

ITEM_SIZE = {"BF16": 2, "F32": 4}


def _shape(kind: str, rows: int, hidden: int) -> list[int]:
    return {"rows": [rows, hidden], "cols": [hidden, rows], "half": [hidden, rows // 2]}[kind]


def _write_shard(path: Path, tensors: list[tuple[str, list[int]]], dtype: str, seed: int) -> int:
    """Writes random data a block at a time; returns the bytes of tensor data."""
    import numpy as np

    header: dict = {"__metadata__": {"format": "pt"}}
    offset = 0
    for name, shape in tensors:
        size = shape[0] * shape[1] * ITEM_SIZE[dtype]
        header[name] = {"dtype": dtype, "shape": shape, "data_offsets": [offset, offset + size]}
        offset += size
    text = json.dumps(header).encode()
    text += b" " * (-len(text) % 8)
    rng = np.random.default_rng(seed)
    with open(path, "wb") as out:
        out.write(struct.pack("<Q", len(text)) + text)
        for _, shape in tensors:
            for start in range(0, shape[0], 4096):
                block = rng.standard_normal((min(4096, shape[0] - start), shape[1]), dtype=np.float32)
                out.write(((block.view(np.uint32) >> 16).astype(np.uint16) if dtype == "BF16" else block).tobytes())
    return offset


def build_case(case: FolderCase, tokenizer: Path, folder: Path, quick: bool, seed: int) -> dict[str, int]:
    """Writes the case's folder and its twin without weights (folder + "-no-weights").
    Returns the sizes: "weights" (all files) and "embedding" (the largest vocabulary tensor)."""
    hidden = 64 if quick else case.hidden
    data = json.loads(tokenizer.read_text(encoding="utf-8"))
    tokens = max(data["model"]["vocab"].values()) + 1
    rows = -(-tokens // 128) * 128
    bare = folder.with_name(folder.name + "-no-weights")
    for target in (folder, bare):
        target.mkdir(parents=True)
        shutil.copy(tokenizer, target / "tokenizer.json")
        config = {"architectures": ["BenchmarkForCausalLM"], "hidden_size": hidden, "vocab_size": rows,
                  "tie_word_embeddings": case.tied, "eos_token_id": 0}
        (target / "config.json").write_text(json.dumps(config, indent=2) + "\n")
        (target / "tokenizer_config.json").write_text(json.dumps({"model_max_length": 4096}, indent=2) + "\n")
    sizes = {"weights": 0, "embedding": rows * hidden * ITEM_SIZE[case.dtype]}
    names = ["model.safetensors"] if len(case.shards) == 1 else [
        f"model-{i + 1:05d}-of-{len(case.shards):05d}.safetensors" for i in range(len(case.shards))]
    weight_map = {}
    for number, (name, tensors) in enumerate(zip(names, case.shards)):
        shaped = [(tensor, _shape(kind, rows, hidden)) for tensor, kind in tensors]
        sizes["weights"] += _write_shard(folder / name, shaped, case.dtype, seed + number)
        weight_map.update({tensor: name for tensor, _ in tensors})
    if len(names) > 1:
        index = {"metadata": {"total_size": sizes["weights"]}, "weight_map": weight_map}
        (folder / "model.safetensors.index.json").write_text(json.dumps(index, indent=2) + "\n")
    return sizes


def weight_files(folder: Path) -> list[Path]:
    return sorted(folder.glob("*.safetensors"))


def edit_folder(folder: Path, out: Path, removed: int) -> None:
    """The edit timed: open, remove the longest tokens, close the ids up, write a new folder."""
    from vocarix_tools.model_folder import open_model

    model = open_model(folder)
    model.editor.shrink(removed)
    model.editor.reindex_vocab()
    model.save(out)


MEMORY_CHILD = r"""
import json, sys
from pathlib import Path
import vocarix_tools.model_folder  # imported before measuring: its code is no cost of the edit
from benchmarks.model_folder import edit_folder
from benchmarks.peak_memory import peak, reset_peak
reset = reset_peak()
before = peak()
edit_folder(Path(sys.argv[1]), Path(sys.argv[2]), int(sys.argv[3]))
print(json.dumps({"peak": peak() - before, "reset": reset}))
"""


def measure_edit_memory(folder: Path, out: Path, removed: int, vocarix_dir: str) -> dict | None:
    """Peak RSS of the edit in a fresh interpreter, above its baseline (modules imported)."""
    env = dict(os.environ)
    repo = str(Path(__file__).resolve().parents[1])
    env["PYTHONPATH"] = os.pathsep.join(p for p in (vocarix_dir, repo, env.get("PYTHONPATH", "")) if p)
    shutil.rmtree(out, ignore_errors=True)
    proc = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(folder), str(out), str(removed)],
                          capture_output=True, text=True, env=env)
    shutil.rmtree(out, ignore_errors=True)
    if proc.returncode != 0:
        print(f"  folder edit memory failed: {proc.stderr.strip().splitlines()[-1:]}", file=sys.stderr)
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])
