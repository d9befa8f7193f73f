"""GGUF model files: editing the tokenizer a `.gguf` carries, with the model's rows.

``open_gguf`` opens one (or the first shard of a split model,
``NAME-00001-of-0000N.gguf``, with the others); edit its ``editor`` (an
ordinary ``vocarix.Vocarix`` holding the file's tokenizer) as usual, then
``save`` writes the file with the tokenizer keys, the architecture's
``vocab_size`` and the rows of ``token_embd.weight`` and ``output.weight``
following the edit. Every other key and tensor is kept byte for byte.

    import vocarix_tools

    model = vocarix_tools.open_gguf("model.Q4_K_M.gguf")
    model.editor.shrink(1000)
    model.editor.reindex_vocab()
    report = model.save("model-small.Q4_K_M.gguf")
    print(report["rows"], report["written"])

Every file of the model is written as one set, all or nothing, as folders
are (an interrupted write is completed or undone by the next command that
writes there). ``sync_gguf`` writes a model folder's (or a tokenizer file's) tokenizer into
a GGUF converted before the edit, with the rows following the folder's id
map when one is given.
"""

from __future__ import annotations

import os
from typing import Any, Callable, Mapping, Optional, TypedDict

import vocarix

from vocarix_tools import _native
from vocarix_tools.consistency import EditOutcome, EditSession
from vocarix_tools.file_writing import lock_for_edit, settle
from vocarix_tools.id_maps import IdMap
from vocarix_tools.model_folder import SpecialTokenRemoved

GGUF_MAGIC = b"GGUF"


class KeyChange(TypedDict):
    key: str
    before: str
    after: str  # "" for a key dropped


class GgufRows(TypedDict):
    tokens_before: int
    rows_before: int
    tokens_after: int
    rows_after: int
    multiple: int


class GgufEdit(TypedDict):
    """What writing the model changes (``GgufModel.plan``)."""

    rows: GgufRows
    tensors_resized: list[str]
    changes: list[KeyChange]
    special_tokens_removed: list[str]  # "key ('token')"
    placeholders: int  # ids no token holds, filled with unused placeholder tokens
    # Without an id map (sync_gguf): tokens whose id held another token in the
    # file, so that the row they keep is that token's.
    rows_of_other_tokens: int


class GgufWrite(GgufEdit):
    written: list[str]


def is_gguf(path: str | os.PathLike[str]) -> bool:
    """True for a regular file named *.gguf or starting with the GGUF magic."""
    path = os.fspath(path)
    if not os.path.isfile(path):
        return False
    if path.lower().endswith(".gguf"):
        return True
    try:
        with open(path, "rb") as handle:
            return handle.read(4) == GGUF_MAGIC
    except OSError:
        return False


class GgufModel:
    """A GGUF model file opened for editing.

    ``editor`` holds its tokenizer; ``session`` records the ids every token
    had when the file was opened, which the rows are carried from.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self._files, self.editor, self.contents = _native.open_gguf(self.path)
        self.session = EditSession(self.editor, keep_model=True)

    def begin_edit(self) -> EditSession:
        """Starts the session anew from the tokenizer as it is now."""
        self.session = EditSession(self.editor, keep_model=True)
        return self.session

    def finish(self, *, literal: bool = False) -> EditOutcome:
        """Repairs what the edit left for the tokenizer runtime (see ``EditSession.finish``)."""
        return self.session.finish(literal=literal)

    def output_paths(self, target: str | os.PathLike[str]) -> list[str]:
        """The files a model written to ``target`` takes (one per shard)."""
        paths: list[str] = self._files.output_paths(os.fspath(target))
        return paths

    def _plan(self, force: bool, id_map: Optional[IdMap] = None, from_session: bool = True) -> _native.GgufEditPlan:
        start = self.session.start if from_session and id_map is None else None
        mapping: Optional[Mapping[str, Any]] = None if id_map is None else dict(id_map)
        return _native.plan_gguf_edit(self._files, start, self.editor, id_map=mapping, force=force)

    def plan(self, *, force: bool = False) -> GgufEdit:
        """What ``save`` would change, writing nothing."""
        edit: GgufEdit = self._plan(True).summary
        return edit

    def save(self, out: Optional[str | os.PathLike[str]] = None, *, force: bool = False, literal: bool = False,
             finish: bool = True) -> GgufWrite:
        """Writes the edited model to ``out``, or in place when it is None.

        Unless ``literal``, the tokenizer is first made loadable as the
        runtime reads it. An edit that removed the token of a special id
        (``tokenizer.ggml.eos_token_id``, ...) raises SpecialTokenRemoved
        before anything is written, unless ``force`` (the key is dropped).
        """
        if finish:
            self.finish(literal=literal)
        return self._write(self._checked_plan(self._plan, force), out)

    def _checked_plan(self, planner: Callable[[bool], _native.GgufEditPlan], force: bool) -> _native.GgufEditPlan:
        try:
            return planner(force)
        except ValueError as error:
            if "--force" in str(error) and not force:
                raise SpecialTokenRemoved(str(error).replace("--force", "force=True")) from None
            raise

    def _write(self, plan: _native.GgufEditPlan, out: Optional[str | os.PathLike[str]]) -> GgufWrite:
        target = None if out is None else os.fspath(out)
        if target is None:
            # One edit at a time: the write waits for another process's edit of the model's directory.
            lock = lock_for_edit(self.path)
            try:
                written = _native.write_gguf_model(plan, target)
            finally:
                lock.release()
        else:
            settle(os.path.dirname(os.path.abspath(target)))
            written = _native.write_gguf_model(plan, target)
        report: GgufWrite = {**plan.summary, "written": written}  # type: ignore[typeddict-item]
        if target is None:
            self._files, _, self.contents = _native.open_gguf(self.path)
            self.begin_edit()
        return report

    def take_tokenizer(self, tokenizer: vocarix.Vocarix, out: Optional[str | os.PathLike[str]] = None, *,
                       id_map: Optional[IdMap] = None, force: bool = False, dry_run: bool = False) -> GgufWrite:
        """Writes `tokenizer` into the model in place of its own (``sync_gguf``)."""
        own = self.editor
        self.editor = tokenizer
        try:
            plan = self._checked_plan(lambda f: self._plan(f, id_map=id_map, from_session=False), force)
        finally:
            self.editor = own
        if dry_run:
            return {**plan.summary, "written": []}  # type: ignore[typeddict-item]
        report = self._write(plan, out)
        return report

    def id_map(self) -> IdMap:
        """Where every id of the tokenizer went since the session began."""
        return self.session.id_map()


def open_gguf(path: str | os.PathLike[str]) -> GgufModel:
    """Opens the GGUF model at ``path`` for editing.

    Raises ``ValueError`` (one line naming the file) for a file that is not
    GGUF, whose header lies, or that carries no BPE tokenizer; ``OSError``
    for a file that cannot be read.
    """
    return GgufModel(path)


def sync_gguf(tokenizer: vocarix.Vocarix, model_path: str | os.PathLike[str],
              out: Optional[str | os.PathLike[str]] = None, *, id_map: Optional[IdMap] = None,
              force: bool = False, dry_run: bool = False) -> GgufWrite:
    """Writes `tokenizer` (an edited folder's) into the GGUF at `model_path`.

    The pre-tokenizer name and every other key stay. With `id_map` (the
    folder edit's, old ids being the GGUF's) the rows follow it; without one
    the rows stay as they are, and ValueError says so when the tokenizer
    needs more rows than the model has.
    """
    return open_gguf(model_path).take_tokenizer(tokenizer, out, id_map=id_map, force=force, dry_run=dry_run)
