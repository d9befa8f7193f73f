"""tokenizer.model follows every edit of a folder: sentencepiece encodes
held-out text in several scripts as the tokenizers runtime encodes the
edited tokenizer.json, or the model is removed with the reason when no
SentencePiece model can. The folder is the SentencePiece BPE fixture kept
in tests/fixtures/sentencepiece (see its make_fixture.py)."""

from __future__ import annotations

import json
import shutil
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vocarix_tools
from vocarix_tools import usage

import corpora
from conftest import run_json

spm = pytest.importorskip("sentencepiece")
tokenizers = pytest.importorskip("tokenizers")
model_pb2 = pytest.importorskip("sentencepiece.sentencepiece_model_pb2")

FIXTURE = Path(__file__).resolve().parent / "fixtures" / "sentencepiece"


def sp_folder(tmp_path: Path, name: str = "sp") -> Path:
    folder = tmp_path / name
    shutil.copytree(FIXTURE, folder, ignore=shutil.ignore_patterns("*.py"))
    return folder


@pytest.fixture(scope="module")
def held_out() -> dict[str, list[str]]:
    """Every fourth line of each script (the lines training left out); code without its indent."""
    scripts = corpora.several_scripts(120_000)
    return {name: [line.strip() if name == "code" else line for i, line in enumerate(lines) if i % 4 == 0]
            for name, lines in scripts.items()}


def encodings(folder: Path, lines: list[str]) -> tuple[list[list[int]], list[list[str]], list[list[int]] | None]:
    """The runtime's ids and tokens of every line, and sentencepiece's ids (None without tokenizer.model)."""
    runtime = tokenizers.Tokenizer.from_file(str(folder / "tokenizer.json"))
    encoded = runtime.encode_batch(lines, add_special_tokens=False)
    model = folder / "tokenizer.model"
    pieces = spm.SentencePieceProcessor(model_file=str(model)).encode(lines) if model.exists() else None
    return [e.ids for e in encoded], [e.tokens for e in encoded], pieces


def assert_model_agrees(before: Path, after: Path, held_out: dict[str, list[str]]) -> None:
    """On the lines where the input's files agree: identical ids on at least
    99.9% of them, and on every line whose tokens the edit leaves as they were."""
    lines = [line for script in held_out.values() for line in script]
    ids_before, tokens_before, model_before = encodings(before, lines)
    ids_after, tokens_after, model_after = encodings(after, lines)
    assert model_after is not None
    compared = [i for i in range(len(lines)) if model_before[i] == ids_before[i]]
    assert len(compared) > 0.9 * len(lines)
    differing = [i for i in compared if model_after[i] != ids_after[i]]
    untouched = [i for i in differing if tokens_after[i] == tokens_before[i]]
    assert not untouched, [lines[i] for i in untouched[:3]]
    assert len(differing) <= 0.001 * len(compared), [lines[i] for i in differing[:3]]


def common_words(lines: list[str], count: int) -> list[str]:
    """Frequent longer words of the text, which the fixture splits into pieces."""
    words: dict[str, int] = {}
    for line in lines:
        for word in line.split():
            word = word.strip(".,!?;:()'\"")
            if len(word) >= 6 and word.isalpha():
                words[word] = words.get(word, 0) + 1
    return sorted(words, key=lambda w: (-words[w], w))[:count]


@pytest.mark.parametrize("edit", ["add", "keep-size", "prune", "learn", "remove-and-reindex"])
def test_model_encodes_as_the_runtime_after_each_edit(tmp_path, cli, held_out, edit):
    folder = sp_folder(tmp_path)
    out = tmp_path / "out"
    words = common_words(held_out["prose"] + held_out["cyrillic"] + held_out["greek"], 120)
    corpus = corpora.write(tmp_path / "corpus.txt", [line for lines in held_out.values() for line in lines[::2]])
    if edit == "add":
        report = run_json(cli, "add", folder, *words, "-o", out)
    elif edit == "keep-size":
        report = run_json(cli, "add", folder, "--keep-size", *words[:60], "--corpus", corpus, "-o", out)
    elif edit == "prune":
        report = run_json(cli, "prune", folder, "--corpus", corpus, "--size", "1800", "-o", out)
    elif edit == "learn":
        report = run_json(cli, "learn", folder, "--corpus", corpus, "--add", "150", "-o", out)
    else:
        model = vocarix_tools.open_model(folder)
        model.editor.remove_tokens(["▁the", "ing", "ον"])
        model.finish()
        model.editor.reindex_vocab()
        report = {"folder": model.save(out, finish=False)}
    assert report["folder"]["files_removed"] == []
    assert "tokenizer.model" in report["folder"]["rewritten"]
    assert_model_agrees(folder, out, held_out)
    assert vocarix_tools.open_model(out).check() == []


