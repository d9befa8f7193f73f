"""vocarix_tools: the user's side of vocarix.

The module ``vocarix`` edits one exact form of ``tokenizer.json``. This
package opens the forms older runtimes and trainers wrote as well, runs the
command-line tool, and holds the workflows that a whole editing job needs.
Editors it returns are ordinary ``vocarix.Vocarix`` objects; their ``save``
and ``to_json`` write the document back in the form it was read in.
``open_model`` opens a whole model folder, whose configs and weights
follow every id an edit of its tokenizer moves.

    import vocarix_tools

    editor = vocarix_tools.open("tokenizer.json")
    print(vocarix_tools.leniency_notice(editor) or "current form")
    editor.add_token("Ġtokenizer")
    editor.save("edited.json")
"""

from __future__ import annotations

import vocarix

from vocarix_tools.consistency import (
    CheckReport, EditOutcome, EditSession, Repairs, check, describe_check, describe_repairs, fix,
)
from vocarix_tools.display import TokenDisplay
from vocarix_tools.id_maps import IdMap, read_id_map, remap_rows, write_id_map
from vocarix_tools.inspection import diff, explain_tokens, token_style, vocabulary_report
from vocarix_tools.loading import DocumentForm, document_form, leniency_notice, open, open_text, set_merge_form
from vocarix_tools.model_folder import FolderProblem, ModelFolder, SpecialTokenRemoved, open_model
from vocarix_tools.segmentation import Segmentation, segment

__version__: str = vocarix.__version__

__all__ = [
    "CheckReport",
    "DocumentForm",
    "EditOutcome",
    "EditSession",
    "FolderProblem",
    "IdMap",
    "ModelFolder",
    "Repairs",
    "Segmentation",
    "SpecialTokenRemoved",
    "TokenDisplay",
    "__version__",
    "check",
    "describe_check",
    "describe_repairs",
    "diff",
    "document_form",
    "explain_tokens",
    "fix",
    "leniency_notice",
    "open",
    "open_model",
    "open_text",
    "read_id_map",
    "remap_rows",
    "segment",
    "set_merge_form",
    "token_style",
    "vocabulary_report",
    "write_id_map",
]
