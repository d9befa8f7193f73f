"""Learning new merges from a corpus: every existing id and merge kept, the
runtime applying the new merges exactly as learned, the file's conventions
kept, and the held-out gain measured against frequent words and plain
greedy merging, on a byte-level and a "▁" file."""

import heapq
import json
from collections import Counter

import pytest

import vocarix_tools
from vocarix_tools import _native, corpus_counting, learning

from conftest import REPO, real_fixture
from corpora import code_lines, metaspace_document, prose_lines, pseudo_chinese_lines, split

tokenizers = pytest.importorskip("tokenizers")

EXAMPLE = REPO / "examples" / "tokenizer.json"


def runtime_count(editor, lines):
    runtime = tokenizers.Tokenizer.from_str(editor.to_json())
    return sum(len(encoding.tokens) for encoding in runtime.encode_batch(lines, add_special_tokens=False))


def greedy_merges(sequences, count):
    """Plain greedy pair merging: the most frequent adjacent pair, no rule
    about what a token may hold, `count` times; the merges in order."""
    words = [list(pieces) for pieces, _ in sequences]
    weights = [weight for _, weight in sequences]
    pairs, where = Counter(), {}
    for index, word in enumerate(words):
        for pair in zip(word, word[1:]):
            pairs[pair] += weights[index]
            where.setdefault(pair, set()).add(index)
    heap = [(-n, pair) for pair, n in pairs.items()]
    heapq.heapify(heap)
    merges = []
    while heap and len(merges) < count:
        n, pair = heapq.heappop(heap)
        if -n != pairs[pair] or n == 0:
            continue
        merges.append(pair)
        for index in where.pop(pair, ()):
            old = words[index]
            new, i = [], 0
            while i < len(old):
                if i + 1 < len(old) and (old[i], old[i + 1]) == pair:
                    new.append(old[i] + "\0" + old[i + 1])
                    i += 2
                else:
                    new.append(old[i])
                    i += 1
            for gone in zip(old, old[1:]):
                pairs[gone] -= weights[index]
            for came in zip(new, new[1:]):
                pairs[came] += weights[index]
                where.setdefault(came, set()).add(index)
                heapq.heappush(heap, (-pairs[came], came))
            words[index] = new
        pairs[pair] = 0
    return merges


def apply_merges(pieces, merges):
    for left, right in merges:
        out, i = [], 0
        while i < len(pieces):
            if i + 1 < len(pieces) and (pieces[i], pieces[i + 1]) == (left, right):
                out.append(left + "\0" + right)
                i += 2
            else:
                out.append(pieces[i])
                i += 1
        pieces = out
    return pieces


def segmented(editor, counts):
    words = list(counts.words)
    return [(pieces, counts.words[word]) for word, (pieces, _, _) in zip(words, _native.segment(editor, words))]


def whole_words(editor, counts):
    """The corpus's words most frequent first, split where a "▁" file's words begin."""
    marker = "▁" if vocarix_tools.token_style(editor)["style"] == "metaspace" else None
    words = Counter()
    for text, count in counts.words.items():
        parts = [text]
        if marker:
            parts = [marker + part for part in text.split(marker) if part]
        for part in parts:
            words[part] += count
    return [word for word, _ in words.most_common()]


def frequent_words_count(document, train, held, entries):
    editor = vocarix_tools.open_text(document)
    created = 0
    for word in whole_words(editor, corpus_counting.count_text(editor, "\n".join(train))):
        if created >= entries:
            break
        [added] = _native.add_words_reachable(editor, [word], True)
        created += len(added["entries_created"])
    return runtime_count(editor, held)


def measure(document, train, held, entries):
    editor = vocarix_tools.open_text(document)
    before = runtime_count(editor, held)
    train_counts = corpus_counting.count_text(editor, "\n".join(train))
    held_counts = corpus_counting.count_text(editor, "\n".join(held))
    merges = greedy_merges(segmented(editor, train_counts), entries)
    greedy = sum(len(apply_merges(pieces, merges)) * n for pieces, n in segmented(editor, held_counts))
    greedy += sum(held_counts.added_tokens.values())
    report = learning.learn(editor, train_counts, entries)
    ours = runtime_count(editor, held)
    words = frequent_words_count(document, train, held, entries)
    created = [token for token, _ in report["entries_created"]]
    produced, parts = learning.entries_in_use(editor, corpus_counting.token_counts(editor, train_counts), created)
    return editor, report, {"before": before, "ours": ours, "greedy": greedy, "words": words,
                            "unused": len(created) - len(produced) - len(parts), "created": len(created)}


