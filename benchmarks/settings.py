"""Where the benchmark suite finds its fixtures, and the sizes of its workloads."""

from __future__ import annotations

import os
from pathlib import Path


REPO = Path(__file__).resolve().parents[1]
REAL_DIR = Path(os.environ.get("VOCARIX_REAL_FIXTURES", REPO.parent / "shared" / "fixtures" / "real"))
# Only these real files are in the strict layout that the loader accepts.
REAL_FILES = ("llama-tiny-random.array.json", "bora-ko-32k.array.json", "herbert-pl-eow.array.json")
TARGET_FIXTURE = "bytelevel-128k"
# Whole commands are held to their targets on a file of the size of a common byte-level release.
COMMAND_FIXTURE = "bytelevel-151k"

FULL_COUNTS = dict(add=10_000, remove=10_000, remove_small=1_000, shrink=10_000,
                   keep_size=2_000, sync=5_000, invalid=1_000)
QUICK_COUNTS = dict(add=40, remove=40, remove_small=10, shrink=40, keep_size=10, sync=20, invalid=10)

SEED = 20240611
