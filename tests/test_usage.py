"""Fixed-size addition, pruning by usage and the shrink that spares added
tokens: what goes, what must stay, and what the runtime makes of the result."""

import json
import random
import sys

import pytest

from conftest import doc_text, document, model_section, real_fixture, run_json

import vocarix_tools
from vocarix_tools import counting, usage


def cascade(vocab, merges, root):
    """The strings removing `root` takes along: a naive reading of the removal rules."""
    reached, pending = set(), [root]
    while pending:
        token = pending.pop()
        if token in reached:
            continue
        reached.add(token)
        pending += [left + right for left, right in merges if token in (left, right)]
    return reached


def protected(vocab, added=()):
    return {t for t in vocab if len(t) == 1 or (t and (t[0], t[-1]) in (("<", ">"), ("[", "]")))} | set(added) | {"<unk>"}


def random_document(rng):
    """A small byte-free model whose merges chain characters into words."""
    alphabet = "abcdef"
    vocab = ["<unk>", *alphabet]
    merges = []
    for _ in range(rng.randint(10, 40)):
        left, right = rng.choice(vocab[1:]), rng.choice(vocab[1:])
        if (left, right) in merges or len(left + right) > 6:
            continue
        merges.append((left, right))
        if left + right not in vocab:
            vocab.append(left + right)
    added = [{"id": 0, "content": "<unk>", "single_word": False, "lstrip": False, "rstrip": False,
              "normalized": False, "special": True}]
    extra = [t for t in vocab if len(t) > 2]
    if extra:
        content = rng.choice(extra)
        added.append({"id": vocab.index(content), "content": content, "single_word": False, "lstrip": False,
                      "rstrip": False, "normalized": True, "special": False})
    return {t: i for i, t in enumerate(vocab)}, merges, added


def test_keep_size_keeps_ids_and_protects_what_the_words_need():
    tokenizers = pytest.importorskip("tokenizers")
    rng = random.Random(5)
    checked = 0
    for _ in range(120):
        vocab, merges, added = random_document(rng)
        text = doc_text(vocab, merges, added_tokens=added)
        editor = vocarix_tools.open_text(text)
        words = ["".join(rng.choice("abcdef") for _ in range(rng.randint(2, 6))) for _ in range(3)]
        counts = {t: rng.randint(0, 5) for t in vocab} if rng.random() < 0.5 else None
        report = usage.add_keep_size(editor, words, counts=counts)
        after = editor.get_vocab()
        keep = protected(vocab, [a["content"] for a in added])
        assert set(after.values()) <= set(vocab.values()) | {i for _, i in report["without_room"]}
        if not report["without_room"]:
            assert len(after) == len(vocab) - len(report["ids_left_free"])
        runtime = tokenizers.Tokenizer.from_str(editor.to_json())
        for word in report["words"]:
            if word["produced_whole"]:
                assert [t.value for t in runtime.model.tokenize(word["requested"])] == [word["token"]]
                checked += 1
        for evicted in report["evicted"]:
            recreated = any(evicted["token"] == e for w in report["words"] for e, _ in w["entries_created"])
            assert evicted["token"] not in keep and (evicted["token"] not in after or recreated)
            assert not keep & set(evicted["taken_along"])
            if evicted["replaced_by"]:
                assert after[evicted["replaced_by"]] == evicted["id"]
        assert keep & set(vocab) <= set(after)
    assert checked > 150


def test_keep_size_on_a_real_file_keeps_size_ids_and_rows():
    tokenizers = pytest.importorskip("tokenizers")
    path = real_fixture("phi2-codegen.string.json")
    text = path.read_text(encoding="utf-8")
    editor = vocarix_tools.open_text(text)
    before = editor.get_vocab()
    words = ["Ġ" + w for w in ("getRequest", "setResponse", "parseConfig", "kubernetes", "asyncHandler",
                               "serializeJson", "administration", "Ġ")]
    added = {a["content"] for a in json.loads(text)["added_tokens"]}
    report = usage.add_keep_size(editor, words, counts={" administration": 9})
    after = editor.get_vocab()
    assert len(after) == len(before) and set(after.values()) == set(before.values())
    assert report["produced_whole"] == len(words)
    assert "Ġadministration" in after and added.isdisjoint(e["token"] for e in report["evicted"])
    runtime = tokenizers.Tokenizer.from_str(editor.to_json())
    assert runtime.get_vocab_size() == tokenizers.Tokenizer.from_str(text).get_vocab_size()
    assert runtime.encode(" getRequest").tokens == ["ĠgetRequest"]
    assert len(report["evicted"]) == report["entries_created"]


