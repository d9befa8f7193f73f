"""vocarix_tools: the user's side of vocarix.

The module ``vocarix`` edits one exact form of ``tokenizer.json``. This
package opens the forms older runtimes and trainers wrote as well, runs the
command-line tool, and holds the workflows that a whole editing job needs.
Editors it returns are ordinary ``vocarix.Vocarix`` objects; their ``save``
and ``to_json`` write the document back in the form it was read in.

    import vocarix_tools

    editor = vocarix_tools.open("tokenizer.json")
    print(vocarix_tools.leniency_notice(editor) or "current form")
    editor.add_token("Ġtokenizer")
    editor.save("edited.json")
"""

from __future__ import annotations

import vocarix

from vocarix_tools.display import TokenDisplay
from vocarix_tools.inspection import diff, explain_tokens, token_style, vocabulary_report
from vocarix_tools.loading import DocumentForm, document_form, leniency_notice, open, open_text, set_merge_form
from vocarix_tools.segmentation import Segmentation, segment

__version__: str = vocarix.__version__

__all__ = [
    "DocumentForm",
    "Segmentation",
    "TokenDisplay",
    "__version__",
    "diff",
    "document_form",
    "explain_tokens",
    "leniency_notice",
    "open",
    "open_text",
    "segment",
    "set_merge_form",
    "token_style",
    "vocabulary_report",
]
