"""An edit never leaves a model half-written: stopped at any moment it leaves
the folder as before, as after, or with a record that the next command
completes; links are replaced, never written through; two edits of one
folder take turns; an output never replaces an input."""

from __future__ import annotations

import hashlib
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from vocarix_tools import _native

from conftest import REPO, sigint_as_default
from model_folders import build_model_folder
from test_model_folders import CHAT_SPECIALS, chat_tokenizer, load_with_transformers, make_folder

ENVIRONMENT = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
STEP_HOOK = "VOCARIX_TEST_SIGNAL_AT_WRITE_STEP"
EXAMPLE_FOLDER = REPO / "examples" / "tiny-model"


def vocarix(*argv, hook: str | None = None, **options) -> subprocess.CompletedProcess:
    environment = dict(ENVIRONMENT, **({STEP_HOOK: hook} if hook else {}))
    return subprocess.run([sys.executable, "-m", "vocarix_tools.cli", *map(str, argv)], env=environment,
                          capture_output=True, text=True, timeout=120, preexec_fn=sigint_as_default, **options)


def snapshot(folder: Path) -> dict[str, bytes]:
    """Every entry of the folder, hidden ones included, by name."""
    return {path.name: path.read_bytes() for path in sorted(folder.iterdir()) if path.is_file()}


def digests(folder: Path) -> dict[str, str]:
    return {path.relative_to(folder).as_posix(): hashlib.sha256(path.read_bytes()).hexdigest()
            for path in sorted(folder.rglob("*")) if path.is_file()}


def copy_folder(source: Path, target: Path) -> Path:
    target.mkdir(parents=True)
    for path in source.iterdir():
        (target / path.name).write_bytes(path.read_bytes())
    return target


# A prune that renumbers the ids changes every file of the folder: weights,
# configs and tokenizer, so that a stop between any two of them would show.
def edit_argv(folder: Path, counts: Path) -> list:
    return ["prune", folder, "--counts", counts, "--size", "1100", "--in-place"]


@pytest.fixture
def edit_case(tmp_path):
    """A folder, the counts its edit reads, and the folder as before and as after the edit."""
    base = make_folder(tmp_path, "llama")
    counts = tmp_path / "counts.json"
    counts.write_text("{}", encoding="utf-8")
    before = snapshot(base)
    after_folder = copy_folder(base, tmp_path / "after")
    done = vocarix(*edit_argv(after_folder, counts))
    assert done.returncode == 0, done.stderr
    after = snapshot(after_folder)
    assert {name for name in before if before[name] != after[name]} == {
        "model.safetensors", "config.json", "generation_config.json", "tokenizer_config.json", "tokenizer.json"}
    return base, counts, before, after


def settle_and_compare(folder: Path, before: dict, after: dict) -> str:
    """Runs check, which settles the folder, and says which state it is in."""
    checked = vocarix("check", folder)
    assert "Traceback" not in checked.stderr
    state = snapshot(folder)
    assert state in (before, after), sorted(n for n in state if state.get(n) != before.get(n))
    return "before" if state == before else "after"


def test_an_edit_stopped_at_every_step_is_whole_before_or_after(edit_case, tmp_path):
    """SIGKILL and SIGINT after each step of the write (each new file, the
    record, each swap, the record removed): the next command leaves the
    folder exactly as before or exactly as after, and says what it settled."""
    folder, counts, before, after = edit_case
    seen = {}
    for stop in (signal.SIGKILL, signal.SIGINT):
        for step in range(1, 20):
            for name, data in before.items():
                (folder / name).write_bytes(data)
            done = vocarix(*edit_argv(folder, counts), hook=f"{step} {int(stop)}")
            stopped = done.returncode in (-signal.SIGKILL, 130)
            state = settle_and_compare(folder, before, after)
            seen[(stop, step)] = state
            if not stopped:
                assert done.returncode == 0 and state == "after"
                break
            if stop == signal.SIGINT:
                # Once the swaps begin, an interrupt waits for them to end.
                assert "Traceback" not in done.stderr and done.stderr.endswith("vocarix: interrupted\n")
        else:
            pytest.fail("the edit never ran to its end")
    # Five new files, the record, five swaps, the record removed: killed
    # before the record, the edit is undone; after it, completed.
    killed = [seen[(signal.SIGKILL, step)] for step in range(1, 13)]
    assert killed == ["before"] * 5 + ["after"] * 7
    assert seen[(signal.SIGINT, 1)] == "before" and seen[(signal.SIGINT, 6)] == "after"


