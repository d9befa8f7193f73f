"""Id maps: carrying an embedding matrix across a tokenizer edit.

An id map (``EditSession.id_map()``, or ``vocarix ... --id-map MAP.json``)
is a JSON object:

- ``rows_before``, ``rows_after``: the embedding rows the runtime needs
  before and after the edit (its largest id + 1);
- ``old_to_new``: every id the starting document used, as a decimal string,
  mapped to the token's new id, or null where the token is gone;
- ``added``: each new token mapped to ``{"id": new id, "from": [ids]}``,
  where ``from`` holds the ids, in the starting document, of the pieces its
  model split the token into.

``remap_rows`` turns a matrix with one row per old id into one with
``rows_after`` rows.
"""

from __future__ import annotations

import json
from typing import Any, Optional, TypedDict, TypeVar

from vocarix_tools.file_writing import write_text


# "from" is a keyword, so this TypedDict takes the functional form.
NewToken = TypedDict("NewToken", {"id": int, "from": list[int]})


class IdMap(TypedDict):
    rows_before: int
    rows_after: int
    old_to_new: dict[str, Optional[int]]
    added: dict[str, NewToken]


Rows = TypeVar("Rows")


def remap_rows(matrix: Rows, id_map: IdMap) -> Rows:
    """The rows of `matrix` (one per old id) rearranged for the new ids.

    Works with anything that supports integer-list indexing, row assignment,
    ``len`` and ``mean(0)``: numpy arrays and torch tensors alike, and it
    imports neither. Row ``new`` is a copy of row ``old`` wherever
    ``old_to_new`` maps ``old`` to ``new``; a new token's row starts as the
    mean of its ``from`` rows; rows no token uses (gaps), and new tokens with
    no piece inside the old matrix, start as the mean of all old rows. Old
    rows past ``rows_before`` (a matrix padded to a round size) are not
    carried; pad the result again if the model wants that.
    """
    old: Any = matrix
    old_rows = len(old)
    rows_after = id_map["rows_after"]
    if old_rows == 0 and rows_after > 0:
        raise ValueError("the matrix has no rows to start the new ones from")
    source = [-1] * rows_after
    for old_id, new_id in id_map["old_to_new"].items():
        position = int(old_id)
        if new_id is not None and 0 <= new_id < rows_after and position < old_rows:
            source[new_id] = position
    # One gather for every carried row; the others are overwritten below.
    result: Any = old[[position if position >= 0 else 0 for position in source]]
    filled = [False] * rows_after
    for token in id_map["added"].values():
        pieces = [piece for piece in token["from"] if 0 <= piece < old_rows]
        if pieces and 0 <= token["id"] < rows_after:
            result[token["id"]] = old[pieces].mean(0)
            filled[token["id"]] = True
    missing = [row for row in range(rows_after) if source[row] < 0 and not filled[row]]
    if missing:
        average = old.mean(0)
        for row in missing:
            result[row] = average
    new_matrix: Rows = result
    return new_matrix


def write_id_map(id_map: IdMap, path: str) -> None:
    """Writes the map as JSON; the file is replaced only once it is complete."""
    # dumps, not dump: only the one-shot encoder is the fast one.
    write_text(path, json.dumps(id_map, ensure_ascii=False))


def read_id_map(path: str) -> IdMap:
    with open(path, encoding="utf-8") as handle:
        id_map: IdMap = json.load(handle)
    return id_map
