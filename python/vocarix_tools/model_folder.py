"""Model folders: editing a tokenizer together with the model it belongs to.

A model folder is a directory holding ``tokenizer.json``, usually beside
``tokenizer_config.json``, ``special_tokens_map.json``, ``config.json``,
``generation_config.json`` and safetensors weights. ``open_model`` opens
one; edit its ``editor`` (an ordinary ``vocarix.Vocarix``) as usual, then
``save`` writes the folder with every id following its token: the
added-token decoder, the special-token ids of the configs, ``vocab_size``,
the rows of every vocabulary-sized tensor (surviving rows copied bit for
bit, a new token's row the mean of the rows of the pieces it was made of),
and the files other readers build the tokenizer from: ``vocab.json``,
``merges.txt``, ``added_tokens.json`` and ``tokenizer.model`` (removed, with
the reason, where no SentencePiece model can encode as the edited tokenizer
does). Tokens the configs and chat templates name are spared.

    import vocarix_tools

    model = vocarix_tools.open_model("my-model")
    model.editor.shrink(1000)
    report = model.save("my-model-small")        # a complete new folder
    print(report["rows"], report["files_changed"])

``check`` lists every disagreement between the folder's files and the
tokenizer; ``save(..., repair=True)`` also sets right what can be set right
soundly. How a folder is written is described in ``folder_write.hpp`` and in
the README: all or nothing, each new file written beside the old one, then
one record of the swaps, then the swaps; an interrupted write is completed
or undone when the folder is next opened (``ModelFolder.settled`` says so).
"""

from __future__ import annotations

import os
from typing import Optional, TypedDict

import vocarix

from vocarix_tools import _native
from vocarix_tools.consistency import EditOutcome, EditSession
from vocarix_tools.file_writing import lock_for_edit, settle
from vocarix_tools.id_maps import IdMap
from vocarix_tools.loading import open as open_tokenizer


class FolderProblem(TypedDict):
    file: str
    field: str  # "" when the problem is the whole file's
    message: str
    repairable: bool  # save(..., repair=True) sets it right
    warning: bool  # worth knowing, but the folder loads and runs as it states


class NamedToken(TypedDict):
    token: str
    file: str
    field: str


class RemovedFile(TypedDict):
    file: str
    reason: str  # one line: why the file cannot follow the edit


class FieldChange(TypedDict):
    file: str
    field: str
    before: str  # JSON text
    after: str  # JSON text; "" for a value dropped


class RemovedSpecialToken(TypedDict):
    file: str
    field: str
    token: str


class EmbeddingRows(TypedDict):
    tokens_before: int  # rows the tokenizer needed (largest id + 1)
    rows_before: int  # rows the model had
    tokens_after: int
    rows_after: int
    multiple: int  # rows_after is padded to a multiple of this


class FolderEdit(TypedDict):
    """What writing the folder changes (``ModelFolder.plan``)."""

    rows: EmbeddingRows
    tensors_resized: list[str]  # "file: tensor"
    files_changed: list[str]  # in the order they are written
    changes: list[FieldChange]
    special_tokens_removed: list[RemovedSpecialToken]
    files_removed: list[RemovedFile]  # files of other readers that cannot say what tokenizer.json says
    notes: list[str]


class FolderWrite(FolderEdit):
    """What ``ModelFolder.save`` did."""

    written_to: str
    rewritten: list[str]
    copied: list[str]  # unchanged files copied to a new folder ("name/" for a directory)


class SpecialTokenRemoved(ValueError):
    """The edit removed a token that a config names as a special token."""


TOKENIZER_FILE = "tokenizer.json"


def is_model_folder(path: str | os.PathLike[str]) -> bool:
    """True for a directory: a model folder is where ``open_model`` looks for ``tokenizer.json``."""
    return os.path.isdir(path)


def describe_removed(removed: list[RemovedSpecialToken], limit: int = 3) -> str:
    """One line naming the special tokens an edit removed and where the configs name them."""
    places: dict[str, list[str]] = {}
    for entry in removed:
        places.setdefault(entry["token"], []).append(f"{entry['file']} {entry['field']}")
    parts = []
    for token, where in list(places.items())[:limit]:
        shown = ", ".join(where[:limit]) + (f" and {len(where) - limit} more" if len(where) > limit else "")
        parts.append(f"{token!r} ({shown})")
    more = f" and {len(places) - limit} more" if len(places) > limit else ""
    noun = "special token" if len(places) == 1 else "special tokens"
    return f"the edit removes the {noun} " + ", ".join(parts) + more