def test_a_killed_edit_is_settled_by_the_next_command_in_one_line(edit_case):
    folder, counts, before, after = edit_case
    vocarix(*edit_argv(folder, counts), hook=f"7 {int(signal.SIGKILL)}")
    assert (folder / ".vocarix-edit-journal").exists()
    shown = vocarix("stats", folder)
    assert shown.returncode == 0
    assert shown.stderr == ("vocarix: completed an interrupted edit of %s (every new file was written whole): "
                            "model.safetensors, config.json, generation_config.json, tokenizer_config.json, "
                            "tokenizer.json\n" % folder)
    assert snapshot(folder) == after
    for name, data in before.items():
        (folder / name).write_bytes(data)
    vocarix(*edit_argv(folder, counts), hook=f"2 {int(signal.SIGKILL)}")
    edited = vocarix(*edit_argv(folder, counts))
    assert edited.returncode == 0 and edited.stderr.startswith(
        f"vocarix: undid an interrupted edit of {folder}, which had changed nothing yet: removed its unfinished new "
        "files for config.json, model.safetensors\n")
    assert snapshot(folder) == after


def test_edits_killed_at_random_moments_leave_a_folder_transformers_loads(edit_case):
    """Timed kills across the whole run, reading included."""
    folder, counts, before, after = edit_case
    command = [sys.executable, "-m", "vocarix_tools.cli", *map(str, edit_argv(folder, counts))]
    states = set()
    for trial in range(12):
        for name, data in before.items():
            (folder / name).write_bytes(data)
        process = subprocess.Popen(command, env=ENVIRONMENT, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   preexec_fn=sigint_as_default)
        time.sleep(0.3 + 0.1 * trial)
        process.send_signal(signal.SIGKILL if trial % 2 else signal.SIGINT)
        process.wait()
        states.add(settle_and_compare(folder, before, after))
    assert states <= {"before", "after"}
    pytest.importorskip("transformers")
    tokenizer, model, _, _ = load_with_transformers(folder)
    assert model.get_input_embeddings().weight.shape[0] >= len(tokenizer)


def cache_layout(tmp_path: Path) -> tuple[Path, Path]:
    """A downloaded cache: snapshots/<rev>/ holds symlinks into blobs/; a second revision shares the blobs."""
    built = build_model_folder(tmp_path / "built", chat_tokenizer(tmp_path), "llama", CHAT_SPECIALS, 128)
    blobs = tmp_path / "cache" / "blobs"
    blobs.mkdir(parents=True)
    for revision in ("rev1", "rev2"):
        (tmp_path / "cache" / "snapshots" / revision).mkdir(parents=True)
    for path in built.iterdir():
        blob = blobs / hashlib.sha256(path.read_bytes()).hexdigest()
        blob.write_bytes(path.read_bytes())
        for revision in ("rev1", "rev2"):
            os.symlink(os.path.relpath(blob, tmp_path / "cache" / "snapshots" / revision),
                       tmp_path / "cache" / "snapshots" / revision / path.name)
    return tmp_path / "cache" / "snapshots" / "rev1", blobs


def test_links_into_a_cache_are_replaced_never_written_through(tmp_path):
    snapshot_folder, blobs = cache_layout(tmp_path)
    blobs_before = digests(blobs)
    other = tmp_path / "cache" / "snapshots" / "rev2"
    other_before = digests(other)
    done = vocarix("add", snapshot_folder, "Ġorchardwords", "Ġcollectedness", "--in-place", "--json")
    assert done.returncode == 0, done.stderr
    assert digests(blobs) == blobs_before and digests(other) == other_before
    changed = set(json.loads(done.stdout)["folder"]["rewritten"])
    assert {"model.safetensors", "tokenizer.json"} <= changed
    for path in snapshot_folder.iterdir():
        assert path.is_symlink() == (path.name not in changed), path.name
    assert vocarix("check", snapshot_folder).returncode == 0
    # A copy holds the content, not the links.
    out = tmp_path / "copy"
    assert vocarix("shrink", other, "5", "-o", out).returncode == 0
    assert not any(path.is_symlink() for path in out.iterdir())
    assert digests(blobs) == blobs_before


