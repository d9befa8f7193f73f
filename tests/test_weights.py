"""Model weights in safetensors files: the strict reader, the streaming
rewrite that re-slices vocabulary rows by a row plan, and the search for
vocabulary-sized tensors."""

import json
import os
import struct

import pytest

np = pytest.importorskip("numpy")
from hypothesis import given, settings, strategies as st  # noqa: E402

from vocarix_tools import _native  # noqa: E402

NUMPY_DTYPES = {"F32": np.float32, "F16": np.float16, "BF16": np.uint16, "I32": np.int32, "U8": np.uint8,
                "I64": np.int64, "F64": np.float64, "BOOL": np.bool_, "F8_E4M3": np.uint8}


# ---------------------------------------------------------------- files


def file_bytes(header, data=b""):
    """A safetensors file of this header (a dict or raw JSON bytes) and data."""
    text = header if isinstance(header, bytes) else json.dumps(header).encode()
    return struct.pack("<Q", len(text)) + text + data


def write_tensors(path, tensors, metadata=None):
    """Writes {name: (dtype, array)} in the given order, as any writer lays it out."""
    header, data = {}, b""
    if metadata is not None:
        header["__metadata__"] = metadata
    for name, (dtype, array) in tensors.items():
        raw = np.ascontiguousarray(array).tobytes()
        header[name] = {"dtype": dtype, "shape": list(array.shape), "data_offsets": [len(data), len(data) + len(raw)]}
        data += raw
    path.write_bytes(file_bytes(header, data))
    return path


def read_tensor(path, name):
    """A tensor of a file, as raw integers or numbers of its numpy dtype, read by our own header reader."""
    header = _native.safetensors_header(path)
    entry = header["tensors"][name]
    begin, end = entry["data_offsets"]
    with open(path, "rb") as f:
        f.seek(8 + header["header_size"] + begin)
        raw = f.read(end - begin)
    return np.frombuffer(raw, dtype=NUMPY_DTYPES[entry["dtype"]]).reshape(entry["shape"])


def tensor_bytes(path, name):
    return read_tensor(path, name).tobytes()


# ---------------------------------------------------------------- float32 reference


def widen(array, dtype):
    if dtype == "BF16":
        return (array.astype(np.uint32) << 16).view(np.float32)
    return array.astype(np.float32)


def bf16_nearest_even(value):
    """The bfloat16 bits nearest to a float32, ties to the even one, chosen by comparing values."""
    bits = int(np.float32(value).view(np.uint32))
    if np.isnan(value):
        return (bits >> 16) | 0x40
    low = bits >> 16
    candidates = [low, low + 1]
    exact = float(value)
    distance = [abs(float(widen(np.array([c], np.uint16), "BF16")[0]) - exact) for c in candidates]
    if distance[0] != distance[1]:
        return candidates[int(distance[1] < distance[0])]
    return candidates[0] if candidates[0] % 2 == 0 else candidates[1]


def narrow(values, dtype):
    if dtype == "F32":
        return values.astype(np.float32)
    if dtype == "F16":
        return values.astype(np.float16)
    return np.array([bf16_nearest_even(v) for v in values.ravel()], np.uint16).reshape(values.shape)


def expected_rows(old, dtype, plan):
    """The naive rewrite along axis 0: copies, float32 means in the order given, the mean of all."""
    rows = []
    for source in plan:
        if isinstance(source, int):
            rows.append(old[source])
        elif source is None:
            mean = widen(old, dtype).astype(np.float64).mean(axis=0)
            rows.append(narrow(mean.astype(np.float32), dtype))
        else:
            total = np.zeros(old.shape[1:], np.float32)
            for row in source:
                total += widen(old[row], dtype)
            rows.append(narrow(total / np.float32(len(source)), dtype))
    return np.stack(rows) if rows else old[:0]


def random_rows(rng, dtype, shape):
    if dtype == "BF16":
        return widen(rng.standard_normal(shape).astype(np.float32), "F32").view(np.uint32).__rshift__(16).astype(np.uint16)
    if dtype in ("F32", "F16"):
        return rng.standard_normal(shape).astype(NUMPY_DTYPES[dtype])
    return rng.integers(0, 100, shape).astype(NUMPY_DTYPES[dtype])


