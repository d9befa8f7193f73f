"""Saving never loses the previous file, and keeps what callers rely on."""
import json
import os
import re
import stat
import subprocess
import sys
import time

import pytest

import vocarix
from conftest import doc_text

EDITOR_TEXT = doc_text({"a": 0, "b": 1, "ab": 2}, [("a", "b")])


@pytest.fixture
def editor():
    return vocarix.Vocarix.from_json(EDITOR_TEXT)


def saved_text(editor, tmp_path):
    reference = tmp_path / "reference.json"
    editor.save(str(reference))
    return reference.read_bytes()


def test_existing_permissions_are_kept_and_no_temporary_file_remains(editor, tmp_path):
    target = tmp_path / "t.json"
    target.write_text("old")
    target.chmod(0o640)
    editor.save(str(target))
    assert stat.S_IMODE(target.stat().st_mode) == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["t.json"]
    assert vocarix.Vocarix(str(target)).get_vocab() == {"a": 0, "b": 1, "ab": 2}


def test_new_files_follow_the_umask(editor, tmp_path):
    old = os.umask(0o027)
    try:
        editor.save(str(tmp_path / "new.json"))
    finally:
        os.umask(old)
    assert stat.S_IMODE((tmp_path / "new.json").stat().st_mode) == 0o640


def test_a_symbolic_link_is_written_through(editor, tmp_path):
    (tmp_path / "real").mkdir()
    target = tmp_path / "real" / "t.json"
    target.write_text("old")
    link = tmp_path / "link.json"
    link.symlink_to(os.path.join("real", "t.json"))
    editor.save(str(link))
    assert link.is_symlink()
    assert target.read_bytes() == saved_text(editor, tmp_path)


def test_hard_linked_files_are_updated_in_place(editor, tmp_path):
    target = tmp_path / "t.json"
    target.write_text("old")
    other = tmp_path / "other.json"
    os.link(target, other)
    editor.save(str(target))
    assert other.read_bytes() == target.read_bytes() == saved_text(editor, tmp_path)


