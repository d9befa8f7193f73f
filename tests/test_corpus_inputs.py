"""Corpora of every shape: standard input, pipes and FIFOs count as the file
they carry in every command that reads a corpus; a line of any length is
counted in bounded pieces with the counts of the whole line; inputs that
cannot be read, hold no text or are not text fail at once, naming the input;
a Ctrl-C while a corpus is awaited ends the command with nothing written."""

import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import REPO, sigint_as_default
from corpora import code_lines, prose_lines
from vocarix_tools import _native, corpus_counting
from vocarix_tools import open as open_tokenizer

EXAMPLE = REPO / "examples" / "tokenizer.json"
OTHER = REPO / "tests" / "fixtures" / "real" / "tiny-random-gpt2.string.json"
PIPELINES = sorted((REPO / "tests" / "fixtures" / "pipelines").glob("*.json"))
SAMPLE_LINES = (REPO / "tests" / "data" / "multiscript_sample.txt").read_text(encoding="utf-8").splitlines()

# Every command that reads a corpus, with C for the corpus and OUT for its output.
COMMANDS = {
    "count-words": ["count-words", EXAMPLE, "--corpus", "C", "-o", "OUT"],
    "learn": ["learn", EXAMPLE, "--corpus", "C", "--add", "40", "-o", "OUT"],
    "learn --keep-size": ["learn", EXAMPLE, "--corpus", "C", "--add", "40", "--keep-size", "-o", "OUT"],
    "merge --corpus": ["merge", EXAMPLE, OTHER, "--add", "40", "--corpus", "C", "-o", "OUT"],
    "prune --corpus": ["prune", EXAMPLE, "--corpus", "C", "--size", "900", "-o", "OUT"],
    "count": ["count", EXAMPLE, "--corpus", "C", "-o", "OUT"],
    "add --keep-size --corpus": ["add", EXAMPLE, "corpus", "reading", "--keep-size", "--corpus", "C", "-o", "OUT"],
}


def argv_for(command, corpus, out):
    return [corpus if a == "C" else out if a == "OUT" else a for a in COMMANDS[command]]


def writer(corpus, into=None):
    """A program that writes the corpus to a pipe (or into a FIFO): another
    process, as in a shell, so that only it holds the writing end."""
    if into is None:
        return subprocess.Popen(["cat", str(corpus)], stdout=subprocess.PIPE)
    return subprocess.Popen(["sh", "-c", 'cat "$0" > "$1"', str(corpus), str(into)])


@pytest.fixture(scope="module")
def corpus_text():
    return ("\n".join(code_lines(25_000) + prose_lines(15_000)) + "\n").encode("utf-8")


@pytest.fixture
def corpus_file(corpus_text, tmp_path):
    path = tmp_path / "corpus.txt"
    path.write_bytes(corpus_text)
    return path


def run_shaped(cli, command, shape, corpus, tmp_path, monkeypatch):
    """Runs `command` on the corpus file given as itself, as '-', as a pipe
    (/dev/fd/N) or as a FIFO; returns the output file's bytes."""
    out = tmp_path / f"{command}-{shape}.out".replace(" ", "_")
    program = None
    if shape == "file":
        given = corpus
    elif shape == "fifo":
        given = tmp_path / f"fifo-{command}".replace(" ", "_")
        os.mkfifo(given)
        program = writer(corpus, into=given)
    else:
        program = writer(corpus)
        given = "-" if shape == "-" else f"/dev/fd/{program.stdout.fileno()}"
        if shape == "-":
            monkeypatch.setattr(sys, "stdin", program.stdout)
    try:
        code, _, err = cli(*argv_for(command, given, out))
    finally:
        if program:
            program.communicate(timeout=30)
    assert code == 0, (command, shape, err)
    return out.read_bytes()


