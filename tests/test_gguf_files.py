"""GGUF model files edited through their tokenizer, judged with the `gguf`
package's reader: keys and tensors kept, rows following the edit in every
block type, placeholders, split files, and bad input refused in one line."""

from __future__ import annotations

import json
import struct
import time
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("gguf")

import gguf_models  # noqa: E402
from gguf_models import dequantized, field, read, tensors  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
GPT2 = REPO / "tests/fixtures/real/tiny-random-gpt2.string.json"
CHANGED_KEYS = {"tokenizer.ggml.tokens", "tokenizer.ggml.token_type", "tokenizer.ggml.merges",
                "tokenizer.ggml.scores", "llama.vocab_size"}


def gpt2_model(path: Path, **kwargs) -> Path:
    document = json.loads(GPT2.read_text())
    keys = gguf_models.tokenizer_keys(document, "gpt-2")
    gguf_models.write_model(path, keys, special={"bos": 0, "eos": 0}, nested_key=True, **kwargs)
    return path


def id_map(path: Path) -> dict:
    return json.loads(path.read_text())


def test_an_edit_keeps_every_other_key_in_order_and_every_other_tensor_byte_for_byte(tmp_path, cli):
    source = gpt2_model(tmp_path / "m.gguf", embedding_type="Q8_0")
    code, _, err = cli("add", source, "zqxjv", "--stored", "Ġhello", "-o", tmp_path / "out.gguf")
    assert code == 0, err
    before, after = read(source), read(tmp_path / "out.gguf")
    assert list(before.fields) == list(after.fields)
    for key, value in before.fields.items():
        if key in CHANGED_KEYS or key.startswith("GGUF."):
            continue
        assert [bytes(p) for p in value.parts] == [bytes(p) for p in after.fields[key].parts], key
    assert field(after, "tokenizer.ggml.pre") == "gpt-2"
    assert field(after, "vocarix.test.note") == "an unknown key, kept as it is"
    for name, tensor in tensors(before).items():
        if name not in ("token_embd.weight", "output.weight"):
            assert bytes(tensors(after)[name].data) == bytes(tensor.data), name
    tokens = field(after, "tokenizer.ggml.tokens")
    assert len(tokens) == field(after, "llama.vocab_size") == tensors(after)["token_embd.weight"].shape[1]
    assert "zqxjv" in tokens and "Ġhello" in tokens


# How close a new row, stored in each type, must come to the float32 mean of
# its pieces (relative to the largest magnitude of the mean).
TOLERANCE = {"F32": 0.0, "F16": 1e-3, "BF16": 8e-3, "Q8_0": 1e-2, "Q4_0": 0.15, "Q4_K": 0.12, "Q5_K": 0.06,
             "Q6_K": 0.04}


@pytest.mark.parametrize("type_name", list(TOLERANCE))
def test_rows_follow_the_edit_in_every_type(tmp_path, cli, type_name):
    kwargs = {"embedding_type": type_name, "tied": True}
    if type_name in ("BF16", "Q4_K", "Q5_K", "Q6_K"):
        kwargs["embedding"] = (gguf_models.random_blocks(1000, type_name) if type_name != "BF16" else
                               np.random.default_rng(1).normal(0, 0.02, (1000, gguf_models.HIDDEN)).astype(np.float32)
                               .view(np.uint32).__rshift__(16).astype(np.uint16).view(np.uint8))
    source = gpt2_model(tmp_path / "m.gguf", **kwargs)
    code, _, err = cli("add", source, "zqxjvw", "Ġvocarixes", "--stored", "-o", tmp_path / "out.gguf",
                       "--id-map", tmp_path / "ids.json")
    assert code == 0, err
    mapping = id_map(tmp_path / "ids.json")
    old, new = tensors(read(source))["token_embd.weight"], tensors(read(tmp_path / "out.gguf"))["token_embd.weight"]
    assert new.tensor_type == old.tensor_type and new.shape[1] == mapping["rows_after"]
    old_rows, new_rows = np.asarray(old.data), np.asarray(new.data)
    for old_id, new_id in mapping["old_to_new"].items():
        assert new_id is not None and bytes(new_rows[new_id]) == bytes(old_rows[int(old_id)])
    old_values = dequantized(old)
    written = dequantized(new)
    assert mapping["added"]
    for token, entry in mapping["added"].items():
        pieces = old_values[entry["from"]]
        mean = pieces[0].copy()
        for row in pieces[1:]:
            mean += row
        mean /= np.float32(len(pieces))
        error = np.abs(written[entry["id"]] - mean).max()
        assert error <= TOLERANCE[type_name] * np.abs(mean).max(), (token, error)


