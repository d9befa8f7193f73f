"""Lenient front door for real-world tokenizer.json files.

``vocarix`` reads one exact form of ``tokenizer.json``.  Many files in
circulation were written by older tokenizer runtimes and differ from it in a
few well-known ways.  This module reads such files, hands an equivalent
document to ``vocarix.Vocarix`` and, when the document is written back,
restores the conventions the file came with:

* merges written as ``"left right"`` strings are split on their single space
  (a merge string must hold exactly one space, as the runtime requires) and
  are written back as strings;
* an absent ``fuse_unk``, ``byte_fallback`` or ``ignore_merges`` is read as
  false, the runtime's default, and stays absent on output;
* an absent ``model.type`` is read as "BPE" when the model has ``vocab`` and
  ``merges``, and stays absent on output;
* a null or absent ``unk_token`` is replaced by a placeholder string that is
  no token, added token or merge part of the file, and is written back as
  null (or left out);
* an empty object given as ``merges`` is read as an empty merge list and
  written back as ``[]``, the only form the runtime loads.

Files that need none of this go straight to the native reader and are
written by the native writers unchanged.

    editor = vocarix_compat.open_tokenizer("tokenizer.json")
    if editor.notice:
        print(editor.notice)
    editor.add_tokens(["hello", "world"])   # any vocarix.Vocarix method
    editor.save("edited.json")

Output text uses the native writers' layout (two-space indentation, vocabulary
by id in saved files), so a file that needed no normalisation comes out byte
for byte as ``vocarix`` writes it.
"""

from __future__ import annotations

import json
import os
import stat
import tempfile
from dataclasses import dataclass
from typing import Any, Optional

import vocarix

orjson: Any
try:
    import orjson
except ImportError:  # the standard library is slower but writes the same text
    orjson = None

__all__ = ["Conventions", "LenientEditor", "from_json", "normalise_document", "open_tokenizer"]

DEFAULT_FLAGS = ("fuse_unk", "byte_fallback", "ignore_merges")
UNK_PLACEHOLDER = "\ue000vocarix-compat:no-unk-token\ue000"


def _loads(text: str | bytes) -> Any:
    if orjson is not None:
        return orjson.loads(text)
    return json.loads(text)


def _dumps(doc: Any) -> str:
    if orjson is not None:
        text: str = orjson.dumps(doc, option=orjson.OPT_INDENT_2).decode("utf-8")
        return text
    return json.dumps(doc, ensure_ascii=False, indent=2)


@dataclass(frozen=True)
class Conventions:
    """What a file needed normalising, and so what its output must restore."""

    string_merges: bool = False
    empty_object_merges: bool = False
    unk_token: str = "present"  # "present", "null" or "absent"
    unk_placeholder: Optional[str] = None
    absent_flags: tuple[str, ...] = ()
    type_absent: bool = False

    @property
    def normalised(self) -> bool:
        return self != Conventions()

    def describe(self) -> list[str]:
        parts = []
        if self.string_merges:
            parts.append('merges written as "a b" strings')
        if self.empty_object_merges:
            parts.append("merges given as {} (saved as [])")
        if self.unk_token != "present":
            parts.append(f"unk_token {self.unk_token}")
        if self.absent_flags:
            parts.append(", ".join(self.absent_flags) + " absent (read as false)")
        if self.type_absent:
            parts.append('model type absent (read as "BPE")')
        return parts