def parsed(path: Path):
    model = model_pb2.ModelProto()
    model.ParseFromString(path.read_bytes())
    return model


def test_pieces_keep_their_kinds_and_every_other_field_its_bytes(tmp_path, cli, held_out):
    folder = sp_folder(tmp_path)
    # Fields no reader knows, in the model and in its first piece, travel along as they are.
    raw = folder.joinpath("tokenizer.model").read_bytes()
    first = raw[2:2 + raw[1]]
    assert raw[0] == 0x0A and raw[1] < 0x7D
    unk_with_extra = b"\x0a" + bytes([raw[1] + 3]) + first + b"\xa0\x06\x01"  # field 100 = 1
    raw = unk_with_extra + raw[2 + raw[1]:] + b"\xfa\x06\x03abc"  # field 111 = "abc"
    (folder / "tokenizer.model").write_bytes(raw)
    report = run_json(cli, "add", folder, *common_words(held_out["prose"], 40), "-o", tmp_path / "out")
    before, after = parsed(folder / "tokenizer.model"), parsed(tmp_path / "out" / "tokenizer.model")
    written = (tmp_path / "out" / "tokenizer.model").read_bytes()
    assert written.startswith(unk_with_extra) and written.endswith(b"\xfa\x06\x03abc")
    for field in ("trainer_spec", "normalizer_spec"):
        assert getattr(after, field).SerializeToString() == getattr(before, field).SerializeToString()
    old = len(before.pieces)
    for old_piece, new_piece in zip(before.pieces, after.pieces[:old]):
        assert (new_piece.piece, new_piece.score, new_piece.type) == (old_piece.piece, old_piece.score, old_piece.type)
    kinds = {piece.type for piece in after.pieces[:old]}
    assert {model_pb2.ModelProto.SentencePiece.BYTE, model_pb2.ModelProto.SentencePiece.CONTROL,
            model_pb2.ModelProto.SentencePiece.USER_DEFINED, model_pb2.ModelProto.SentencePiece.UNKNOWN} <= kinds
    added = after.pieces[old:]
    assert len(added) == report["after"]["vocab_size"] - old
    lowest = min(piece.score for piece in before.pieces)
    assert all(piece.type == model_pb2.ModelProto.SentencePiece.NORMAL for piece in added)
    assert [piece.score for piece in added] == sorted((piece.score for piece in added), reverse=True)
    assert max(piece.score for piece in added) < lowest


def test_an_unedited_folder_writes_its_model_back_byte_for_byte(tmp_path):
    folder = sp_folder(tmp_path)
    model = vocarix_tools.open_model(folder)
    assert model.check() == []
    # A repair of a folder that needs none rewrites nothing.
    report = model.save(tmp_path / "out", repair=True)
    assert report["rewritten"] == []
    assert (tmp_path / "out" / "tokenizer.model").read_bytes() == (folder / "tokenizer.model").read_bytes()


def test_model_is_removed_when_no_sentencepiece_model_can_encode_as_the_runtime(tmp_path, cli):
    folder = sp_folder(tmp_path)
    # The prefix method appends one merge per word: SentencePiece would also join other pairs into it.
    code, out, err = cli("add", folder, "--method", "prefix", "▁thrombocytopenia", "-o", tmp_path / "prefix")
    assert code == 0, err
    assert not (tmp_path / "prefix" / "tokenizer.model").exists()
    reason = [line for line in out.splitlines() if line.startswith("removed tokenizer.model")]
    assert len(reason) == 1 and "SentencePiece joins" in reason[0] and "tokenizer.json has no merge" in reason[0]
    assert vocarix_tools.open_model(tmp_path / "prefix").check() == []
    # A shrink leaves holes in the ids, which a piece list cannot have; in place, the file goes.
    report = run_json(cli, "shrink", folder, "50", "--in-place")
    assert [gone["file"] for gone in report["folder"]["files_removed"]] == ["tokenizer.model"]
    assert "numbers its pieces without gaps" in report["folder"]["files_removed"][0]["reason"]
    assert not (folder / "tokenizer.model").exists()