@pytest.mark.parametrize("command", sorted(COMMANDS))
def test_standard_input_a_pipe_and_a_fifo_count_as_the_file_they_carry(command, cli, corpus_file, tmp_path,
                                                                       monkeypatch):
    from_file = run_shaped(cli, command, "file", corpus_file, tmp_path, monkeypatch)
    for shape in ("-", "pipe", "fifo"):
        assert run_shaped(cli, command, shape, corpus_file, tmp_path, monkeypatch) == from_file, shape


def test_the_runtime_counting_a_pipeline_the_core_cannot_reads_every_shape_too(cli, corpus_file, tmp_path,
                                                                             monkeypatch):
    pytest.importorskip("tokenizers")
    from_core = json.loads(run_shaped(cli, "count", "file", corpus_file, tmp_path, monkeypatch))

    def cannot(editor):
        raise ValueError("the pre-tokenizer Example cannot be applied")

    monkeypatch.setattr(corpus_counting, "check_counting", cannot)
    for shape in ("file", "-", "fifo"):
        assert json.loads(run_shaped(cli, "count", shape, corpus_file, tmp_path, monkeypatch)) == from_core, shape
    blank = tmp_path / "blank.txt"
    blank.write_bytes(b" \n\n")
    code, _, err = cli("count", EXAMPLE, "--corpus", corpus_file, blank, "-o", tmp_path / "out.json")
    assert code == 1 and f"{blank}: holds no text" in err


