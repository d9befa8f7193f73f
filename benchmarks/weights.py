"""The weights file the rewrite benchmark of ``benchmarks/run.py`` works on,
its row plan, and the child process that measures the rewrite's memory.

The file holds a bf16 embedding ``[rows, hidden]`` (by default 151,936 x
1,024, about 300 MiB, the size of a 150k-token model's) and an untouched
bf16 tensor of the same size after it, about 600 MiB in all. It is written
into the suite's temporary folder, never into the repository.
"""

from __future__ import annotations

import json
import os
import random
import struct
import subprocess
import sys
from pathlib import Path

EMBEDDING = "model.embed_tokens.weight"
FULL_SHAPE = (151_936, 1_024)
QUICK_SHAPE = (4_096, 64)
DROPPED_ROWS = 1_000
MEAN_ROWS = 100


def write_weights_file(path: Path, rows: int, hidden: int, seed: int) -> int:
    """Writes the file a block of rows at a time; returns the embedding's size in bytes."""
    import numpy as np

    embedding_bytes = rows * hidden * 2
    header = {
        "__metadata__": {"format": "pt"},
        EMBEDDING: {"dtype": "BF16", "shape": [rows, hidden], "data_offsets": [0, embedding_bytes]},
        "model.layers.0.mlp.up_proj.weight": {"dtype": "BF16", "shape": [hidden, rows],
                                              "data_offsets": [embedding_bytes, 2 * embedding_bytes]},
    }
    text = json.dumps(header).encode()
    text += b" " * (-len(text) % 8)
    rng = np.random.default_rng(seed)
    with open(path, "wb") as f:
        f.write(struct.pack("<Q", len(text)) + text)
        for _ in range(2):
            for start in range(0, rows, 8192):
                block = rng.standard_normal((min(8192, rows - start), hidden), dtype=np.float32)
                f.write((block.view(np.uint32) >> 16).astype(np.uint16).tobytes())
    return embedding_bytes


def row_plan(rows: int, seed: int) -> list[int | list[int]]:
    """Drops DROPPED_ROWS sampled rows and appends MEAN_ROWS rows, each the mean of 2 to 4 sampled rows."""
    rng = random.Random(seed)
    dropped = set(rng.sample(range(rows), min(DROPPED_ROWS, rows // 4)))
    plan: list[int | list[int]] = [row for row in range(rows) if row not in dropped]
    plan += [sorted(rng.sample(range(rows), rng.randint(2, 4))) for _ in range(MEAN_ROWS)]
    return plan


MEMORY_CHILD = r"""
import json, sys
source, target, rows, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
from vocarix_tools import _native
from benchmarks.weights import EMBEDDING, row_plan
plan = row_plan(rows, seed)
from benchmarks.peak_memory import peak, reset_peak
reset = reset_peak()
before = peak()
_native.rewrite_safetensors(source, target, [(EMBEDDING, 0)], plan, rows)
print(json.dumps({"peak": peak() - before, "reset": reset}))
"""


def measure_rewrite_memory(source: Path, target: Path, rows: int, seed: int, vocarix_dir: str) -> dict | None:
    """Peak RSS of a rewrite above the child's own baseline (module imported, plan built)."""
    env = dict(os.environ)
    repo = str(Path(__file__).resolve().parents[1])
    env["PYTHONPATH"] = os.pathsep.join(p for p in (vocarix_dir, repo, env.get("PYTHONPATH", "")) if p)
    proc = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(source), str(target), str(rows), str(seed)],
                          capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        print(f"  rewrite memory failed: {proc.stderr.strip().splitlines()[-1:]}", file=sys.stderr)
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])
