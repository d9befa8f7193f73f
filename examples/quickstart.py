"""Load a tokenizer, print what it holds, and save it again.

Usage: python examples/quickstart.py [TOKENIZER_JSON] [OUT_JSON]
"""
import sys
from pathlib import Path

import vocarix

here = Path(__file__).resolve().parent
source = sys.argv[1] if len(sys.argv) > 1 else str(here / "tokenizer.json")
target = sys.argv[2] if len(sys.argv) > 2 else None

editor = vocarix.Vocarix(source)
print(f"{source}: {editor}")
single = editor.get_single_char_tokens()
print(f"  {len(single)} single-character tokens, e.g. {[t for t, _ in single[:8]]}")
longest = max(editor.get_vocab(), key=len)
print(f"  longest token: {longest!r} (id {editor.get_token_id(longest)})")
print(f"  first merges: {editor.get_merges()[:5]}")
if target:
    editor.save(target)
    print(f"  saved to {target}")