def no_leftovers(folder, *expected):
    assert sorted(p.name for p in folder.iterdir()) == sorted(expected)


# ---------------------------------------------------------------- rewriting


@pytest.mark.parametrize("dtype", ["F32", "F16", "BF16"])
def test_rewrite_copies_kept_rows_bit_for_bit_and_averages_new_ones(tmp_path, dtype):
    rng = np.random.default_rng(7)
    embedding = random_rows(rng, dtype, (10, 6))
    if dtype != "BF16":
        embedding[2, 0] = np.array(np.nan, NUMPY_DTYPES[dtype])
        embedding[3, 1] = -0.0
    head = random_rows(rng, dtype, (10, 6))
    layer = random_rows(rng, "F32", (6, 6))
    source = write_tensors(tmp_path / "in.safetensors",
                           {"model.embed_tokens.weight": (dtype, embedding), "model.layers.0.weight": ("F32", layer),
                            "lm_head.weight": (dtype, head)}, metadata={"format": "pt"})
    plan = [9, 2, 3, 0, [4, 5], [1], [0, 7, 8], None]
    report = _native.rewrite_safetensors(source, tmp_path / "out.safetensors",
                                         [("model.embed_tokens.weight", 0), ("lm_head.weight", 0)], plan, 10)
    out = tmp_path / "out.safetensors"

    assert report["resized"] == ["model.embed_tokens.weight", "lm_head.weight"]
    assert report["tensors_copied"] == 1 and report["bytes_written"] == out.stat().st_size
    header = _native.safetensors_header(out)
    assert header["metadata"] == {"format": "pt"}
    assert list(header["tensors"]) == ["model.embed_tokens.weight", "model.layers.0.weight", "lm_head.weight"]
    assert (8 + header["header_size"]) % 8 == 0
    for name, old in (("model.embed_tokens.weight", embedding), ("lm_head.weight", head)):
        new = read_tensor(out, name)
        assert new.shape == (8, 6)
        assert new.tobytes() == expected_rows(old, dtype, plan).tobytes(), name
    assert tensor_bytes(out, "model.layers.0.weight") == layer.tobytes()
    if dtype != "BF16":
        from safetensors.numpy import load_file
        loaded = load_file(out)
        assert loaded["model.embed_tokens.weight"].tobytes() == read_tensor(out, "model.embed_tokens.weight").tobytes()


def test_rewrite_of_a_logits_bias_along_its_second_axis_under_a_large_header(tmp_path):
    bias = np.arange(5, dtype=np.float32).reshape(1, 5)
    metadata = {"notes": "x" * (3 << 20)}
    source = write_tensors(tmp_path / "in.safetensors", {"final_logits_bias": ("F32", bias)}, metadata)
    _native.rewrite_safetensors(source, tmp_path / "out.safetensors", {"final_logits_bias": 1}, [4, [1, 2], 0], 5)
    assert read_tensor(tmp_path / "out.safetensors", "final_logits_bias").tolist() == [[4.0, 1.5, 0.0]]
    assert _native.safetensors_header(tmp_path / "out.safetensors")["metadata"] == metadata


def test_rewrite_keeps_the_header_bytes_when_no_size_changes(tmp_path):
    rng = np.random.default_rng(1)
    tensors = {"wte.weight": ("F16", random_rows(rng, "F16", (4, 3))), "h.0.bias": ("F32", random_rows(rng, "F32", (3,)))}
    source = write_tensors(tmp_path / "in.safetensors", tensors, metadata={"k": "v"})
    original = source.read_bytes()

    copied = _native.rewrite_safetensors(source, tmp_path / "copy.safetensors", [], [], 0)
    assert copied["header_kept"] and (tmp_path / "copy.safetensors").read_bytes() == original

    permuted = _native.rewrite_safetensors(source, tmp_path / "permuted.safetensors", [("wte.weight", 0)], [3, 2, 1, 0], 4)
    out = (tmp_path / "permuted.safetensors").read_bytes()
    prefix = 8 + permuted["header"]["header_size"]
    assert permuted["header_kept"] and out[:prefix] == original[:prefix]
    assert read_tensor(tmp_path / "permuted.safetensors", "wte.weight").tobytes() == tensors["wte.weight"][1][::-1].tobytes()


