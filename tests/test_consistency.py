"""What a tokenizer runtime reads in a document: the check, the repairs, edit
sessions that pin added tokens outside the vocabulary, id maps and
remap_rows. Where the runtime is installed, it confirms the repaired files."""
import json

import pytest

import vocarix
import vocarix_tools
from vocarix_tools import _native
from conftest import doc_text

try:
    from tokenizers import Tokenizer
except ImportError:  # the runtime is optional; its confirmations are skipped
    Tokenizer = None


def added(content, token_id, special=True):
    return {"id": token_id, "content": content, "single_word": False, "lstrip": False, "rstrip": False,
            "normalized": False, "special": special}


def runtime_of(editor):
    if Tokenizer is None:
        return None
    return Tokenizer.from_str(editor.to_json())


def assert_runtime_agrees(editor):
    """The runtime loads the document and gives every entry and added token the stated id."""
    runtime = runtime_of(editor)
    if runtime is None:
        return
    for token, token_id in editor.get_vocab().items():
        assert runtime.token_to_id(token) == token_id, token
    for entry in json.loads(editor.to_json())["added_tokens"]:
        assert runtime.token_to_id(entry["content"]) == entry["id"], entry
    ids = list(runtime.get_vocab(with_added_tokens=True).values())
    assert len(ids) == len(set(ids))


