"""Every subcommand meets bad input with one line on standard error and exit
status 1 (input) or 2 (usage), never a traceback."""
import json
import os
import subprocess
import sys
import threading

import pytest

from vocarix_tools.cli import app
from conftest import document, model_section

VOCAB = {"<unk>": 0, "a": 1, "b": 2, "ab": 3}
GOOD = json.dumps(document(model=model_section(VOCAB, [("a", "b")])))

# How each subcommand is called, with T for the tokenizer under test and G for a good one.
CALLS = {
    "stats": ["T"],
    "validate": ["T"],
    "check": ["T"],
    "add": ["T", "ab", "-o", "OUT"],
    "remove": ["T", "ab", "-o", "OUT"],
    "shrink": ["T", "1", "-o", "OUT"],
    "sync-chars": ["T", "G", "-o", "OUT"],
    "reindex": ["T", "-o", "OUT"],
    "show": ["T", "ab"],
    "longest": ["T"],
    "diff": ["T", "G"],
    "count": ["T", "--corpus", "G", "-o", "OUT"],
    "prune": ["T", "--counts", "G", "--size", "1", "-o", "OUT"],
    "learn": ["T", "--corpus", "G", "--add", "1", "-o", "OUT"],
    "merge": ["T", "G", "-o", "OUT"],
    "count-words": ["T", "--corpus", "G", "-o", "OUT"],
    "sync-gguf": ["T", "G", "-o", "OUT"],
}


def subcommands():
    return list(app._subcommands(app.build_parser()))


def wrong_types():
    """The good document with one field at a time given a value of the wrong type."""
    for field, wrong in [("version", 1), ("added_tokens", {}), ("model", []),
                         ("model", "BPE")]:
        doc = json.loads(GOOD)
        doc[field] = wrong
        yield f"top-{field}-{type(wrong).__name__}", json.dumps(doc)
    for field, wrong in [("type", 1), ("dropout", "x"), ("unk_token", 5), ("continuing_subword_prefix", 1),
                         ("end_of_word_suffix", []), ("fuse_unk", "no"), ("byte_fallback", 0),
                         ("ignore_merges", None), ("vocab", []), ("vocab", {"a": -1}), ("vocab", {"a": 1.5}),
                         ("vocab", {"a": 2 ** 32}), ("merges", {"a": "b"}), ("merges", [["a"]]),
                         ("merges", [["a", 1]]), ("merges", ["a b", ["a", "b"]]), ("merges", ["ab"]),
                         ("merges", [5])]:
        doc = json.loads(GOOD)
        doc["model"][field] = wrong
        yield f"model-{field}-{type(wrong).__name__}", json.dumps(doc)