def test_rewrite_in_place_replaces_the_file_and_keeps_its_mode(tmp_path):
    path = write_tensors(tmp_path / "model.safetensors", {"lm_head.weight": ("F32", np.eye(3, dtype=np.float32))})
    os.chmod(path, 0o640)
    _native.rewrite_safetensors(path, path, [("lm_head.weight", 0)], [2, 0], 3)
    assert read_tensor(path, "lm_head.weight").tolist() == [[0, 0, 1], [1, 0, 0]]
    assert path.stat().st_mode & 0o777 == 0o640
    no_leftovers(tmp_path, "model.safetensors")


def test_rewrite_across_file_systems_copies_through_its_buffer(tmp_path):
    import tempfile

    other = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(dir=other) as folder:
        rng = np.random.default_rng(5)
        tensors = {"a": ("F32", random_rows(rng, "F32", (300_000,))), "wte.weight": ("BF16", random_rows(rng, "BF16", (3, 2)))}
        source = write_tensors(tmp_path / "in.safetensors", tensors)
        target = os.path.join(folder, "out.safetensors")
        _native.rewrite_safetensors(source, target, [("wte.weight", 0)], [2, 1], 3)
        assert tensor_bytes(target, "a") == tensors["a"][1].tobytes()
        assert tensor_bytes(target, "wte.weight") == tensors["wte.weight"][1][[2, 1]].tobytes()


def test_copy_only_plans_work_for_every_dtype_and_means_need_a_float(tmp_path):
    tensors = {name: (dtype, random_rows(np.random.default_rng(3), dtype, (4, 2)))
               for name, dtype in (("a", "I64"), ("b", "U8"), ("c", "BOOL"), ("d", "F8_E4M3"), ("e", "F64"))}
    tensors["c"] = ("BOOL", np.array([[True, False]] * 4))
    source = write_tensors(tmp_path / "in.safetensors", tensors)
    names = [(name, 0) for name in tensors]
    _native.rewrite_safetensors(source, tmp_path / "out.safetensors", names, [3, [1], 1], 4)
    for name, (_, array) in tensors.items():
        assert tensor_bytes(tmp_path / "out.safetensors", name) == array[[3, 1, 1]].tobytes()
    for name in tensors:
        with pytest.raises(ValueError, match=f'tensor "{name}" is .*only F32, F16 and BF16'):
            _native.rewrite_safetensors(source, tmp_path / "mean.safetensors", [(name, 0)], [[0, 1]], 4)
    no_leftovers(tmp_path, "in.safetensors", "out.safetensors")


@pytest.mark.parametrize("tensors, plan, old_rows, message", [
    ([("emb.weight", 0)], [0], 5, r'"emb.weight" has 4 rows along axis 0, but the row plan is for 5'),
    ([("emb.weight", 2)], [0], 4, r"has 2 dimensions: it has no axis 2"),
    ([("missing.weight", 0)], [0], 4, r'"missing.weight" is not in the file'),
    ([("emb.weight", 0), ("emb.weight", 0)], [0], 4, r"is listed twice"),
    ([("emb.weight", 0)], [4], 4, r"new row 0 takes old row 4, but there are only 4"),
    ([("emb.weight", 0)], [0, []], 4, r"new row 1 is the mean of no rows"),
    ([], [None], 0, r"mean of all old rows, but there are none"),
])
def test_plans_that_do_not_fit_are_refused_before_anything_is_written(tmp_path, tensors, plan, old_rows, message):
    source = write_tensors(tmp_path / "in.safetensors", {"emb.weight": ("F32", np.zeros((4, 2), np.float32))})
    with pytest.raises(ValueError, match=message):
        _native.rewrite_safetensors(source, tmp_path / "out.safetensors", tensors, plan, old_rows)
    no_leftovers(tmp_path, "in.safetensors")


