"""Words as people type them: the stored forms the runtime meets in running
text, stored forms kept as given, what `add` says and refuses, and the
pre-tokenizer check on the regular expressions byte-level files split with."""

import json
import random

import pytest

from conftest import doc_text, model_section, real_fixture

import vocarix_tools
from vocarix_tools import usage

BYTE_LEVEL = {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True, "use_regex": True}
LLAMA_NORMALIZER = {"type": "Sequence", "normalizers": [{"type": "Prepend", "prepend": "▁"},
                                                        {"type": "Replace", "pattern": {"String": " "},
                                                         "content": "▁"}]}
SENTENCES = {"after_space": "The report mentions {} twice.", "text_start": "{} is rare.",
             "after_line_break": "Notes:\n{} again."}
REAL_FILES = ["llama-tiny-random.array.json", "tinylm-en-8k.array.json", "phi2-codegen.string.json",
              "herbert-pl-eow.array.json", "bora-ko-32k.array.json", "chatglm3-zh.string.json",
              "minimind-zh-6k.array.json"]


def available(names):
    paths = []
    for name in names:
        try:
            paths.append(real_fixture(name))
        except pytest.skip.Exception:
            pass
    if not paths:
        pytest.skip("no real fixtures available")
    return paths


def byte_level_alphabet():
    shifted = [b for b in range(256) if not (0x21 <= b <= 0x7E or 0xA1 <= b <= 0xAC or 0xAE <= b <= 0xFF)]
    alphabet = {b: chr(b) for b in range(256)}
    alphabet.update({b: chr(256 + k) for k, b in enumerate(shifted)})
    return alphabet


def byte_level_editor(**sections):
    vocab = {ch: i for i, ch in enumerate(byte_level_alphabet().values())}
    return vocarix_tools.open_text(doc_text(vocab, [], pre_tokenizer=sections.pop("pre_tokenizer", BYTE_LEVEL),
                                            **sections))


def forms(reading):
    return [(f["token"], f["contexts"], f["capitalised"]) for f in reading["forms"]]


def test_typed_words_come_out_whole_where_the_report_says_on_real_files():
    """Every form added for a typed word is produced whole by the runtime in
    each place the report says it is met: after a space inside a sentence,
    at the start of a text, after a line break."""
    tokenizers = pytest.importorskip("tokenizers")
    typed = ["thrombocytopenia", " thrombocytopenia", "Thrombocytopenia", "cardiomyelopathy", "Ġhello", "▁world"]
    for path in available(REAL_FILES):
        editor = vocarix_tools.open(path)
        display = vocarix_tools.TokenDisplay(editor)
        # "▁" stands for a space where the file marks spaces.
        marks_spaces = vocarix_tools.token_style(editor)["style"] in ("metaspace", "byte_level")
        report = usage.add_words(editor, typed, forms="all")
        runtime = tokenizers.Tokenizer.from_str(editor.to_json())
        assert all(w["form"] for w in report["words"]), path.name
        for word in report["words"]:
            text = word["requested"].strip() if word["read_as"] == "text" else display.texts([word["form"]])[0]
            text = (text.replace("▁", " ") if marks_spaces else text).strip()
            if word["capitalised"]:
                text = text[0].upper() + text[1:]
            token_id = runtime.token_to_id(word["token"])
            seen = [token_id in runtime.encode(SENTENCES[c].format(text), add_special_tokens=False).ids
                    for c in word["contexts"]]
            assert word["contexts"] and all(seen) == word["produced_whole"], (path.name, word["form"], seen)
        assert report["produced_whole"] == len(report["words"]), path.name


