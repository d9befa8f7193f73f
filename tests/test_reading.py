"""Reading documents from files that are not regular: pipes fed by the
caller's own threads, endless devices, and loads interrupted by the user."""
import subprocess
import sys
import textwrap
from pathlib import Path

TESTS = Path(__file__).resolve().parent


def run_python(script, timeout=30, **kwargs):
    """Runs `script` in a fresh interpreter that can import conftest; a hang fails the test instead of pytest."""
    script = f"import sys; sys.path.insert(0, {str(TESTS)!r})\n" + textwrap.dedent(script)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout, **kwargs)


def test_sync_source_fed_through_a_pipe_by_another_thread(tmp_path):
    result = run_python("""
        import os, threading, vocarix
        from conftest import doc_text
        fifo = sys.argv[1]
        os.mkfifo(fifo)
        feeder = threading.Thread(target=lambda: open(fifo, "w").write(doc_text({"a": 0, "\\u4e00": 1})))
        feeder.start()
        editor = vocarix.Vocarix.from_json(doc_text({"a": 0, "bc": 1, "b": 2, "c": 3}))
        report = editor.sync_single_chars(fifo)
        feeder.join()
        print(report["chars_added_count"], editor.has_token("\\u4e00"), editor.vocab_size)
    """.replace("fifo = sys.argv[1]", f"fifo = {str(tmp_path / 'source')!r}"))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["1", "True", "4"]