# Bit patterns whose means land on the edges of rounding: ties (to even),
# subnormals of the 16-bit format (and of float32, for bf16), infinities and NaN.
EDGE_BITS = {
    "F16": [0x3C00, 0x3C01, 0x3C02, 0x0001, 0x0002, 0x0000, 0x7BFF, 0x7C00, 0xFC00, 0x8001],
    "BF16": [0x3F80, 0x3F81, 0x3F82, 0x0001, 0x0002, 0x0000, 0x7F7F, 0x7F80, 0xFF80, 0x8001],
}


@pytest.mark.parametrize("dtype", ["F16", "BF16"])
def test_means_round_to_nearest_even_at_the_edges(tmp_path, dtype):
    bits = np.array(EDGE_BITS[dtype], np.uint16)
    old = bits.view(np.float16) if dtype == "F16" else bits
    plan = [[i, j] for i in range(len(bits)) for j in range(len(bits))] + [[0, 1, 2], None]
    source = write_tensors(tmp_path / "in.safetensors", {"lm_head.bias": (dtype, old)})
    _native.rewrite_safetensors(source, tmp_path / "out.safetensors", [("lm_head.bias", 0)], plan, len(bits))
    with np.errstate(all="ignore"):
        expected = expected_rows(old, dtype, plan)
    assert read_tensor(tmp_path / "out.safetensors", "lm_head.bias").view(np.uint16).tolist() == \
        expected.view(np.uint16).tolist()


PLAN_DTYPES = ["F32", "F16", "BF16", "I32", "U8"]


@st.composite
def rewrites(draw):
    dtype = draw(st.sampled_from(PLAN_DTYPES))
    rows = draw(st.integers(1, 9))
    width = draw(st.integers(0, 4))
    averaging = dtype in ("F32", "F16", "BF16")
    source = st.integers(0, rows - 1)
    if averaging:
        source = st.one_of(source, st.lists(st.integers(0, rows - 1), min_size=1, max_size=4), st.none())
    plan = draw(st.lists(source, max_size=12))
    return dtype, rows, width, plan, draw(st.integers(0, 2**32 - 1))


@settings(max_examples=60, deadline=None)
@given(rewrites())
def test_rewrite_agrees_with_a_naive_model(tmp_path_factory, case):
    dtype, rows, width, plan, seed = case
    folder = tmp_path_factory.mktemp("rewrite")
    rng = np.random.default_rng(seed)
    embedding = random_rows(rng, dtype, (rows, width))
    bias = random_rows(rng, dtype, (1, rows))
    before = random_rows(rng, "U8", (3,))
    source = write_tensors(folder / "in.safetensors",
                           {"before": ("U8", before), "embed_tokens.weight": (dtype, embedding),
                            "final_logits_bias": (dtype, bias)})
    out = folder / "out.safetensors"
    _native.rewrite_safetensors(source, out, [("embed_tokens.weight", 0), ("final_logits_bias", 1)], plan, rows)
    assert read_tensor(out, "embed_tokens.weight").tobytes() == expected_rows(embedding, dtype, plan).tobytes()
    assert read_tensor(out, "final_logits_bias").tobytes() == expected_rows(bias.T, dtype, plan).T.tobytes()
    assert tensor_bytes(out, "before") == before.tobytes()


# ---------------------------------------------------------------- reading


def test_header_of_a_file_written_by_the_safetensors_package(tmp_path):
    save_file = pytest.importorskip("safetensors.numpy").save_file
    tensors = {"scalar": np.array(3, np.int64), "empty": np.zeros((0, 4), np.float16),
               "weight": np.ones((2, 3), np.float32), "flags": np.array([True, False])}
    save_file(tensors, tmp_path / "a.safetensors", metadata={"format": "np", "note": "é \"q\""})
    header = _native.safetensors_header(tmp_path / "a.safetensors")
    assert header["metadata"] == {"format": "np", "note": "é \"q\""}
    assert {name: (t["dtype"], t["shape"]) for name, t in header["tensors"].items()} == {
        "scalar": ("I64", []), "empty": ("F16", [0, 4]), "weight": ("F32", [2, 3]), "flags": ("BOOL", [2])}
    offsets = [t["data_offsets"] for t in header["tensors"].values()]
    assert offsets == sorted(offsets) and header["data_size"] == offsets[-1][1]
    assert 8 + header["header_size"] + header["data_size"] == (tmp_path / "a.safetensors").stat().st_size