def test_our_encoders_are_as_close_as_the_reference_quantizer(tmp_path, cli):
    """Q8_0 and Q4_0 written by the `gguf` package and by the edit, for the same means."""
    import gguf

    for type_name in ("Q8_0", "Q4_0"):
        source = gpt2_model(tmp_path / f"{type_name}.gguf", embedding_type=type_name, tied=True)
        out = tmp_path / f"{type_name}-out.gguf"
        assert cli("add", source, "Ġqwzx", "Ġvbnmq", "zzqq", "--stored", "-o", out, "--id-map", tmp_path / "i.json")[0] == 0
        mapping = id_map(tmp_path / "i.json")
        old_values = dequantized(tensors(read(source))["token_embd.weight"])
        written = dequantized(tensors(read(out))["token_embd.weight"])
        qtype = gguf.GGMLQuantizationType[type_name]
        for entry in mapping["added"].values():
            mean = old_values[entry["from"]].mean(axis=0, dtype=np.float32)
            reference = gguf.quants.dequantize(gguf.quants.quantize(mean[None, :], qtype), qtype)[0]
            ours = np.abs(written[entry["id"]] - mean).max()
            assert ours <= 1.5 * np.abs(reference - mean).max() + 1e-7


def test_removal_fills_freed_ids_with_placeholders_and_reindex_closes_them(tmp_path, cli):
    source = gpt2_model(tmp_path / "m.gguf", embedding_type="F16")
    removed = tmp_path / "removed.gguf"
    assert cli("remove", source, "Ġthe", "-o", removed, "--id-map", tmp_path / "ids.json")[0] == 0
    mapping = id_map(tmp_path / "ids.json")
    gone = [int(old) for old, new in mapping["old_to_new"].items() if new is None]
    assert gone
    reader = read(removed)
    tokens, types = field(reader, "tokenizer.ggml.tokens"), field(reader, "tokenizer.ggml.token_type")
    assert len(tokens) == 1000
    old_rows = np.asarray(tensors(read(source))["token_embd.weight"].data)
    new_rows = np.asarray(tensors(reader)["token_embd.weight"].data)
    for old in gone:
        assert (tokens[old], types[old]) == (f"[PAD{old}]", gguf_models.UNUSED)
        assert bytes(new_rows[old]) == bytes(old_rows[old])
    # The placeholders are gaps to the editor: a reindex closes them.
    closed = tmp_path / "closed.gguf"
    code, out, err = cli("reindex", removed, "-o", closed)
    assert code == 0, err
    tokens = field(read(closed), "tokenizer.ggml.tokens")
    assert len(tokens) == 1000 - len(gone) and not any(t.startswith("[PAD") for t in tokens)
    assert tensors(read(closed))["token_embd.weight"].shape[1] == len(tokens)


def test_special_ids_follow_their_tokens_and_their_removal_is_refused_unless_forced(tmp_path, cli):
    source = gpt2_model(tmp_path / "m.gguf")
    reindexed = tmp_path / "r.gguf"
    # Removing "Ġthe" and closing the gaps moves "<|endoftext|>" (id 999 here? whatever it is) to a new id.
    eos = field(read(source), "tokenizer.ggml.tokens").index("<|endoftext|>")
    with_eos = tmp_path / "e.gguf"
    document = json.loads(GPT2.read_text())
    gguf_models.write_model(with_eos, gguf_models.tokenizer_keys(document, "gpt-2"), special={"eos": eos, "bos": 5})
    assert cli("shrink", with_eos, "50", "-o", reindexed, "--literal")[0] == 0
    assert cli("reindex", reindexed, "--in-place")[0] == 0
    reader = read(reindexed)
    tokens = field(reader, "tokenizer.ggml.tokens")
    assert tokens[field(reader, "tokenizer.ggml.eos_token_id")] == "<|endoftext|>"
    bos_token = field(read(with_eos), "tokenizer.ggml.tokens")[5]
    assert tokens[field(reader, "tokenizer.ggml.bos_token_id")] == bos_token

    out = tmp_path / "out.gguf"
    code, _, err = cli("remove", with_eos, "<|endoftext|>", "-o", out)
    assert code == 1 and "eos_token_id" in err and "--force" in err and not out.exists()
    assert len(err.strip().splitlines()) == 1
    assert cli("remove", with_eos, "<|endoftext|>", "-o", out, "--force")[0] == 0
    assert "tokenizer.ggml.eos_token_id" not in read(out).fields


