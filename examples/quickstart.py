"""A short editing session on the bundled example tokenizer.

Usage: python examples/quickstart.py [TOKENIZER_JSON]

Prints what it does; writes the edited tokenizer to a temporary file only.
"""
import os
import sys
import tempfile
from pathlib import Path

import vocarix

source = sys.argv[1] if len(sys.argv) > 1 else str(Path(__file__).resolve().parent / "tokenizer.json")
editor = vocarix.Vocarix(source)
print(f"loaded {source}: {editor}")

for result in editor.add_tokens(["Ġvocabulary", "Ġembedding", "Ġtokenizer"]):
    print(f"  add {result.token!r}: {result.method}, merges appended {result.added_merges}")

print(f"  shrink preview: {editor.find_tokens_to_shrink(3, min_id=256)}")
shrunk = editor.shrink(20, min_id=256)
print(f"  shrink(20): {shrunk.initial_vocab_size} -> {shrunk.final_vocab_size} tokens, "
      f"{shrunk.total_merges_removed} merges removed")
print(f"  invalid merges removed: {editor.remove_invalid_merges()}")
has_gaps, gaps, lowest, highest = editor.check_vocab_gaps()
reindexed = editor.reindex_vocab()
print(f"  id gaps: {gaps} in {lowest}..{highest}; reindex renumbered {reindexed.ids_remapped} ids")

with tempfile.TemporaryDirectory() as directory:
    target = os.path.join(directory, "edited.json")
    editor.save(target)
    print(f"saved {vocarix.Vocarix(target)} ({os.path.getsize(target):,} bytes)")
