"""Reference and memory leak check for the extension module (not collected by pytest).

    PYTHONPATH=build/dev python tests/leak_check.py [--calls N] [METHOD ...]

Every public member of Vocarix is exercised N times (default 10,000), each on
its success path and on an error path, together with every property of the
result object it returns. After a warm-up, four things must not grow with the
number of calls:

- memory blocks held by Python's allocator (sys.getallocatedblocks): a leaked
  str, int, tuple or result object per call shows up as N blocks;
- reference counts of the arguments, the editor, None, True, False and the
  small integers: a reference taken and never released shows up as N;
- objects tracked by the garbage collector;
- the resident set size, which catches C++ heap that is never freed.

Exits non-zero and lists the offenders when any method leaks. A method of
the class that this script does not know about is an error too, so new
methods get a check.
"""

import argparse
import contextlib
import gc
import os
import resource
import sys
import tempfile

import vocarix
from conftest import doc_text  # tests/ is on the path when this runs as a script
from vocarix import Vocarix

# Allowed growth over the measured calls, far below one unit per call.
MAX_BLOCKS = 500
MAX_REFS = 100
MAX_GC_OBJECTS = 100
MAX_RSS_BYTES = 1 << 20


# A small tokenizer with an id gap, a special token, multi-byte characters and
# one merge whose result is not an entry (so validation has something to report).
VOCAB = {"<unk>": 0, "a": 1, "b": 2, "c": 3, "é": 4, "ab": 5, "abc": 6, "▁": 7, "éa": 9, "[X]": 10}
MERGES = [("a", "b"), ("ab", "c"), ("é", "a"), ("c", "c")]
TEXT = doc_text(VOCAB, MERGES)
SOURCE_TEXT = doc_text({"x": 0, "y": 1, "z": 2, "a": 3}, [])


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def refcount_fingerprint(objects):
    return sum(sys.getrefcount(o) for o in objects) + sum(sys.getrefcount(i) for i in range(-5, 257))