def test_non_regular_targets_are_written_in_place(editor, tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
    editor.save(str(fifo))
    output, _ = reader.communicate(timeout=10)
    assert output == saved_text(editor, tmp_path)
    assert stat.S_ISFIFO(fifo.stat().st_mode)


@pytest.mark.skipif(os.geteuid() == 0, reason="root ignores directory permissions")
def test_file_in_read_only_directory_is_written_in_place(editor, tmp_path):
    locked = tmp_path / "locked"
    locked.mkdir()
    target = locked / "t.json"
    target.write_text("old")
    locked.chmod(0o555)
    try:
        editor.save(str(target))
        assert target.read_bytes() == saved_text(editor, tmp_path)
        with pytest.raises(OSError, match=r'^Failed to save tokenizer: Failed to write: ".*new.json"$'):
            editor.save(str(locked / "new.json"))
    finally:
        locked.chmod(0o755)


def test_large_documents_are_saved_whole_either_way(tmp_path):
    # A regular file gets the text as it is made, in pieces; a hard-linked
    # one gets it in place, whole. Both must hold the same bytes.
    vocab = {f"token{i}": i for i in range(120_000)}
    editor = vocarix.Vocarix.from_json(doc_text(vocab, [("tok", "en")]))
    streamed = tmp_path / "streamed.json"
    editor.save(str(streamed))
    in_place = tmp_path / "in_place.json"
    in_place.write_text("old")
    os.link(in_place, tmp_path / "link.json")
    editor.save(str(in_place))
    assert streamed.read_bytes() == in_place.read_bytes()
    assert streamed.stat().st_size > 3 * 2**20
    assert json.loads(streamed.read_bytes())["model"]["vocab"] == vocab


@pytest.mark.parametrize("tokens, limit", [(2000, 4096), (150_000, 2 * 2**20)])
def test_a_save_that_fails_partway_leaves_the_old_file_intact(tmp_path, tokens, limit):
    # A file-size limit makes the write fail after some bytes reached the disk.
    target = tmp_path / "t.json"
    vocab = {f"token{i}": i for i in range(tokens)}
    vocarix.Vocarix.from_json(doc_text(vocab)).save(str(target))
    before = target.read_bytes()
    script = (
        "import resource, sys, vocarix\n"
        f"resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit}))\n"
        "editor = vocarix.Vocarix(sys.argv[1])\n"
        "editor.add_tokens(['extra%d' % i for i in range(500)])\n"
        "try:\n"
        "    editor.save(sys.argv[1])\n"
        "except OSError as error:\n"
        "    print(error)\n"
    )
    result = subprocess.run([sys.executable, "-c", script, str(target)], capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == f'Failed to save tokenizer: Failed to write: "{target}"'
    assert target.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["t.json"]


DESCRIPTOR_PATHS = ["/dev/stdout", "/dev/fd/1", "/proc/self/fd/1", "/proc/thread-self/fd/1", "/proc/{pid}/fd/1",
                    "/proc/{pid}/task/{pid}/fd/1"]


def save_in_child(path, **run_kwargs):
    """Saves EDITOR_TEXT to `path` from a fresh interpreter; {pid} in the path is the child's."""
    script = (
        "import os, sys, vocarix\n"
        "editor = vocarix.Vocarix.from_json(sys.argv[1])\n"
        "try:\n"
        "    editor.save(sys.argv[2].format(pid=os.getpid()))\n"
        "except OSError as error:\n"
        "    print(error, file=sys.stderr)\n"
    )
    return subprocess.run([sys.executable, "-c", script, EDITOR_TEXT, path], timeout=60, **run_kwargs)


@pytest.mark.parametrize("path", DESCRIPTOR_PATHS)
def test_descriptor_paths_append_to_a_redirected_output(editor, tmp_path, path):
    # Like `... >> log`: the text goes after what the log held, and the log
    # stays the same file.
    log = tmp_path / "log"
    log.write_bytes(b"earlier lines\n")
    inode = log.stat().st_ino
    with open(log, "ab") as output:
        result = save_in_child(path, stdout=output, stderr=subprocess.PIPE, text=True)
    assert result.stderr == ""
    assert log.read_bytes() == b"earlier lines\n" + saved_text(editor, tmp_path)
    assert log.stat().st_ino == inode


def test_descriptor_paths_write_to_pipes_and_refuse_closed_descriptors(editor, tmp_path):
    result = save_in_child("/dev/stderr", stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert result.stderr == saved_text(editor, tmp_path)
    result = save_in_child("/dev/fd/97", capture_output=True, text=True, cwd=tmp_path)
    assert result.stderr == 'Failed to save tokenizer: Failed to write: "/dev/fd/97"\n'
    assert sorted(p.name for p in tmp_path.iterdir()) == ["reference.json"]


def test_a_symbolic_link_loop_is_refused_and_kept(editor, tmp_path):
    os.symlink("B", tmp_path / "A")
    os.symlink("A", tmp_path / "B")
    with pytest.raises(OSError) as info:
        editor.save(str(tmp_path / "A"))
    assert str(info.value) == f'Failed to save tokenizer: Failed to write: "{tmp_path / "A"}"'
    assert os.readlink(tmp_path / "A") == "B" and os.readlink(tmp_path / "B") == "A"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["A", "B"]


@pytest.mark.parametrize("name", ["n" * 243, "n" * 244, "n" * 250, "n" * 255, "\u00e9" * 127 + "n"])
def test_the_longest_names_are_still_replaced_atomically(editor, tmp_path, name):
    target = tmp_path / name
    target.write_text("old")
    inode = target.stat().st_ino
    editor.save(str(target))
    # A rename puts a new file in place; rewriting in place would keep the inode.
    assert target.stat().st_ino != inode
    assert target.read_bytes() == saved_text(editor, tmp_path)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([name, "reference.json"])


def test_a_killed_save_leaves_the_old_file_and_a_temporary_file_of_the_documented_pattern(tmp_path):
    name = "t" * 250 + ".json"
    target = tmp_path / name
    target.write_bytes(b"old contents")
    script = (
        "import sys, vocarix\n"
        "editor = vocarix.Vocarix.from_json(sys.argv[1])\n"
        "for i in range(200_000):\n"
        "    editor.add_token_atomic('token%07d' % i + 'x' * 40)\n"
        "print('ready', flush=True)\n"
        "while True:\n"
        "    editor.save(sys.argv[2])\n"
    )
    # The child saves over and over; it is killed once its temporary file is
    # seen (should the rename come first in between, the next try catches one).
    for _ in range(5):
        child = subprocess.Popen([sys.executable, "-c", script, EDITOR_TEXT, str(target)], stdout=subprocess.PIPE)
        try:
            assert child.stdout.readline() == b"ready\n"
            deadline = time.monotonic() + 30
            while len(os.listdir(tmp_path)) < 2 and time.monotonic() < deadline:
                pass
            child.kill()
        finally:
            child.kill()
            child.wait()
        names = os.listdir(tmp_path)
        assert name in names and len(names) <= 2
        contents = target.read_bytes()
        assert contents == b"old contents" or "token0000000" + "x" * 40 in json.loads(contents)["model"]["vocab"]
        if len(names) == 2:
            break
    leftover = next(n for n in names if n != name)
    assert re.fullmatch(r"\.t{%d}\.vocarix-tmp-[A-Za-z0-9]{6}" % (255 - 20), leftover)