def tensor(dtype="U8", shape=(2,), offsets=(0, 2)):
    return {"dtype": dtype, "shape": list(shape), "data_offsets": list(offsets)}


# Files that lie, what the refusal says, and whether the safetensors package refuses them too.
LIES = [
    ("short", b"\x01\x00", "cannot hold the 8-byte header length", True),
    ("huge header", struct.pack("<Q", 100_000_001) + b"{}", "over the limit of 100000000 bytes", True),
    ("header past end", struct.pack("<Q", 64) + b"{}", "runs past the end of the file", True),
    ("not json", file_bytes(b"{nope}"), "header JSON: key must be a string", True),
    ("a list", file_bytes(b"[]"), "expected a map of tensor names", True),
    ("bad utf-8", file_bytes(b'{"\xff":' + json.dumps(tensor()).encode() + b"}", b"ab"), "invalid UTF-8", True),
    ("unknown dtype", file_bytes({"a": tensor("F12")}, b"ab"), 'unknown dtype "F12"', True),
    ("missing field", file_bytes({"a": {"dtype": "U8", "shape": [2]}}, b"ab"), "missing field `data_offsets`", True),
    ("negative dim", file_bytes({"a": tensor(shape=(-2,))}, b"ab"), "expected an integer from 0", True),
    ("three offsets", file_bytes({"a": {**tensor(), "data_offsets": [0, 1, 2]}}, b"ab"), "two numbers", True),
    ("metadata not str", file_bytes({"__metadata__": {"k": 1}}), "expected a string", True),
    ("shape vs bytes", file_bytes({"a": tensor("F32", (2,), (0, 2))}, b"ab"), "needs 8 bytes, but data_offsets [0, 2] hold 2", True),
    ("offsets past end", file_bytes({"a": tensor(offsets=(0, 2))}, b"a"), "run past the end of the data (1 bytes)", True),
    ("backwards", file_bytes({"a": tensor(shape=(0,), offsets=(2, 0))}, b"ab"), "end before they begin", True),
    ("overlap", file_bytes({"a": tensor(), "b": tensor(offsets=(1, 3))}, b"abc"), 'tensors "a" [0, 2] and "b" [1, 3] overlap', True),
    ("hole", file_bytes({"a": tensor(), "b": tensor(offsets=(3, 5))}, b"abcde"), "bytes 2 to 3 of the data belong to no tensor", True),
    ("data past tensors", file_bytes({"a": tensor()}, b"abc"), "the data holds 3 bytes, but the tensors end at byte 2", True),
    ("packed half byte", file_bytes({"a": tensor("F4", (3,), (0, 2))}, b"ab"), "does not fill a whole number of bytes", True),
    ("duplicate tensor", file_bytes(b'{"a":' + json.dumps(tensor()).encode() + b',"a":' + json.dumps(tensor()).encode() + b"}", b"ab"), 'tensor "a" given twice', False),
    ("unknown field", file_bytes({"a": {**tensor(), "extra": 1}}, b"ab"), "unknown field `extra`", False),
]