@contextlib.contextmanager
def silenced_stderr():
    """sync_single_chars reports progress on file descriptor 2."""
    saved = os.dup(2)
    with open(os.devnull, "w") as devnull:
        os.dup2(devnull.fileno(), 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def read_properties(result):
    """Reads every public attribute of a result object (each read converts anew)."""
    if result is None or isinstance(result, (bool, int, str, list, tuple, dict)):
        return
    for name in dir(type(result)):
        if not name.startswith("_"):
            getattr(result, name)


def expect(error, fn, *args):
    try:
        fn(*args)
    except error:
        return
    raise AssertionError(f"{fn.__name__}{args!r} did not raise {error.__name__}")


class Workbench:
    """Editors, files and argument objects shared by the exercises."""

    def __init__(self, directory):
        self.path = os.path.join(directory, "tokenizer.json")
        self.source_path = os.path.join(directory, "source.json")
        self.out_path = os.path.join(directory, "out.json")
        self.bad_path = os.path.join(directory, "missing", "out.json")
        with open(self.path, "w", encoding="utf-8") as f:
            f.write(TEXT)
        with open(self.source_path, "w", encoding="utf-8") as f:
            f.write(SOURCE_TEXT)
        self.editor = Vocarix.from_json(TEXT)
        self.token = "abc"
        self.new_token = "cab\u00e9"
        self.missing = "zzz"
        self.tokens = ["ca", "bé", "aa"]
        self.whitelist = ["ab"]

    def fresh(self):
        return Vocarix.from_json(TEXT)

    def objects(self):
        """Objects whose reference counts must not drift."""
        return [None, True, False, self.editor, self.token, self.new_token, self.missing, self.tokens,
                self.whitelist, self.path, self.source_path, TEXT, *self.tokens]


class FailingSequence:
    """A sequence whose iteration fails after its items: it raises KeyError,
    or first calls `call` (which may call back into the editor)."""

    def __init__(self, items, call=None):
        self.items = items
        self.call = call

    def __len__(self):
        return len(self.items) + 1

    def __getitem__(self, index):
        if index < len(self.items):
            return self.items[index]
        if self.call:
            self.call()
        raise KeyError("iteration failed")


def exercises(w):
    """Name -> callable doing one success-path and one error-path call."""
    # Queries run on one editor; edits on a fresh editor each time, so that the
    # editor's own growth (ids are never reused) does not count as a leak.
    ed = w.editor

    def from_json():
        read_properties(Vocarix.from_json(TEXT))
        expect(ValueError, Vocarix.from_json, "{")
        expect(TypeError, Vocarix.from_json, b"{}")

    def construct():
        Vocarix(w.path)
        expect(OSError, Vocarix, w.bad_path)
        expect(TypeError, Vocarix, None)

    def save():
        ed.save(w.out_path)
        expect(OSError, ed.save, w.bad_path)

    def get_token_by_id():
        ed.get_token_by_id(6)
        ed.get_token_by_id(8)
        expect(OverflowError, ed.get_token_by_id, -1)
        expect(TypeError, ed.get_token_by_id, "1")

    def add_token():
        read_properties(w.fresh().add_token(w.new_token))
        expect(TypeError, ed.add_token, 5)

    def add_token_atomic():
        w.fresh().add_token_atomic(w.new_token)
        expect(TypeError, ed.add_token_atomic, None)

    def add_tokens():
        for r in w.fresh().add_tokens(w.tokens):
            read_properties(r)
        expect(TypeError, ed.add_tokens, "ab")
        expect(KeyError, ed.add_tokens, FailingSequence(w.tokens))
        expect(RuntimeError, ed.add_tokens, FailingSequence(w.tokens, lambda: ed.has_token(w.token)))

    def remove_token():
        read_properties(w.fresh().remove_token(w.token))
        read_properties(ed.remove_token(w.missing))
        expect(TypeError, ed.remove_token, b"a")

    def remove_tokens():
        for r in w.fresh().remove_tokens([w.token, w.missing]):
            read_properties(r)
        expect(TypeError, ed.remove_tokens, [w.missing, None])
        expect(KeyError, ed.remove_tokens, FailingSequence([w.missing]))

    def shrink():
        read_properties(w.fresh().shrink(2, 1))
        expect(OverflowError, ed.shrink, -1)

    def sync_single_chars():
        with silenced_stderr():
            w.fresh().sync_single_chars(w.source_path, 0)
        expect(OSError, ed.sync_single_chars, w.bad_path)

    def add_tokens_keep_size():
        w.fresh().add_tokens_keep_size(w.tokens, w.whitelist)
        w.fresh().add_tokens_keep_size(w.tokens)
        expect(TypeError, ed.add_tokens_keep_size, w.tokens, 3)
        expect(KeyError, ed.add_tokens_keep_size, w.tokens, FailingSequence(w.whitelist))

    def reindex_vocab():
        read_properties(w.fresh().reindex_vocab())

    def remove_invalid_merges():
        w.fresh().remove_invalid_merges()

    return {
        "__init__": construct,
        "from_json": from_json,
        "save": save,
        "to_json": lambda: ed.to_json(),
        "vocab_size": lambda: ed.vocab_size,
        "merges_count": lambda: ed.merges_count,
        "has_token": lambda: (ed.has_token(w.token), ed.has_token(w.missing), expect(TypeError, ed.has_token, 1)),
        "get_token_id": lambda: (ed.get_token_id(w.token), ed.get_token_id(w.missing)),
        "get_token_by_id": get_token_by_id,
        "get_vocab": lambda: ed.get_vocab(),
        "get_merges": lambda: ed.get_merges(),
        "get_stats": lambda: read_properties(ed.get_stats()),
        "validate_merges": lambda: read_properties(ed.validate_merges()),
        "remove_invalid_merges": remove_invalid_merges,
        "add_token": add_token,
        "add_tokens": add_tokens,
        "add_token_atomic": add_token_atomic,
        "remove_token": remove_token,
        "remove_tokens": remove_tokens,
        "shrink": shrink,
        "find_tokens_to_shrink": lambda: (ed.find_tokens_to_shrink(3), expect(TypeError, ed.find_tokens_to_shrink, None)),
        "get_single_char_tokens": lambda: ed.get_single_char_tokens(),
        "sync_single_chars": sync_single_chars,
        "add_tokens_keep_size": add_tokens_keep_size,
        "check_vocab_gaps": lambda: ed.check_vocab_gaps(),
        "reindex_vocab": reindex_vocab,
        "__repr__": lambda: repr(ed),
        "__str__": lambda: str(ed),
    }


def public_members():
    return {name for name in vars(Vocarix) if not name.startswith("_")} | {"__init__", "__repr__", "__str__"}


def measure(fn, objects, calls):
    for _ in range(max(100, calls // 10)):
        fn()
    gc.collect()
    before = (sys.getallocatedblocks(), refcount_fingerprint(objects), len(gc.get_objects()), rss_bytes())
    for _ in range(calls):
        fn()
    gc.collect()
    after = (sys.getallocatedblocks(), refcount_fingerprint(objects), len(gc.get_objects()), rss_bytes())
    return [b - a for a, b in zip(before, after)]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=10_000)
    parser.add_argument("methods", nargs="*")
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory() as directory:
        w = Workbench(directory)
        table = exercises(w)
        unknown = public_members() - set(table)
        if unknown:
            print(f"no leak exercise for: {', '.join(sorted(unknown))}")
            return 2
        names = args.methods or sorted(table)
        failures = []
        print(f"vocarix {vocarix.__version__}: {args.calls} calls per method")
        print(f"{'method':24} {'blocks':>8} {'refs':>6} {'gc objs':>8} {'rss KiB':>8}")
        for name in names:
            blocks, refs, gc_objects, rss = measure(table[name], w.objects(), args.calls)
            leaked = blocks > MAX_BLOCKS or abs(refs) > MAX_REFS or gc_objects > MAX_GC_OBJECTS or rss > MAX_RSS_BYTES
            print(f"{name:24} {blocks:8d} {refs:6d} {gc_objects:8d} {rss // 1024:8d}{'  LEAK' if leaked else ''}")
            if leaked:
                failures.append(name)
        if failures:
            print(f"leaking: {', '.join(failures)}")
            return 1
        print("no method leaks")
        return 0


if __name__ == "__main__":
    sys.exit(main())