@pytest.mark.parametrize("style", ["byte_level", "metaspace"])
def test_learning_beats_frequent_words_and_nearly_matches_plain_greedy_merging(style):
    train, held = split(code_lines(160_000))
    document = EXAMPLE.read_text(encoding="utf-8") if style == "byte_level" else metaspace_document(prose_lines(150_000))
    editor, report, counts = measure(document, train, held, 300)
    gain = counts["before"] - counts["ours"]
    assert counts["created"] == 300 and not report["exhausted"]
    assert gain > counts["before"] - counts["words"], counts
    assert gain >= 0.9 * (counts["before"] - counts["greedy"]), counts
    assert counts["unused"] <= 0.02 * counts["created"], counts
    # The runtime applies the merges exactly as they were learned.
    assert report["tokens_after"] == runtime_count(editor, train)
    new = [token for token, _ in report["entries_created"]]
    if style == "metaspace":
        # The marker only at the start, or a run of markers (indentation), as converted files have.
        assert all(("▁" not in token[1:] or set(token) == {"▁"}) and "<0x" not in token for token in new)
    else:
        verdicts, undecided = _native.pre_token_check(editor, new)
        assert set(verdicts) == {"whole"} and undecided == ""


def test_existing_ids_and_merges_stay_and_new_ones_come_after_them():
    before = vocarix_tools.open(str(EXAMPLE))
    editor = vocarix_tools.open(str(EXAMPLE))
    counts = corpus_counting.count_text(editor, "\n".join(code_lines(60_000)))
    report = learning.learn(editor, counts, 120)
    old_vocab, new_vocab = before.get_vocab(), editor.get_vocab()
    assert {token: new_vocab[token] for token in old_vocab} == old_vocab
    created = report["entries_created"]
    assert sorted(i for _, i in created) == list(range(len(old_vocab), len(old_vocab) + len(created)))
    old_merges = json.loads(before.to_json())["model"]["merges"]
    merges = json.loads(editor.to_json())["model"]["merges"]
    assert merges[:len(old_merges)] == old_merges
    assert merges[len(old_merges):] == [[m["left"], m["right"]] for m in report["merges"]]
    assert vocarix_tools.check(editor)["clean"] and report["repairs"] is not None


def test_a_character_only_byte_tokens_spell_becomes_an_entry_counted_in_the_number_asked():
    document = metaspace_document(prose_lines(80_000))
    editor = vocarix_tools.open_text(document)
    chinese = pseudo_chinese_lines(600)
    counts = corpus_counting.count_text(editor, "\n".join(chinese))
    report = learning.learn(editor, counts, 400)
    characters = [c["character"] for c in report["characters"]]
    created = [token for token, _ in report["entries_created"]]
    assert characters and len(created) == 400 and set(characters) <= set(created)
    assert all(c["saved"] == 2 * c["count"] for c in report["characters"])  # three bytes become one token
    runtime = tokenizers.Tokenizer.from_str(editor.to_json())
    assert not any(token.startswith("<0x") for token in runtime.encode(characters[0] * 3).tokens)
    assert report["tokens_after"] == runtime_count(editor, chinese) < report["tokens_before"] / 2


def test_an_end_of_word_suffix_stays_at_the_end():
    from tokenizers import Tokenizer, models, pre_tokenizers, trainers

    runtime = Tokenizer(models.BPE(unk_token="<unk>", end_of_word_suffix="</w>"))
    runtime.pre_tokenizer = pre_tokenizers.Whitespace()
    runtime.train_from_iterator(prose_lines(60_000), trainers.BpeTrainer(
        vocab_size=400, special_tokens=["<unk>"], end_of_word_suffix="</w>", show_progress=False))
    editor = vocarix_tools.open_text(runtime.to_str())
    lines = code_lines(60_000)
    report = learning.learn(editor, corpus_counting.count_text(editor, "\n".join(lines)), 150)
    new = [token for token, _ in report["entries_created"]]
    assert len(new) == 150 and all("</w>" not in token[:-4] for token in new)
    assert report["tokens_after"] == runtime_count(editor, lines) < report["tokens_before"]


def test_a_small_corpus_yields_what_it_has_and_says_so():
    editor = vocarix_tools.open(str(EXAMPLE))
    counts = corpus_counting.count_text(editor, "zebra quagga zebra quagga\nzebra\n")
    report = learning.learn(editor, counts, 1000)
    assert report["exhausted"] and 0 < len(report["entries_created"]) < 1000
    assert all(m["count"] >= 2 for m in report["merges"])
    assert learning.learn(editor, counts, 5, min_count=100)["entries_created"] == []