def phi2_shaped(n=40, specials=("<|endoftext|>", "<|im_start|>", "<|im_end|>")):
    """Ids 0..n-1 in the vocabulary; the special tokens hold n and up, outside it."""
    vocab = {chr(ord("a") + i % 26) * (1 + i // 26): i for i in range(n)}
    tokens = [added(s, n + k) for k, s in enumerate(specials)]
    merges = [("a", "a"), ("b", "b")]
    return vocarix.Vocarix.from_json(doc_text(vocab, merges, added_tokens=tokens))


class TestCheck:
    def test_clean_document(self):
        editor = phi2_shaped()
        report = vocarix_tools.check(editor)
        assert report["clean"] and (report["rows"], report["vocab_size"], report["outside_vocab"]) == (43, 40, 3)
        assert vocarix_tools.describe_check(report) == []

    def test_every_kind_of_problem(self):
        vocab = {"a": 0, "b": 1, "ab": 2, "c": 2, "<s>": 3, "##x": 4, "é": 6}
        merges = [("a", "b"), ("a", "q"), ("b", "a"), ("a", "é")]
        post = {"type": "TemplateProcessing", "single": [], "pair": [],
                "special_tokens": {"<s>": {"id": "<s>", "ids": [9], "tokens": ["<s>"]},
                                   "<z>": {"id": "<z>", "ids": [1], "tokens": ["<z>"]}}}
        tokens = [added("<s>", 7), added("<new>", 99), added("<p>", 5), {"content": "<bad>", "id": 8}]
        editor = vocarix.Vocarix.from_json(doc_text(
            vocab, merges, added_tokens=tokens, post_processor=post,
            padding={"pad_id": 0, "pad_token": "<p>"}))
        report = vocarix_tools.check(editor)
        assert not report["clean"]
        assert [(m["position"], m["reason"], m["missing"]) for m in report["merges"]] == [
            (1, "right", "q"), (2, "result", "ba"), (3, "result", "aé")]
        assert [a["content"] for a in report["added_ids"]] == ["<s>"]
        # "<new>" is the first added token outside the vocabulary: the runtime gives it 7, the entry count.
        assert [(a["content"], a["stored_id"], a["runtime_id"]) for a in report["renumbered"]] == [
            ("<new>", 99, 7), ("<p>", 5, 8), ("<bad>", 8, 9)]
        assert [m["position"] for m in report["malformed_added_tokens"]] == [3]
        assert [(s["id"], s["tokens"]) for s in report["shared_ids"]] == [(2, ["ab", "c"])]
        assert [(r["where"], r["stated"], r["runtime_id"]) for r in report["references"]] == [
            ("post_processor.special_tokens.<s>.ids[0]", 9, 3),
            ("post_processor.special_tokens.<z>.ids[0]", 1, None),
            ("padding.pad_id", 0, 8)]
        text = "\n".join(vocarix_tools.describe_check(report))
        assert '"aé" is not in the vocabulary' in text and '"<new>": stored 99, runtime 7' in text

    def test_prefix_the_runtime_cuts_off(self):
        text = doc_text({"a": 0, "##b": 1, "ab": 2, "b": 3}, [("a", "##b"), ("a", "b")],
                        model=None).replace('"continuing_subword_prefix": null', '"continuing_subword_prefix": "##"')
        editor = vocarix.Vocarix.from_json(text)
        # ("a", "##b") gives "ab"; ("a", "b") is shorter than the prefix, which makes the runtime fail.
        assert [(m["left"], m["right"], m["reason"]) for m in vocarix_tools.check(editor)["merges"]] == [
            ("a", "b", "prefix")]
        assert editor.validate_merges().invalid_count == 1  # the module's own rule differs


class TestFix:
    def test_repairs_what_can_be_repaired(self):
        vocab = {"a": 0, "b": 1, "ab": 2, "<s>": 3, "x": 5}
        post = {"type": "RobertaProcessing", "cls": ["<s>", 0], "sep": ["<s>", 3], "trim_offsets": True}
        tokens = [added("<s>", 7), added("<u>", 40), added("<v>", 41)]
        editor = vocarix.Vocarix.from_json(doc_text(vocab, [("a", "b"), ("a", "x")], added_tokens=tokens,
                                                    post_processor=post))
        # "<u>" and "<v>" are numbered 5 and 6 by the runtime: 5 is "x"'s id.
        assert [s["tokens"] for s in vocarix_tools.check(editor)["shared_ids"]] == [["x", "<u>"]]
        repairs = vocarix_tools.fix(editor)
        assert [m["missing"] for m in repairs["merges_removed"]] == ["ax"]
        # "<v>" keeps the id the runtime gave it; "<u>" moves off "x"'s id to a fresh one (7 is "<s>"'s stored id).
        assert [(p["content"], p["id"], p["id_before"]) for p in repairs["pinned"]] == [("<u>", 8, 5), ("<v>", 6, 6)]
        pinned = {p["content"]: p["id"] for p in repairs["pinned"]}
        assert editor.get_token_id("x") == 5
        assert vocarix_tools.check(editor)["clean"]
        doc = json.loads(editor.to_json())
        assert [(t["content"], t["id"]) for t in doc["added_tokens"]] == [("<s>", 3), ("<u>", pinned["<u>"]),
                                                                         ("<v>", 6)]
        # The template names "<s>": its id follows the token.
        assert doc["post_processor"]["cls"] == ["<s>", 3]
        assert [c["where"] for c in repairs["references"]] == ["post_processor.cls"]
        assert_runtime_agrees(editor)

    def test_unrepairable_problems_stay_reported(self):
        tokens = [added("a", 0), {"content": "<bad>", "id": 9}]
        post = {"type": "BertProcessing", "cls": ["[CLS]", 4], "sep": ["b", 1]}
        editor = vocarix.Vocarix.from_json(doc_text({"a": 0, "b": 0}, [], added_tokens=tokens, post_processor=post))
        vocarix_tools.fix(editor)
        report = vocarix_tools.check(editor)
        assert [s["tokens"] for s in report["shared_ids"]] == [["a", "b"]]
        assert [m["position"] for m in report["malformed_added_tokens"]] == [1]
        assert [r["token"] for r in report["references"]] == ["[CLS]"]

    def test_empty_object_merges_become_a_list(self):
        doc = json.loads(doc_text({"a": 0}))
        doc["model"]["merges"] = {}
        editor = vocarix_tools.open_text(json.dumps(doc))
        assert vocarix_tools.check(editor)["merges_as_object"]
        assert vocarix_tools.fix(editor)["merges_made_list"]
        assert json.loads(editor.to_json())["model"]["merges"] == []
        assert_runtime_agrees(editor)


class TestEditSession:
    def test_added_tokens_outside_keep_their_ids(self):
        editor = phi2_shaped()
        runtime_before = runtime_of(editor)
        known = set(editor.get_vocab())
        session = vocarix_tools.EditSession(editor)
        editor.add_tokens(["xyz", "abab"])
        outcome = session.finish()
        assert [p["content"] for p in outcome.repairs["pinned"]] == ["<|endoftext|>", "<|im_start|>", "<|im_end|>"]
        assert [editor.get_token_id(t) for t in ("<|endoftext|>", "<|im_start|>", "<|im_end|>")] == [40, 41, 42]
        assert outcome.problems["clean"]
        assert_runtime_agrees(editor)
        id_map = session.id_map()
        assert (id_map["rows_before"], id_map["rows_after"]) == (43, editor.vocab_size)
        assert all(id_map["old_to_new"][str(i)] == i for i in range(43))
        assert {t: e["id"] for t, e in id_map["added"].items()} == {
            t: i for t, i in editor.get_vocab().items() if t not in known and not t.startswith("<|")}
        if runtime_before is not None:
            assert runtime_before.token_to_id("<|im_end|>") == 42

    def test_literal_finish_changes_nothing(self):
        editor = phi2_shaped()
        session = vocarix_tools.EditSession(editor, keep_model=False)
        editor.add_token_atomic("xyz")
        text = editor.to_json()
        outcome = session.finish(literal=True)
        assert outcome.repairs is None and editor.to_json() == text
        assert [p["content"] for p in outcome.problems["renumbered"]] == ["<|endoftext|>", "<|im_start|>",
                                                                          "<|im_end|>"]
        # The runtime moves the special tokens one up; the id map says so.
        assert session.id_map()["old_to_new"]["40"] == 41

    def test_removed_entries_take_their_added_tokens_along(self):
        editor = vocarix.Vocarix.from_json(doc_text({"a": 0, "b": 1, "ab": 2, "<s>": 3}, [("a", "b")],
                                                    added_tokens=[added("ab", 2), added("<s>", 3)]))
        session = vocarix_tools.EditSession(editor)
        editor.remove_token("a")
        outcome = session.finish()
        assert outcome.added_tokens_removed == ["ab"]
        assert session.id_map()["old_to_new"] == {"0": None, "1": 1, "2": None, "3": 3}

    @pytest.mark.parametrize("removed, follows", [("a", None), ("b", 1)])
    def test_an_id_two_entries_share_follows_the_first_in_key_order(self, removed, follows):
        # "a" and "b" share id 1; the runtime reads 1 as "a", the first in byte order.
        editor = vocarix.Vocarix.from_json(doc_text({"c": 0, "b": 1, "a": 1, "d": 2}, []))
        session = vocarix_tools.EditSession(editor)
        editor.remove_token(removed)
        session.finish(literal=True)
        assert session.id_map()["old_to_new"] == {"0": 0, "1": follows, "2": 2}

    def test_shared_old_id_follows_the_added_token(self):
        # The runtime numbers "<x>" 2, the id "c" holds, and reads 2 as "<x>".
        editor = vocarix.Vocarix.from_json(doc_text({"a": 0, "c": 2}, [], added_tokens=[added("<x>", 9)]))
        session = vocarix_tools.EditSession(editor)
        session.finish()
        id_map = session.id_map()
        assert id_map["old_to_new"]["2"] == editor.get_token_id("<x>")


class TestRemapRows:
    def test_numpy_rows_follow_the_map(self):
        np = pytest.importorskip("numpy")
        id_map = {"rows_before": 4, "rows_after": 6,
                  "old_to_new": {"0": 0, "1": None, "2": 1, "3": 5},
                  "added": {"new": {"id": 2, "from": [0, 2]}, "odd": {"id": 3, "from": [99]}}}
        old = np.arange(16, dtype=np.float64).reshape(4, 4)
        new = vocarix_tools.remap_rows(old, id_map)
        assert new.shape == (6, 4)
        assert (new[0] == old[0]).all() and (new[1] == old[2]).all() and (new[5] == old[3]).all()
        assert (new[2] == (old[0] + old[2]) / 2).all()
        # No usable piece, and a row no token uses: the mean of all old rows.
        assert (new[3] == old.mean(0)).all() and (new[4] == old.mean(0)).all()
        assert (old == np.arange(16).reshape(4, 4)).all()  # the input is left alone

    def test_session_map_resizes_an_embedding(self):
        np = pytest.importorskip("numpy")
        editor = phi2_shaped()
        session = vocarix_tools.EditSession(editor)
        editor.remove_token("aa")
        editor.reindex_vocab()
        session.finish()
        id_map = session.id_map()
        embedding = np.random.default_rng(0).normal(size=(id_map["rows_before"], 8))
        resized = vocarix_tools.remap_rows(embedding, id_map)
        assert resized.shape == (id_map["rows_after"], 8)
        for token in ("a", "<|im_end|>", "b"):
            old_id = int(next(k for k, v in id_map["old_to_new"].items() if v == editor.get_token_id(token)))
            assert (resized[editor.get_token_id(token)] == embedding[old_id]).all()

    def test_empty_matrix_is_refused(self):
        np = pytest.importorskip("numpy")
        with pytest.raises(ValueError, match="no rows"):
            vocarix_tools.remap_rows(np.zeros((0, 3)), {"rows_before": 0, "rows_after": 2, "old_to_new": {},
                                                        "added": {}})


def test_runtime_ids_match_the_runtime_on_edge_cases():
    if Tokenizer is None:
        pytest.skip("tokenizers not installed")
    cases = [
        ({"a": 0, "b": 1, "c": 5}, [added("<x>", 9), added("<y>", 10), added("<z>", 11)]),
        ({"a": 0, "b": 1, "c": 2, "d": 13}, [added("d", 13), added("<x>", 30), added("", 4), added("<x>", 31)]),
        ({}, [added("<x>", 5), added("<y>", 7)]),
    ]
    for vocab, tokens in cases:
        editor = vocarix.Vocarix.from_json(doc_text(vocab, [], added_tokens=tokens))
        view = _native.runtime_ids(editor)
        runtime = Tokenizer.from_str(editor.to_json())
        assert view["tokens"] == runtime.get_vocab(with_added_tokens=True)
        assert view["rows"] == max(view["tokens"].values()) + 1
