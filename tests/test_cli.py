"""The `vocarix` command-line tool, run in-process through main()."""
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vocarix
from vocarix_tools.cli import inspect_commands
from conftest import doc_text, run_json

VOCAB = {"<unk>": 0, "a": 1, "b": 2, "c": 3, "ab": 4, "abc": 5, "x": 9, "xy": 12}
MERGES = [("a", "b"), ("ab", "c"), ("x", "y"), ("q", "r")]  # ("q", "r") is invalid


@pytest.fixture
def tok(tmp_path):
    path = tmp_path / "tokenizer.json"
    path.write_text(doc_text(VOCAB, MERGES), encoding="utf-8")
    return path


def vocab_of(path):
    return vocarix.Vocarix(str(path)).get_vocab()


def test_stats_text_and_json(cli, tok):
    code, out, _ = cli("stats", tok)
    assert code == 0
    assert "8 (ids 0..12)" in out and "id gaps:         5" in out and "4 (1 invalid)" in out
    bars = {int(line.split("|")[0]): line for line in out.splitlines() if "|" in line and "tokens" not in line}
    assert sorted(bars) == [1, 2, 3, 5]
    # Bars scale with the counts: length 1 (4 tokens) is the longest, 3 and 5 (1 each) equal.
    widths = {length: len(line.split("|")[1].split()[0]) for length, line in bars.items()}
    assert widths[1] == inspect_commands.BAR_WIDTH and widths[2] == widths[1] // 2 and widths[3] == widths[5]
    result = run_json(cli, "stats", tok)["result"]
    assert result["length_distribution"] == [[1, 4], [2, 2], [3, 1], [5, 1]]
    assert (result["total_gaps"], result["invalid_merges_count"], result["max_token_id"]) == (5, 1, 12)


@pytest.mark.parametrize("argv", [
    ["add", "zz"], ["add", "--atomic", "zz"], ["remove", "ab"], ["shrink", "1"],
    ["reindex"], ["validate", "--remove"], ["sync-chars", "SOURCE"],
])
def test_editing_needs_an_output(cli, tok, argv):
    before = tok.read_bytes()
    code, out, err = cli(argv[0], tok, *[str(tok) if a == "SOURCE" else a for a in argv[1:]])
    assert code == 2 and out == ""
    assert err.count("\n") == 1 and "-o OUT or --in-place" in err
    assert tok.read_bytes() == before and os.listdir(tok.parent) == [tok.name]


def test_validate_lists_then_removes_in_place(cli, tok):
    code, out, _ = cli("validate", tok)
    assert code == 0 and '"q" + "r" -> "qr"' in out and "3 valid, 1 invalid" in out
    data = run_json(cli, "validate", tok, "--remove", "--in-place", "--literal")
    assert data["result"]["removed"] == 1 and data["result"]["invalid_merges"] == [[3, "q", "r"]]
    assert data["before"]["merges_count"] == 4 and data["after"]["merges_count"] == 3
    assert ("q", "r") not in vocarix.Vocarix(str(tok)).get_merges()
    assert os.listdir(tok.parent) == [tok.name]  # no temporary file left behind


def test_add_full_atomic_and_from_file(cli, tok, tmp_path):
    out = tmp_path / "out.json"
    data = run_json(cli, "add", tok, "abcd", "ab", "-o", out, "--method", "prefix")
    assert [r["method"] for r in data["result"]] == ["longest_prefix", "already_exists"]
    assert data["result"][0]["added_merges"] == [["abc", "d"]]
    assert ("abc", "d") in vocarix.Vocarix(str(out)).get_merges()

    # Only the line break is stripped; spaces belong to the token. BOM and CRLF are handled.
    tokens = tmp_path / "tokens.txt"
    tokens.write_bytes("\ufeff  spaced \r\n\n \n\u2581the\n[PAD]".encode("utf-8"))
    code, text, _ = cli("add", tok, "--atomic", "--from-file", tokens, "<unk>", "-o", out, "--literal")
    assert code == 0 and "5 tokens: 4 added without merges, 1 already present" in text
    editor = vocarix.Vocarix(str(out))
    assert all(editor.has_token(t) for t in ["  spaced ", " ", "\u2581the", "[PAD]"])
    assert not editor.has_token("spaced") and editor.merges_count == len(MERGES)