def test_a_shell_pipe_counts_as_its_file_on_processes_and_on_dask(corpus_file, tmp_path):
    corpus = corpus_file
    script = ('vocarix() { "$PYTHON" -m vocarix_tools.cli "$@"; }; '
              'vocarix count-words "$T" --corpus "$C" -o "$D/file.json" && '
              'vocarix count-words "$T" --corpus <(cat "$C") --jobs 2 -o "$D/jobs.json" && '
              'cat "$C" | vocarix count-words "$T" --corpus - --jobs 2 -o "$D/stdin.json"')
    runs = ["file", "jobs", "stdin"]
    pytest.importorskip("dask")
    script += ' && vocarix count-words "$T" --corpus <(cat "$C") --scheduler local -o "$D/dask.json"'
    runs.append("dask")
    env = dict(os.environ, PYTHON=sys.executable, T=str(EXAMPLE), C=str(corpus), D=str(tmp_path))
    done = subprocess.run(["bash", "-c", script], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    outputs = {run: (tmp_path / f"{run}.json").read_bytes() for run in runs}
    assert all(output == outputs["file"] for output in outputs.values()), sorted(outputs)


# --- long lines ---------------------------------------------------------------

def counts_of(table):
    return table.words(), table.added_tokens(), table.lines


def pipelines_that_cut():
    """Every pipeline kind the tests hold, and the real files, that the cut rule accepts."""
    found = []
    for path in PIPELINES + sorted((REPO / "tests" / "fixtures" / "real").glob("*.json")):
        editor = open_tokenizer(str(path))
        if _native.LineCuts([editor]).cuts:
            found.append((path.name, editor))
    return found


CUT_PIPELINES = pipelines_that_cut()

# Text where cuts go wrong if anywhere: runs of spaces, contractions, digits,
# marks, ligatures, added tokens, markers, CJK, other white space.
PIECES = [" ", "  ", "   ", "\t", " \u00a0", "\u3000", "'s", "'ll", "123", "4567", ". ", ", ", "!", "ﬁ", "é",
          "e\u0301", "Σ", "İ", "▁", "<mask>", "<|endoftext|>", " <s> ", "中文", "Hello", " world", "x"]
line_texts = st.lists(st.one_of(st.sampled_from(PIECES),
                                st.sampled_from(SAMPLE_LINES).flatmap(
                                    lambda line: st.integers(0, len(line)).map(lambda i: line[i:i + 25]))),
                      min_size=1, max_size=14).map("".join)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(text=line_texts)
def test_a_line_cut_at_any_place_the_rule_allows_counts_as_the_whole_line(text):
    line = text.encode("utf-8")
    for name, editor in CUT_PIPELINES:
        whole = _native.WordCountTable(editor)
        whole.count_bytes(line, "whole")
        for place in _native.LineCuts([editor]).places(line):
            table = _native.WordCountTable(editor)
            table.count_bytes(line[:place], "head")
            table.count_bytes(line[place:], "rest", place, True)
            assert counts_of(table) == counts_of(whole), (name, line, place)


def test_the_rule_cuts_before_a_space_after_a_character_and_refuses_pipelines_it_cannot_prove():
    names = {name for name, _ in CUT_PIPELINES}
    # The byte-level, Metaspace, Whitespace and Bert families, with and without normalizers, are cut.
    assert {"byte-level.json", "llama3-style.json", "qwen3-style.json", "deepseek-style.json", "metaspace-first.json",
            "whitespace.json", "bert-pre-tokenizer.json", "nfkc.json", "tiny-random-gpt2.string.json"} <= names
    gpt2 = dict(CUT_PIPELINES)["tiny-random-gpt2.string.json"]
    cuts = _native.LineCuts([gpt2])
    # Before a space that follows a character that is not white space.
    assert cuts.places("to be  or\tnot, é b".encode()) == [2, 5, 14, 17]
    # A pipeline without a pre-tokenizer makes each line one word: no place to cut, and why.
    refused = {
        "prepend.json": "a whole line is one word",
        "strip.json": "Strip",
        "unicode-scripts.json": "may join a space",
        "split-merged-with-previous.json": "starts a piece at a space",
        "precompiled.json": "Precompiled",
    }
    for name, says in refused.items():
        cuts = _native.LineCuts([open_tokenizer(str(REPO / "tests" / "fixtures" / "pipelines" / name))])
        assert not cuts.cuts and says in cuts.reason and cuts.places(b"a b c") == [], name
    # A corpus counted for two files at once is cut only where both allow.
    both = _native.LineCuts([gpt2, open_tokenizer(str(REPO / "tests" / "fixtures" / "pipelines" / "prepend.json"))])
    assert not both.cuts


@pytest.mark.parametrize("block_bytes", [1, 2, 3, 5, 64])
def test_a_stream_read_in_tiny_blocks_is_cut_at_every_allowed_place_and_counts_the_same(block_bytes, tmp_path):
    name, editor = next(item for item in CUT_PIPELINES if item[0] == "llama3-style.json")
    text = "  Don't stop: 12345 words,  then\u3000中文 ﬁne\ttabs 'll end.\nA second   line ends here " * 3
    data = text.encode("utf-8")
    whole = _native.WordCountTable(editor)
    whole.count_bytes(data, "whole")
    path = tmp_path / "long.txt"
    path.write_bytes(data)
    fd = os.open(path, os.O_RDONLY)
    try:
        stream = _native.CorpusStream(fd, str(path), _native.LineCuts([editor]), block_bytes)
        table, runs = _native.WordCountTable(editor), []
        while (run := stream.next(1)) is not None:
            runs.append(run)
            table.count_bytes(run[0], str(path), run[1], run[2])
    finally:
        os.close(fd)
    assert counts_of(table) == counts_of(whole)
    assert b"".join(run[0] for run in runs) == data
    # Runs start at line starts and at places the rule allows; in blocks of a
    # byte, at every such place, as soon as the space after it is read.
    places, line_start = set(), 0
    for line in data.split(b"\n"):
        places.update(line_start + place for place in _native.LineCuts([editor]).places(line))
        line_start += len(line) + 1
    cut_at = {first_byte for _, first_byte, continues in runs if continues}
    assert cut_at == places if block_bytes == 1 else cut_at <= places
    assert len(places) >= 20


def test_a_line_longer_than_a_chunk_is_handed_out_in_bounded_pieces(tmp_path):
    words = ("lorem ipsum dolor sit amet, consectetur adipiscing elit " * 40_000).encode()  # 2.2 MB, no break
    path = tmp_path / "one-line.txt"
    path.write_bytes(words)
    byte_level = open_tokenizer(str(EXAMPLE))
    one_word = open_tokenizer(str(REPO / "tests" / "fixtures" / "pipelines" / "prepend.json"))
    sizes = {}
    for name, editor in (("byte-level", byte_level), ("no pre-tokenizer", one_word)):
        fd = os.open(path, os.O_RDONLY)
        try:
            stream = _native.CorpusStream(fd, str(path), _native.LineCuts([editor]), 4096)
            sizes[name] = [len(run[0]) for run in iter(lambda: stream.next(16_384), None)]
        finally:
            os.close(fd)
    assert max(sizes["byte-level"]) <= 16_384 + 4096 and sum(sizes["byte-level"]) == len(words)
    # A pipeline that allows no cut holds the line whole (its one word is the line).
    assert sizes["no pre-tokenizer"] == [len(words)]
    # Chunks of a file on processes end at places too, with the counts of one reading.
    one = corpus_counting.count_words(byte_level, [path])
    assert corpus_counting.count_words(byte_level, [path], jobs=2, chunk_bytes=50_000) == one
    assert one.lines == 1


# --- inputs that fail ---------------------------------------------------------

def bad_inputs(tmp_path):
    """name -> (path, what the message says besides the path)."""
    tmp_path.joinpath("empty.txt").write_bytes(b"")
    tmp_path.joinpath("blank.txt").write_bytes(b"\n  \n\t\r\n\n")
    tmp_path.joinpath("nul.txt").write_bytes(b"text\nmore te\0xt\n")
    tmp_path.joinpath("latin1.txt").write_bytes("caf\u00e9 cr\u00e8me\n".encode("latin-1"))
    tmp_path.joinpath("a-directory").mkdir()
    return {
        "missing": (tmp_path / "missing.txt", "No such file"),
        "a directory": (tmp_path / "a-directory", "directory"),
        "empty": (tmp_path / "empty.txt", "holds no text"),
        "only blank lines": (tmp_path / "blank.txt", "holds no text"),
        "a NUL byte": (tmp_path / "nul.txt", "NUL byte at byte 12"),
        "not UTF-8": (tmp_path / "latin1.txt", "not UTF-8 text (byte 3)"),
    }


@pytest.mark.parametrize("command", sorted(COMMANDS))
def test_a_bad_second_corpus_fails_in_one_line_naming_it_and_writes_nothing(command, cli, corpus_text, tmp_path):
    good = tmp_path / "good.txt"
    good.write_bytes(corpus_text[:20_000].rsplit(b"\n", 1)[0] + b"\n")
    out = tmp_path / "out.json"
    for case, (bad, says) in bad_inputs(tmp_path).items():
        argv = argv_for(command, good, out)
        argv.insert(argv.index(good) + 1, bad)
        code, text, err = cli(*argv)
        lines = [line for line in err.splitlines() if not line.startswith("note:")]
        assert code == 1 and len(lines) == 1 and str(bad) in lines[0] and says in lines[0], (command, case, err)
        assert not out.exists(), (command, case)


def read_bytes_so_far():
    with open("/proc/self/io") as io:
        return int(next(line for line in io if line.startswith("rchar:")).split()[1])


@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="needs /proc/self/io to count the bytes read")
def test_an_endless_or_huge_input_that_is_not_text_fails_at_its_first_block(tmp_path):
    editor = open_tokenizer(str(EXAMPLE))
    zeros = tmp_path / "zeros.bin"  # 2 GB of NUL bytes, sparse: nothing on disk
    with open(zeros, "wb") as handle:
        handle.truncate(2 << 30)
    late = tmp_path / "late.txt"  # 3 MB of text, then a NUL byte
    late.write_bytes(b"a line of text\n" * 200_000 + b"\0 rest\n")
    cases = [([zeros], {}, f"{zeros}: not text: a NUL byte at byte 0"),
             ([zeros], {"jobs": 2, "chunk_bytes": 1 << 20}, f"{zeros}: not text: a NUL byte at byte 0"),
             (["/dev/zero"], {}, "/dev/zero: not text: a NUL byte at byte 0"),
             ([late], {}, f"{late}: not text: a NUL byte at byte 3000000")]
    if "dask" in sys.modules or _has_dask():
        cases.append(([zeros], {"scheduler": "local", "chunk_bytes": 1 << 20}, "NUL byte at byte 0"))
    for paths, options, says in cases:
        before = read_bytes_so_far()
        with pytest.raises(ValueError) as failure:
            corpus_counting.count_words(editor, paths, **options)
        assert says in str(failure.value), (paths, options)
        # Read here: a few blocks, not the input (worker processes read a block each).
        assert read_bytes_so_far() - before < 64 << 20, (paths, options)