def test_in_place_edit_and_dry_run(tmp_path, cli):
    source = gpt2_model(tmp_path / "m.gguf", embedding_type="Q4_0")
    before = source.read_bytes()
    code, out, _ = cli("shrink", source, "10", "--dry-run")
    assert code == 0 and "GGUF" in out and source.read_bytes() == before
    assert cli("shrink", source, "10", "--in-place")[0] == 0
    assert len(field(read(source), "tokenizer.ggml.tokens")) == 1000
    assert cli("reindex", source, "--in-place")[0] == 0
    assert len(field(read(source), "tokenizer.ggml.tokens")) < 1000
    assert [p.name for p in tmp_path.iterdir()] == ["m.gguf"]


def test_a_model_changed_since_it_was_opened_is_not_written(tmp_path, cli):
    import vocarix_tools

    source = gpt2_model(tmp_path / "m.gguf")
    model = vocarix_tools.open_gguf(source)
    model.editor.add_token("Ġzqxjv")
    # Another edit replaces the file: its data no longer stands where the header read at opening says.
    assert cli("shrink", source, "10", "--in-place")[0] == 0
    for out in (tmp_path / "out.gguf", None):
        with pytest.raises(ValueError, match="changed since it was read") as refused:
            model.save(out)
        assert "\n" not in str(refused.value)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["m.gguf"]
    assert "Ġzqxjv" not in field(read(source), "tokenizer.ggml.tokens")


def test_tensors_larger_than_the_copy_buffers_are_streamed_byte_for_byte(tmp_path, cli):
    # 40 MiB before the embedding and after it: the copy goes through many
    # buffers and writeback pieces, the embedding starts in the middle of one.
    import gguf

    document = json.loads(GPT2.read_text())
    keys = gguf_models.tokenizer_keys(document, "gpt-2")
    rng = np.random.default_rng(5)
    writer = gguf.GGUFWriter(str(tmp_path / "big.gguf"), "llama")
    writer.add_vocab_size(len(keys["tokens"]))
    writer.add_tokenizer_model("gpt2")
    writer.add_token_list(keys["tokens"])
    writer.add_token_merges(keys["merges"])
    before_bytes = rng.integers(0, 256, size=(10_240, 4_096), dtype=np.uint8)
    after_bytes = rng.integers(0, 256, size=(10_240, 4_096 + 32), dtype=np.uint8)
    embedding = rng.normal(0, 0.02, size=(len(keys["tokens"]), 96)).astype(np.float32)
    writer.add_tensor("blk.0.ffn_up.weight", before_bytes, raw_dtype=gguf.GGMLQuantizationType.I8)
    writer.add_tensor("token_embd.weight", embedding)
    writer.add_tensor("blk.0.ffn_down.weight", after_bytes, raw_dtype=gguf.GGMLQuantizationType.I8)
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()

    out, ids = tmp_path / "out.gguf", tmp_path / "ids.json"
    assert cli("add", tmp_path / "big.gguf", "Ġzqxjv", "-o", out, "--id-map", ids)[0] == 0
    written = tensors(read(out))
    assert bytes(written["blk.0.ffn_up.weight"].data) == before_bytes.tobytes()
    assert bytes(written["blk.0.ffn_down.weight"].data) == after_bytes.tobytes()
    rows, mapping = np.asarray(written["token_embd.weight"].data), id_map(ids)
    assert len(rows) == mapping["rows_after"] == len(embedding) + len(mapping["added"])
    for old_id, new_id in mapping["old_to_new"].items():
        assert (rows[new_id] == embedding[int(old_id)]).all()
    for token, new_row in mapping["added"].items():
        assert np.allclose(rows[new_row["id"]], embedding[new_row["from"]].mean(axis=0), atol=1e-7), token