def test_add_keep_size_with_whitelist(cli, tok, tmp_path):
    out = tmp_path / "out.json"
    # "zq" brings "z" and "q" along; one removal follows: the longest candidate "abc".
    result = run_json(cli, "add", tok, "--keep-size", "zq", "-o", out, "--literal")["result"]
    assert (result["tokens_added"], result["tokens_removed"], result["final_vocab_size"]) == (1, 1, 10)
    assert "abc" not in vocab_of(out)
    result = run_json(cli, "add", tok, "--keep-size", "zq", "--whitelist", "abc", "ab", "-o", out,
                      "--literal")["result"]
    vocab = vocab_of(out)
    assert "abc" in vocab and "xy" not in vocab and "zq" in vocab


def test_remove_reports_cascade_and_missing(cli, tok, tmp_path):
    out = tmp_path / "out.json"
    code, text, _ = cli("remove", tok, "ab", "abc", "zzz", "-o", out)
    assert code == 0
    assert 'already removed as dependents: "abc"' in text and 'not in the vocabulary: "zzz"' in text
    assert set(vocab_of(out)) == set(VOCAB) - {"ab", "abc"}
    data = run_json(cli, "remove", tok, "ab", "zzz", "-o", out)
    assert data["result"]["not_found"] == ["zzz"]
    assert sorted(data["result"]["results"][0]["removed_tokens"]) == ["ab", "abc"]


def test_shrink_dry_run_and_min_id(cli, tok, tmp_path):
    out = tmp_path / "out.json"
    code, text, _ = cli("shrink", tok, "5", "--dry-run")
    assert code == 0 and text.index('"abc"') < text.index('"xy"') < text.index('"ab"')
    assert not out.exists()
    assert cli("shrink", tok, "1", "--dry-run", "-o", out)[0] == 2
    result = run_json(cli, "shrink", tok, "5", "--min-id", "10", "-o", out)["result"]
    assert result["tokens_removed_count"] == 1 and "xy" not in vocab_of(out) and "abc" in vocab_of(out)


def test_sync_chars_and_reindex(cli, tok, tmp_path):
    source = tmp_path / "source.json"
    source.write_text(doc_text({"a": 0, "\u00e9": 1, "Z": 2}), encoding="utf-8")
    out = tmp_path / "out.json"
    code, text, err = cli("sync-chars", tok, source, "-o", out)
    assert code == 0 and "2 added" in text and "Phase 1" in err  # progress arrives on fd 2
    editor = vocarix.Vocarix(str(out))
    assert editor.has_token("\u00e9") and editor.has_token("Z") and not editor.check_vocab_gaps()[0]

    result = run_json(cli, "reindex", tok, "-o", out)["result"]
    assert (result["ids_remapped"], result["gaps_removed"], result["new_max_id"]) == (2, 5, 7)
    assert sorted(vocab_of(out).values()) == list(range(8))
    code, text, _ = cli("reindex", out, "--in-place")
    assert code == 0 and "already sequential" in text


@pytest.mark.parametrize("case, expected", [
    ("missing", "No such file"),
    ("malformed", "Merge must have exactly 2 elements at line"),
    ("token-file", "cannot read"),
    ("not-utf8", "not UTF-8"),
    ("source", "No such file"),
    ("out-dir", "does not exist"),
])
def test_input_errors_are_one_line_exit_1(cli, tok, tmp_path, case, expected):
    bad = tmp_path / "bad.json"
    bad.write_text('{"model": {"type": "BPE", "vocab": {}, "merges": [["a", "b", "c"]]}}')
    binary = tmp_path / "binary.txt"
    binary.write_bytes(b"ok\n\xff\xfe\n")
    argv = {
        "missing": ["stats", tmp_path / "nope.json"],
        "malformed": ["stats", bad],
        "token-file": ["add", tok, "--from-file", tmp_path / "nope.txt", "-o", tmp_path / "o.json"],
        "not-utf8": ["remove", tok, "--from-file", binary, "-o", tmp_path / "o.json"],
        "source": ["sync-chars", tok, tmp_path / "nope.json", "-o", tmp_path / "o.json"],
        "out-dir": ["reindex", tok, "-o", tmp_path / "no" / "o.json"],
    }[case]
    code, out, err = cli(*argv)
    assert code == 1 and out == ""
    assert err.count("\n") == 1 and expected in err and "Traceback" not in err


