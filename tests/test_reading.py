"""Reading documents from files that are not regular: pipes fed by the
caller's own threads, endless devices, and loads interrupted by the user."""
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

from conftest import doc_text, sigint_as_default
from vocarix import Vocarix

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


def feed_through_fifo(path, data):
    """A pipe at `path` that another thread fills with `data` (bytes) once a reader opens it."""
    os.mkfifo(path)

    def feed():
        try:
            with open(path, "wb") as pipe:
                pipe.write(data)
        except BrokenPipeError:
            pass  # the reader stopped early

    writer = threading.Thread(target=feed)
    writer.start()
    return writer


def load_error(path):
    with pytest.raises(OSError) as info:
        Vocarix(str(path))
    return str(info.value)


@pytest.mark.parametrize("device", ["/dev/zero", "/dev/urandom"])
def test_endless_devices_stop_at_once(device):
    if not os.path.exists(device):
        pytest.skip(f"{device} is not available")
    result = run_python(f"""
        import time, vocarix
        start = time.process_time()  # CPU time: a busy machine does not move it
        try:
            vocarix.Vocarix({device!r})
        except OSError as error:
            print(time.process_time() - start)
            print(error)
    """, timeout=60)
    assert result.returncode == 0, result.stderr
    seconds, message = result.stdout.splitlines()
    assert float(seconds) < 1
    assert message in ("Failed to load tokenizer: Failed to parse tokenizer.json",
                       f'Failed to load tokenizer: Failed to read: "{device}"')


GARBAGE = [
    b"", b"\x00", b"nope", b"\xef\xbb\xbf{}", b"{} {}", b'{"version": "1"} x', b"\xff", b'{"a": "\x01"}',
    b'{"a": "\xc3"}', b'{"a": "\xed\xa0\x80"}', b'{"a": "\\q"}', b'{"a": @}', b"[" * 200, b'{"a": [1, 2}',
]


@pytest.mark.parametrize("data", GARBAGE, ids=range(len(GARBAGE)))
def test_a_stream_fails_as_the_same_bytes_in_a_file_do(tmp_path, data):
    regular = tmp_path / "regular.json"
    regular.write_bytes(data)
    expected = load_error(regular).replace(str(regular), "PATH")
    writer = feed_through_fifo(tmp_path / "pipe", data)
    assert load_error(tmp_path / "pipe").replace(str(tmp_path / "pipe"), "PATH") == expected
    writer.join()


# Short keys as bytes, each inside a document that goes on well past it.
SHORT_INVALID_KEYS = [b"\xc0\x80", b"\xc1\xbf", b"a\xc4", b"\xa0b", b"\xc4\xc4\xa0", b"\xe0\x80\x80",
                      b"\xed\xa0\x80x", b"\xf5\x80\x80\x80", b"\xc4\xa0" * 7 + b"\xc4", b"x\xe2\x82"]
SHORT_VALID_KEYS = ["\u0120the", "\u00e9t\u00e9", "\u20ac5", "\U0001f30d", "a\u00ff\u0100b", "\u0120" * 7]


def test_short_keys_are_checked_for_utf8_byte_by_byte(tmp_path):
    path = tmp_path / "tokenizer.json"
    for key in SHORT_INVALID_KEYS:
        path.write_bytes(doc_text({"a": 0, "KEY": 1}).encode().replace(b"KEY", key))
        assert load_error(path) == f'Failed to load tokenizer: Failed to read: "{path}"', key
    vocab = {key: i for i, key in enumerate(SHORT_VALID_KEYS)}
    path.write_text(doc_text(vocab), encoding="utf-8")
    assert Vocarix(str(path)).get_vocab() == vocab


def test_streams_that_can_no_longer_be_documents_stop_early(tmp_path):
    # Each of these goes on far beyond what a reader would wait for; the
    # writer gives up once the load has stopped reading.
    for i, head in enumerate([b"\x00", b"{" + b'"a": [' * 300, b'{"a": "\x07', b"{}\n\n x"]):
        fifo = tmp_path / f"pipe{i}"
        writer = feed_through_fifo(fifo, head + b"\x00" * (64 << 20))
        assert load_error(fifo) == "Failed to load tokenizer: Failed to parse tokenizer.json"
        writer.join(timeout=30)
        assert not writer.is_alive()


def test_documents_of_every_shape_load_through_a_pipe(tmp_path):
    sections = {
        "normalizer": {"type": "Sequence", "normalizers": [{"type": "NFC"}, {"pattern": "\\s+", "x": [1e-7, -2.5E+3, 0]}]},
        "post_processor": {"special": True, "other": False, "none": None, "quote": "\"\\/\b\f\n\r\t\u0001"},
        "decoder": [[[]], {}, "\u00e9\u4e00\U0001f600"],
    }
    vocab = {"a": 0, "\u00e9": 1, "\u4e00\u4e8c": 2, "\U0001f600": 3, "\"q\"": 4, "\\": 5, "\t\n": 6, "\u007f": 7}
    text = doc_text(vocab, [("a", "\u00e9")], **sections)
    for form in (text, json.dumps(json.loads(text), indent=2), json.dumps(json.loads(text), ensure_ascii=True)):
        writer = feed_through_fifo(tmp_path / "pipe", form.encode("utf-8") + b"\r\n\t ")
        editor = Vocarix(str(tmp_path / "pipe"))
        writer.join()
        os.unlink(tmp_path / "pipe")
        assert editor.to_json() == Vocarix.from_json(text).to_json()


def test_a_stream_longer_than_the_limit_is_refused(tmp_path):
    # Whitespace can precede a document, so only the size limit ends this one.
    result = run_python("""
        import subprocess, vocarix
        spaces = subprocess.Popen(["yes", " "], stdout=subprocess.PIPE)  # " \\n" without end
        try:
            vocarix.Vocarix("/dev/fd/%d" % spaces.stdout.fileno())
        except OSError as error:
            print(error)
        spaces.kill()
    """, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith('Failed to load tokenizer: Failed to read: "/dev/fd/')


@pytest.mark.parametrize("writer_present", [False, True])
def test_ctrl_c_stops_a_load_waiting_on_a_pipe(tmp_path, writer_present):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    # A writer that never writes keeps the load waiting for data instead of for a writer.
    writer = os.open(fifo, os.O_RDWR) if writer_present else None
    script = f"""
        import threading, time, vocarix
        ticks = []
        def tick():
            while True:
                ticks.append(1)
                time.sleep(0.01)
        threading.Thread(target=tick, daemon=True).start()
        print("ready", flush=True)
        try:
            vocarix.Vocarix({str(fifo)!r})
        except KeyboardInterrupt:
            print("interrupted", len(ticks) > 20, flush=True)
    """
    script = f"import sys; sys.path.insert(0, {str(TESTS)!r})\n" + textwrap.dedent(script)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             preexec_fn=sigint_as_default)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        output, errors = child.communicate(timeout=5)
    finally:
        child.kill()
        if writer is not None:
            os.close(writer)
    # Other threads kept running while the load waited, and the interrupt ended it.
    assert output == "interrupted True\n", errors