def _has_dask():
    try:
        import dask  # noqa: F401
    except ImportError:
        return False
    return True


# --- waiting for a writer -----------------------------------------------------

def start_cli(argv, **options):
    return subprocess.Popen([sys.executable, "-m", "vocarix_tools.cli", *map(str, argv)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, preexec_fn=sigint_as_default, **options)


def stderr_line(process, timeout=20):
    """The first line the process writes on standard error."""
    line = []
    reader = threading.Thread(target=lambda: line.append(process.stderr.readline()), daemon=True)
    reader.start()
    reader.join(timeout)
    return line[0] if line else ""


def test_a_fifo_without_writer_says_what_it_waits_for_and_ctrl_c_ends_it_with_nothing_written(tmp_path):
    fifo, out = tmp_path / "no-writer", tmp_path / "out.json"
    os.mkfifo(fifo)
    process = start_cli(["learn", EXAMPLE, "--corpus", fifo, "--add", "5", "-o", out])
    try:
        assert f"waiting for a program to write to the FIFO {fifo}" in stderr_line(process)
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=20)
    finally:
        process.kill()
    assert process.returncode == 130 and "Traceback" not in err and not out.exists()


@pytest.mark.parametrize("extra", [[], ["--jobs", "2"]])
def test_ctrl_c_ends_a_count_that_waits_on_a_silent_pipe(extra, tmp_path):
    read_end, write_end = os.pipe()  # a writer that keeps the pipe open and says nothing
    out = tmp_path / "out.json"
    try:
        process = start_cli(["count-words", EXAMPLE, "--corpus", f"/dev/fd/{read_end}", "-o", out, *extra],
                            pass_fds=(read_end,))
        os.write(write_end, b"a first line\n")
        time.sleep(1.5)
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=20)
    finally:
        os.close(write_end)
        os.close(read_end)
        process.kill()
    assert process.returncode == 130 and "Traceback" not in err and not out.exists(), err


