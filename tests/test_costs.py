"""Memory and time of queries and edits follow what the input holds, not the
product of its sizes: one huge token must not make an ordinary call costly."""
import json
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import vocarix
from conftest import doc_text


TESTS = Path(__file__).resolve().parent


def run_python(script, timeout=120):
    """Runs `script` in a fresh interpreter (its own peak memory) that can import conftest."""
    script = f"import sys; sys.path.insert(0, {str(TESTS)!r})\n" + textwrap.dedent(script)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_stats_memory_does_not_grow_with_the_longest_token():
    # A histogram indexed by length would take 8 bytes per character of the
    # longest token: 320 MB here.
    output = run_python("""
        import json, resource, vocarix
        from conftest import doc_text
        editor = vocarix.Vocarix.from_json(doc_text({"a": 0, "ab": 1, "x" * 40_000_000: 2, "y" * 300: 3}))
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        stats = editor.get_stats()
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(json.dumps([stats.length_distribution, (after - before) // 1024]))
    """)
    distribution, growth_mib = json.loads(output)
    assert distribution == [[1, 1], [2, 1], [300, 1], [40_000_000, 1]]
    assert growth_mib < 32


def test_stats_histogram_mixes_short_and_long_lengths(make_editor):
    vocab = {"a": 0, "\u00e9": 1, "ab": 2, "b" * 255: 3, "c" * 256: 4, "d" * 256: 5, "e" * 1000: 6}
    stats = make_editor(vocab).get_stats()
    assert stats.length_distribution == [(1, 2), (2, 1), (255, 1), (256, 2), (1000, 1)]


def test_prefix_search_beside_a_huge_token_takes_linear_time():
    # Every length up to the huge token's was once looked up: quadratic in N.
    # CPU time of the process, so that a busy machine does not move it.
    output = run_python("""
        import time, vocarix
        from conftest import doc_text
        editor = vocarix.Vocarix.from_json(doc_text({"a": 0, "c": 1, "cc": 2, "x" * 10_000_000: 3}))
        editor.has_token("a")
        start = time.process_time()
        try:
            editor.add_token("c" * 400_000)
        except ValueError as error:
            print(str(error).split(":")[0])
        print(time.process_time() - start)
        start = time.process_time()
        result = editor.add_token("x" * 10_000_000 + "c")
        print(result.method, [(len(a), b) for a, b in result.added_merges], time.process_time() - start)
    """)
    refusal, seconds, chained = output.splitlines()
    assert refusal == "token of 400000 characters is too long to build a merge chain for"
    assert float(seconds) < 2.0  # about 17 s when every prefix length was hashed
    # The huge token is itself the longest prefix of a longer one.
    method, merges, seconds = chained.split(" ", 1)[0], *chained.split(" ", 1)[1].rsplit(" ", 1)
    assert (method, merges) == ("longest_prefix", "[(10000000, 'c')]") and float(seconds) < 5.0


@pytest.mark.parametrize("repeat", [3, 24])
def test_longest_prefix_follows_insertions_and_deletions(repeat):
    # Keys of many byte lengths, multi-byte characters among them, removed
    # and added back between additions: the same choices as the literal
    # model, for short tokens and for ones long enough (beside a long key)
    # to be searched by fingerprints.
    from naive_model import NaiveEditor

    word = "a\u00e9b\u4e00c\U0001f600d" * repeat
    vocab = {c: i for i, c in enumerate(sorted(set(word)))}
    vocab.update({word[:n]: 100 + n for n in (2, 3, 5, 8, 9, 4 * repeat, 5 * repeat + 1)})
    vocab["q" * 300] = 99
    text = doc_text(vocab)
    editors = [vocarix.Vocarix.from_json(text), NaiveEditor.from_json(text)]
    n = 4 * repeat
    script = [("add", word[:n + 3]), ("remove", word[:n]), ("add", word[:n + 2]), ("remove", word[:5]),
              ("add", word), ("add", word[:9] + "z"), ("remove", word[:n + 3]), ("add", word[:n + 4]),
              ("add", word[3:n]), ("add", word[:n] + "q" * 300)]
    for action, token in script:
        results = [e.add_token(token) if action == "add" else e.remove_token(token) for e in editors]
        if action == "add":
            assert (results[0].method, results[0].added_merges) == (results[1].method, results[1].added_merges)
        assert editors[0].get_vocab() == editors[1].get_vocab()
        assert editors[0].get_merges() == editors[1].get_merges()
