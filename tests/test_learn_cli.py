"""The learn, merge and count-words commands: files that pass check and
encode as reported, the same result however the corpus is cut or counted,
and one line with nothing written for every kind of bad input."""

import json

import pytest

from conftest import REPO, run_json
from corpora import code_lines, metaspace_document, prose_lines, write

tokenizers = pytest.importorskip("tokenizers")

EXAMPLE = REPO / "examples" / "tokenizer.json"


def runtime_tokens(path, lines):
    runtime = tokenizers.Tokenizer.from_file(str(path))
    return sum(len(e.ids) for e in runtime.encode_batch(lines, add_special_tokens=False))


def test_a_learned_file_passes_check_keeps_every_id_and_encodes_as_reported(cli, tmp_path):
    lines = code_lines(120_000)
    corpus = write(tmp_path / "corpus.txt", lines)
    out, id_map = tmp_path / "learned.json", tmp_path / "map.json"
    report = run_json(cli, "learn", EXAMPLE, "--corpus", corpus, "--add", "150", "-o", out,
                      "--id-map", id_map)["result"]
    assert len(report["entries_created"]) == 150
    assert report["tokens_before"] == runtime_tokens(EXAMPLE, lines)
    assert report["tokens_after"] == runtime_tokens(out, lines) < report["tokens_before"]
    assert cli("check", out)[0] == 0
    old = json.loads(EXAMPLE.read_text(encoding="utf-8"))["model"]["vocab"]
    moved = json.loads(id_map.read_text(encoding="utf-8"))
    assert all(moved["old_to_new"][str(i)] == i for i in old.values())
    assert sorted(token for token in moved["added"]) == sorted(t for t, _ in report["entries_created"])
    new = json.loads(out.read_text(encoding="utf-8"))["model"]["vocab"]
    assert {t: new[t] for t in old} == old
    # The summary says how much shorter the corpus encodes and shows the new tokens as text.
    code, text, _ = cli("learn", EXAMPLE, "--corpus", corpus, "--add", "150", "--dry-run")
    assert code == 0 and "corpus tokens" in text and '" self"' in text


def test_one_file_shards_processes_dask_and_word_counts_learn_the_same(cli, tmp_path):
    lines = code_lines(150_000)
    whole = write(tmp_path / "whole.txt", lines)
    third = len(lines) // 3
    shards = [write(tmp_path / f"shard{i}.txt", lines[i * third:(i + 1) * third if i < 2 else None])
              for i in range(3)]
    runs = {"one file": ["--corpus", whole], "shards": ["--corpus", *shards],
            "two processes": ["--corpus", *shards, "--jobs", "2"]}
    pytest.importorskip("dask")
    runs["Dask, local"] = ["--corpus", *shards, "--scheduler", "local"]
    counts = tmp_path / "words.json"
    assert cli("count-words", EXAMPLE, "--corpus", *shards, "-o", counts)[0] == 0
    runs["word counts"] = ["--word-counts", counts]
    one_line = write(tmp_path / "one.txt", ["print"])
    code, out, err = cli("count-words", EXAMPLE, "--corpus", one_line, "-o", tmp_path / "one.json")
    assert code == 0 and "counted 1 word, 1 distinct, in 1 line;" in out + err
    outputs = {}
    for name, source in runs.items():
        out = tmp_path / f"{name}.json"
        code, _, err = cli("learn", EXAMPLE, *source, "--add", "200", "-o", out)
        assert code == 0, (name, err)
        outputs[name] = out.read_bytes()
    assert len(set(outputs.values())) == 1


def test_learning_at_a_fixed_size_keeps_the_size_and_the_ids_of_what_stays(cli, tmp_path):
    corpus = write(tmp_path / "corpus.txt", code_lines(100_000))
    out = tmp_path / "learned.json"
    report = run_json(cli, "learn", EXAMPLE, "--corpus", corpus, "--add", "60", "--keep-size", "-o", out)["result"]
    before = json.loads(EXAMPLE.read_text(encoding="utf-8"))["model"]["vocab"]
    after = json.loads(out.read_text(encoding="utf-8"))["model"]["vocab"]
    evicted = {e["token"] for e in report["evicted"]}
    assert len(after) == len(before) and len(evicted) == 60
    assert all(after[t] == i for t, i in before.items() if t not in evicted)
    assert cli("check", out)[0] == 0


