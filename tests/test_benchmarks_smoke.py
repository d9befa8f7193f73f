"""The benchmark runner keeps working: a quick run on the smallest fixture.

Only completion and the shape of the report are checked, never timings.
"""

import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("orjson")
pytest.importorskip("tokenizers")

REPO = Path(__file__).resolve().parents[1]
RUNNER = REPO / "benchmarks" / "run.py"

OPERATIONS = (
    "load (path)", "from_json", "to_json", "save", "memory: retained after load",
    "memory: peak while loading", "get_vocab", "get_merges", "get_token_by_id", "has_token",
    "find_tokens_to_shrink", "validate_merges", "remove_invalid_merges", "get_stats", "reindex_vocab",
    "add_tokens (", "remove_tokens (", "shrink(", "add_tokens_keep_size", "sync_single_chars",
)


def run(*args, cwd):
    import vocarix

    # The runner must import the same module as this test run, whatever the working directory.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (str(Path(vocarix.__file__).resolve().parent), env.get("PYTHONPATH")) if p)
    return subprocess.run([sys.executable, str(RUNNER), *args], capture_output=True, text=True,
                          timeout=120, cwd=cwd, env=env)


def test_quick_run_prints_and_writes_the_full_table(tmp_path):
    out = tmp_path / "results.md"
    proc = run("--quick", "--fixtures", "bytelevel-2k", "--output", str(out), cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr

    report = out.read_text(encoding="utf-8")
    assert proc.stdout.strip() == report.strip()
    for heading in ("## Machine", "## Fixtures", "## Results", "## Cost grows with the work", "## Targets"):
        assert heading in report
    assert "- CPU: " in report and "- Python: " in report

    rows = [line.split(" | ") for line in report.splitlines() if line.startswith("| bytelevel-2k | ")]
    operations = [cells[1] for cells in rows]
    for op in OPERATIONS:
        assert any(name.startswith(op) for name in operations), op
    # Every measurement produced a number: no contender failed on the fixture.
    assert not [cells for cells in rows if any(cell.startswith("failed") for cell in cells)]
    # The scaling table has the fresh and warm editor rows for both batch sizes.
    scaling = [cells for cells in rows if len(cells) == 8]
    assert sorted(cells[2] for cells in scaling) == ["fresh", "fresh", "warm", "warm"]
    # The weights case: the rewrite beside its copy, and its memory.
    weights = [line.split(" | ")[1] for line in report.splitlines() if line.startswith("| weights ")]
    assert [op.split(":")[0] for op in weights] == ["rewrite", "memory"], weights
    # The model folder cases: the edit and its memory for each shape of weights.
    folders = [line.split(" | ")[1] for line in report.splitlines() if line.startswith("| folder: ")]
    assert [op.split(":")[0] for op in folders] == ["edit", "memory"] * 3, folders
    # The learning case, beside BpeTrainer.
    learning = [line for line in report.splitlines() if line.startswith("| learn: ")]
    assert len(learning) == 1 and "BpeTrainer" in learning[0], learning
    # The corpus shapes case: three shapes for two pipelines, and the refusal of NUL bytes on one and two processes.
    shapes = [line.split(" | ") for line in report.splitlines() if line.startswith("| corpus shapes: ")]
    assert len(shapes) == 8 and not [cells for cells in shapes if cells[2].startswith("failed")], shapes


def test_unknown_fixture_is_refused(tmp_path):
    proc = run("--quick", "--fixtures", "no-such-fixture", cwd=tmp_path)
    assert proc.returncode != 0
    assert "unknown fixture 'no-such-fixture'" in proc.stderr


def test_quick_counting_run_reports_each_pipeline_against_the_trainer(tmp_path):
    out = tmp_path / "counting.md"
    proc = run("--quick", "--only", "counting", "--output", str(out), cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    rows = [line.split(" | ") for line in out.read_text(encoding="utf-8").splitlines()
            if line.startswith("| count-words: ")]
    assert [cells[0] for cells in rows] == ["| count-words: qwen3-style"] * 3 + ["| count-words: deepseek-style"] * 3
    assert [cells[1].split(" ")[0] for cells in rows] == ["count", "the", "memory:"] * 2
    assert not [cells for cells in rows if any(cell.startswith("failed") for cell in cells)]
    assert all("BpeTrainer" in cells[-1] for cells in rows[::3])
