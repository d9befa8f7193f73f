"""Words as the runtime meets them in running text: the forms a typed word
takes after a space, at the start of a line and inside text of a script
written without spaces; whether the model produces each form whole there,
judged by the runtime's own tokens and offsets; the tokens a typed text
names for the commands that take existing tokens; and what the command
line says about files in the current form."""

import json

import pytest

from conftest import doc_text, fixture_names, model_section, real_fixture

import vocarix_tools
from vocarix_tools import learning, usage

GERMAN = ["Verkehrsberuhigung", "nicht", "Gemeinschaftsgefühl", "Rechtsschutzversicherung", "übermorgen"]
SPACELESS = ["数据库管理", "深度学习模型", "データベース", "東京都", "ภาษาไทย"]
# Qwen2-style: a Split on the one-digit expression, then ByteLevel without its own expression.
QWEN_STYLE = {"type": "Sequence", "pretokenizers": [
    {"type": "Split", "pattern": {"Regex": r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}| ?[^\s\p{L}"
                                           r"\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+"},
     "behavior": "Isolated", "invert": False},
    {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": False, "use_regex": False}]}
# DeepSeek-V3-style: numbers and runs of Chinese and Japanese characters are words of their own.
DEEPSEEK_STYLE = {"type": "Sequence", "pretokenizers": [
    {"type": "Split", "pattern": {"Regex": r"\p{N}{1,3}"}, "behavior": "Isolated", "invert": False},
    {"type": "Split", "pattern": {"Regex": "[一-龥\u3040-ゟ゠-ヿ]+"}, "behavior": "Isolated", "invert": False},
    {"type": "Split", "pattern": {"Regex": "[!\"#$%&'()*+,\\-./:;<=>?@\\[\\\\\\]^_`{|}~][A-Za-z]+|[^\r\n\\p{L}\\p{P}"
                                           "\\p{S}]?[\\p{L}\\p{M}]+| ?[\\p{P}\\p{S}]+[\r\n]*|\\s*[\r\n]+|\\s+(?!\\S)|\\s+"},
     "behavior": "Isolated", "invert": False},
    {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True, "use_regex": False}]}
NOT_ADDED = ("refused", "unknown_characters", "space_entry", "empty", "split")


def text_of(name):
    """A real file's text; "qwen-style" and "deepseek-style" are the Chinese
    byte-level file with those pre-tokenizers."""
    if name.endswith("-style"):
        doc = json.loads(real_fixture("minimind-zh-6k.array.json").read_text(encoding="utf-8"))
        doc["pre_tokenizer"] = QWEN_STYLE if name == "qwen-style" else DEEPSEEK_STYLE
        return json.dumps(doc, ensure_ascii=False)
    return real_fixture(name).read_text(encoding="utf-8")


def runtime_gives(runtime, before, word, after, token):
    """True when the runtime encodes the word in its sample text as `token`,
    the token ending where the word ends and starting at it or at the space before it."""
    encoding = runtime.encode(before + word + after, add_special_tokens=False)
    start, end = len(before), len(before) + len(word)
    return any(t == token and e == end and s in (start, start - 1) for t, (s, e) in zip(encoding.tokens,
                                                                                      encoding.offsets))


def typed_form(word):
    text = word["requested"].strip()
    return text[0].upper() + text[1:] if word["capitalised"] else text


@pytest.mark.parametrize("name", fixture_names(
    "minimind-zh-6k.array.json", "tinylm-en-8k.array.json", "phi2-codegen.string.json", "bora-ko-32k.array.json",
    "llama-tiny-random.array.json", "chatglm3-zh.string.json", "qwen-style", "deepseek-style"))
def test_each_form_is_produced_exactly_where_the_report_says(name):
    """Every form of German, Chinese, Japanese and Thai words, in every
    context it is met in: the report's verdict is the runtime's."""
    tokenizers = pytest.importorskip("tokenizers")
    editor = vocarix_tools.open_text(text_of(name))
    report = usage.add_words(editor, GERMAN + SPACELESS, forms="all")
    assert report["text_pipeline_unsupported"] == ""
    runtime = tokenizers.Tokenizer.from_str(editor.to_json())
    samples = usage.context_samples()
    judged = []
    for word in report["words"]:
        if word["outcome"] in NOT_ADDED:
            continue
        for context in word["contexts"]:
            before, after = samples[(word["script"], context)]
            made = runtime_gives(runtime, before, typed_form(word), after, word["token"])
            assert made == (context in word["produced_in"]), (word["form"], context)
            judged.append(made)
    # Scripts without spaces are met inside their own text; nearly every form is whole.
    assert any(w["script"] and "in_script" in w["contexts"] for w in report["words"])
    assert len(judged) >= 10 and sum(judged) >= 0.9 * len(judged)


@pytest.mark.parametrize("name", fixture_names(
    "minimind-zh-6k.array.json", "tinylm-en-8k.array.json", "bora-ko-32k.array.json", "llama-tiny-random.array.json"))
def test_by_default_a_word_is_one_token_after_a_space_and_at_the_start_of_a_line(name):
    editor = vocarix_tools.open_text(text_of(name))
    report = usage.add_words(editor, GERMAN)
    words = [w for w in report["words"] if w["outcome"] not in NOT_ADDED]
    assert {c for w in words for c in w["contexts"]} == {"after_space", "text_start", "after_line_break"}
    assert all(w["produced_whole"] for w in words) and not any(w["capitalised"] for w in words)
    # At most the form after a space and the one at the start of a line.
    assert len(report["words"]) <= 2 * len(GERMAN)


def test_words_of_scripts_without_spaces_are_added_bare():
    editor = vocarix_tools.open_text(text_of("qwen-style"))
    [reading] = usage.read_words(editor, ["数据库管理"])
    assert [(f["token"], f["contexts"], f["script"]) for f in reading["forms"]] == [
        ("æķ°æį®åºĵç®¡çĲĨ", ["text_start", "after_line_break", "in_script"], "Chinese")]
    # After a space this pre-tokenizer keeps the space: offered, not taken.
    assert [(f["token"], f["contexts"]) for f in reading["other_forms"]] == [("Ġæķ°æį®åºĵç®¡çĲĨ", ["after_space"])]


def test_a_word_the_normalizer_rewrites_takes_the_form_the_runtime_meets():
    editor = vocarix_tools.open_text(text_of("tinylm-en-8k.array.json"))  # NFKC, and a prefix space
    [reading] = usage.read_words(editor, ["ｄａｔａｂａｓｅ"])
    assert [(f["token"], f["contexts"]) for f in reading["forms"]] == [
        ("Ġdatabase", ["after_space", "text_start"]), ("database", ["after_line_break"])]


def test_a_form_running_text_never_gives_is_never_counted_whole():
    """A DeepSeek-style pre-tokenizer cuts a run of Chinese characters off
    the space before it: "Ġ数据库管理" is no word of running text."""
    editor = vocarix_tools.open_text(text_of("deepseek-style"))
    report = usage.add_words(editor, ["Ġæķ°æį®åºĵç®¡çĲĨ", "数据库管理"])
    stored, typed = report["words"]
    assert stored["contexts"] == [] and not stored["produced_whole"]
    assert typed["form"] == "æķ°æį®åºĵç®¡çĲĨ" and "after_space" in typed["contexts"] and typed["produced_whole"]
    assert report["produced_whole"] == 1


def test_commands_that_take_tokens_read_them_as_add_does(cli, tmp_path):
    """A stored form, the text a display shows, or a typed word; a remove
    that names nothing exits 1 and writes nothing."""
    path = real_fixture("minimind-zh-6k.array.json")
    editor = vocarix_tools.open(path)
    named = usage.resolve_tokens(editor, ["ĠçļĦ", " 的", "数据", "的", "zzqq", "Ġzzqq"])
    assert [(n["read_as"], n["tokens"]) for n in named] == [
        ("stored", ["ĠçļĦ"]), ("text", ["ĠçļĦ"]), ("text", ["æķ°æį®"]), ("text", ["çļĦ"]), ("text", []),
        ("stored", [])]
    # Read as a typed word, "的" names each of its forms that is a token.
    assert usage.resolve_tokens(editor, ["的"], reading="text")[0]["tokens"] == ["ĠçļĦ", "çļĦ"]

    out = tmp_path / "out.json"
    code, stdout, err = cli("remove", path, " 的", "zzqq", "-o", out)
    assert code == 0, err
    vocab = json.loads(out.read_text(encoding="utf-8"))["model"]["vocab"]
    assert "ĠçļĦ" not in vocab and "çļĦ" in vocab and 'not in the vocabulary: "zzqq"' in stdout
    for arguments in (["zzqq"], ["--stored", " 的"]):
        out.unlink(missing_ok=True)
        code, stdout, err = cli("remove", path, *arguments, "-o", out)
        assert code == 1 and not out.exists() and stdout == "" and err.count("\n") == 1
    shown = json.loads(cli("show", path, " 的", "数据", "--json")[1])["result"]["tokens"]
    assert [t["token"] for t in shown] == ["ĠçļĦ", "æķ°æį®"]


def test_merge_reports_the_words_running_text_never_gives_the_model():
    whitespace = {"type": "Whitespace"}
    base = vocarix_tools.open_text(doc_text({"<unk>": 0, "a": 1, "b": 2, ".": 3}, [], pre_tokenizer=whitespace))
    other_vocab = {"<unk>": 0, "a": 1, "b": 2, ".": 3, "ab": 4, "a.": 5, "a.b": 6}
    other = vocarix_tools.open_text(doc_text(other_vocab, [("a", "b"), ("a", "."), ("a.", "b")],
                                             pre_tokenizer=whitespace))
    report = learning.merge_vocabulary(base, other)
    running = report["running_text"]
    # The pre-tokenizer cuts "a.b" at its full stop: no merge makes that a token of running text.
    assert running["produced_whole"] == ["ab"] and set(running["never_met"]) == {"a.", "a.b"}


def test_files_in_the_current_form_print_no_note_and_json_errors_are_json(cli, tmp_path):
    current = real_fixture("minimind-zh-6k.array.json")  # null unk_token, as byte-level files have
    quiet = tmp_path / "quiet.json"
    model = model_section({"a": 0, "b": 1, "ab": 2}, [("a", "b")], unk_token=None)
    for field in ("type", "fuse_unk", "byte_fallback", "ignore_merges", "dropout"):
        del model[field]  # the runtime fills each in
    quiet.write_text(doc_text(model=model), encoding="utf-8")
    for path in (current, quiet):
        code, _, err = cli("stats", path)
        assert code == 0 and err == ""

    code, out, err = cli("remove", current, "zzqq", "-o", tmp_path / "out.json", "--json")
    assert code == 1 and err == "" and json.loads(out) == {
        "command": "remove", "exit_status": 1,
        "error": "no token to remove: \"zzqq\" names no token of the file (see 'vocarix show')"}
    code, out, err = cli("stats", current, "--json", "--no-such-option")
    assert code == 2 and json.loads(out)["exit_status"] == 2 and err == ""
    # An older form still says so, as JSON with --json.
    older = tmp_path / "older.json"
    older.write_text(json.dumps({"model": {"vocab": {"a": 0, "b": 1, "ab": 2}, "merges": ["a b"]}}), encoding="utf-8")
    code, out, err = cli("stats", older, "--json")
    assert code == 0 and '"a b" strings' in json.loads(err)["note"]
