"""Every code sample in the README runs, and type-checks under mypy --strict."""
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vocarix

REPO = Path(__file__).resolve().parents[1]
README = (REPO / "README.md").read_text(encoding="utf-8")
PYTHON_BLOCKS = re.findall(r"```python\n(.*?)```", README, flags=re.S)


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """A directory holding the files the samples name."""
    shutil.copy(REPO / "examples" / "tokenizer.json", tmp_path / "tokenizer.json")
    other = vocarix.Vocarix(str(REPO / "examples" / "tokenizer.json"))
    for character in "日本語한국어ΩЖ":
        other.add_token_atomic(character)
    other.save(str(tmp_path / "other_tokenizer.json"))
    legacy = json.loads((REPO / "examples" / "tokenizer.json").read_text(encoding="utf-8"))
    legacy["model"]["merges"] = [" ".join(pair) for pair in legacy["model"]["merges"]]
    legacy["model"]["unk_token"] = None
    del legacy["model"]["ignore_merges"]
    (tmp_path / "legacy_tokenizer.json").write_text(json.dumps(legacy), encoding="utf-8")
    for index, text in enumerate(["the model reads the text and counts the tokens",
                                  "a token is a piece of text that the model reads"]):
        (tmp_path / f"corpus-{index:02d}.txt").write_text(text + "\n" + text.upper() + "\n", encoding="utf-8")
    from model_folders import build_model_folder

    build_model_folder(tmp_path / "model", REPO / "examples" / "tokenizer.json", "llama",
                       {"bos": "<s>", "eos": "</s>", "pad": None}, pad_rows_to=64)
    try:
        import gguf_models
    except ImportError:  # without the gguf package the GGUF sample is skipped
        pass
    else:
        document = json.loads((REPO / "examples" / "tokenizer.json").read_text(encoding="utf-8"))
        gguf_models.write_model(tmp_path / "model.Q8_0.gguf", gguf_models.tokenizer_keys(document, "gpt-2"),
                                embedding_type="Q8_0")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_readme_starts_with_the_two_setup_commands():
    first_block = re.search(r"```sh\n(.*?)```", README, flags=re.S).group(1).splitlines()
    assert first_block[0].startswith("pip install . && ")
    assert first_block[1] == 'pip install ".[test]" && python -m pytest -q -n auto'
    ci = (REPO / ".ci" / "run").read_text()
    assert first_block[1] in ci


def test_benchmark_tables_are_those_of_the_results_file():
    sys.path.insert(0, str(REPO))
    from benchmarks import readme_tables

    results = readme_tables.read_results()
    assert README.count("<!-- results: ") == README.count("<!-- end of results -->") == 6
    assert readme_tables.render(README, results) == README, "run python benchmarks/readme_tables.py"
    # A row typed in by hand is found out.
    block = README.index("<!-- end of results -->")
    stray = README[:block] + "| bytelevel-128k | 128,000 | fresh | 1 | 1 | 1 | 1 ms | 1 us |\n" + README[block:]
    assert readme_tables.render(stray, results) == README


@pytest.mark.parametrize("index", range(len(PYTHON_BLOCKS)))
def test_python_samples_run(workdir, index, capfd):
    if "import tokenizers" in PYTHON_BLOCKS[index]:
        pytest.importorskip("tokenizers")  # the samples that check their result with the runtime
    if "open_gguf" in PYTHON_BLOCKS[index]:
        pytest.importorskip("gguf")  # the sample that edits a GGUF model builds one with it
    exec(compile(PYTHON_BLOCKS[index], f"README block {index}", "exec"), {"__name__": "__readme__"})


def test_python_samples_type_check(tmp_path):
    pytest.importorskip("mypy")
    for index, block in enumerate(PYTHON_BLOCKS):
        (tmp_path / f"sample_{index}.py").write_text(block, encoding="utf-8")
    stubs = REPO / "src" / "python"
    env = dict(os.environ, MYPYPATH=str(stubs))
    where = str(Path(vocarix.__file__).parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [where, env.get("PYTHONPATH")] if p)
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
         *sorted(str(p) for p in tmp_path.glob("sample_*.py"))],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


def test_quickstart_example_runs():
    done = subprocess.run([sys.executable, str(REPO / "examples" / "quickstart.py")], capture_output=True,
                          text=True, timeout=120, env=dict(os.environ, PYTHONPATH=str(Path(vocarix.__file__).parent)))
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("opened ") and "check: clean" in done.stdout and "saved Vocarix(" in done.stdout


def test_quickstart_commands_run(workdir):
    section = README[README.index("## Quickstart"):README.index("## Recipes with the module")]
    (block,) = re.findall(r"```sh\n(.*?)```", section, flags=re.S)
    env = dict(os.environ, PYTHONPATH=str(Path(vocarix.__file__).parent))
    for line in block.splitlines():
        argv = shlex.split(line)
        assert argv[0] == "vocarix"
        done = subprocess.run([sys.executable, "-m", "vocarix_tools.cli", *argv[1:]], cwd=workdir, env=env,
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, (line, done.stdout + done.stderr)


def test_the_first_command_runs_on_the_bundled_examples(tmp_path, cli):
    """The README's first command: stats of the example tokenizer, then the
    quickstart, whose file and model folder both come out clean."""
    code, out, err = cli("stats", REPO / "examples" / "tokenizer.json")
    assert code == 0 and "vocabulary" in out, err
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [str(Path(vocarix.__file__).parent), env.get("PYTHONPATH")] if p)
    done = subprocess.run([sys.executable, str(REPO / "examples" / "quickstart.py")], capture_output=True,
                          text=True, env=env, cwd=tmp_path, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "check: clean" in done.stdout
    folder_line = done.stdout.splitlines()[-1]
    assert folder_line.startswith("model folder: embedding rows 1216 -> ") and folder_line.endswith("check: clean")


def test_the_bundled_tiny_model_is_the_one_the_tests_build(tmp_path):
    """examples/tiny-model is reproducible: the example tokenizer with three
    chat tokens after it, in a tied bfloat16 model of the tests' shape."""
    from model_folders import build_model_folder, with_trailing_special_tokens

    chat = tmp_path / "chat.json"
    chat.write_text(with_trailing_special_tokens((REPO / "examples" / "tokenizer.json").read_text(encoding="utf-8"),
                                                 ["<|endoftext|>", "<|im_start|>", "<|im_end|>"]), encoding="utf-8")
    built = build_model_folder(tmp_path / "tiny-model", chat, "qwen2",
                               {"bos": None, "eos": "<|im_end|>", "pad": "<|endoftext|>"}, pad_rows_to=64)
    bundled = REPO / "examples" / "tiny-model"
    assert sorted(p.name for p in bundled.iterdir()) == sorted(p.name for p in built.iterdir())
    for path in bundled.iterdir():
        assert path.read_bytes() == (built / path.name).read_bytes(), path.name