class ModelFolder:
    """A model folder opened for editing.

    ``editor`` holds its tokenizer; ``session`` (a ``vocarix_tools.EditSession``)
    records the ids the runtime gave every token when the folder was opened
    (or last saved in place), which is what every id of the folder is carried
    from. ``keep_model`` keeps a copy of the starting tokenizer, so that new
    tokens know the pieces their rows start from; by default it is kept when
    the folder has weights.
    """

    def __init__(self, path: str | os.PathLike[str], *, keep_model: Optional[bool] = None) -> None:
        self.path = os.fspath(path)
        tokenizer = os.path.join(self.path, TOKENIZER_FILE)
        if not os.path.isdir(self.path):
            raise ValueError(f"{self.path} is not a directory: a model folder is one holding tokenizer.json")
        #: What an interrupted write had left in the folder and opening it
        #: completed or undid (one line), or "".
        self.settled = settle(self.path)
        if not os.path.isfile(tokenizer):
            raise ValueError(f"{self.path} holds no tokenizer.json: it is not a model folder")
        self.editor: vocarix.Vocarix = open_tokenizer(tokenizer)
        self._files = _native.read_model_folder(self.path, self.editor)
        self._keep_model = keep_model
        self.session = self._begin()

    def _begin(self) -> EditSession:
        keep = bool(self.contents["weights"]) if self._keep_model is None else self._keep_model
        return EditSession(self.editor, keep_model=keep)

    @property
    def contents(self) -> _native.FolderContents:
        """The folder's files by kind: ``files``, ``subdirectories``, ``configs``,
        ``weights`` (safetensors), ``foreign_weights`` (formats that cannot be rewritten),
        ``reader_files`` (the slow tokenizer's files and tokenizer.model that follow every edit)."""
        return self._files.contents

    def begin_edit(self, *, keep_model: bool = True) -> EditSession:
        """Starts the session anew from the tokenizer as it is now (before any edit)."""
        self._keep_model = keep_model
        self.session = self._begin()
        return self.session

    def check(self) -> list[FolderProblem]:
        """Every disagreement between the folder's other files and the tokenizer in ``editor``."""
        problems: list[FolderProblem] = _native.check_model_folder(self._files, self.editor)
        return problems

    def named_tokens(self) -> list[NamedToken]:
        """The tokens the folder's configs name as special tokens and its chat
        templates name, each once: the workflows that choose what to remove
        spare them, and removing one needs ``force``."""
        named: list[NamedToken] = _native.folder_named_tokens(self._files, self.editor)
        return named

    def finish(self, *, literal: bool = False) -> EditOutcome:
        """Repairs what the edit left for the tokenizer runtime (see
        ``EditSession.finish``); ``save`` does it too, so call it only to see
        the repairs, or before ``plan`` and ``id_map`` to have them count."""
        return self.session.finish(literal=literal)

    def plan(self, *, pad_to_multiple_of: Optional[int] = None, repair: bool = False) -> FolderEdit:
        """What ``save`` would change for the tokenizer as it is now, without writing anything."""
        edit: FolderEdit = self._plan(pad_to_multiple_of, repair).summary
        return edit

    def _plan(self, pad_to_multiple_of: Optional[int], repair: bool) -> _native.FolderEditPlan:
        return _native.plan_folder_edit(self._files, self.session.start, self.editor, pad_to_multiple_of, repair)

    def check_output(self, out_dir: str | os.PathLike[str]) -> None:
        """ValueError when ``out_dir`` cannot take a new folder (the input itself, or not empty)."""
        _native.check_output_folder(self._files, os.fspath(out_dir))

    def save(self, out_dir: Optional[str | os.PathLike[str]] = None, *, pad_to_multiple_of: Optional[int] = None,
             force: bool = False, literal: bool = False, repair: bool = False, finish: bool = True) -> FolderWrite:
        """Writes the edited folder to ``out_dir`` (absent or empty), or in place when it is None.

        Unless ``literal``, the tokenizer is first made loadable as the
        runtime reads it (``EditSession.finish``). An edit that removed a
        token a config names as a special token, or a chat template names,
        raises ``SpecialTokenRemoved`` before anything is written, unless
        ``force``. ``files_removed`` in the report lists the files of other
        readers that could not follow the edit, each with the reason. ``pad_to_multiple_of``
        sets the multiple the embedding rows are padded to (by default the
        one the model used). ``repair`` also sets right what already
        disagreed with the tokenizer (what ``check`` marks repairable).
        ``finish=False`` skips the runtime repairs, for a caller that has
        just made them with ``finish``.
        """
        if finish:
            self.finish(literal=literal)
        plan = self._plan(pad_to_multiple_of, repair)
        removed = plan.summary["special_tokens_removed"]
        if removed and not force:
            raise SpecialTokenRemoved(describe_removed(removed) + "; nothing written (force=True writes it anyway)")
        target = None if out_dir is None else os.fspath(out_dir)
        if target is None:
            # One edit at a time: the write waits for another process's edit of the folder.
            lock = lock_for_edit(self.path)
            try:
                report: FolderWrite = _native.write_model_folder(plan, self.editor, target)
            finally:
                lock.release()
        else:
            settle(os.path.dirname(os.path.abspath(target)))
            report = _native.write_model_folder(plan, self.editor, target)
        if target is None:
            # The folder on disk is the new start: later edits are carried from it.
            self._files = _native.read_model_folder(self.path, self.editor)
            self.session = self._begin()
        return report

    def id_map(self) -> IdMap:
        """Where every id of the tokenizer went since the session began (see ``vocarix_tools.id_maps``)."""
        return self.session.id_map()


def open_model(path: str | os.PathLike[str], *, keep_model: Optional[bool] = None) -> ModelFolder:
    """Opens the model folder at ``path`` for editing.

    Raises ``ValueError`` for a directory without ``tokenizer.json``, a
    config file that is no JSON object, or a safetensors file whose header
    lies; ``OSError`` for a file that cannot be read.
    """
    return ModelFolder(path, keep_model=keep_model)