def test_keep_size_refuses_to_evict_what_a_word_is_built_from():
    # The only candidates are "ab" and "abc", and the word "abcd" is built from both.
    text = doc_text({"<unk>": 0, "a": 1, "b": 2, "c": 3, "d": 4, "ab": 5, "abc": 6}, [("a", "b"), ("ab", "c")])
    editor = vocarix_tools.open_text(text)
    report = usage.add_keep_size(editor, ["abcd"])
    assert report["evicted"] == [] and report["without_room"] == [("abcd", 7)]
    assert editor.get_token_id("ab") == 5 and editor.get_token_id("abc") == 6


def test_keep_size_evicts_the_least_used_first():
    vocab = {"<unk>": 0, "a": 1, "b": 2, "c": 3, "d": 4, "ab": 5, "ac": 6, "ad": 7, "bc": 8}
    merges = [("a", "b"), ("a", "c"), ("a", "d"), ("b", "c")]
    editor = vocarix_tools.open_text(doc_text(vocab, merges))
    report = usage.add_keep_size(editor, ["dd", "cc", "bb"], counts={"ab": 9, "ac": 0, "ad": 3, "bc": 5})
    assert [(e["token"], e["replaced_by"]) for e in report["evicted"]] == [("ac", "dd"), ("ad", "cc"), ("bc", "bb")]
    assert editor.get_token_id("dd") == 6 and editor.get_token_id("bb") == 8 and editor.vocab_size == 9
    # The new entries' first ids were handed back: the next addition leaves no hole.
    editor.add_token_atomic("zz")
    assert editor.get_token_id("zz") == 9 and not editor.check_vocab_gaps()[0]


def test_keep_size_without_counts_evicts_what_the_model_never_builds_then_the_latest_built():
    vocab = {"<unk>": 0, "a": 1, "b": 2, "c": 3, "d": 4, "e": 5, "ab": 6, "cd": 7, "de": 8, "bcd": 9,
             "a</w>": 10, "dea": 11}
    merges = [("a", "b"), ("c", "d"), ("d", "e"), ("de", "a")]
    editor = vocarix_tools.open_text(doc_text(vocab, merges))
    report = usage.add_keep_size(editor, ["ee", "aa", "bb", "ce"])
    # No merge builds "a</w>" and "bcd"; then the latest built ("de" no longer used once "dea" is gone).
    assert [e["token"] for e in report["evicted"]] == ["a</w>", "bcd", "dea", "de"]
    # With an end-of-word suffix "a</w>" is a piece words start from: never evicted.
    suffixed = vocarix_tools.open_text(doc_text(vocab, merges, model=model_section(vocab, merges,
                                                                                   end_of_word_suffix="</w>")))
    report = usage.add_keep_size(suffixed, ["ee", "aa", "bb", "ce"])
    assert [e["token"] for e in report["evicted"]][:4] == ["bcd", "dea", "de", "cd"]


def test_keep_size_with_prefix_method_and_whitelist():
    text = doc_text({"<unk>": 0, "x": 1, "y": 2, "z": 3, "xy": 4, "yz": 5, "zz": 6},
                    [("x", "y"), ("y", "z"), ("z", "z")])
    editor = vocarix_tools.open_text(text)
    report = usage.add_keep_size(editor, ["xyz"], method="prefix", whitelist=["zz"])
    assert [e["token"] for e in report["evicted"]] == ["yz"]
    assert editor.get_token_id("xyz") == 5 and editor.vocab_size == 7


def test_prune_ranks_by_the_largest_usage_in_each_cascade():
    # "ab" is never produced itself but "abc" is used a lot: removing "ab" would take it along.
    vocab = {"<unk>": 0, "a": 1, "b": 2, "c": 3, "d": 4, "ab": 5, "abc": 6, "cd": 7, "dd": 8}
    merges = [("a", "b"), ("ab", "c"), ("c", "d"), ("d", "d")]
    editor = vocarix_tools.open_text(doc_text(vocab, merges))
    report = usage.prune(editor, {"abc": 50, "cd": 3, "dd": 1}, size=7)
    assert [(r["token"], r["cascade_count"]) for r in report["removed"]] == [("dd", 1), ("cd", 3)]
    assert editor.has_token("ab") and editor.has_token("abc")
    report = usage.prune(editor, {"abc": 50}, min_count=100)
    # Equal ranks: the higher id goes first.
    assert [r["token"] for r in report["removed"]] == ["abc", "ab"]
    assert editor.get_merges() == []


