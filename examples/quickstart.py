"""The whole job on the bundled example tokenizer, as a user runs it, and the
same edit on the bundled tiny model folder.

Usage: python examples/quickstart.py [TOKENIZER_JSON [MODEL_FOLDER]]

Opens the tokenizer (any form a runtime reads), adds domain words so that the
file's own BPE model produces them whole, adds more at a fixed size, checks
that a tokenizer runtime reads the result as the editor says, and writes the
tokenizer and its id map to a temporary folder. When the `tokenizers`
runtime is installed, it also encodes a sentence with the result. Then it
adds the same words to a model folder (`tiny-model`: a tokenizer, its
configs and random bfloat16 weights) and writes a new folder whose configs
and embedding rows follow the new ids.
"""
import os
import sys
import tempfile
from pathlib import Path

import vocarix_tools
from vocarix_tools import usage

here = Path(__file__).resolve().parent
source = sys.argv[1] if len(sys.argv) > 1 else str(here / "tokenizer.json")
model_source = sys.argv[2] if len(sys.argv) > 2 else str(here / "tiny-model")
editor = vocarix_tools.open(source)
print(f"opened {source}: {editor}")

session = vocarix_tools.EditSession(editor)  # the ids a runtime gives every token now
words = ["vocabulary", "embedding", "tokenizer"]  # typed as text: stored as the runtime meets them after a space
added = usage.add_words(editor, words)
stored = [word["token"] for word in added["words"]]
print(f"added {len(words)} words as {stored}: {added['produced_whole']} produced whole by the runtime, "
      f"{added['entries_created']} new entries")

# Without usage counts the tokens least likely to be used make room, the latest built first:
# the words just added would be among them, so they are whitelisted.
size = editor.vocab_size
fixed = usage.add_keep_size(editor, ["gradient", "checkpoint"], whitelist=stored)
print(f"added 2 more at a fixed size: {size} -> {editor.vocab_size} entries, "
      f"{len(fixed['evicted'])} tokens evicted for their ids")

outcome = session.finish()  # repairs what a runtime would refuse or read differently
print(f"check: {'clean' if outcome.problems['clean'] else vocarix_tools.describe_check(outcome.problems)}")
id_map = session.id_map()
print(f"embedding rows {id_map['rows_before']} -> {id_map['rows_after']}; "
      f"'Ġtokenizer' starts from the rows of {id_map['added']['Ġtokenizer']['from']}")

with tempfile.TemporaryDirectory() as directory:
    target = os.path.join(directory, "edited.json")
    editor.save(target)
    vocarix_tools.write_id_map(id_map, os.path.join(directory, "edited.id-map.json"))
    print(f"saved {vocarix_tools.open(target)} and its id map")
    try:
        import tokenizers
    except ImportError:
        print("(install the runtime, pip install 'vocarix[runtime]', to see it encode)")
    else:
        runtime = tokenizers.Tokenizer.from_file(target)
        print("the runtime encodes ' the tokenizer embedding' as",
              runtime.encode(" the tokenizer embedding").tokens)

    # A tokenizer belongs to a model: edit the folder, and its configs and weights follow.
    model = vocarix_tools.open_model(model_source)
    usage.add_words(model.editor, words)
    written = model.save(os.path.join(directory, "tiny-model-edited"))
    rows = written["rows"]
    print(f"model folder: embedding rows {rows['rows_before']} -> {rows['rows_after']} "
          f"(padded to a multiple of {rows['multiple']}), rewrote {', '.join(written['files_changed'])}; "
          f"check: {vocarix_tools.open_model(os.path.join(directory, 'tiny-model-edited')).check() or 'clean'}")