def test_merge_brings_in_a_trained_tokenizer_and_refuses_another_style(cli, tmp_path):
    from tokenizers import Tokenizer, models, pre_tokenizers, trainers

    lines = code_lines(150_000)
    corpus = write(tmp_path / "corpus.txt", lines)
    runtime = tokenizers.Tokenizer.from_file(str(EXAMPLE))
    other = Tokenizer(models.BPE())
    other.pre_tokenizer = runtime.pre_tokenizer
    other.train_from_iterator(lines, trainers.BpeTrainer(vocab_size=1500, show_progress=False,
                                                         initial_alphabet=pre_tokenizers.ByteLevel.alphabet()))
    other_path = tmp_path / "other.json"
    other.save(str(other_path))
    out = tmp_path / "merged.json"
    report = run_json(cli, "merge", EXAMPLE, other_path, "--corpus", corpus, "--add", "300",
                      "-o", out)["result"]
    created = [token for token, _ in report["entries_created"]]
    assert 0 < len(created) <= 300 and report["left_out_for_room"] > 0
    used = report["corpus"]["produced"] + report["corpus"]["parts"]
    assert len(used) >= 0.8 * len(created)
    assert cli("check", out)[0] == 0 and runtime_tokens(out, lines) < runtime_tokens(EXAMPLE, lines)

    metaspace = tmp_path / "metaspace.json"
    metaspace.write_text(metaspace_document(prose_lines(40_000), 300), encoding="utf-8")
    code, _, err = cli("merge", EXAMPLE, metaspace, "-o", tmp_path / "mixed.json")
    assert code == 1 and "style" in err and "--force" in err and not (tmp_path / "mixed.json").exists()
    assert cli("merge", EXAMPLE, metaspace, "--force", "-o", tmp_path / "mixed.json")[0] == 0


def test_bad_corpora_counts_and_tokenizers_fail_in_one_line_and_write_nothing(cli, tmp_path):
    good = write(tmp_path / "good.txt", code_lines(20_000))
    empty = write(tmp_path / "empty.txt", ["", ""])
    binary = tmp_path / "binary.bin"
    binary.write_bytes(bytes(range(256)) * 8)
    latin1 = tmp_path / "latin1.txt"
    latin1.write_bytes("café crème\n".encode("latin-1"))
    bad_line = tmp_path / "bad.jsonl"
    bad_line.write_text('["Ġthe", 3]\n["Ġcat", -1]\n', encoding="utf-8")
    not_counts = tmp_path / "words.jsonl"
    not_counts.write_text('["Ġthe", 3]\n{"a": 1}\n', encoding="utf-8")
    wordpiece = tmp_path / "wordpiece.json"
    wordpiece.write_text(tokenizers.Tokenizer(tokenizers.models.WordPiece({"[UNK]": 0, "a": 1})).to_str(),
                         encoding="utf-8")
    out = tmp_path / "out.json"
    learn = ["learn", EXAMPLE, "-o", out]
    cases = {
        "an empty corpus": (learn + ["--corpus", empty, "--add", "5"], 1, "empty.txt: holds no text"),
        "a binary corpus": (learn + ["--corpus", binary, "--add", "5"], 1, "binary.bin"),
        "a corpus that is not UTF-8": (learn + ["--corpus", latin1, "--add", "5"], 1, "latin1.txt"),
        "a missing corpus": (learn + ["--corpus", tmp_path / "missing.txt", "--add", "5"], 1, "missing.txt"),
        "a directory as corpus": (learn + ["--corpus", tmp_path, "--add", "5"], 1, "directory"),
        "--add 0": (learn + ["--corpus", good, "--add", "0"], 2, "--add 0"),
        "a negative count": (learn + ["--word-counts", bad_line, "--add", "5"], 1, "bad.jsonl:2"),
        "a line that is no pair": (learn + ["--word-counts", not_counts, "--add", "5"], 1, "words.jsonl:2"),
        "a bad --counts file": (learn + ["--corpus", good, "--add", "5", "--keep-size", "--counts", bad_line],
                                1, "bad.jsonl:2"),
        "--counts without --keep-size": (learn + ["--corpus", good, "--add", "5", "--counts", bad_line], 2,
                                         "--keep-size"),
        "an OTHER that is no BPE": (["merge", EXAMPLE, wordpiece, "-o", out], 1, "OTHER"),
        "a missing OTHER": (["merge", EXAMPLE, tmp_path / "missing.json", "-o", out], 1, "OTHER"),
        "--by count without a corpus": (["merge", EXAMPLE, EXAMPLE, "--by", "count", "-o", out], 2, "--corpus"),
        "count-words of a binary file": (["count-words", EXAMPLE, "--corpus", binary, "-o", out], 1, "binary.bin"),
    }
    for name, (argv, status, says) in cases.items():
        code, text, err = cli(*argv)
        assert code == status, (name, code, err)
        assert len(err.strip().splitlines()) == 1 and says in err, (name, err)
        assert not out.exists(), name


def test_a_corpus_with_fewer_pairs_than_asked_learns_what_it_has_and_says_so(cli, tmp_path):
    corpus = write(tmp_path / "small.txt", ["zebra quagga zebra quagga", "zebra"])
    out = tmp_path / "out.json"
    code, text, _ = cli("learn", EXAMPLE, "--corpus", corpus, "--add", "1000", "-o", out)
    assert code == 0 and "yields only" in text and out.exists()
    assert cli("check", out)[0] == 0
