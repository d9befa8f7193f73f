"""What `add` says: how each word was read, which forms went in, what the
runtime now produces, what could not be added and what to type instead,
and at a fixed size what was evicted."""

from __future__ import annotations

import json
from typing import Any, Optional, Sequence

import vocarix

from vocarix_tools import usage
from vocarix_tools.cli.common import UsageError, listed, plural, show, token_display

# --forms names on the command line -> the names read_words takes.
FORM_NAMES = {"space": "after_space", "start": "text_start", "newline": "after_line_break", "script": "in_script",
              "capitalised": "capitalised", "capitalized": "capitalised"}
CONTEXT_TEXT = {"after_space": "after a space", "text_start": "at the start of a text",
                "after_line_break": "after a line break", "in_script": "inside {script} text"}
# Outcomes of a word that got nothing added.
NOT_ADDED = ("refused", "unknown_characters", "space_entry", "empty", "split")


def parse_forms(text: Optional[str]) -> Optional[list[str]]:
    """--forms space,start,newline,script,capitalised or all; None for the default forms."""
    if text is None:
        return None
    names = [name.strip() for name in text.split(",") if name.strip()]
    if "all" in names:
        return list(usage.FORMS)
    unknown = [name for name in names if name not in FORM_NAMES]
    if unknown or not names:
        raise UsageError(f"--forms takes all, or space, start, newline, script and capitalised joined by "
                         f"commas, not {text!r}")
    return [FORM_NAMES[name] for name in names]


def flatten_readings(readings: Sequence[usage.WordReading]) -> list[usage.WordAddition]:
    """Readings as the words of an addition report, one per form (a refused
    word as one without a form), for the paths that add stored tokens directly."""
    words: list[usage.WordAddition] = []

    def word(reading: usage.WordReading, form: Optional[usage.WordForm], first: bool) -> usage.WordAddition:
        return usage.WordAddition(
            requested=reading["given"], form=form["token"] if form else "", token=form["token"] if form else "",
            read_as=reading["read_as"], contexts=form["contexts"] if form else [],
            capitalised=form["capitalised"] if form else False, script=form["script"] if form else "",
            other_forms=reading["other_forms"] if first else [], outcome="requested" if form else "refused",
            refused=reading["refused"], pieces_before=[], piece_ids_before=[], unknown_characters=[],
            merges_appended=[], entries_created=[], produced_in=[], measured_in_text=False,
            produced_whole=False, pre_tokenizer="undecided")

    for reading in readings:
        if not reading["forms"]:
            words.append(word(reading, None, True))
        words += [word(reading, form, index == 0) for index, form in enumerate(reading["forms"])]
    return words


def quoted(token: str) -> str:
    """A stored form as it is, quoted: the form people learn to type."""
    return json.dumps(token, ensure_ascii=False)


def context_text(context: str, script: str) -> str:
    return CONTEXT_TEXT[context].format(script=script or "its own")


def where(form: Any) -> str:
    """Where the runtime meets a form, for people."""
    if not form["contexts"]:
        return "never met in running text"
    text = ", ".join(context_text(c, form["script"]) for c in form["contexts"])
    return f"capitalised, {text}" if form["capitalised"] else text


def produced_line(words: Sequence[usage.WordAddition], unsupported: str) -> str:
    """How many forms the runtime produces whole, and in which contexts."""
    whole = sum(1 for w in words if w["produced_whole"])
    line = f"the runtime produces {whole} of {len(words)} whole in running text"
    counts: dict[str, list[int]] = {}
    for word in words:
        for context in word["contexts"]:
            key = context_text(context, word["script"])
            seen = counts.setdefault(key, [0, 0])
            seen[0] += context in word["produced_in"]
            seen[1] += 1
    if counts:
        line += " (" + ", ".join(f"{where} {made} of {met}" for where, (made, met) in counts.items()) + ")"
    if unsupported:
        line += f"; measured for each word alone: {unsupported}, so running text could not be cut as the runtime cuts it"
    return line


def reading_lines(words: Sequence[usage.WordAddition], limit: int) -> list[str]:
    """How the words were read, grouped by the word as given."""
    by_word: dict[str, list[str]] = {}
    rewritten: set[str] = set()  # words read as text with a form other than the text as given
    stored: list[str] = []
    unmet: list[str] = []
    others: list[str] = []
    for word in words:
        if not word["form"] or word["outcome"] in NOT_ADDED:
            continue
        if word["read_as"] == "text":
            by_word.setdefault(word["requested"], []).append(f"{quoted(word['form'])} ({where(word)})")
            if word["form"] != word["requested"]:
                rewritten.add(word["requested"])
        elif word["read_as"] == "stored":
            stored.append(quoted(word["form"]))
        if not word["contexts"]:
            unmet.append(quoted(word["form"]))
        others += [f"{quoted(form['token'])} ({where(form)})" for form in word["other_forms"]]
    lines = []
    shown = [f"{quoted(given)} -> {' and '.join(forms)}" for given, forms in by_word.items() if given in rewritten]
    if shown:
        lines.append("read as text and added in the forms the runtime meets: " + listed(shown, limit, "; "))
    if stored:
        lines.append(f"kept as given, in the file's stored form: {listed(stored, limit)} (--text reads them as text)")
    if unmet:
        lines.append(f"note: the runtime never meets {listed(unmet, limit)} in running text: the file's normalizer "
                     "or style writes that text otherwise; type the word as text instead (without --stored)")
    if others:
        examples = ", ".join(others[:3]) + (", ..." if len(others) > 3 else "")
        lines.append(f"the words also occur in {plural(len(others), 'other form')} ({examples}); --forms all adds "
                     "them, --json lists them")
    return lines