class LenientEditor:
    """A ``vocarix.Vocarix`` editor together with its file's conventions.

    Every method and attribute of the editor is available on this object;
    ``to_json``, ``save`` and ``sync_single_chars`` are replaced by versions
    that read and write the lenient forms.  ``editor`` is the strict editor
    itself, whose own output uses the strict form.
    """

    def __init__(self, editor: vocarix.Vocarix, conventions: Conventions, name: str = "tokenizer"):
        self.editor = editor
        self.conventions = conventions
        self.name = name

    def __getattr__(self, attr: str) -> Any:
        if attr == "editor":  # not set yet: avoid recursing into ourselves
            raise AttributeError(attr)
        return getattr(self.editor, attr)

    def __repr__(self) -> str:
        return f"LenientEditor({self.editor!r}, normalised={self.conventions.normalised})"

    @property
    def notice(self) -> str:
        """One line saying what needed normalising, or "" when nothing did."""
        parts = self.conventions.describe()
        if not parts:
            return ""
        return f"{self.name}: read leniently ({'; '.join(parts)}); saved output keeps the file's form"

    def to_json(self, merges_form: Optional[str] = None) -> str:
        """The document as JSON text, in the key order of ``Vocarix.to_json``."""
        text = self.editor.to_json()
        if not self._needs_restore(merges_form):
            return text
        doc = _loads(text)
        self._restore(doc, merges_form)
        return _dumps(doc)

    def save(self, path: str | os.PathLike[str], merges_form: Optional[str] = None) -> None:
        """Write the document to ``path`` in the layout of ``Vocarix.save``.

        ``merges_form`` is "string" or "array"; by default merges are written
        in the form the file was read in.  The whole text is built before
        the file is opened, so a failure never truncates an existing file.
        """
        path = os.fspath(path)
        if not self._needs_restore(merges_form):
            self.editor.save(path)
            return
        doc = _loads(self.editor.to_json())
        # The native file writer sorts every object's keys and lists the
        # vocabulary by id (ties in token order); do the same here.
        model = doc["model"]
        model["vocab"] = dict(sorted(model["vocab"].items(), key=lambda item: item[1]))
        doc["model"] = {key: model[key] for key in sorted(model)}
        doc = {key: doc[key] for key in sorted(doc)}
        self._restore(doc, merges_form)
        _write_file(path, _dumps(doc).encode("utf-8"))

    def sync_single_chars(self, source_path: str | os.PathLike[str], min_id: int = 0) -> Any:
        """``Vocarix.sync_single_chars`` with the source read leniently."""
        source_path = os.fspath(source_path)
        text, conventions = _read_normalised(source_path)
        if not conventions.normalised:
            return self.editor.sync_single_chars(source_path, min_id)
        with tempfile.TemporaryDirectory(prefix="vocarix-compat-") as tmp:
            normalised_path = os.path.join(tmp, "source.json")
            with open(normalised_path, "w", encoding="utf-8", newline="") as out:
                out.write(text)
            return self.editor.sync_single_chars(normalised_path, min_id)

    def _needs_restore(self, merges_form: Optional[str]) -> bool:
        if merges_form not in (None, "string", "array"):
            raise ValueError(f'merges_form must be "string", "array" or None, not {merges_form!r}')
        c = self.conventions
        wants_strings = c.string_merges if merges_form is None else merges_form == "string"
        return wants_strings or c.unk_token != "present" or bool(c.absent_flags) or c.type_absent

    def _restore(self, doc: dict[str, Any], merges_form: Optional[str]) -> None:
        c = self.conventions
        model = doc["model"]
        if c.unk_token == "null":
            model["unk_token"] = None
        elif c.unk_token == "absent":
            del model["unk_token"]
        for key in c.absent_flags:
            del model[key]  # the editor never changes these flags: they are still false
        if c.type_absent:
            del model["type"]
        wants_strings = c.string_merges if merges_form is None else merges_form == "string"
        if wants_strings:
            model["merges"] = _merges_as_strings(model["merges"])


def _write_file(path: str, data: bytes) -> None:
    """Replace an existing regular file through a renamed temporary file.

    The old file stays whole until the new text is complete; a link is
    followed and kept, and the file keeps its permission bits.  New files,
    and files that are not plain single-name regular files, are written in
    place.
    """
    target = os.path.realpath(path)
    try:
        info = os.stat(target)
    except FileNotFoundError:
        info = None
    if info is None or not stat.S_ISREG(info.st_mode) or info.st_nlink != 1:
        with open(path, "wb") as out:
            out.write(data)
        return
    fd, temp = tempfile.mkstemp(dir=os.path.dirname(target), prefix=f".{os.path.basename(target)}.tmp-")
    try:
        with os.fdopen(fd, "wb") as out:
            os.fchmod(out.fileno(), stat.S_IMODE(info.st_mode))
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
        os.replace(temp, target)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise


def _merges_as_strings(merges: list[list[str]]) -> list[str]:
    out = []
    for position, (left, right) in enumerate(merges):
        if " " in left or " " in right:
            raise ValueError(
                f"merge {position} ({left!r}, {right!r}) has a part containing a space and cannot "
                'be written as an "a b" string; save with merges_form="array"'
            )
        out.append(f"{left} {right}")
    return out


