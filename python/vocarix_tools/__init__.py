"""vocarix_tools: the user's side of vocarix.

The module ``vocarix`` edits one exact form of ``tokenizer.json``. This
package opens the forms older runtimes and trainers wrote as well, runs the
command-line tool, and holds the workflows that a whole editing job needs.
Editors it returns are ordinary ``vocarix.Vocarix`` objects; their ``save``
and ``to_json`` write the document back in the form it was read in.
``open_model`` opens a whole model folder, whose configs and weights
follow every id an edit of its tokenizer moves; ``open_gguf`` a GGUF model
file, whose tokenizer keys and embedding rows do.

    import vocarix_tools

    editor = vocarix_tools.open("tokenizer.json")
    print(vocarix_tools.leniency_notice(editor) or "current form")
    editor.add_token("Ġtokenizer")
    editor.save("edited.json")
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from vocarix_tools._version import __version__

if TYPE_CHECKING:
    from vocarix_tools.consistency import (
        CheckReport, EditOutcome, EditSession, Repairs, check, describe_check, describe_repairs, fix,
    )
    from vocarix_tools.display import TokenDisplay
    from vocarix_tools.gguf_model import GgufModel, open_gguf, sync_gguf
    from vocarix_tools.id_maps import IdMap, read_id_map, remap_rows, write_id_map
    from vocarix_tools.inspection import diff, explain_tokens, token_style, vocabulary_report
    from vocarix_tools.loading import DocumentForm, document_form, leniency_notice, open, open_text, set_merge_form
    from vocarix_tools.model_folder import FolderProblem, ModelFolder, SpecialTokenRemoved, open_model
    from vocarix_tools.segmentation import Segmentation, segment

# Each name of the package face, and the module that defines it. A module is
# imported when one of its names is first asked for, so that starting the
# command-line tool (which imports this package) costs only what it uses.
_HOMES = {
    "consistency": ["CheckReport", "EditOutcome", "EditSession", "Repairs", "check", "describe_check",
                    "describe_repairs", "fix"],
    "display": ["TokenDisplay"],
    "gguf_model": ["GgufModel", "open_gguf", "sync_gguf"],
    "id_maps": ["IdMap", "read_id_map", "remap_rows", "write_id_map"],
    "inspection": ["diff", "explain_tokens", "token_style", "vocabulary_report"],
    "loading": ["DocumentForm", "document_form", "leniency_notice", "open", "open_text", "set_merge_form"],
    "model_folder": ["FolderProblem", "ModelFolder", "SpecialTokenRemoved", "open_model"],
    "segmentation": ["Segmentation", "segment"],
}
_HOME_OF = {name: module for module, names in _HOMES.items() for name in names}


def __getattr__(name: str) -> object:
    from importlib import import_module, util

    module = _HOME_OF.get(name)
    if module is not None:
        value = getattr(import_module(f"vocarix_tools.{module}"), name)
    elif not name.startswith("__") and util.find_spec(f"vocarix_tools.{name}") is not None:
        value = import_module(f"vocarix_tools.{name}")  # a submodule, as an eager package would have it
    else:
        raise AttributeError(f"module 'vocarix_tools' has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))


__all__ = [
    "CheckReport",
    "DocumentForm",
    "EditOutcome",
    "EditSession",
    "FolderProblem",
    "GgufModel",
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
    "open_gguf",
    "open_model",
    "open_text",
    "read_id_map",
    "remap_rows",
    "segment",
    "set_merge_form",
    "sync_gguf",
    "token_style",
    "vocabulary_report",
    "write_id_map",
]
