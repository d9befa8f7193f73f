"""The weights rewrite and model folder cases: the cost of the weights against copying them."""

from __future__ import annotations

from pathlib import Path
from typing import Any, Callable

from benchmarks import gguf_file, model_folder, weights
from benchmarks.child_processes import command_env, run_command
from benchmarks.make_fixtures import fixture_path
from benchmarks.measuring import Contender, Row, Target, fmt_mib, fmt_ratio, fmt_time, log, measure, ratio, relative
from benchmarks.settings import QUICK_COUNTS, SEED, TARGET_FIXTURE


def run_weights_case(reps: int, tmp: Path, quick: bool, rows: list[Row]) -> None:
    """Rewriting a large embedding file against copying it, and the rewrite's peak memory."""
    import shutil

    import vocarix
    from vocarix_tools import _native

    rows_count, hidden = weights.QUICK_SHAPE if quick else weights.FULL_SHAPE
    label = f"weights {rows_count:,} x {hidden:,} bf16"
    source, target, copy = tmp / "weights.safetensors", tmp / "rewritten.safetensors", tmp / "copied.safetensors"
    log(f"[{label}] writing the file")
    embedding_bytes = weights.write_weights_file(source, rows_count, hidden, SEED)
    file_size = source.stat().st_size
    plan = weights.row_plan(rows_count, SEED)
    tensors = [(weights.EMBEDDING, 0)]

    log(f"[{label}] rewrite against copyfile")
    res = measure(reps, [
        Contender("vocarix", lambda _: _native.rewrite_safetensors(source, target, tensors, plan, rows_count)),
        Contender("copyfile", lambda _: shutil.copyfile(source, copy)),
    ])
    vx, base = res["vocarix"].median, res["copyfile"].median
    r = relative(res["vocarix"], res["copyfile"])
    rows.append(Row(label, f"rewrite: drop {weights.DROPPED_ROWS:,} rows, add {weights.MEAN_ROWS} mean rows",
                    fmt_time(vx) if not res["vocarix"].error else f"failed: {res['vocarix'].error}",
                    target=None if quick else Target("<= 2.5x shutil.copyfile", r is not None and r <= 2.5,
                                                     fmt_ratio(r)),
                    work=f"shutil.copyfile of the {fmt_mib(file_size)} file: {fmt_time(base)}; "
                         f"{len(plan):,} rows written"))

    log(f"[{label}] rewrite memory")
    vocarix_dir = str(Path(vocarix.__file__).resolve().parent)
    mem = weights.measure_rewrite_memory(source, target, rows_count, SEED, vocarix_dir)
    if mem is not None:
        note = "" if mem["reset"] else " (upper bound)"
        rows.append(Row(label, "memory: peak while rewriting",
                        f"{fmt_mib(mem['peak'])} ({mem['peak'] / embedding_bytes:.2f}x embedding){note}",
                        target=None if quick else Target("< 1.5x embedding size",
                                                         mem["peak"] < 1.5 * embedding_bytes,
                                                         f"{mem['peak'] / embedding_bytes:.2f}x"),
                        work=f"embedding {fmt_mib(embedding_bytes)}"))
    for path in (source, target, copy):
        path.unlink(missing_ok=True)


def run_gguf_case(reps: int, tmp: Path, quick: bool, rows: list[Row]) -> None:
    """Saving an edited GGUF model against a durable copy of it, and the save's peak memory."""
    import vocarix

    tokenizer = fixture_path("bytelevel-2k" if quick else TARGET_FIXTURE)
    hidden = gguf_file.QUICK_HIDDEN if quick else gguf_file.FULL_HIDDEN
    label = f"GGUF: {tokenizer.stem}, Q8_0 x {hidden:,}"
    source, target, copy = tmp / "model.gguf", tmp / "edited.gguf", tmp / "copied.gguf"
    log(f"[{label}] writing the model")
    embedding_bytes = gguf_file.write_gguf_file(source, tokenizer, hidden, SEED)
    file_size = source.stat().st_size
    model = gguf_file.edited_model(source)

    log(f"[{label}] write and save against a durable copy")
    from vocarix_tools import _native

    plan = model._plan(False)

    def fresh(path: Path) -> Callable[[], None]:
        # Each call writes a new file, as an edit to a new path does; replacing
        # the last one would add the cost of freeing it.
        return lambda: path.unlink(missing_ok=True)

    command_target = tmp / "command.gguf"
    env = command_env(str(Path(vocarix.__file__).resolve().parent))
    command = ["shrink", str(source), str(gguf_file.REMOVED), "-o", str(command_target)]
    res = measure(reps, [
        Contender("write", lambda _: _native.write_gguf_model(plan, str(target)), setup=fresh(target)),
        Contender("save", lambda _: model.save(target, finish=False), setup=fresh(target)),
        Contender("command", lambda _: run_command(command, env), setup=fresh(command_target)),
        Contender("copy", lambda _: gguf_file.durable_copy(source, copy), setup=fresh(copy)),
    ])
    copied = f"copy + fsync of the {fmt_mib(file_size)} file: {fmt_time(res['copy'].median)}"
    r = relative(res["write"], res["copy"])
    rows.append(Row(label, "write the planned model (rows re-sliced, keys rewritten, flushed to disk)",
                    fmt_time(res["write"].median) if not res["write"].error else f"failed: {res['write'].error}",
                    work=f"{copied} ({fmt_ratio(r)})"))
    r = relative(res["save"], res["copy"])
    rows.append(Row(label, f"save after shrink({gguf_file.REMOVED:,}), reindex, add {gguf_file.ADDED} tokens "
                           "(plan + write)",
                    fmt_time(res["save"].median) if not res["save"].error else f"failed: {res['save'].error}",
                    target=None if quick else Target("<= 2x durable copy", r is not None and r <= 2.0, fmt_ratio(r)),
                    work=copied))
    r = relative(res["command"], res["copy"])
    rows.append(Row(label, f"`vocarix shrink` of {gguf_file.REMOVED:,} tokens, -o OUT.gguf (a new process: open, "
                           "edit, repair, save)",
                    fmt_time(res["command"].median) if not res["command"].error
                    else f"failed: {res['command'].error}",
                    work=f"{copied} ({fmt_ratio(r)})"))

    log(f"[{label}] save memory")
    mem = gguf_file.measure_rewrite_memory(source, target, str(Path(vocarix.__file__).resolve().parent))
    if mem is not None:
        note = "" if mem["reset"] else " (upper bound)"
        rows.append(Row(label, "memory: peak while saving",
                        f"{fmt_mib(mem['peak'])} ({mem['peak'] / embedding_bytes:.2f}x embedding){note}",
                        target=None if quick else Target("< 1.5x embedding size",
                                                         mem["peak"] < 1.5 * embedding_bytes,
                                                         f"{mem['peak'] / embedding_bytes:.2f}x"),
                        work=f"embedding {fmt_mib(embedding_bytes)}"))
    for path in (source, target, copy, command_target):
        path.unlink(missing_ok=True)