def _split_string_merges(merges: list[Any], where: str) -> list[list[str]]:
    out = []
    for position, merge in enumerate(merges):
        if not isinstance(merge, str):
            raise ValueError(f"{where}: merge {position} is {merge!r}; string and array merges cannot be mixed")
        left, _, right = merge.partition(" ")
        if merge.count(" ") != 1:
            raise ValueError(
                f"{where}: merge {position} {merge!r} must contain exactly one space "
                f"(it has {merge.count(' ')}), so it cannot be split unambiguously"
            )
        out.append([left, right])
    return out


def _pick_placeholder(model: dict[str, Any], added_tokens: Any) -> str:
    """A string that no vocabulary entry, merge part or added token holds."""
    taken = set(model.get("vocab") or ())
    merges = model.get("merges")
    if isinstance(merges, list):
        for merge in merges:
            taken.update(merge if isinstance(merge, list) else [merge])
    if isinstance(added_tokens, list):
        taken.update(entry.get("content") for entry in added_tokens if isinstance(entry, dict))
    candidate, n = UNK_PLACEHOLDER, 0
    while candidate in taken:
        n += 1
        candidate = f"{UNK_PLACEHOLDER}{n}"
    return candidate


def normalise_document(doc: Any, where: str = "tokenizer") -> Conventions:
    """Rewrite a parsed document in place into the strict form.

    Only the forms listed in the module docstring are changed; anything else
    is left for the strict reader to accept or refuse.
    """
    model = doc.get("model") if isinstance(doc, dict) else None
    if not isinstance(model, dict):
        return Conventions()
    found: dict[str, Any] = {}

    merges = model.get("merges")
    if isinstance(merges, list) and merges and isinstance(merges[0], str):
        model["merges"] = _split_string_merges(merges, where)
        found["string_merges"] = True
    elif isinstance(merges, dict):
        if merges:
            raise ValueError(f"{where}: merges is a non-empty object; only a list of merges can be read")
        model["merges"] = []
        found["empty_object_merges"] = True

    if "type" not in model and "vocab" in model and "merges" in model:
        model["type"] = "BPE"
        found["type_absent"] = True

    absent = tuple(key for key in DEFAULT_FLAGS if key not in model)
    for key in absent:
        model[key] = False
    if absent:
        found["absent_flags"] = absent

    if model.get("unk_token") is None:
        found["unk_token"] = "absent" if "unk_token" not in model else "null"
        found["unk_placeholder"] = model["unk_token"] = _pick_placeholder(model, doc.get("added_tokens"))

    return Conventions(**found)


def _read_normalised(path: str) -> tuple[str, Conventions]:
    """The file's text, normalised when needed, and what was normalised."""
    with open(path, "rb") as f:
        raw = f.read()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as err:
        raise ValueError(f"{path}: not valid UTF-8 ({err})") from None
    try:
        doc = _loads(text)
    except ValueError:
        return text, Conventions()  # not JSON: the strict reader describes the problem
    conventions = normalise_document(doc, where=path)
    if not conventions.normalised:
        return text, conventions
    return _dumps(doc), conventions


def _editor_from_text(text: str, where: str) -> vocarix.Vocarix:
    try:
        return vocarix.Vocarix.from_json(text)
    except ValueError as err:
        raise ValueError(f"{where}: {err}") from None


def open_tokenizer(path: str | os.PathLike[str]) -> LenientEditor:
    """Open a tokenizer.json file, normalising it if the strict reader refuses it.

    Raises ``OSError`` when the file cannot be read and ``ValueError`` when its
    content cannot be edited even after normalisation.
    """
    path = os.fspath(path)
    try:
        return LenientEditor(vocarix.Vocarix(path), Conventions(), name=path)
    except OSError:
        pass  # refused or unreadable: the lenient reader says which
    text, conventions = _read_normalised(path)
    return LenientEditor(_editor_from_text(text, path), conventions, name=path)


def from_json(text: str, name: str = "tokenizer") -> LenientEditor:
    """Like ``open_tokenizer``, for a document given as JSON text."""
    try:
        doc = _loads(text)
    except ValueError:
        doc = None
    conventions = normalise_document(doc, where=name) if doc is not None else Conventions()
    if conventions.normalised:
        text = _dumps(doc)
    return LenientEditor(_editor_from_text(text, name), conventions, name=name)