def test_check_names_the_first_piece_a_stale_model_gets_wrong_and_fix_rewrites_it(tmp_path, cli):
    folder = sp_folder(tmp_path)
    editor = vocarix_tools.open(folder / "tokenizer.json")
    usage.add_words(editor, ["thrombocytopenia"])
    editor.save(str(folder / "tokenizer.json"))  # the tokenizer alone, as another tool would
    code, out, _ = cli("check", folder)
    assert code == 1
    stale = [line for line in out.splitlines() if "tokenizer.model" in line]
    assert len(stale) == 1 and "id 2500" in stale[0] and "not in tokenizer.model" in stale[0]
    code, out, err = cli("check", folder, "--fix", "--in-place")
    assert code == 0, out + err
    assert "tokenizer.model" in out
    sp = spm.SentencePieceProcessor(model_file=str(folder / "tokenizer.model"))
    runtime = tokenizers.Tokenizer.from_file(str(folder / "tokenizer.json"))
    text = "Thrombocytopenia and more thrombocytopenia"
    assert sp.encode(text) == runtime.encode(text, add_special_tokens=False).ids


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_damaged_models_are_refused_in_one_line_naming_the_file(tmp_path_factory, data):
    folder = sp_folder(tmp_path_factory.mktemp("damaged"))
    raw = bytearray((FIXTURE / "tokenizer.model").read_bytes())
    kind = data.draw(st.sampled_from(["cut", "flip", "splice"]))
    if kind == "cut":
        raw = raw[:data.draw(st.integers(0, len(raw) - 1))]
    elif kind == "flip":
        for _ in range(data.draw(st.integers(1, 8))):
            at = data.draw(st.integers(0, len(raw) - 1))
            raw[at] = data.draw(st.integers(0, 255))
    else:
        at = data.draw(st.integers(0, len(raw)))
        raw[at:at] = data.draw(st.binary(min_size=1, max_size=24))
    (folder / "tokenizer.model").write_bytes(bytes(raw))
    try:
        model = vocarix_tools.open_model(folder)
    except ValueError as error:
        message = str(error)
        assert message.startswith("tokenizer.model: ") and "\n" not in message
        return
    # Bytes that still make a model: the folder is read and checked like any other.
    model.check()


@pytest.mark.parametrize("bytes_, problem", [
    (b"\x0a\x05\x0a\x03abc\x0b", "wire type 3"),
    (b"\x0a\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01", "longer than"),
    (b"\x0a\x10\x0a\x03abc", "only 5 are left"),
    (b"\x0a\x05\x0a\x01a\x18\x09", "type 9"),
    (b"\x0a\x06\x0a\x01a\x15\x00\x00", "ends inside a number"),
    (b"\x0a\x03\x0a\x01a\x0a\x03\x0a\x01a", "listed before"),
    (b"\x0a\x02\x0a\x00", "no text"),
    (b"\x0a\x03\x0a\x01\xff", "not valid UTF-8"),
    (b"\x12\x00", "no pieces"),
])
def test_model_reader_names_what_is_wrong(tmp_path, bytes_, problem):
    folder = sp_folder(tmp_path)
    (folder / "tokenizer.model").write_bytes(bytes_)
    with pytest.raises(ValueError, match="tokenizer.model: not a SentencePiece model") as refused:
        vocarix_tools.open_model(folder)
    assert problem in str(refused.value)


def test_a_unigram_model_is_removed_by_an_edit(tmp_path, cli):
    folder = sp_folder(tmp_path)
    model = parsed(folder / "tokenizer.model")
    model.trainer_spec.model_type = model_pb2.TrainerSpec.UNIGRAM
    (folder / "tokenizer.model").write_bytes(model.SerializeToString())
    report = run_json(cli, "add", folder, "thrombocytopenia", "-o", tmp_path / "out")
    assert "unigram model" in report["folder"]["files_removed"][0]["reason"]
    assert json.loads((tmp_path / "out" / "tokenizer.json").read_text(encoding="utf-8"))["model"]["type"] == "BPE"