@pytest.mark.parametrize("content, message, package_refuses", [lie[1:] for lie in LIES], ids=[lie[0] for lie in LIES])
def test_lying_files_are_refused_with_one_line_and_nothing_written(tmp_path, content, message, package_refuses):
    path = tmp_path / "model.safetensors"
    path.write_bytes(content)
    with pytest.raises(ValueError) as refused:
        _native.safetensors_header(path)
    text = str(refused.value)
    assert text.startswith(f"{path}: not a valid safetensors file: ") and "\n" not in text
    assert message in text
    with pytest.raises(ValueError, match="not a valid safetensors file"):
        _native.rewrite_safetensors(path, tmp_path / "out.safetensors", [], [], 0)
    no_leftovers(tmp_path, "model.safetensors")
    safetensors = pytest.importorskip("safetensors")
    if package_refuses:
        with pytest.raises(Exception):
            with safetensors.safe_open(str(path), "np"):
                pass


def test_files_that_cannot_be_read_are_os_errors(tmp_path):
    with pytest.raises(OSError, match="Failed to read: .*missing.safetensors.*No such file"):
        _native.safetensors_header(tmp_path / "missing.safetensors")
    with pytest.raises(OSError, match="not a regular file"):
        _native.safetensors_header(tmp_path)
    source = write_tensors(tmp_path / "in.safetensors", {"a": ("U8", np.zeros(2, np.uint8))})
    with pytest.raises(OSError, match="Failed to write: .*no-such-dir"):
        _native.rewrite_safetensors(source, tmp_path / "no-such-dir" / "out.safetensors", [], [], 0)


# ---------------------------------------------------------------- finding the vocabulary tensors


def shapes_file(path, shapes):
    return write_tensors(path, {name: ("F16", np.zeros(shape, np.float16)) for name, shape in shapes.items()})


def found(result, key):
    return sorted((os.path.basename(t["file"]), t["name"], t["axis"], t["role"]) for t in result[key])


def test_vocabulary_tensors_by_name_and_shape_across_shards(tmp_path):
    first = shapes_file(tmp_path / "model-00001-of-00002.safetensors", {
        "model.language_model.embed_tokens.weight": (12, 4),
        "model.language_model.layers.0.mlp.weight": (4, 4),
        "model.language_model.embed_positions.weight": (12, 4),
        "model.vision_tower.patch_embedding.weight": (12, 3),
    })
    second = shapes_file(tmp_path / "model-00002-of-00002.safetensors", {
        "lm_head.weight": (12, 4), "lm_head.bias": (12,), "final_logits_bias": (1, 12),
        "output.weight": (7, 4), "encoder.embeddings.weight": (12, 4),
    })
    result = _native.vocabulary_tensors([first, second])
    assert result["rows"] == 12
    assert found(result, "edited") == [
        ("model-00001-of-00002.safetensors", "model.language_model.embed_tokens.weight", 0, "input_embedding"),
        ("model-00002-of-00002.safetensors", "encoder.embeddings.weight", 0, "input_embedding"),
        ("model-00002-of-00002.safetensors", "final_logits_bias", 1, "logits_bias"),
        ("model-00002-of-00002.safetensors", "lm_head.bias", 0, "head_bias"),
        ("model-00002-of-00002.safetensors", "lm_head.weight", 0, "output_head"),
    ]
    # Vocabulary-sized but named for something else: reported, never edited; a weak name of another size is ignored.
    assert found(result, "unrecognised") == [
        ("model-00001-of-00002.safetensors", "model.language_model.embed_positions.weight", 0, "unrecognised"),
        ("model-00001-of-00002.safetensors", "model.vision_tower.patch_embedding.weight", 0, "unrecognised"),
    ]
    assert result["mismatched"] == []


@pytest.mark.parametrize("name", ["transformer.wte.weight", "model.shared.weight", "gpt_neox.embed_in.weight",
                                  "transformer.word_embeddings.weight", "decoder.embed_tokens.weight",
                                  "embed_out.weight", "language_model.model.embed_tokens.weight"])
def test_a_strong_name_with_other_rows_than_the_config_is_a_mismatch(tmp_path, name):
    path = shapes_file(tmp_path / "model.safetensors", {name: (10, 4)})
    assert [t["name"] for t in _native.vocabulary_tensors([path])["edited"]] == [name]
    result = _native.vocabulary_tensors([path], rows=12)
    assert result["edited"] == [] and [(t["name"], t["rows"]) for t in result["mismatched"]] == [(name, 10)]