def test_at_a_fixed_size_new_entries_take_the_ids_of_the_least_used_tokens():
    editor = vocarix_tools.open(str(EXAMPLE))
    before = editor.get_vocab()
    lines = code_lines(60_000)
    counts = corpus_counting.count_text(editor, "\n".join(lines))
    usage = corpus_counting.token_counts(editor, counts)
    report = learning.learn(editor, counts, 80, keep_size=True)
    after = editor.get_vocab()
    evicted = {e["token"] for e in report["evicted"]}
    assert editor.vocab_size == len(before) and len(evicted) == 80 and report["usage_from_corpus"]
    assert sorted(after[t] for t, _ in report["entries_created"]) == sorted(before[t] for t in evicted)
    assert all(after[t] == i for t, i in before.items() if t not in evicted)
    assert all(len(t) > 1 and not t.startswith("<") for t in evicted)
    # The least used go first: nothing evicted was used more than anything kept that could have gone.
    assert max(usage.get(t, 0) for t in evicted) <= sorted(usage.get(t, 0) for t in after if t in before)[-1]
    assert report["tokens_after"] == runtime_count(editor, lines) < report["tokens_before"]
    assert vocarix_tools.check(editor)["clean"]


def appended_as_they_are(base_text, other_text):
    """BASE with OTHER's missing entries and merges appended in OTHER's order."""
    document, other = json.loads(base_text), json.loads(other_text)
    vocab, merges = document["model"]["vocab"], document["model"]["merges"]
    added = [token for token in other["model"]["vocab"] if token not in vocab]
    for token in added:
        vocab[token] = len(vocab)
    known = {tuple(m) for m in merges}
    merges += [m for m in other["model"]["merges"] if tuple(m) not in known]
    return json.dumps(document, ensure_ascii=False), added


def test_merge_adds_entries_the_model_uses_and_gains_what_appending_others_merges_gains():
    from tokenizers import Tokenizer, models, pre_tokenizers, trainers

    train, held = split(code_lines(400_000))
    base_text = vocarix_tools.open(str(EXAMPLE)).to_json()
    trained = Tokenizer(models.BPE())
    trained.pre_tokenizer = tokenizers.Tokenizer.from_str(base_text).pre_tokenizer
    trained.train_from_iterator(train, trainers.BpeTrainer(vocab_size=2000, show_progress=False,
                                                           initial_alphabet=pre_tokenizers.ByteLevel.alphabet()))
    other = vocarix_tools.open_text(trained.to_str())
    editor = vocarix_tools.open_text(base_text)
    usage = corpus_counting.token_counts(other, corpus_counting.count_text(other, "\n".join(train)))
    words = corpus_counting.count_text(editor, "\n".join(train))
    report = learning.merge_vocabulary(editor, other, usage=usage, words=words)
    created = [token for token, _ in report["entries_created"]]
    produced, parts = learning.entries_in_use(editor, corpus_counting.token_counts(editor, words), created)
    assert len(created) > 500 and len(created) - len(produced) - len(parts) <= len(created) / 5
    # Every id and merge of BASE stays; the held-out text gains at least 95% of what plain appending gains.
    base = json.loads(base_text)["model"]
    merged = json.loads(editor.to_json())["model"]
    assert {t: merged["vocab"][t] for t in base["vocab"]} == base["vocab"]
    assert merged["merges"][:len(base["merges"])] == base["merges"]
    appended, _ = appended_as_they_are(base_text, trained.to_str())
    before = runtime_count(vocarix_tools.open_text(base_text), held)
    plain = runtime_count(vocarix_tools.open_text(appended), held)
    assert before - runtime_count(editor, held) >= 0.95 * (before - plain)


def test_learning_at_a_fixed_size_hardly_lengthens_general_english():
    """3,000 entries learned on code take the ids of tokens the code does not
    use; general English text then grows by at most 5% in tokens."""
    editor = vocarix_tools.open(str(real_fixture("roberta-base-notype.string.json")))
    english = (REPO / "tests" / "data" / "english_sample.txt").read_text(encoding="utf-8").splitlines()
    before = runtime_count(editor, english)
    size = editor.vocab_size
    counts = corpus_counting.count_text(editor, "\n".join(code_lines(1_200_000)))
    report = learning.learn(editor, counts, 3000, keep_size=True)
    assert len(report["entries_created"]) == 3000 and editor.vocab_size == size
    assert runtime_count(editor, english) <= 1.05 * before
    assert report["tokens_after"] < 0.6 * report["tokens_before"]