def test_a_split_model_is_edited_as_one(tmp_path, cli):
    gpt2_model(tmp_path / "m.gguf", embedding_type="F16", split_max_tensors=6)
    shards = sorted(p.name for p in tmp_path.iterdir())
    assert len(shards) == 2 and shards[0] == "m-00001-of-00002.gguf"
    code, _, err = cli("add", tmp_path / shards[0], "Ġzqxjv", "--stored", "-o", tmp_path / "out.gguf",
                       "--id-map", tmp_path / "ids.json")
    assert code == 0, err
    written = [read(tmp_path / f"out-0000{k}-of-00002.gguf") for k in (1, 2)]
    rows = id_map(tmp_path / "ids.json")["rows_after"]
    by_name = {**tensors(written[0]), **tensors(written[1])}
    assert by_name["token_embd.weight"].shape[1] == by_name["output.weight"].shape[1] == rows
    assert len(field(written[0], "tokenizer.ggml.tokens")) == rows
    assert field(written[1], "split.no") == 1 and field(written[1], "split.count") == 2


def test_read_commands_take_a_gguf(tmp_path, cli):
    source = gpt2_model(tmp_path / "m.gguf")
    code, out, _ = cli("stats", source)
    assert code == 0 and "1000" in out
    code, out, _ = cli("show", source, "Ġthe")
    assert code == 0 and "Ġthe" in out or '" the"' in out
    assert cli("check", source)[0] == 0
    code, out, _ = cli("diff", source, GPT2)
    assert code == 0


# --- Bad input ------------------------------------------------------------------


def header_positions(data: bytes) -> dict:
    """Where the counts, each key's type and lengths, and each tensor's fields lie."""
    at = 24
    tensor_count, key_count = struct.unpack_from("<QQ", data, 8)
    places: dict = {"keys": {}, "tensors": []}

    def skip_value(at: int, kind: int) -> int:
        sizes = {0: 1, 1: 1, 2: 2, 3: 2, 4: 4, 5: 4, 6: 4, 7: 1, 10: 8, 11: 8, 12: 8}
        if kind in sizes:
            return at + sizes[kind]
        if kind == 8:
            return at + 8 + struct.unpack_from("<Q", data, at)[0]
        element, count = struct.unpack_from("<IQ", data, at)
        at += 12
        for _ in range(count):
            at = skip_value(at, element)
        return at

    for _ in range(key_count):
        length = struct.unpack_from("<Q", data, at)[0]
        key = data[at + 8:at + 8 + length].decode()
        type_at = at + 8 + length
        places["keys"][key] = {"length": at, "type": type_at, "value": type_at + 4}
        at = skip_value(type_at + 4, struct.unpack_from("<I", data, type_at)[0])
    for _ in range(tensor_count):
        length = struct.unpack_from("<Q", data, at)[0]
        name = data[at + 8:at + 8 + length].decode()
        dims_at = at + 8 + length
        n_dims = struct.unpack_from("<I", data, dims_at)[0]
        type_at = dims_at + 4 + 8 * n_dims
        places["tensors"].append({"name": name, "dims": dims_at + 4, "type": type_at, "offset": type_at + 4})
        at = type_at + 12
    return places


def patched(data: bytes, at: int, fmt: str, value) -> bytes:
    out = bytearray(data)
    struct.pack_into(fmt, out, at, value)
    return bytes(out)