# --- memory ---------------------------------------------------------------------

@pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"), reason="needs Linux's peak memory reset")
def test_counting_one_long_line_takes_no_more_memory_than_the_same_text_in_lines(tmp_path):
    lines = ("\n".join(prose_lines(200_000)) + "\n").encode("utf-8") * 120  # 24 MB
    in_lines, one_line = tmp_path / "lines.txt", tmp_path / "one-line.txt"
    in_lines.write_bytes(lines)
    one_line.write_bytes(lines.replace(b"\n", b" "))
    growth = {}
    for path in (in_lines, one_line):
        done = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, str(EXAMPLE), str(path)], capture_output=True,
                              text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        growth[path.name] = int(done.stdout)
    # What counting adds to the peak (kB): runs of 4 MB and the table, whatever the line lengths.
    assert growth["one-line.txt"] < 2 * growth["lines.txt"] + 4096, growth


# Peak resident memory (kB) that counting the corpus adds to a process that
# has loaded the tokenizer: the peak is reset (clear_refs 5) before counting.
PEAK_SCRIPT = """
import sys
from vocarix_tools import corpus_counting, open as open_tokenizer
def status(field):
    with open("/proc/self/status") as lines:
        return int(next(line for line in lines if line.startswith(field)).split()[1])
editor = open_tokenizer(sys.argv[1])
corpus_counting.count_text(editor, "what loading the counter takes")
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")
before = status("VmRSS:")
corpus_counting.count_words(editor, [sys.argv[2]], jobs=1)
print(status("VmHWM:") - before)
"""
