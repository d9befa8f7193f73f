"""Writing files all or nothing, one edit of a folder at a time.

Every file the tools write goes through the core's one mechanism (see
``file_sets/file_set_write.hpp``): new content is written beside the file it
replaces and renamed over it once whole, so a path holds its old content or
the complete new one, and a link there is replaced rather than written
through. A folder edited in place is locked for the edit (``lock_for_edit``)
and an interrupted write in it is completed or undone by ``settle``.
"""

from __future__ import annotations

import os
import sys
from typing import Union

from vocarix_tools import _native

PathLike = Union[str, "os.PathLike[str]"]


def write_text(path: PathLike, text: Union[str, bytes]) -> None:
    """Writes `text` (as UTF-8; bytes of UTF-8 text as they are) to `path`,
    replacing the file only once it is complete."""
    _native.write_text_file(os.fspath(path), text)


def settle(path: PathLike) -> str:
    """Completes or undoes what an interrupted write left in the folder `path`
    (or in the directory holding the file `path`); one line saying what was
    done, or "" when there was nothing to do."""
    return _native.settle(os.fspath(path))


def tell_waiting(directory: str, holder: str) -> None:
    print(f"vocarix: waiting for {holder} to finish its edit of {directory}", file=sys.stderr, flush=True)


def lock_for_edit(path: PathLike) -> _native.EditLock:
    """Takes the edit lock of the folder `path` (or of the directory holding
    the file `path`), waiting, with a line on standard error, while another
    process holds it. The kernel drops the lock when the process ends."""
    return _native.lock_for_edit(os.fspath(path), tell_waiting)
