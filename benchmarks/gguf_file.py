"""The GGUF model the GGUF rewrite benchmark of ``benchmarks/run.py`` edits,
and the child process that measures the rewrite's memory.

The model carries a byte-level tokenizer (the benchmark's own fixture, by
default bytelevel-128k), a Q8_0 embedding of one row per token and an
untouched Q8_0 tensor of the same size after it (by default 1,024 wide:
about 270 MiB in all). It is written into the suite's temporary folder,
never into the repository. The edit shrinks the vocabulary by 1,000 tokens,
closes the gaps and adds 100 tokens, whose rows are means of their pieces'.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

FULL_HIDDEN = 1_024
QUICK_HIDDEN = 64
REMOVED = 1_000
ADDED = 100


def write_gguf_file(path: Path, tokenizer_json: Path, hidden: int, seed: int) -> int:
    """Writes the model; returns the embedding's size in bytes."""
    import numpy as np

    import gguf

    document = json.loads(tokenizer_json.read_text(encoding="utf-8"))
    vocab = document["model"]["vocab"]
    rows = max(vocab.values()) + 1
    tokens = [f"[PAD{i}]" for i in range(rows)]
    types = [5] * rows
    for token, token_id in vocab.items():
        tokens[token_id], types[token_id] = token, 1
    merges = [m if isinstance(m, str) else " ".join(m) for m in document["model"]["merges"]]
    writer = gguf.GGUFWriter(str(path), "llama")
    writer.add_vocab_size(rows)
    writer.add_tokenizer_model("gpt2")
    writer.add_tokenizer_pre("gpt-2")
    writer.add_token_list(tokens)
    writer.add_token_types(types)
    writer.add_token_merges(merges)
    rng = np.random.default_rng(seed)
    block_bytes = 34
    blocks = hidden // 32
    for name in ("token_embd.weight", "blk.0.ffn_up.weight"):
        raw = rng.integers(0, 256, size=(rows, blocks, block_bytes), dtype=np.uint8)
        scales = rng.uniform(0.001, 0.01, size=(rows, blocks)).astype(np.float16)
        raw[:, :, 0:2] = scales.view(np.uint8).reshape(rows, blocks, 2)
        writer.add_tensor(name, raw.reshape(rows, blocks * block_bytes), raw_dtype=gguf.GGMLQuantizationType.Q8_0)
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()
    return rows * blocks * block_bytes


def edited_model(path: Path):  # type: ignore[no-untyped-def]
    """The model opened and edited, its runtime repairs made: ready to save."""
    import vocarix_tools

    model = vocarix_tools.open_gguf(path)
    model.editor.shrink(REMOVED)
    model.editor.reindex_vocab()
    model.editor.add_tokens([f"Ġvocarix{i:03d}word" for i in range(ADDED)])
    model.finish()
    return model


def durable_copy(source: Path, target: Path) -> None:
    """What a careful copy costs: the bytes copied and flushed to disk."""
    import shutil

    shutil.copyfile(source, target)
    with open(target, "rb") as handle:
        os.fsync(handle.fileno())


MEMORY_CHILD = r"""
import json, sys
from pathlib import Path
source, target = Path(sys.argv[1]), Path(sys.argv[2])
from benchmarks.gguf_file import edited_model
from benchmarks.peak_memory import peak, reset_peak
model = edited_model(source)
reset = reset_peak()
before = peak()
model.save(target, finish=False)
print(json.dumps({"peak": peak() - before, "reset": reset}))
"""


def measure_rewrite_memory(source: Path, target: Path, vocarix_dir: str) -> dict | None:
    """Peak RSS of the save above the child's own baseline (model opened and edited)."""
    env = dict(os.environ)
    repo = str(Path(__file__).resolve().parents[1])
    env["PYTHONPATH"] = os.pathsep.join(p for p in (vocarix_dir, repo, env.get("PYTHONPATH", "")) if p)
    proc = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(source), str(target)],
                          capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        print(f"  GGUF rewrite memory failed: {proc.stderr.strip().splitlines()[-1:]}", file=sys.stderr)
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])
