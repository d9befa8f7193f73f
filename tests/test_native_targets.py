"""The fuzz targets and the native benchmark still compile against the core
(they are built only by their own scripts, with compilers CI may lack)."""
import shutil
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
SOURCES = ["fuzz/fuzz_reader.cpp", "fuzz/fuzz_editing.cpp", "benchmarks/native/load_bench.cpp"]


@pytest.mark.skipif(shutil.which("g++") is None, reason="no C++ compiler")
@pytest.mark.parametrize("source", SOURCES)
def test_target_compiles(source):
    done = subprocess.run(["g++", "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", "-Werror", "-I", "src", source],
                          cwd=REPO, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