def failure_lines(editor: vocarix.Vocarix, words: Sequence[usage.WordAddition]) -> list[str]:
    """Each word that got nothing added, why, and what to type instead."""
    failed = [w for w in words if w["outcome"] in NOT_ADDED]
    # What a stored word stands for, typed as text: the form to suggest when it differs.
    texts = [text.strip() for text in token_display().texts([w["requested"] for w in failed])]
    retyped = usage.read_words(editor, texts)
    lines = []
    for word, text, as_text in zip(failed, texts, retyped):
        given = quoted(word["requested"])
        text_form = as_text["forms"][0]["token"] if as_text["forms"] else None
        instead = (f"; type it as text instead: {quoted(text)}, which this file stores as {quoted(text_form)}"
                   if text_form and word["read_as"] == "stored" and text_form != word["form"] else "")
        if word["outcome"] in ("refused", "empty"):
            lines.append(f"{given} is only spaces or a space mark: no word to add (give a stored token with "
                         "--stored to add it as it is)")
        elif word["outcome"] == "split":
            lines.append(f"the pre-tokenizer splits {quoted(word['form'])} apart before the model sees it, so no "
                         "merge can join it; add its parts as separate words")
        elif word["outcome"] == "space_entry" and any(c.isspace() for c in word["unknown_characters"]):
            lines.append(f"{given} holds a space that this file never stores as a character of its own "
                         f"(the runtime rewrites it before the model sees it){instead}")
        elif word["outcome"] == "space_entry":
            marks = ", ".join(quoted(c) for c in word["unknown_characters"])
            lines.append(f"{given} needs an entry for the space mark {marks} alone, which is made only when "
                         f"asked for: add it first with --stored {marks}")
        else:
            characters = ", ".join(show(c) for c in word["unknown_characters"])
            lines.append(f"{given} holds characters that no entry or byte token spells ({characters}){instead}")
    return lines


def describe_addition(editor: vocarix.Vocarix, report: usage.AdditionReport, limit: int) -> list[str]:
    """Summary lines of an addition: how words were read, which the runtime
    produces whole, what the pre-tokenizer splits, what could not go in."""
    words = [w for w in report["words"] if w["outcome"] not in NOT_ADDED]
    added = sum(1 for w in words if w["outcome"] in ("added", "not_produced"))
    present = sum(1 for w in words if w["outcome"] in ("already_whole", "already_exists"))
    given = len(dict.fromkeys(w["requested"] for w in report["words"]))
    forms = len(report["words"])
    lines = [f"requested {plural(given, 'word')}" + (f" ({forms} forms)" if forms != given else "")
             + f": {added} added, {present} already there, {len(report['words']) - len(words)} not added; "
             f"{entries(report['entries_created'])} and {plural(report['merges_appended'], 'merge')} appended "
             f"({report['method']} method)"]
    lines += reading_lines(report["words"], limit)
    lines.append(produced_line(words, report["text_pipeline_unsupported"]))
    failures = failure_lines(editor, report["words"])
    if failures:
        lines.append(f"not added: {listed(failures, limit, '; ')}")
    missed = []
    for w in words:
        if w["produced_whole"] or w["pre_tokenizer"] == "split" or not w["contexts"]:
            continue
        places = ", ".join(context_text(c, w["script"]) for c in w["contexts"] if c not in w["produced_in"])
        missed.append(f"{show(w['form'])} ({places})")
    if missed:
        lines.append(f"not produced whole: {listed(missed, limit)}")
    if report["pre_tokenizer_undecided"]:
        lines.append(f"note: this file's pre-tokenizer holds {report['pre_tokenizer_undecided']}; vocarix cannot "
                     "run it, so the count above assumes it leaves each word in one piece")
    return lines


def nothing_added(report: usage.AdditionReport) -> bool:
    """Every word failed: the command is an error rather than a partial addition."""
    return all(w["outcome"] in NOT_ADDED for w in report["words"])


def entries(count: int) -> str:
    return f"{count} new {'entry' if count == 1 else 'entries'}"


def describe_keep_size(editor: vocarix.Vocarix, report: usage.KeepSizeReport, with_counts: bool,
                       limit: int) -> list[str]:
    """Summary lines of a fixed-size addition, the evictions listed up to `limit`."""
    lines = describe_addition(editor, report, limit)
    evicted = report["evicted"]
    if evicted:
        order = "least used first" if with_counts else "tokens least likely to be used first"
        lines.append(f"evicted {plural(len(evicted), 'token')} to make room ({order}); each new entry took an "
                     "evicted id:")
        lines += [f"  {e['id']:>10}  {show(e['token'])}" + (f" (used {e['count']:,} times)" if with_counts else "")
                  + f" -> {show(e['replaced_by'])}"
                  + (f", taking along {', '.join(show(t) for t in e['taken_along'][:3])}" if e["taken_along"] else "")
                  for e in evicted[:limit]]
        if len(evicted) > limit:
            lines.append(f"  ... ({len(evicted) - limit} more: --limit N, --all or --json)")
    if report["without_room"]:
        lines.append(f"warning: nothing was left to evict for {entries(len(report['without_room']))}; "
                     f"they took new ids: {listed([show(t) for t, _ in report['without_room']], limit)}")
    if report["ids_left_free"]:
        lines.append(f"note: {plural(len(report['ids_left_free']), 'id')} freed by evictions stayed unused")
    return lines
