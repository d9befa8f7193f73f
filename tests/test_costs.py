"""Memory and time of queries and edits follow what the input holds, not the
product of its sizes: one huge token must not make an ordinary call costly."""
import json
import subprocess
import sys
import textwrap
from pathlib import Path

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