def test_prune_with_min_count_leaves_only_used_cascades_on_random_models():
    rng = random.Random(9)
    for _ in range(150):
        vocab, merges, added = random_document(rng)
        editor = vocarix_tools.open_text(doc_text(vocab, merges, added_tokens=added))
        counts = {t: rng.choice([0, 0, 1, 3, 10]) for t in vocab}
        k = rng.choice([1, 2, 5])
        report = usage.prune(editor, counts, min_count=k)
        keep = protected(vocab, [a["content"] for a in added])
        after = editor.get_vocab()
        after_merges = [tuple(m) for m in editor.get_merges()]
        assert keep & set(vocab) <= set(after)
        for removed in report["removed"]:
            assert removed["cascade_count"] < k
        # Every entry left could not go: something in its cascade is protected or used enough.
        for token in after:
            if token in keep:
                continue
            reach = cascade(after, after_merges, token) & set(after)
            assert reach & keep or max(counts.get(t, 0) for t in reach) >= k, token
        # No merge names a token that is gone.
        assert all(left in after and right in after and left + right in after for left, right in after_merges)


def test_prune_to_a_size_stops_at_the_size_and_reports_when_it_cannot():
    vocab = {"<unk>": 0, "a": 1, "b": 2, "ab": 3, "ba": 4, "aba": 5}
    merges = [("a", "b"), ("b", "a"), ("ab", "a")]
    editor = vocarix_tools.open_text(doc_text(vocab, merges))
    report = usage.prune(editor, {}, size=5)
    assert editor.vocab_size == 5 and report["target_reached"]
    report = usage.prune(editor, {}, size=1)
    assert not report["target_reached"] and editor.vocab_size == 3  # "<unk>", "a", "b" stay
    with pytest.raises(ValueError, match="size or min_count"):
        usage.prune(editor, {})


def test_shrink_sparing_keeps_added_tokens():
    path = real_fixture("bora-ko-32k.array.json")
    text = path.read_text(encoding="utf-8")
    added = {a["content"] for a in json.loads(text)["added_tokens"]}
    module_pick = [token for token, _, _ in vocarix_tools.open_text(text).find_tokens_to_shrink(321)]
    assert "▁" * 24 in module_pick  # what the module picks
    editor = vocarix_tools.open_text(text)
    report = usage.shrink_sparing(editor, 321)
    assert report["tokens_removed_count"] == 321
    assert "▁" * 24 in report["spared"] and added <= set(editor.get_vocab()) | (added - set(json.loads(text)["model"]["vocab"]))


def test_counts_files_are_checked(tmp_path):
    path = tmp_path / "counts.json"
    counting.write_counts({"b": 1, "a": 5}, path)
    assert list(counting.read_counts(path)) == ["a", "b"]
    for bad, message in (("[1]", "JSON object"), ('{"a": -1}', "whole number"), ('{"a": 1.5}', "whole number"),
                         ("{", "not a token-count file")):
        path.write_text(bad, encoding="utf-8")
        with pytest.raises(ValueError, match=message):
            counting.read_counts(path)
    assert counting.merge_counts([{"a": 1}, {"a": 2, "b": 1}]) == {"a": 3, "b": 1}


def test_cli_prune_with_counts_and_with_a_corpus(tmp_path, cli, monkeypatch):
    vocab = {"<unk>": 0, "a": 1, "b": 2, "c": 3, "ab": 4, "bc": 5, "abc": 6}
    source = tmp_path / "tok.json"
    source.write_text(doc_text(vocab, [("a", "b"), ("b", "c"), ("ab", "c")]), encoding="utf-8")
    counts = tmp_path / "counts.json"
    counts.write_text(json.dumps({"abc": 4, "bc": 0}), encoding="utf-8")
    out = tmp_path / "out.json"
    code, stdout, err = cli("prune", source, "--counts", counts, "--size", 6, "-o", out, "--json")
    assert code == 0, err
    result = json.loads(stdout)["result"]
    assert [r["token"] for r in result["removed"]] == ["bc"]
    assert set(json.loads(out.read_text())["model"]["vocab"]) == set(vocab) - {"bc"}
    assert cli("check", out)[0] == 0

    code, _, err = cli("prune", source, "--counts", counts, "-o", out)
    assert code == 2 and "--size N or --min-count K" in err

    corpus = tmp_path / "corpus.txt"
    corpus.write_text("abc abc\nab\n", encoding="utf-8")
    # The core counts the corpus as the runtime encodes it ({"abc": 2, "<unk>": 1, "ab": 1}), no runtime
    # needed; prune removes what it removes with those counts given as a file.
    monkeypatch.setitem(sys.modules, "tokenizers", None)
    code, stdout, err = cli("prune", source, "--corpus", corpus, "--size", 5, "-o", out, "--json")
    assert code == 0, err
    assert [r["token"] for r in json.loads(stdout)["result"]["removed"]] == ["bc", "abc"]