@pytest.mark.parametrize("argv", [
    ["shrink", "TOK", "-1", "-o", "o.json"],
    ["shrink", "TOK", "ten", "-o", "o.json"],
    ["shrink", "TOK", "1", "--min-id", str(2**32), "-o", "o.json"],
    ["add", "TOK", "zz", "--whitelist", "a", "-o", "o.json"],
    ["add", "TOK", "zz", "--atomic", "--keep-size", "-o", "o.json"],
    ["add", "TOK", "-o", "o.json"],
    ["validate", "TOK", "-o", "o.json"],
    ["stats", "TOK", "--in-place"],
    ["frobnicate", "TOK"],
    [],
])
def test_usage_errors_are_one_line_exit_2(cli, tok, argv):
    code, out, err = cli(*[tok if a == "TOK" else a for a in argv])
    assert code == 2 and out == "" and err.count("\n") == 1


def test_tokens_after_double_dash_and_between_options(cli, tok, tmp_path):
    out = tmp_path / "out.json"
    assert cli("add", tok, "--atomic", "q", "-o", out, "r", "--", "-dash")[0] == 0
    assert {"q", "r", "-dash"} <= set(vocab_of(out))


def test_older_layouts_load_with_a_notice_and_keep_their_form(cli, tmp_path):
    legacy = tmp_path / "legacy.json"
    legacy.write_text(json.dumps({
        "version": "1.0", "added_tokens": [],
        "model": {"type": "BPE", "unk_token": None, "vocab": {"a": 0, "b": 1, "ab": 2}, "merges": ["a b"]},
    }))
    code, out, err = cli("add", legacy, "abc", "-o", tmp_path / "out.json")
    assert code == 0 and err.startswith("note: ") and "read in an older form" in err and err.count("\n") == 1
    saved = json.loads((tmp_path / "out.json").read_text())
    assert saved["model"]["unk_token"] is None
    assert saved["model"]["merges"][:1] == ["a b"] and "ignore_merges" not in saved["model"]


@pytest.mark.skipif(shutil.which("vocarix") is None, reason="console script not installed")
def test_console_script():
    done = subprocess.run(["vocarix", "--version"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout.strip() == f"vocarix {vocarix.__version__}"


def test_the_table_of_subcommands_is_what_their_modules_register():
    from vocarix_tools.cli import app

    for names in app.COMMAND_MODULES.values():
        assert list(app._subcommands(app.build_parser(names[0]))) == names
    assert list(app._subcommands(app.build_parser())) == sum(app.COMMAND_MODULES.values(), [])


def test_starting_the_tool_imports_only_what_the_command_needs():
    show_modules = ("import sys; from vocarix_tools.cli import main; main(sys.argv[1:]); "
                    "print(' '.join(sorted(m for m in sys.modules if m.startswith('vocarix'))))")

    def modules_after(*argv):
        done = subprocess.run([sys.executable, "-c", show_modules, *argv], capture_output=True, text=True,
                              timeout=60, env=dict(os.environ, PYTHONPATH=str(Path(vocarix.__file__).parent)))
        assert done.returncode == 0, done.stderr
        return done.stdout.splitlines()[-1].split()

    assert modules_after("--version") == ["vocarix_tools", "vocarix_tools._version", "vocarix_tools.cli",
                                          "vocarix_tools.cli.app"]
    loaded = modules_after("add", "--help")
    assert "vocarix_tools.cli.edit_commands" in loaded and "vocarix_tools.cli.inspect_commands" not in loaded


@pytest.mark.parametrize("target", ["-", "/dev/stdout"])
def test_output_to_standard_output_carries_only_the_tokenizer(tok, tmp_path, target):
    log = tmp_path / "log.txt"
    log.write_text("earlier\n")
    with open(log, "a") as out:
        done = subprocess.run([sys.executable, "-m", "vocarix_tools.cli", "add", str(tok), "xyz", "-o", target,
                               "--json"], stdout=out, stderr=subprocess.PIPE, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    earlier, document_text = log.read_text().split("\n", 1)
    assert earlier == "earlier"
    assert "xyz" in json.loads(document_text)["model"]["vocab"]
    assert json.loads(done.stderr)["output"] == target  # the summary went to standard error
    assert not (tmp_path / "-").exists()
