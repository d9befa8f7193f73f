"""Benchmark suite: vocarix against plain JSON libraries and the tokenizers runtime.

Usage::

    python benchmarks/run.py                      # full suite, writes benchmarks/RESULTS.md
    python benchmarks/run.py --quick              # tiny counts on bytelevel-2k, no file written
    python benchmarks/run.py --fixtures sp-32k bytelevel-128k --repeat 3
    python benchmarks/run.py --output /tmp/results.md

The ``vocarix`` module is imported from the normal path, so point
``PYTHONPATH`` at a build directory to measure a development build.

Fixtures
--------
Generated files come from ``benchmarks/make_fixtures.py`` (built on first use
and cached).  The real files of ``../shared/fixtures/real/`` (or
``$VOCARIX_REAL_FIXTURES``) are read in place; the suite skips them when the
folder is absent.  ``--fixtures`` takes generated names, real file names (with
or without ``.array.json``) or paths.

Method
------
Every measurement is repeated (``--repeat``, default 5; 2 with ``--quick``)
and the median is reported.  Within a repetition vocarix and its baselines
run one after the other, so slow drift of the machine hits all of them alike.
Each timed call runs with the cyclic garbage collector paused (as ``timeit``
does) and the result is released after the clock stops.

Every vocarix operation runs on a fresh editor made by ``Vocarix.from_json``
of the fixture's text outside the timed region, so editing operations never
see an earlier repetition's changes and queries include whatever an editor
builds on first use.  Operations that need preparation (``reindex_vocab``
after removals) do it untimed on that fresh editor.

Baselines (ratio = vocarix time / baseline time; lower is better for vocarix)
------------------------------------------------------------------------------
load (path)     orjson: read the file's bytes + ``orjson.loads``;
                json: ``json.load`` of the opened file;
                tokenizers: ``Tokenizer.from_file``.
from_json       the same text given to ``orjson.loads``, ``json.loads`` and
                ``Tokenizer.from_str``, each call with a new ``str`` object
                (a str caches its UTF-8 form once asked for it).
to_json         ``orjson.dumps(doc, option=OPT_INDENT_2)`` (bytes),
                ``json.dumps(doc, indent=2, ensure_ascii=False)`` (str),
                ``Tokenizer.to_str(pretty=True)``.
save            orjson/json: the dumps above + writing the result to a file;
                tokenizers: ``Tokenizer.save``.  vocarix's save also flushes
                the file and its folder to disk (fsync), so an extra row
                "save (baselines + fsync)" adds the same to orjson and json.
commands        whole commands, each a new process running what the
                installed ``vocarix`` script runs (bytecode compiled):
                ``vocarix --version`` against ``python -c pass``, and
                ``vocarix add FILE`` of ten new words with ``-o`` against
                ``vocarix stats FILE``.
queries         answered from the dicts that ``orjson.loads`` gives (the
                document is parsed once, untimed):
  get_vocab         ``dict(sorted(vocab.items()))``: the same dict in the same
                    (code point = UTF-8 byte) key order that vocarix returns.
  get_merges        ``[tuple(m) for m in merges]``: the same list of tuples.
  get_token_by_id   build the id -> token dict (first token in key order for
                    a repeated id; a plain inversion when ids are unique),
                    then look up every id; vocarix likewise builds its id
                    index on the first call.
  has_token         ``t in vocab`` for every token.
  find_tokens_to_shrink  ``heapq.nsmallest`` over the multi-character,
                    non-special tokens keyed by (-length, -id).
  validate_merges   one ``a + b in vocab`` test per merge, collecting
                    (position, a, b) of the invalid ones.
  remove_invalid_merges  the list of merges whose result is in the vocab.
  get_stats         one pass over the vocab: length histogram, single-char
                    and special counts, min and max id.
  reindex_vocab     stable sort of the (token, id) pairs by id and a new
                    token -> position dict, on the vocab after the same
                    removals.
vocarix's timing of a query includes reading every attribute of its result
object, so both sides produce the same Python values.  Editing operations
have no baseline.

Workloads
---------
add_tokens      10k new words: made-up words of the fixture corpus's
                languages (own seed), in the form the fixture's normalizer and
                pre-tokenizer give them (with and without a leading space),
                multi-character and absent from the vocab.
remove_tokens   10k (and 1k, a prefix of the same sample) existing
                multi-character, non-special tokens, seeded sample.  Timed on
                a fresh editor and on a "warm" one that has already removed
                one other token (untimed), which separates work that the
                first removal of an editor does once from the cost per
                removal; the report compares 1k with 10k and sp-32k with
                bytelevel-256k.
validate_merges / remove_invalid_merges
                run on a copy of the document from which 1k sampled tokens
                were deleted from the vocab while the merges were kept, so
                the merges that produce them are invalid.
reindex_vocab   after removing the 10k tokens above.
add_tokens_keep_size  the first 2k of the add_tokens words.
sync_single_chars  a source file (strict format, written to a temporary
                folder) holding 5k single CJK ideographs absent from the
                fixture; standard error is sent to /dev/null around the call.

Memory: for each fixture a fresh interpreter imports vocarix, resets its peak
RSS (``/proc/self/clear_refs``), loads the file, and reports retained RSS
(after - before, from ``/proc/self/statm``) and peak RSS while loading
(``VmHWM`` - before), as multiples of the file size.  The same is measured
for ``orjson.loads`` of the file.

Weights: a safetensors file of a bf16 embedding (151,936 x 1,024) and an
untouched tensor of the same size (about 600 MiB, written to the suite's
temporary folder; ``benchmarks/weights.py``) is rewritten by
``_native.rewrite_safetensors`` with a plan that drops 1k rows and adds 100
mean rows, against ``shutil.copyfile`` of the same file, alternating.  The
rewrite flushes its file to disk before renaming it; the copy does not.  A
child process measures the rewrite's peak RSS above its own baseline (module
imported, plan built), as a multiple of the embedding's size.  ``--quick``
uses a 4,096 x 64 embedding; ``--skip-weights`` leaves the case out.

GGUF: a model around the bytelevel-128k tokenizer with a Q8_0 embedding
(1,024 wide) and an untouched tensor of the same size (``benchmarks/gguf_file.py``)
is opened, shrunk by 1k tokens, reindexed and given 100 new tokens; the
write of the planned model to a new file (which flushes it to disk), the
whole ``save`` (working out the plan, then the write) and the command
``vocarix shrink MODEL 1000 -o OUT.gguf`` in a new process (start, open,
edit, repair, save) are timed against a copy of the file followed by fsync,
alternating, each writing a new file; the target is on the save. A child
process measures the save's peak RSS above its own baseline (model opened
and edited), as a multiple of the embedding's size. ``--skip-gguf`` leaves
the case out.

Model folders: for each case of ``benchmarks/model_folder.py`` (a tied bf16
embedding in one file, an untied f32 embedding and head in one file, a tied
f32 embedding in the first of three shards; 128-row padded, 1,024 or 512
wide, around the bytelevel-128k tokenizer), the whole edit through
``open_model``: open, shrink(1000), reindex, ``save`` to a new folder.  It is
timed on the folder and on a twin without weights, alternating with
``shutil.copyfile`` of the weight files; the target is on (edit with weights
- edit without) / copy.  A child process measures the edit's peak RSS on
each folder; the target is on the difference, as a multiple of the embedding.
``--quick`` uses the bytelevel-2k tokenizer and 64-wide tensors;
``--skip-folders`` leaves the cases out.

Learning: ``vocarix_tools`` counts the words of a 2.5 MB corpus (the
standard library's sources) and learns 3,000 new entries on top of
roberta-base (a real byte-level file kept in the repository), against the
runtime's ``BpeTrainer`` training a fresh byte-level model with the byte
alphabet and 3,000 merges on the same file (``benchmarks/learning_case.py``).
``--quick`` uses 100 kB and 200 entries; ``--skip-learning`` leaves it out.

Corpus shapes: 50 MB of mixed-script text counted in lines from a file, on
one line from a file, and on one line through a pipe, each in a child
interpreter reporting its peak RSS above its start, for the qwen3-style and
byte-level pipelines; and a sparse 2 GiB file of NUL bytes refused on one
and two processes, with the time and the bytes read
(``benchmarks/corpus_shapes_case.py``). ``--quick`` uses 2 MB;
``--skip-corpus-shapes`` leaves it out.

Counting (``benchmarks/counting_case.py``, run alone with ``--only
counting``, which writes ``benchmarks/RESULTS-counting.md``: it takes
minutes): ``vocarix count-words`` on 100 MB of generated mixed-script text
on one process and on two, against the runtime's ``BpeTrainer`` training
1,000 merges on the same file with the same normalizer and pre-tokenizer,
for a Qwen3-style and a DeepSeek-style file; and the peak memory of
counting against the memory of the counts. ``--quick`` uses 1 MB.

The report also records the load average at the start and end of the run:
other processes sharing the cores slow the measurements (the ratios less so,
since the contenders of a measurement alternate).

Targets are those of the design note: load and from_json <= 0.25x orjson,
save <= 1.0x orjson dumps + write, to_json <= 1.5x orjson dumps, retained
<= 1.5x and peak <= 2.5x the file size, get_vocab <= 1.0x its baseline, and
on bytelevel-128k: shrink(10000), remove_tokens 10k, add_tokens 10k,
add_tokens_keep_size 2k and sync_single_chars 5k each under 0.25 s;
vocarix_tools (literal, without the repairing session, timed in a row of
its own): reachable addition of the 10k add_tokens words and add_keep_size
of the first 2k under 0.25 s, prune to half the size with counts given (5k
synthetic sentences encoded by the runtime) under 0.5 s;
get_token_by_id for every id under 0.2 s, and `vocarix diff` of the file
against an edited copy, both loaded, under 0.5 s; the weights rewrite <= 2.5x
``shutil.copyfile`` and its peak memory < 1.5x the embedding; a model folder
edit's extra time for its weights <= 2.5x ``shutil.copyfile`` of them and its
extra peak memory < 1.5x the embedding; the GGUF save <= 2x a durable copy
of the file and its peak memory < 1.5x the embedding; ``vocarix --version`` <= 3x
``python -c pass``, and on bytelevel-151k ``vocarix add`` of ten words <= 2x
``vocarix stats``; learning 3,000 entries <= 2x BpeTrainer; counting a corpus
on one line (from a file or a pipe) peaks within 2x the same text in lines,
and a 2 GiB file of NUL bytes is refused having read under 1% of it;
counting 100 MB >= 3x faster than BpeTrainer's 1,000 merges, >= 1.7x faster
on two processes than on one, and its peak memory < 2x the counts.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import sys
import tempfile
from pathlib import Path
from typing import Any, Callable

REPO = Path(__file__).resolve().parents[1]
if str(REPO) not in sys.path:
    sys.path.append(str(REPO))

from benchmarks.make_fixtures import FIXTURES, fixture_path  # noqa: E402
from benchmarks.measuring import (  # noqa: E402
    Contender, FixtureInfo, Measured, Row, ScalingRow, Target, baseline_cell, fmt_count, fmt_mib, fmt_ratio,
    fmt_time, headline_repetitions, log, measure, ratio, relative,
)
from benchmarks.workloads import (  # noqa: E402
    corpus_counts, missing_cjk, new_words, py_find_shrink, py_inverse, py_reindex, py_stats, removable_tokens,
    strict_document,
)
from benchmarks.child_processes import command_env, measure_memory, run_command, startup_row  # noqa: E402
from benchmarks.corpus_shapes_case import run_corpus_shapes_case  # noqa: E402
from benchmarks.counting_case import run_counting_case  # noqa: E402
from benchmarks.learning_case import run_learning_case  # noqa: E402
from benchmarks.model_cases import run_folder_cases, run_gguf_case, run_weights_case  # noqa: E402
from benchmarks.report import load_average, render, source_revision  # noqa: E402
from benchmarks.settings import (  # noqa: E402
    COMMAND_FIXTURE, FULL_COUNTS, QUICK_COUNTS, REAL_DIR, REAL_FILES, SEED, TARGET_FIXTURE,
)


def run_fixture(name: str, path: Path, counts: dict[str, int], reps: int, tmp: Path,
                rows: list[Row], scaling: list[ScalingRow], nominal: bool) -> FixtureInfo:
    import orjson
    import vocarix
    from tokenizers import Tokenizer

    log(f"[{name}] preparing workloads")
    raw = path.read_bytes()
    text = raw.decode("utf-8")
    doc = orjson.loads(raw)
    vocab: dict[str, int] = doc["model"]["vocab"]
    merges: list[list[str]] = doc["model"]["merges"]
    info = FixtureInfo(name, path, len(raw), len(vocab), len(merges),
                       "generated" if name in FIXTURES else "real")
    del raw
    ids = sorted(set(vocab.values()))
    unique_ids = len(ids) == len(vocab)
    tokens = list(vocab)
    pool = removable_tokens(vocab)
    rng = random.Random(SEED)
    remove_big = rng.sample(pool, min(counts["remove"], len(pool)))
    remove_small = remove_big[: min(counts["remove_small"], len(remove_big))]
    added = new_words(path, vocab, counts["add"])
    keep_size = added[: counts["keep_size"]]
    dropped = set(random.Random(SEED + 1).sample(pool, min(counts["invalid"], len(pool))))
    damaged_doc = orjson.loads(text)
    damaged_doc["model"]["vocab"] = {t: i for t, i in vocab.items() if t not in dropped}
    damaged_text = orjson.dumps(damaged_doc).decode()
    damaged_vocab = damaged_doc["model"]["vocab"]
    damaged_merges = damaged_doc["model"]["merges"]
    sync_chars = missing_cjk(vocab, counts["sync"])
    sync_source = tmp / f"{name}-sync-source.json"
    sync_source.write_text(json.dumps(strict_document({c: i for i, c in enumerate(sync_chars)}, []),
                                      ensure_ascii=False, indent=2), encoding="utf-8")
    try:
        rt = Tokenizer.from_file(str(path))
    except Exception:
        rt = None

    def fresh() -> Any:
        return vocarix.Vocarix.from_json(text)

    def fresh_damaged() -> Any:
        return vocarix.Vocarix.from_json(damaged_text)

    def fresh_after_removal() -> Any:
        e = fresh()
        e.remove_tokens(remove_big)
        return e

    e = fresh_after_removal()
    removed_vocab = e.get_vocab()
    del e

    def is_target_fixture() -> bool:
        return name == TARGET_FIXTURE and nominal

    def io_row(op: str, results: dict[str, Measured], limit: float | None = None) -> None:
        vx = results["vocarix"]
        row = Row(name, op, fmt_time(vx.median))
        for col in ("orjson", "json", "tokenizers"):
            if col in results:
                row.baselines[col] = baseline_cell(vx, results[col])
        if limit is not None:
            r = relative(vx, results["orjson"])
            row.target = Target(f"<= {limit:g}x orjson", r is not None and r <= limit, fmt_ratio(r))
        rows.append(row)

    def opt(contender: Contender, available: bool) -> list[Contender]:
        return [contender] if available else []

    # -- load, from_json, to_json, save --------------------------------------
    log(f"[{name}] load / from_json / to_json / save")

    def orjson_load(_: Any) -> Any:
        with open(path, "rb") as f:
            return orjson.loads(f.read())

    def json_load(_: Any) -> Any:
        with open(path, encoding="utf-8") as f:
            return json.load(f)

    # Loading is the first thing every user does, and a load takes a few tens of
    # milliseconds, so a short slow spell of the host moves a median of five: these
    # two rows take more repetitions.
    load_reps = headline_repetitions(reps)
    res = measure(load_reps, [
        Contender("vocarix", lambda _: vocarix.Vocarix(str(path))),
        Contender("orjson", orjson_load),
        Contender("json", json_load),
        Contender("tokenizers", lambda _: Tokenizer.from_file(str(path))),
    ])
    io_row("load (path)", res, 0.25)

    # Every call gets a str of its own: a parser may cache the str's UTF-8
    # form on it, and a caller's text is new to it the first time.
    def fresh_text() -> str:
        return (text + " ")[:-1]

    res = measure(load_reps, [
        Contender("vocarix", lambda t: vocarix.Vocarix.from_json(t), fresh_text),
        Contender("orjson", lambda t: orjson.loads(t), fresh_text),
        Contender("json", lambda t: json.loads(t), fresh_text),
        Contender("tokenizers", lambda t: Tokenizer.from_str(t), fresh_text),
    ])
    io_row("from_json", res, 0.25)

    res = measure(reps, [
        Contender("vocarix", lambda e: e.to_json(), fresh),
        Contender("orjson", lambda _: orjson.dumps(doc, option=orjson.OPT_INDENT_2)),
        Contender("json", lambda _: json.dumps(doc, indent=2, ensure_ascii=False)),
        *opt(Contender("tokenizers", lambda _: rt.to_str(pretty=True)), rt is not None),
    ])
    io_row("to_json", res, 1.5)

    def orjson_save(_: Any) -> None:
        data = orjson.dumps(doc, option=orjson.OPT_INDENT_2)
        with open(tmp / "out-orjson.json", "wb") as f:
            f.write(data)

    def json_save(_: Any) -> None:
        data = json.dumps(doc, indent=2, ensure_ascii=False).encode("utf-8")
        with open(tmp / "out-json.json", "wb") as f:
            f.write(data)

    res = measure(reps, [
        Contender("vocarix", lambda e: e.save(str(tmp / "out-vocarix.json")), fresh),
        Contender("orjson", orjson_save),
        Contender("json", json_save),
        *opt(Contender("tokenizers", lambda _: rt.save(str(tmp / "out-tokenizers.json"))), rt is not None),
    ])
    io_row("save", res, 1.0)

    # vocarix's save makes the file durable (fsync of the file and its folder);
    # the same with the baselines shows how much of the difference that is.
    def durable(write: Callable[[Any], None], out: Path) -> Callable[[Any], None]:
        def run(arg: Any) -> None:
            write(arg)
            with open(out, "rb+") as f:
                os.fsync(f.fileno())
            folder = os.open(out.parent, os.O_RDONLY)
            try:
                os.fsync(folder)
            finally:
                os.close(folder)
        return run

    res = measure(reps, [
        Contender("vocarix", lambda e: e.save(str(tmp / "out-vocarix.json")), fresh),
        Contender("orjson", durable(orjson_save, tmp / "out-orjson.json")),
        Contender("json", durable(json_save, tmp / "out-json.json")),
    ])
    io_row("save (baselines + fsync)", res)

    # -- the same document in the older form, opened leniently ----------------
    log(f"[{name}] lenient open")
    import vocarix_tools

    older_doc = orjson.loads(text)
    older_doc["model"]["merges"] = [f"{left} {right}" for left, right in merges if " " not in left + right]
    older_doc["model"]["unk_token"] = None
    del older_doc["model"]["ignore_merges"]
    older = tmp / f"{name}-older-form.json"
    older.write_bytes(orjson.dumps(older_doc, option=orjson.OPT_INDENT_2))
    del older_doc
    res = measure(reps, [
        Contender("lenient", lambda _: vocarix_tools.open(older)),
        Contender("strict", lambda _: vocarix.Vocarix(str(path))),
    ])
    lenient, strict = res["lenient"].median, res["strict"].median
    r = relative(res["lenient"], res["strict"])
    rows.append(Row(name, 'vocarix_tools.open ("a b" merges, null unk)', fmt_time(lenient),
                    target=Target("<= 1.2x strict load", r is not None and r <= 1.2, fmt_ratio(r)),
                    work=f"strict load of the array form: {fmt_time(strict)}"))

    # -- memory ---------------------------------------------------------------
    log(f"[{name}] memory")
    vocarix_dir = str(Path(vocarix.__file__).resolve().parent)
    mem_vx = measure_memory(path, "vocarix", vocarix_dir)
    mem_oj = measure_memory(path, "orjson", vocarix_dir)
    for key, label, limit in (("retained", "memory: retained after load", 1.5),
                              ("peak", "memory: peak while loading", 2.5)):
        def cell(m: dict | None) -> str:
            if m is None:
                return "failed"
            note = " (upper bound)" if key == "peak" and m.get("masked") else ""
            return f"{fmt_mib(m[key])} ({m[key] / info.size:.2f}x file){note}"
        row = Row(name, label, cell(mem_vx), {"orjson": cell(mem_oj)})
        if mem_vx is not None:
            row.target = Target(f"<= {limit:g}x file size", mem_vx[key] <= limit * info.size,
                                f"{mem_vx[key] / info.size:.2f}x")
        rows.append(row)
    mem_older = measure_memory(older, "lenient", vocarix_dir)
    if mem_older is not None:
        older_size = older.stat().st_size
        rows.append(Row(name, "memory: peak while opening the older form",
                        f"{fmt_mib(mem_older['peak'])} ({mem_older['peak'] / older_size:.2f}x file)",
                        target=Target("<= 2.5x file size", mem_older["peak"] <= 2.5 * older_size,
                                      f"{mem_older['peak'] / older_size:.2f}x")))

    # -- whole commands, each in a new process ------------------------------
    log(f"[{name}] commands")
    env = command_env(vocarix_dir)
    ten_words = added[:10]
    out_path = tmp / f"{name}-ten-words.json"
    res = measure(reps, [
        Contender("add", lambda _: run_command(["add", str(path), *ten_words, "-o", str(out_path)], env)),
        Contender("stats", lambda _: run_command(["stats", str(path)], env)),
    ])
    add_s, stats_s = res["add"].median, res["stats"].median
    rows.append(Row(name, "`vocarix stats` (a new process)", fmt_time(stats_s)))
    r = relative(res["add"], res["stats"])
    rows.append(Row(name, f"`vocarix add` of {len(ten_words)} new words, -o (a new process)", fmt_time(add_s),
                    target=Target("<= 2x `vocarix stats`", r is not None and r <= 2.0, fmt_ratio(r))
                    if name == COMMAND_FIXTURE else None,
                    work=f"`vocarix stats`: {fmt_time(stats_s)} ({fmt_ratio(r)})"))

    # -- queries --------------------------------------------------------------
    log(f"[{name}] queries")

    def query_row(op: str, results: dict[str, Measured], target: Target | None = None, work: str = "") -> None:
        vx = results["vocarix"]
        rows.append(Row(name, op, fmt_time(vx.median), {"Python dicts": baseline_cell(vx, results["dicts"])},
                        target, work))

    res = measure(reps, [
        Contender("vocarix", lambda e: e.get_vocab(), fresh),
        Contender("dicts", lambda _: dict(sorted(vocab.items()))),
    ])
    r = relative(res["vocarix"], res["dicts"])
    query_row("get_vocab", res, Target("<= 1.0x Python dicts", r is not None and r <= 1.0, fmt_ratio(r)))

    res = measure(reps, [
        Contender("vocarix", lambda e: e.get_merges(), fresh),
        Contender("dicts", lambda _: [tuple(m) for m in merges]),
    ])
    query_row("get_merges", res)

    def vx_by_id(e: Any) -> list:
        get = e.get_token_by_id
        return [get(i) for i in ids]

    def py_by_id(_: Any) -> list:
        inv = py_inverse(vocab, unique_ids)
        return [inv.get(i) for i in ids]

    res = measure(reps, [Contender("vocarix", vx_by_id, fresh), Contender("dicts", py_by_id)])
    target = None
    if is_target_fixture():
        vx = res["vocarix"].median
        target = Target("< 0.2 s", vx is not None and vx < 0.2, fmt_time(vx))
    query_row(f"get_token_by_id, every id ({len(ids):,})", res, target)

    def vx_has(e: Any) -> list:
        has = e.has_token
        return [has(t) for t in tokens]

    res = measure(reps, [
        Contender("vocarix", vx_has, fresh),
        Contender("dicts", lambda _: [t in vocab for t in tokens]),
    ])
    query_row(f"has_token, every token ({len(tokens):,})", res)

    n = counts["shrink"]
    res = measure(reps, [
        Contender("vocarix", lambda e: e.find_tokens_to_shrink(n), fresh),
        Contender("dicts", lambda _: py_find_shrink(vocab, n)),
    ])
    query_row(f"find_tokens_to_shrink({n})", res)

    def vx_validate(e: Any) -> tuple:
        r = e.validate_merges()
        return r.valid_count, r.invalid_count, r.invalid_merges

    def py_validate(_: Any) -> tuple:
        invalid = [(i, a, b) for i, (a, b) in enumerate(damaged_merges) if a + b not in damaged_vocab]
        return len(damaged_merges) - len(invalid), len(invalid), invalid

    res = measure(reps, [Contender("vocarix", vx_validate, fresh_damaged), Contender("dicts", py_validate)])
    invalid_n = res["vocarix"].last_result[1] if res["vocarix"].last_result else 0
    query_row(f"validate_merges ({fmt_count(len(dropped))} tokens missing)", res,
              work=f"{invalid_n:,} invalid merges")

    res = measure(reps, [
        Contender("vocarix", lambda e: e.remove_invalid_merges(), fresh_damaged),
        Contender("dicts", lambda _: [m for m in damaged_merges if m[0] + m[1] in damaged_vocab]),
    ])
    query_row(f"remove_invalid_merges ({fmt_count(len(dropped))} tokens missing)", res,
              work=f"{res['vocarix'].last_result or 0:,} merges removed")

    def vx_stats(e: Any) -> tuple:
        s = e.get_stats()
        return (s.vocab_size, s.merges_count, s.single_char_count, s.special_token_count,
                s.min_token_id, s.max_token_id, s.length_distribution)

    res = measure(reps, [Contender("vocarix", vx_stats, fresh), Contender("dicts", lambda _: py_stats(vocab, merges))])
    query_row("get_stats", res)

    def vx_reindex(e: Any) -> tuple:
        r = e.reindex_vocab()
        return r.ids_remapped, r.gaps_removed

    res = measure(reps, [
        Contender("vocarix", vx_reindex, fresh_after_removal),
        Contender("dicts", lambda _: py_reindex(removed_vocab)),
    ])
    remapped = res["vocarix"].last_result
    query_row(f"reindex_vocab after remove_tokens({fmt_count(len(remove_big))})", res,
              work=f"{remapped[0]:,} ids remapped, {remapped[1]:,} gaps" if remapped else "")

    # -- editing --------------------------------------------------------------
    log(f"[{name}] editing")

    def edit_row(op: str, m: Measured, limit_s: float | None, work: str) -> None:
        target = None
        if limit_s is not None and is_target_fixture():
            target = Target(f"< {limit_s:g} s", m.median is not None and m.median < limit_s, fmt_time(m.median))
        rows.append(Row(name, op, fmt_time(m.median) if not m.error else f"failed: {m.error}",
                        target=target, work=work))

    # Removal on a fresh editor, and on a "warm" one that has already removed one
    # other token (untimed), so that whatever the first removal sets up is paid
    # for and the timing shows the cost of the removals themselves.
    big_set = set(remove_big)
    warmup = next((t for t, _, _ in py_find_shrink(vocab, len(remove_big) + 1) if t not in big_set), None)

    def warm() -> Any:
        e = fresh()
        e.remove_token(warmup)
        return e

    for state, setup in (("fresh", fresh), ("warm", warm)):
        if state == "warm" and warmup is None:
            continue
        for batch in (remove_small, remove_big):
            m = measure(reps, [Contender("vocarix", lambda e, b=batch: e.remove_tokens(b), setup)])["vocarix"]
            work, toks, mer = "", 0, 0
            if m.last_result is not None:
                toks = sum(len(r.removed_tokens) for r in m.last_result)
                mer = sum(len(r.removed_merges) for r in m.last_result)
                work = f"{toks:,} tokens and {mer:,} merges removed"
            limit = 0.25 if batch is remove_big and state == "fresh" else None
            label = f"remove_tokens ({fmt_count(len(batch))})" + (", warm editor" if state == "warm" else "")
            edit_row(label, m, limit, work)
            scaling.append(ScalingRow(name, len(vocab), state, len(batch), toks, mer, m.median))

    # Every other editing workload, one row each: label, call, target (s), what it did.
    import vocarix_tools
    from vocarix_tools import usage

    n = counts["shrink"]
    usage_counts = corpus_counts(rt, counts["add"]) if rt is not None else {}

    def added_work(r: Any) -> str:
        results, e = r
        return (f"{sum(1 for x in results if x.added):,} added, "
                f"{sum(len(x.added_merges) for x in results):,} merges added, vocab {e.vocab_size:,}")

    workloads: list[tuple[str, Callable[[Any], Any], float | None, Callable[[Any], str]]] = [
        (f"add_tokens ({fmt_count(len(added))})", lambda e: (e.add_tokens(added), e), 0.25, added_work),
        (f"shrink({n})", lambda e: e.shrink(n), 0.25,
         lambda r: f"{r.tokens_removed_count:,} roots, {r.total_tokens_removed:,} tokens and "
                   f"{r.total_merges_removed:,} merges removed"),
        (f"add_tokens_keep_size ({fmt_count(len(keep_size))})", lambda e: e.add_tokens_keep_size(keep_size), 0.25,
         lambda r: f"{r['tokens_added']:,} added, {r['tokens_removed']:,} removed, vocab {r['final_vocab_size']:,}"),
        (f"sync_single_chars ({fmt_count(len(sync_chars))} missing chars)",
         lambda e: e.sync_single_chars(str(sync_source)), 0.25,
         lambda r: f"{r['chars_added_count']:,} added, {r['total_tokens_removed']:,} tokens and "
                   f"{r['total_merges_removed']:,} merges removed"),
        # The tools' workflows without their repairing session, which the next row times alone.
        (f"tools: reachable add_words ({fmt_count(len(added))})",
         lambda e: usage.add_words(e, added, literal=True, reading="stored"),
         0.25,
         lambda r: f"{r['produced_whole']:,} produced whole, {r['entries_created']:,} entries, "
                   f"{r['merges_appended']:,} merges"),
        (f"tools: add_keep_size ({fmt_count(len(keep_size))})",
         lambda e: usage.add_keep_size(e, keep_size, literal=True, reading="stored"), 0.25,
         lambda r: f"{r['produced_whole']:,} produced whole, {len(r['evicted']):,} evicted, "
                   f"vocab {r['initial_vocab_size']:,} -> {r['final_vocab_size']:,}"),
        (f"tools: prune to half with counts ({fmt_count(len(usage_counts))} counted)",
         lambda e: usage.prune(e, usage_counts, size=len(vocab) // 2, literal=True), 0.5,
         lambda r: f"{len(r['removed']):,} chosen, vocab {r['initial_vocab_size']:,} -> {r['final_vocab_size']:,}"),
        ("tools: repairing session alone (EditSession start + finish)",
         lambda e: vocarix_tools.EditSession(e, keep_model=False).finish(), None,
         lambda r: "what every workflow adds unless literal"),
    ]
    for label, call, limit, describe in workloads:
        quiet = label.startswith("sync_single_chars")
        m = measure(reps, [Contender("vocarix", call, fresh, quiet_stderr=quiet)])["vocarix"]
        edit_row(label, m, limit, describe(m.last_result) if m.last_result is not None else "")
    return info


def resolve_fixture(name: str) -> tuple[str, Path] | None:
    """(display name, path) for a generated name, a real file name or a path; None if absent."""
    if name in FIXTURES:
        return name, fixture_path(name)
    for candidate in (name, name + ".array.json"):
        if candidate in REAL_FILES:
            p = REAL_DIR / candidate
            return (candidate.removesuffix(".array.json"), p) if p.exists() else None
    p = Path(name)
    if p.is_file():
        return p.name.removesuffix(".json"), p
    raise SystemExit(f"unknown fixture {name!r}: use one of {', '.join(FIXTURES)}, "
                     f"{', '.join(f.removesuffix('.array.json') for f in REAL_FILES)} or a path")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true",
                        help="tiny counts, bytelevel-2k unless --fixtures is given, no file unless --output")
    parser.add_argument("--fixtures", nargs="+", metavar="NAME",
                        help="fixtures to run (default: the generated 128k, 256k and sp-32k ones and the real files)")
    parser.add_argument("--repeat", type=int, help="repetitions per measurement (default 5, quick 2)")
    parser.add_argument("--skip-weights", action="store_true", help="leave out the weights rewrite case")
    parser.add_argument("--skip-folders", action="store_true", help="leave out the model folder cases")
    parser.add_argument("--skip-gguf", action="store_true", help="leave out the GGUF model case")
    parser.add_argument("--skip-learning", action="store_true", help="leave out the learning case")
    parser.add_argument("--skip-corpus-shapes", action="store_true", help="leave out the corpus shapes case")
    parser.add_argument("--only", choices=["counting"],
                        help="run only this case (counting: its own report, benchmarks/RESULTS-counting.md)")
    parser.add_argument("--output", type=Path,
                        help="markdown file for the report (default benchmarks/RESULTS.md, or "
                             "benchmarks/RESULTS-counting.md with --only counting; none with --quick)")
    args = parser.parse_args(argv)
    if args.only == "counting":
        return run_only_counting(args)

    counts = QUICK_COUNTS if args.quick else FULL_COUNTS
    reps = args.repeat or (2 if args.quick else 5)
    output = args.output or (None if args.quick else REPO / "benchmarks" / "RESULTS.md")
    names = args.fixtures or (["bytelevel-2k"] if args.quick
                              else ["bytelevel-128k", "bytelevel-151k", "bytelevel-256k", "sp-32k",
                                    *(f.removesuffix(".array.json") for f in REAL_FILES)])

    import vocarix

    log(f"vocarix from {vocarix.__file__}")
    load_at_start = load_average()
    revision = source_revision()
    infos: list[FixtureInfo] = []
    rows: list[Row] = []
    scaling: list[ScalingRow] = []
    skipped: list[str] = []
    log("[-] vocarix --version")
    rows.append(startup_row(reps, str(Path(vocarix.__file__).resolve().parent)))
    with tempfile.TemporaryDirectory(prefix="vocarix-bench-") as tmp:
        for name in names:
            resolved = resolve_fixture(name)
            if resolved is None:
                skipped.append(f"{name} (not found in {REAL_DIR})")
                log(f"[{name}] skipped: not found in {REAL_DIR}")
                continue
            label, path = resolved
            infos.append(run_fixture(label, path, counts, reps, Path(tmp), rows, scaling, nominal=not args.quick))
        if not args.skip_weights:
            run_weights_case(reps, Path(tmp), args.quick, rows)
        if not args.skip_folders:
            run_folder_cases(reps, Path(tmp), args.quick, rows)
        if not args.skip_gguf:
            run_gguf_case(reps, Path(tmp), args.quick, rows)
        if not args.skip_learning:
            run_learning_case(reps, Path(tmp), args.quick, rows)
        if not args.skip_corpus_shapes:
            run_corpus_shapes_case(reps, Path(tmp), args.quick, rows)

    report = render(args, reps, infos, rows, scaling, skipped, load_at_start, revision)
    print(report)
    if output is not None:
        output.write_text(report, encoding="utf-8")
        log(f"written to {output}")
    return 0


def run_only_counting(args: argparse.Namespace) -> int:
    """The counting case alone, with a report of its own."""
    reps = args.repeat or (2 if args.quick else 5)
    output = args.output or (None if args.quick else REPO / "benchmarks" / "RESULTS-counting.md")
    load_at_start = load_average()
    revision = source_revision()
    rows: list[Row] = []
    with tempfile.TemporaryDirectory(prefix="vocarix-bench-") as tmp:
        run_counting_case(reps, Path(tmp), args.quick, rows)
    report = render(args, reps, [], rows, [], [], load_at_start, revision)
    print(report)
    if output is not None:
        output.write_text(report, encoding="utf-8")
        log(f"written to {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