def test_cli_count_writes_a_counts_file(tmp_path, cli):
    pytest.importorskip("tokenizers")
    source = tmp_path / "tok.json"
    vocab = {"<unk>": 0, "a": 1, "b": 2, "ab": 3}
    source.write_text(json.dumps(document(model=model_section(vocab, [("a", "b")]))), encoding="utf-8")
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("abab\nba\n", encoding="utf-8")
    out = tmp_path / "counts.json"
    code, stdout, err = cli("count", source, "--corpus", corpus, "-o", out)
    assert code == 0, err
    assert counting.read_counts(out) == {"ab": 2, "b": 1, "a": 1}


def test_cli_add_keep_size_lists_evictions_and_shrink_spares_added_tokens(tmp_path, cli):
    vocab = {"<unk>": 0, "a": 1, "b": 2, "c": 3, "d": 4, "ab": 5, "ac": 6, "ad": 7, "bc": 8}
    added = [{"id": 8, "content": "bc", "single_word": False, "lstrip": False, "rstrip": False,
              "normalized": True, "special": False}]
    source = tmp_path / "tok.json"
    source.write_text(doc_text(vocab, [("a", "b"), ("a", "c"), ("a", "d"), ("b", "c")], added_tokens=added),
                      encoding="utf-8")
    counts = tmp_path / "counts.json"
    counts.write_text(json.dumps({"ab": 9, "ac": 0, "ad": 3}), encoding="utf-8")
    out = tmp_path / "out.json"
    code, stdout, err = cli("add", source, "--keep-size", "dd", "cc", "--counts", counts, "-o", out,
                            "--id-map", tmp_path / "map.json")
    assert code == 0, err
    assert '"ac" (used 0 times) -> "dd"' in stdout and '"ad" (used 3 times) -> "cc"' in stdout
    assert "the runtime produces 2 of 2 whole" in stdout
    id_map = json.loads((tmp_path / "map.json").read_text())
    assert id_map["rows_before"] == id_map["rows_after"] == 9
    assert id_map["added"]["dd"]["id"] == 6 and id_map["old_to_new"]["6"] is None

    code, stdout, err = cli("add", source, "--keep-size", "dd", "--literal", "--counts", counts, "-o", out)
    assert code == 2 and "--literal" in err
    code, stdout, err = cli("add", source, "dd", "--method", "prefix", "--atomic", "-o", out)
    assert code == 2

    dry = run_json(cli, "shrink", source, "3", "--dry-run")
    real = run_json(cli, "shrink", source, "3", "-o", out)
    assert dry["result"] == real["result"] and "bc" in real["result"]["spared"]
    assert "bc" in json.loads(out.read_text())["model"]["vocab"]
    literal = run_json(cli, "shrink", source, "4", "-o", out, "--literal")
    assert "bc" not in json.loads(out.read_text())["model"]["vocab"] and literal["added_tokens_removed"] == ["bc"]


def test_cli_prune_compacts_ids_with_one_id_map_unless_keep_ids(tmp_path, cli):
    vocab = {"<unk>": 0, "a": 1, "b": 2, "c": 3, "ab": 4, "bc": 5, "abc": 6, "ca": 7}
    merges = [("a", "b"), ("b", "c"), ("ab", "c"), ("c", "a")]
    added = [{"id": 8, "content": "<pad>", "single_word": False, "lstrip": False, "rstrip": False,
              "normalized": False, "special": True}]
    source = tmp_path / "tok.json"
    source.write_text(doc_text(vocab, merges, added_tokens=added), encoding="utf-8")
    counts = tmp_path / "counts.json"
    counts.write_text(json.dumps({"abc": 4, "ca": 2}), encoding="utf-8")
    out, ids = tmp_path / "out.json", tmp_path / "map.json"
    code, stdout, err = cli("prune", source, "--counts", counts, "--size", 7, "-o", out, "--id-map", ids)
    assert code == 0, err
    id_map = json.loads(ids.read_text())
    written = json.loads(out.read_text())
    # "bc" and "ca" go; the kept tokens and the pinned "<pad>" fill 0..6, each row once.
    assert set(written["model"]["vocab"]) == {"<unk>", "a", "b", "c", "ab", "abc", "<pad>"}
    assert sorted(written["model"]["vocab"].values()) == list(range(7)) and id_map["rows_after"] == 7
    assert [old for old, new in id_map["old_to_new"].items() if new is None] == ["5", "7"]
    assert sorted(new for new in id_map["old_to_new"].values() if new is not None) == list(range(7))
    assert cli("check", out)[0] == 0

    code, stdout, err = cli("prune", source, "--counts", counts, "--size", 7, "-o", out, "--keep-ids",
                            "--id-map", ids)
    assert code == 0, err
    kept = json.loads(out.read_text())["model"]["vocab"]
    assert kept["abc"] == 6 and kept["<pad>"] == 8 and json.loads(ids.read_text())["rows_after"] == 9