BAD_TEXTS = [
    ("empty", ""),
    ("truncated", GOOD[: len(GOOD) // 2]),
    ("not-json", "tokenizer"),
    ("array", "[1, 2]"),
    ("nul", "\0"),
    ("invalid-utf8", b'{"version": "\xff"}'),
    ("deep", "[" * 100000),
    *wrong_types(),
]


@pytest.fixture
def good(tmp_path):
    path = tmp_path / "good.json"
    path.write_text(GOOD, encoding="utf-8")
    return path


def run(capfd, argv):
    code = app.main([str(a) for a in argv])
    out, err = capfd.readouterr()
    return code, out, err


def assert_one_line_failure(code, out, err, argv):
    assert code in (1, 2), (argv, code, out, err)
    assert "Traceback" not in out + err, (argv, err)
    lines = [line for line in err.splitlines() if not line.startswith("note: ")]
    assert len(lines) == 1 and "error" in lines[0], (argv, err)


def argv_for(command, tokenizer, good, out):
    replace = {"T": tokenizer, "G": good, "OUT": out}
    return [command] + [replace.get(a, a) for a in CALLS[command]]


def test_every_subcommand_has_a_bad_input_call():
    assert sorted(subcommands()) == sorted(CALLS)


@pytest.mark.parametrize("name,text", BAD_TEXTS, ids=[name for name, _ in BAD_TEXTS])
def test_malformed_documents(name, text, tmp_path, good, capfd):
    bad = tmp_path / "bad.json"
    bad.write_bytes(text if isinstance(text, bytes) else text.encode("utf-8"))
    for command in subcommands():
        argv = argv_for(command, bad, good, tmp_path / "out.json")
        assert_one_line_failure(*run(capfd, argv), argv)
        assert not (tmp_path / "out.json").exists()
    # As the second file of diff, the source of sync-chars and OTHER of merge too.
    for command in ("diff", "sync-chars", "merge"):
        argv = argv_for(command, good, bad, tmp_path / "out.json")
        assert_one_line_failure(*run(capfd, argv), argv)


def test_missing_files_directories_and_unwritable_outputs(tmp_path, good, capfd):
    for target in (tmp_path / "missing.json", tmp_path):
        for command in subcommands():
            argv = argv_for(command, target, good, tmp_path / "out.json")
            assert_one_line_failure(*run(capfd, argv), argv)
    for out in (tmp_path / "no-such-dir" / "out.json", tmp_path):
        for command in ("add", "remove", "reindex", "shrink"):
            argv = argv_for(command, good, good, out)
            assert_one_line_failure(*run(capfd, argv), argv)


@pytest.mark.parametrize("number", ["1_0", "٣", " 1 ", "-1", "+1", "1.5", "", "0x10", "99999999999999999999999"])
def test_numbers_are_plain_decimal_digits(number, good, tmp_path, capfd):
    for argv in (["shrink", good, number, "--dry-run"], ["longest", good, number],
                 ["shrink", good, "1", "--min-id", number, "--dry-run"]):
        code, out, err = run(capfd, argv)
        assert_one_line_failure(code, out, err, argv)
        assert code == 2


def test_empty_token_lists(good, tmp_path, capfd):
    empty = tmp_path / "empty.txt"
    empty.write_text("\n\n", encoding="utf-8")
    for command in ("add", "remove"):
        for argv in ([command, good, "-o", tmp_path / "out.json"],
                     [command, good, "--from-file", empty, "-o", tmp_path / "out.json"]):
            code, out, err = run(capfd, argv)
            assert_one_line_failure(code, out, err, argv)
            assert code == 2
    for source in ("/dev/zero", tmp_path, tmp_path / "missing.txt"):
        argv = ["add", good, "--from-file", source, "-o", tmp_path / "out.json"]
        assert_one_line_failure(*run(capfd, argv), argv)


def cli_process(argv, timeout=60):
    return subprocess.run([sys.executable, "-m", "vocarix_tools.cli", *map(str, argv)],
                          capture_output=True, text=True, timeout=timeout)


@pytest.mark.parametrize("command", ["stats", "sync-chars", "diff"])
def test_endless_and_piped_inputs_end_quickly(command, good, tmp_path):
    done = cli_process(argv_for(command, "/dev/zero", good, tmp_path / "out.json"), timeout=60)
    assert_one_line_failure(done.returncode, done.stdout, done.stderr, command)
    if command != "stats":
        done = cli_process(argv_for(command, good, "/dev/zero", tmp_path / "out.json"), timeout=60)
        assert_one_line_failure(done.returncode, done.stdout, done.stderr, command)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    writer = threading.Thread(target=lambda: fifo.write_text(GOOD[:40]))
    writer.start()
    done = cli_process(argv_for(command, fifo, good, tmp_path / "out.json"), timeout=60)
    writer.join()
    assert_one_line_failure(done.returncode, done.stdout, done.stderr, command)


# Count files that once ended in a traceback or in a message naming no file.
BAD_COUNT_FILES = {
    "nested": ('{"a": ' + "[" * 3000 + "]" * 3000 + "}", "its values nest too deeply"),
    "past 2^64": ('{"ab": 18446744073709551616}', 'the count of "ab" is 18446744073709551616, more than'),
    "past 2^64, a line": ('["ab", 1]\n["ab", 18446744073709551616]\n', ":2: the count of"),
    "lone surrogate": ('{"\\ud800": 5}', 'the key "\\ud800" is no text'),
}


@pytest.mark.parametrize("case", sorted(BAD_COUNT_FILES))
def test_bad_count_files_are_one_line_naming_the_file(case, capfd, tmp_path):
    tokenizer = tmp_path / "t.json"
    tokenizer.write_text(GOOD, encoding="utf-8")
    counts = tmp_path / "counts.json"
    text, expected = BAD_COUNT_FILES[case]
    counts.write_text(text, encoding="utf-8")
    for argv in (["prune", tokenizer, "--counts", counts, "--size", "1", "-o", tmp_path / "out.json"],
                 ["learn", tokenizer, "--word-counts", counts, "--add", "1", "-o", tmp_path / "out.json"],
                 ["add", tokenizer, "ab", "--keep-size", "--counts", counts, "-o", tmp_path / "out.json"]):
        code, out, err = run(capfd, argv)
        assert_one_line_failure(code, out, err, argv)
        assert f"{counts}" in err and expected in err, (argv, err)
    # Two files whose sums pass the largest count name the second.
    half = tmp_path / "half.json"
    half.write_text('{"ab": 18446744073709551615}', encoding="utf-8")
    code, out, err = run(capfd, ["learn", tokenizer, "--word-counts", half, half, "--add", "1", "-o", tmp_path / "o"])
    assert code == 1 and f"{half}: the count of \"ab\" brings its sum over the files to" in err