def test_words_typed_as_text_take_each_files_forms():
    # Byte-level without a prefix space: marked after a space only.
    editor = byte_level_editor()
    found = usage.read_words(editor, ["Word", " word ", "Ġword", "ä»¥", "▁two words", "  ", "<|tool|>"],
                             forms="all")
    assert forms(found[0]) == [("ĠWord", ["after_space"], False), ("Word", ["text_start", "after_line_break"], False)]
    assert forms(found[1])[:2] == [("Ġword", ["after_space"], False),
                                   ("word", ["text_start", "after_line_break"], False)]
    assert forms(found[1])[2][:2] == ("ĠWord", ["after_space"]) and found[1]["read_as"] == "text"
    # Stored forms are kept: they read back as other valid text, or look special.
    assert [found[i]["read_as"] for i in (2, 3, 6)] == ["stored"] * 3
    # A Chinese character: bare at the start of a line and inside Chinese text.
    assert forms(found[3]) == [("ä»¥", ["text_start", "after_line_break", "in_script"], False)]
    # A word written for a "▁" file stands for the same text here.
    assert found[4]["read_as"] == "text" and forms(found[4])[0][0] == "ĠtwoĠwords"
    assert found[5]["forms"] == [] and found[5]["refused"] == "only_spaces"
    # By default the forms after a space and at the start of a line; the capitalised ones are offered.
    default = usage.read_words(editor, ["word"])[0]
    assert forms(default) == forms(found[1])[:2] and len(default["other_forms"]) == 2
    assert forms(usage.read_words(editor, ["word"], forms="after_space")[0]) == [("Ġword", ["after_space"], False)]
    assert usage.read_words(editor, ["Ġword"], reading="text")[0]["forms"][0]["token"] == "ĠÄłword"
    assert usage.read_words(editor, ["word"], reading="stored")[0]["forms"][0]["token"] == "word"

    # A prefix space, a "▁" normalizer, an end-of-word suffix, a lower-casing normalizer.
    prefixed = byte_level_editor(pre_tokenizer={**BYTE_LEVEL, "add_prefix_space": True})
    assert forms(usage.read_words(prefixed, ["word"])[0]) == [("Ġword", ["after_space", "text_start"], False),
                                                              ("word", ["after_line_break"], False)]
    llama = vocarix_tools.open_text(doc_text({"<unk>": 0, "▁": 1, "a": 2}, [], normalizer=LLAMA_NORMALIZER))
    found = usage.read_words(llama, ["ab", "▁ab", " ab"], forms=["after_space", "after_line_break"])
    assert forms(found[0]) == [("▁ab", ["after_space", "text_start"], False), ("ab", ["after_line_break"], False)]
    assert found[1]["read_as"] == "stored" and forms(found[2]) == forms(found[0])
    assert usage.read_words(llama, [" ab"], reading="stored")[0]["forms"][0]["contexts"] == []
    suffix = vocarix_tools.open_text(doc_text({"<unk>": 0}, [], pre_tokenizer={"type": "BertPreTokenizer"},
                                              model=model_section({"<unk>": 0}, end_of_word_suffix="</w>")))
    found = usage.read_words(suffix, ["word", "word</w>"])
    assert forms(found[0]) == [("word</w>", ["after_space", "text_start", "after_line_break"], False)]
    assert found[1]["read_as"] == "stored"
    lower = byte_level_editor(normalizer={"type": "Lowercase"})
    found = usage.read_words(lower, ["Word"], forms="all")[0]
    assert [f["token"] for f in found["forms"]] == ["Ġword", "word"] and found["other_forms"] == []
    with pytest.raises(ValueError, match="reading must be"):
        usage.read_words(editor, ["x"], reading="typed")