def run_folder_cases(reps: int, tmp: Path, quick: bool, rows: list[Row]) -> None:
    """Each model folder case: the edit's cost for the weights against copying them, and its extra memory."""
    import shutil

    import vocarix

    tokenizer = fixture_path("bytelevel-2k" if quick else TARGET_FIXTURE)
    removed = QUICK_COUNTS["shrink"] if quick else 1_000
    vocarix_dir = str(Path(vocarix.__file__).resolve().parent)
    for number, case in enumerate(model_folder.FOLDER_CASES):
        label = f"folder: {case.name}"
        folder = tmp / f"folder-{number}"
        bare = folder.with_name(folder.name + "-no-weights")
        out, copies = tmp / "folder-out", tmp / "folder-copies"
        log(f"[{label}] writing the folder")
        sizes = model_folder.build_case(case, tokenizer, folder, quick, SEED)

        def fresh_target() -> Path:
            shutil.rmtree(out, ignore_errors=True)
            return out

        def copy_weights(_: Any) -> None:
            copies.mkdir(exist_ok=True)
            for path in model_folder.weight_files(folder):
                shutil.copyfile(path, copies / path.name)

        log(f"[{label}] edit with and without weights, against copyfile")
        res = measure(reps, [
            Contender("with", lambda target: model_folder.edit_folder(folder, target, removed), fresh_target),
            Contender("without", lambda target: model_folder.edit_folder(bare, target, removed), fresh_target),
            Contender("copyfile", copy_weights),
        ])
        with_, without, copy = res["with"].median, res["without"].median, res["copyfile"].median
        extra = None if with_ is None or without is None else with_ - without
        r = ratio(extra, copy)
        failed = next((f"failed: {m.error}" for m in res.values() if m.error), None)
        rows.append(Row(label, f"edit: shrink({removed:,}), reindex, save to a new folder",
                        failed or f"{fmt_time(with_)} ({fmt_time(without)} without weights)",
                        target=None if quick else Target("(with - without) <= 2.5x shutil.copyfile",
                                                         r is not None and r <= 2.5, fmt_ratio(r)),
                        work=f"shutil.copyfile of the {fmt_mib(sizes['weights'])} of weights: {fmt_time(copy)}"))

        log(f"[{label}] memory with and without weights")
        peaks = [model_folder.measure_edit_memory(path, out, removed, vocarix_dir) for path in (folder, bare)]
        if None not in peaks:
            extra_peak = peaks[0]["peak"] - peaks[1]["peak"]
            note = "" if peaks[0]["reset"] else " (upper bound)"
            rows.append(Row(label, "memory: peak above the same edit without weights",
                            f"{fmt_mib(extra_peak)} ({extra_peak / sizes['embedding']:.2f}x embedding){note}",
                            target=None if quick else Target("< 1.5x embedding size",
                                                             extra_peak < 1.5 * sizes["embedding"],
                                                             f"{extra_peak / sizes['embedding']:.2f}x"),
                            work=f"embedding {fmt_mib(sizes['embedding'])}; peak without weights "
                                 f"{fmt_mib(peaks[1]['peak'])}"))
        for path in (folder, bare, out, copies):
            shutil.rmtree(path, ignore_errors=True)
