"""Writing a text file so that the path holds either its old content or the
complete new one: a temporary file in the same folder, renamed over it."""

from __future__ import annotations

import os
import tempfile
from typing import Union


def write_text_replacing(path: Union[str, "os.PathLike[str]"], text: str, prefix: str = ".vocarix-") -> None:
    """Writes `text` (UTF-8) to `path`, replacing the file only once it is complete."""
    directory = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=prefix, dir=directory)
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as out:
            out.write(text)
        os.chmod(temporary, 0o644)  # mkstemp makes it private
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