def test_cli_add_turns_text_into_stored_forms_and_says_what_to_type_instead(tmp_path, cli):
    vocab = {"<unk>": 0, "▁": 1, "a": 2, "b": 3, "<0x20>": 4, "▁a": 5}
    source = tmp_path / "tok.json"
    source.write_text(doc_text(vocab, [("▁", "a")], normalizer=LLAMA_NORMALIZER,
                               model=model_section(vocab, [("▁", "a")], byte_fallback=True)), encoding="utf-8")
    out = tmp_path / "out.json"
    code, stdout, err = cli("add", source, " ab", "-o", out)
    assert code == 0, err
    assert '" ab" -> "▁ab" (after a space, at the start of a text) and "ab" (after a line break)' in stdout
    assert '"Ab" (capitalised, after a line break)' in stdout and "--forms all" in stdout
    assert ("the runtime produces 2 of 2 whole in running text (after a space 1 of 1, at the start of a text "
            "1 of 1, after a line break 1 of 1)") in stdout
    assert "▁ab" in json.loads(out.read_text())["model"]["vocab"]

    # Taken literally, the space would need an entry of its own: refused, with what to type.
    code, stdout, err = cli("add", source, " ab", "--stored", "-o", out)
    assert code == 1 and stdout == ""
    assert 'type it as text instead: "ab", which this file stores as "▁ab"' in err
    code, _, err = cli("add", source, "   ", "-o", out)
    assert code == 1 and "only spaces" in err
    # One word that cannot go in among others that do: a warning, not an error.
    data = json.loads(cli("add", source, "ba", "   ", "--forms", "all", "-o", out, "--json")[1])
    assert [w["form"] for w in data["result"]] == ["▁ba", "ba", "▁Ba", "Ba", ""]
    assert data["result"][-1]["outcome"] == "refused"
    code, stdout, _ = cli("add", source, "ba", "   ", "-o", out)
    assert code == 0 and "not added: \"   \" is only spaces" in stdout
    assert cli("add", source, "ab", "--forms", "sideways", "-o", out)[0] == 2
    assert cli("add", source, "ab", "--text", "--stored", "-o", out)[0] == 2


def test_pre_token_check_runs_the_regular_expressions_of_byte_level_files():
    """A Split on the expressions byte-level files use is judged, not assumed,
    and agrees with the runtime's own split."""
    tokenizers = pytest.importorskip("tokenizers")
    from vocarix_tools import _native

    three_digits = (r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*"
                    r"|\s*[\r\n]+|\s+(?!\S)|\s+")
    one_digit = three_digits.replace(r"\p{N}{1,3}", r"\p{N}")
    classic = r"'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"
    pieces = ["hello", "World", "'S", "'ll", "1234", "12", "٣", " ", "  ", "\n", "\r\n", "\t", "!!", "?", "é",
              "데이터", "x²", "e-mail", "🚀", "\u0301", "_", "。"]
    alphabet = byte_level_alphabet()
    rng = random.Random(3)
    for pattern in (three_digits, one_digit, classic):
        pre_tokenizer = {"type": "Sequence", "pretokenizers": [
            {"type": "Split", "pattern": {"Regex": pattern}, "behavior": "Isolated", "invert": False},
            {**BYTE_LEVEL, "use_regex": False}]}
        editor = byte_level_editor(pre_tokenizer=pre_tokenizer)
        runtime = tokenizers.Tokenizer.from_str(editor.to_json())
        texts = ["".join(rng.choice(pieces) for _ in range(rng.randint(1, 3))) for _ in range(2000)]
        forms_ = ["".join(alphabet[b] for b in text.encode()) for text in texts]
        verdicts, undecided_by = _native.pre_token_check(editor, forms_)
        assert undecided_by == ""
        whole = [len(runtime.pre_tokenizer.pre_tokenize_str(text)) == 1 for text in texts]
        assert [v == "whole" for v in verdicts] == whole
    # Any other expression is evaluated by the runtime's engine; only a kind this version does not know is left open.
    other = {"type": "Split", "pattern": {"Regex": r"\w+"}, "behavior": "Isolated", "invert": False}
    assert _native.pre_token_check(byte_level_editor(pre_tokenizer=other), ["Ġx", "x-y"]) == (["whole", "split"], "")
    unknown = {"type": "Sequence", "pretokenizers": [other, {"type": "Fancy"}]}
    assert _native.pre_token_check(byte_level_editor(pre_tokenizer=unknown), ["Ġx"]) == (
        ["undecided"], "the pre-tokenizer Fancy")