def test_hard_links_and_a_single_file_keep_their_other_names(tmp_path):
    folder = copy_folder(EXAMPLE_FOLDER, tmp_path / "model")
    outside = tmp_path / "outside.json"
    os.link(folder / "tokenizer.json", outside)
    kept = outside.read_bytes()
    assert vocarix("shrink", folder, "5", "--in-place").returncode == 0
    assert outside.read_bytes() == kept and (folder / "tokenizer.json").read_bytes() != kept
    link = tmp_path / "link.json"
    link.symlink_to(outside)
    assert vocarix("shrink", link, "5", "--in-place").returncode == 0
    assert outside.read_bytes() == kept and not link.is_symlink()
    # -o over an existing link replaces the link too.
    target = tmp_path / "target.json"
    target.write_text("keep me", encoding="utf-8")
    (tmp_path / "out.json").symlink_to(target)
    assert vocarix("shrink", outside, "5", "-o", tmp_path / "out.json").returncode == 0
    assert target.read_text(encoding="utf-8") == "keep me"


def test_two_edits_at_once_take_turns_and_both_hold(tmp_path):
    """The second edit waits for the first, naming it, then edits the result."""
    folder = copy_folder(EXAMPLE_FOLDER, tmp_path / "model")
    held = _native.lock_for_edit(str(folder))  # this test process edits first
    processes = [subprocess.Popen([sys.executable, "-m", "vocarix_tools.cli", "add", str(folder), token, "--in-place"],
                                  env=ENVIRONMENT, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                 for token in ("Ġorchardwords", "Ġcollectedness")]
    time.sleep(3)
    assert all(process.poll() is None for process in processes)
    held.release()
    results = [process.communicate(timeout=120) for process in processes]
    assert [process.returncode for process in processes] == [0, 0], results
    for _, err in results:
        assert err.startswith(f"vocarix: waiting for process {os.getpid()} (")
        assert err.endswith(f") to finish its edit of {folder}\n")
    vocab = _native.open(str(folder / "tokenizer.json")).get_vocab()
    assert "Ġorchardwords" in vocab and "Ġcollectedness" in vocab
    assert vocarix("check", folder).returncode == 0


def test_outputs_that_would_replace_an_input_are_refused(tmp_path):
    tokenizer = tmp_path / "tokenizer.json"
    tokenizer.write_bytes((EXAMPLE_FOLDER / "tokenizer.json").read_bytes())
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("the orchard was quiet\n" * 20, encoding="utf-8")
    os.link(corpus, tmp_path / "hard.txt")
    (tmp_path / "soft.json").symlink_to(tokenizer)
    folder = copy_folder(EXAMPLE_FOLDER, tmp_path / "model")
    cases = [
        ["count-words", tokenizer, "--corpus", corpus, "-o", corpus],
        ["count-words", tokenizer, "--corpus", corpus, "-o", tokenizer],
        ["count-words", tokenizer, "--corpus", corpus, "-o", tmp_path / "hard.txt"],
        ["shrink", tokenizer, "5", "-o", tmp_path / "soft.json"],
        ["shrink", tokenizer, "5", "-o", tmp_path / "x.json", "--id-map", tmp_path / "x.json"],
        ["shrink", folder, "5", "--in-place", "--id-map", folder / "config.json"],
    ]
    for argv in cases:
        before = {path: path.read_bytes() for path in tmp_path.rglob("*") if path.is_file()}
        done = vocarix(*argv)
        assert done.returncode == 2 and done.stdout == "" and done.stderr.count("\n") == 1, (argv, done.stderr)
        assert "nothing read or written" in done.stderr or "name the same file" in done.stderr
        assert {path: path.read_bytes() for path in tmp_path.rglob("*") if path.is_file()} == before


def test_a_killed_copy_leaves_a_partial_folder_the_next_run_removes(tmp_path):
    folder = copy_folder(EXAMPLE_FOLDER, tmp_path / "model")
    out = tmp_path / "out"
    done = vocarix("shrink", folder, "5", "-o", out, hook=f"3 {int(signal.SIGKILL)}")
    assert done.returncode == -signal.SIGKILL
    partial = [path.name for path in tmp_path.iterdir() if ".vocarix-partial-" in path.name]
    assert len(partial) == 1 and not out.exists()
    again = vocarix("shrink", folder, "5", "-o", out)
    assert again.returncode == 0
    assert f"removed the partial folder of an interrupted write in {tmp_path}: {partial[0]}" in again.stderr
    assert sorted(path.name for path in tmp_path.iterdir()) == ["model", "out"]


def test_sparse_files_stay_sparse_and_subfolder_weights_are_named(tmp_path):
    folder = copy_folder(EXAMPLE_FOLDER, tmp_path / "model")
    with open(folder / "sparse.dat", "wb") as handle:
        handle.truncate(1 << 30)
        handle.write(b"start")
    (folder / "onnx").mkdir()
    (folder / "onnx" / "model.onnx").write_bytes(b"\0" * 64)
    done = vocarix("shrink", folder, "50", "--json", "-o", tmp_path / "out")
    assert done.returncode == 0, done.stderr
    copied = tmp_path / "out" / "sparse.dat"
    assert copied.stat().st_size == 1 << 30 and copied.stat().st_blocks * 512 < 1 << 20
    assert (tmp_path / "out" / "onnx" / "model.onnx").read_bytes() == b"\0" * 64
    text = vocarix("shrink", folder, "50", "--dry-run").stdout
    assert "note: onnx/model.onnx (weights in a subfolder) is left as it is and keeps the old rows" in text


def test_an_in_place_edit_of_a_folder_that_takes_no_new_file_changes_nothing(tmp_path):
    """No new file can be made beside the old ones, so none is rewritten in its place."""
    folder = copy_folder(EXAMPLE_FOLDER, tmp_path / "model")
    before = snapshot(folder)
    if os.geteuid() == 0:
        # Root writes into read-only directories, not into immutable ones.
        if subprocess.run(["chattr", "+i", str(folder)], capture_output=True).returncode != 0:
            pytest.skip("the file system has no immutable directories")
        undo = ["chattr", "-i", str(folder)]
    else:
        folder.chmod(0o555)
        undo = ["chmod", "755", str(folder)]
    try:
        done = vocarix("shrink", folder, "5", "--in-place")
    finally:
        subprocess.run(undo, check=True)
    assert done.returncode == 1 and done.stderr.count("\n") == 1, done.stderr
    assert "cannot create a new file beside it" in done.stderr
    assert snapshot(folder) == before


def test_the_python_api_settles_on_open_and_refuses_a_folder_changed_under_it(edit_case, tmp_path):
    from vocarix_tools.model_folder import open_model

    folder, counts, before, after = edit_case
    vocarix(*edit_argv(folder, counts), hook=f"8 {int(signal.SIGKILL)}")
    model = open_model(folder)
    assert model.settled.startswith(f"completed an interrupted edit of {folder}")
    assert snapshot(folder) == after
    model.editor.shrink(5)
    (folder / "generation_config.json").write_text('{"eos_token_id": 2}', encoding="utf-8")
    with pytest.raises(ValueError, match="generation_config.json changed since the folder was read"):
        model.save()
    assert (folder / "generation_config.json").read_text(encoding="utf-8") == '{"eos_token_id": 2}'
    # A record that is not whole (only a hand could make one) stops every command with one line naming it.
    (folder / ".vocarix-edit-journal").write_text("vocarix edit journal 1\nrename x", encoding="utf-8")
    done = vocarix("stats", folder)
    assert done.returncode == 1 and done.stderr.count("\n") == 1 and ".vocarix-edit-journal" in done.stderr