def bad_files(good: bytes, tmp_path: Path) -> dict[str, bytes]:
    places = header_positions(good)
    tokens, types = places["keys"]["tokenizer.ggml.tokens"], places["keys"]["tokenizer.ggml.token_type"]
    first, second = places["tensors"][0], places["tensors"][1]
    import gguf

    no_tokenizer = tmp_path / "plain.gguf"
    gguf_models.write_model(no_tokenizer, None, rows=1000)
    return {
        "truncated": good[: len(good) // 2],
        "not GGUF": b'{"version": "1.0"}' + b"\0" * 64,
        "header only": good[:20],
        "2^60 keys": patched(good, 16, "<Q", 1 << 60),
        "2^60 tensors": patched(good, 8, "<Q", 1 << 60),
        "2^60 strings": patched(good, tokens["value"] + 4, "<Q", 1 << 60),
        "a string past the end": patched(good, tokens["value"] + 12, "<Q", 1 << 40),
        "a key length past the end": patched(good, tokens["length"], "<Q", 1 << 50),
        "unknown value type": patched(good, tokens["type"], "<I", 99),
        "tensor past the end": patched(good, first["offset"], "<Q", len(good)),
        "overlapping tensors": patched(good, second["offset"], "<Q", struct.unpack_from("<Q", good, first["offset"])[0]),
        "row not whole blocks": patched(good, first["dims"], "<Q", 100),
        "unknown tensor type": patched(good, first["type"], "<I", 77),
        "no tokenizer": no_tokenizer.read_bytes(),
        "unaligned offset": patched(good, second["offset"], "<Q", struct.unpack_from("<Q", good, second["offset"])[0] + 4),
        "wrong version": patched(good, 4, "<I", 9),
        "a token type past 32 bits": patched(patched(good, types["value"], "<I", 4), types["value"] + 12, "<I", 1 << 31),
        "token types that are no integers": patched(good, types["value"], "<I", 6),
    } if gguf else {}


def test_bad_input_is_refused_in_one_line_and_nothing_is_written(tmp_path, cli):
    good = gpt2_model(tmp_path / "good.gguf", embedding_type="Q8_0").read_bytes()
    for what, data in bad_files(good, tmp_path).items():
        bad = tmp_path / "bad.gguf"
        bad.write_bytes(data)
        out = tmp_path / "out.gguf"
        started = time.process_time()  # CPU time: a busy machine does not move it
        for argv in (("stats", bad), ("remove", bad, "Ġthe", "-o", out), ("reindex", bad, "--in-place")):
            code, _, err = cli(*argv)
            assert code == 1, (what, argv, err)
            assert len(err.strip().splitlines()) == 1 and "bad.gguf" in err, (what, err)
        assert time.process_time() - started < 5, what
        assert not out.exists() and bad.read_bytes() == data, what
        assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.gguf", "good.gguf", "plain.gguf"], what


# --- A folder's edit carried into its GGUF -------------------------------------


def test_sync_gguf_carries_a_folders_edit_with_its_id_map(tmp_path, cli):
    import vocarix_tools

    def edit(editor):
        editor.shrink(40)
        editor.reindex_vocab()
        editor.add_token("Ġzqxjv")

    source = gpt2_model(tmp_path / "m.gguf", embedding_type="Q8_0")
    # The folder's edit, with its id map.
    editor = vocarix_tools.open(str(GPT2))
    session = vocarix_tools.EditSession(editor, keep_model=True)
    edit(editor)
    session.finish()
    editor.save(str(tmp_path / "edited.json"))
    vocarix_tools.write_id_map(session.id_map(), str(tmp_path / "ids.json"))
    # The same edit made on the GGUF directly, to compare with.
    model = vocarix_tools.open_gguf(source)
    edit(model.editor)
    model.save(tmp_path / "direct.gguf")

    synced = tmp_path / "synced.gguf"
    code, out, err = cli("sync-gguf", tmp_path / "edited.json", source, "-o", synced, "--id-map", tmp_path / "ids.json")
    assert code == 0, err
    a, b = read(synced), read(tmp_path / "direct.gguf")
    for key in ("tokenizer.ggml.tokens", "tokenizer.ggml.token_type", "tokenizer.ggml.merges", "llama.vocab_size"):
        assert field(a, key) == field(b, key), key
    assert field(a, "tokenizer.ggml.pre") == "gpt-2"
    assert bytes(tensors(a)["token_embd.weight"].data) == bytes(tensors(b)["token_embd.weight"].data)
    assert bytes(tensors(a)["output.weight"].data) == bytes(tensors(b)["output.weight"].data)


def test_sync_gguf_refuses_rows_that_cannot_fit(tmp_path, cli):
    source = gpt2_model(tmp_path / "m.gguf")
    grown = tmp_path / "grown.json"
    assert cli("add", GPT2, "Ġzqxjv", "--stored", "-o", grown)[0] == 0
    out = tmp_path / "out.gguf"
    code, _, err = cli("sync-gguf", grown, source, "-o", out)
    assert code == 1 and len(err.strip().splitlines()) == 1 and "rows" in err and not out.exists()
    # A tokenizer that fits is written over the same rows, ids as they are.
    code, stdout, _ = cli("sync-gguf", GPT2, source, "-o", out)
    assert code == 0 and "warning" not in stdout
    assert field(read(out), "tokenizer.ggml.tokens") == field(read(source), "tokenizer.ggml.tokens")
    assert bytes(tensors(read(out))["token_embd.weight"].data) == bytes(tensors(read(source))["token_embd.weight"].data)


def test_a_special_id_past_its_keys_integer_type_is_written_wider(tmp_path, cli):
    # The model's list holds "Ġdescrib" at 200 and eos names it in a u8; the
    # tokenizer taken in holds it at 999, which a u8 cannot.
    import gguf

    document = json.loads(GPT2.read_text())
    keys = gguf_models.tokenizer_keys(document, "gpt-2")
    tokens = list(keys["tokens"])
    tokens[200], tokens[999] = tokens[999], tokens[200]
    writer = gguf.GGUFWriter(str(tmp_path / "m.gguf"), "llama")
    writer.add_tokenizer_model("gpt2")
    writer.add_token_list(tokens)
    writer.add_token_merges(keys["merges"])
    writer.add_uint8("tokenizer.ggml.eos_token_id", 200)
    writer.add_tensor("token_embd.weight", np.zeros((len(tokens), 32), dtype=np.float32))
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()
    out = tmp_path / "out.gguf"
    assert cli("sync-gguf", GPT2, tmp_path / "m.gguf", "-o", out)[0] == 0
    written = read(out)
    assert field(written, "tokenizer.ggml.eos_token_id") == 999
    assert field(written, "tokenizer.ggml.tokens")[999] == "Ġdescrib"


def test_sync_gguf_without_an_id_map_warns_when_tokens_take_other_tokens_rows(tmp_path, cli):
    source = gpt2_model(tmp_path / "m.gguf")
    removed, renumbered = tmp_path / "removed.json", tmp_path / "renumbered.json"
    assert cli("remove", GPT2, "Ġthe", "-o", removed)[0] == 0
    assert cli("reindex", removed, "-o", renumbered)[0] == 0
    vocab = json.loads(renumbered.read_text())["model"]["vocab"]
    old_tokens = field(read(source), "tokenizer.ggml.tokens")
    moved = sum(1 for token, token_id in vocab.items() if old_tokens[token_id] != token)
    out = tmp_path / "out.gguf"
    code, stdout, _ = cli("sync-gguf", renumbered, source, "-o", out, "--json")
    assert code == 0 and json.loads(stdout)["gguf"]["rows_of_other_tokens"] == moved > 0
    code, stdout, _ = cli("sync-gguf", renumbered, source, "-o", out)
    assert code == 0 and f"{moved} tokens now stand at an id that held another token" in stdout


def test_every_editing_command_writes_a_gguf_the_reader_takes(tmp_path, cli):
    source = gpt2_model(tmp_path / "m.gguf", embedding_type="Q4_0")
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("the model reads the text and counts the tokens of the text\n" * 20)
    other = tmp_path / "other.json"
    assert cli("add", GPT2, "Ġzqxjv", "Ġvbnmq", "--stored", "-o", other)[0] == 0
    calls = {
        "learn": ["learn", source, "--corpus", corpus, "--add", "5"],
        "merge": ["merge", source, other],
        "sync-chars": ["sync-chars", source, other, "--force"],
        "validate": ["validate", source, "--remove"],
        "check": ["check", source, "--fix"],
        "prune": ["prune", source, "--corpus", corpus, "--size", "900"],
    }
    for name, argv in calls.items():
        out = tmp_path / f"{name}.gguf"
        code, _, err = cli(*argv, "-o", out)
        assert code == 0, (name, err)
        reader = read(out)
        tokens = field(reader, "tokenizer.ggml.tokens")
        assert len(tokens) == tensors(reader)["token_embd.weight"].shape[1] == field(reader, "llama.vocab_size"), name


def test_a_new_row_in_a_type_without_an_encoder_is_refused_naming_it(tmp_path, cli):
    source = gpt2_model(tmp_path / "m.gguf", embedding_type="Q4_1", tied=True)
    out = tmp_path / "out.gguf"
    code, _, err = cli("add", source, "Ġzqxjv", "--stored", "-o", out)
    assert code == 1 and "Q4_1" in err and len(err.strip().splitlines()) == 1 and not out.exists()
    # Rows that are only copied need no encoder.
    assert cli("remove", source, "Ġthe", "-o", out)[0] == 0
    assert cli("reindex", out, "--in-place")[0] == 0


def test_a_tokenizer_file_is_not_written_as_a_gguf(tmp_path, cli):
    code, _, err = cli("add", GPT2, "Ġzqxjv", "--stored", "-o", tmp_path / "out.gguf")
    assert code == 2 and "sync-gguf" in err and not (tmp_path / "out.gguf").exists()
