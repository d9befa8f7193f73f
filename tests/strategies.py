"""Hypothesis strategies: small tokenizer documents and editing operations.

Documents are drawn over a tiny alphabet so that chains, shared prefixes and
removal cascades run into each other often.  They deliberately contain the
awkward cases: repeated and sparse ids, the empty token, duplicate merges,
merges whose result is not in the vocabulary, several merges producing the
same string, merges with equal halves, multi-byte characters, bracketed
tokens, duplicate vocabulary keys in the text, and opaque sections whose
object keys are out of order.
"""

from __future__ import annotations

import json

from hypothesis import strategies as st

U32_MAX = 2**32 - 1
U64_MAX = 2**64 - 1

# a, b, c dominate so that tokens overlap; the rest covers 2-, 3- and 4-byte
# characters and the bracket bytes that make a token special.
CHARS = ["a", "b", "c", "a", "b", "c", "a", "b", "é", "▁", "日", "😀", "<", ">", "[", "]"]
SOURCE_CHARS = ["a", "b", "c", "d", "A", "Z", "é", "▁", "日", "本", "😀", "<", "]", "\t", '"']
SPECIAL_LOOKING = ["<s>", "[UNK]", "<x]", "<>", "[]", "<ab>", "<ab", "ab>", "[a]", "<", ">", "[", "]"]
VOCAB_SENTINEL = "@@VOCAB@@"


def tokens(chars=CHARS, max_size=4):
    plain = st.lists(st.sampled_from(chars), min_size=0, max_size=max_size).map("".join)
    return st.one_of(plain, plain, plain, st.sampled_from(SPECIAL_LOOKING))


# ---------------------------------------------------------------------------
# opaque sections

_SAFE_FLOATS = [0.5, 0.1, 1.0, -2.5, 3.25, 1e-7, 1.5e-7, 2.5e20]
_STRINGS = ["", "x", "tab\there", 'q"uote', "back\\slash", "ctl\x01", "é日😀", "/", "\x7f", "line\nfeed"]
_KEYS = ["z", "a", "b", "type", "é", "A", "id", "_"]


def opaque_values():
    base = st.one_of(
        st.none(),
        st.booleans(),
        st.integers(-5, 1000),
        st.sampled_from([-(2**63), 2**64 - 1, 2**70]),
        st.sampled_from(_SAFE_FLOATS),
        st.sampled_from(_STRINGS),
    )
    return st.recursive(
        base,
        lambda children: st.one_of(
            st.lists(children, max_size=3),
            st.dictionaries(st.sampled_from(_KEYS), children, max_size=4),
        ),
        max_leaves=8,
    )


def added_token_entries(vocab_tokens):
    content = st.sampled_from(vocab_tokens) if vocab_tokens else tokens()

    @st.composite
    def entry(draw):
        fields = {
            "special": draw(st.booleans()),
            "id": draw(st.integers(0, 40)),
            "content": draw(content),
            "single_word": False,
            "lstrip": draw(st.booleans()),
            "rstrip": False,
            "normalized": draw(st.booleans()),
        }
        keys = draw(st.permutations(list(fields)))
        return {k: fields[k] for k in keys}

    return st.lists(entry(), max_size=3)


# ---------------------------------------------------------------------------
# vocabulary and merges


@st.composite
def vocab_entries(draw, chars=CHARS, max_size=12):
    toks = draw(st.lists(tokens(chars), max_size=max_size))
    mode = draw(st.sampled_from(["dense", "sparse", "repeats", "offset", "large"]))
    if mode == "dense":
        ids = list(range(len(toks)))
    elif mode == "sparse":
        ids = sorted(draw(st.lists(st.integers(0, 30), min_size=len(toks), max_size=len(toks), unique=True)))
    elif mode == "repeats":
        ids = draw(st.lists(st.integers(0, 8), min_size=len(toks), max_size=len(toks)))
    elif mode == "offset":
        start = draw(st.integers(1, 10))
        ids = list(range(start, start + len(toks)))
    else:
        ids = draw(st.lists(st.sampled_from([0, 1, 2, 3, 1000, 2**31]), min_size=len(toks), max_size=len(toks)))
    if draw(st.booleans()):
        ids = draw(st.permutations(ids))
    pairs = list(zip(toks, ids))
    # Occasionally repeat a key in the text: the later occurrence wins.
    if pairs and draw(st.integers(0, 4)) == 0:
        tok, _ = draw(st.sampled_from(pairs))
        pairs.append((tok, draw(st.integers(0, 12))))
    return pairs


def _splits(token):
    return [(token[:k], token[k:]) for k in range(1, len(token))]


@st.composite
def merge_lists(draw, vocab_tokens, chars=CHARS, max_size=12):
    merges = []
    n = draw(st.integers(0, max_size))
    splittable = [t for t in vocab_tokens if len(t) >= 2]
    for _ in range(n):
        kind = draw(st.integers(0, 9))
        if kind <= 3 and splittable:
            # result is a vocabulary entry
            merges.append(draw(st.sampled_from(_splits(draw(st.sampled_from(splittable))))))
        elif kind == 4 and vocab_tokens:
            # both halves are entries, result likely absent
            merges.append((draw(st.sampled_from(vocab_tokens)), draw(st.sampled_from(vocab_tokens))))
        elif kind == 5:
            merges.append((draw(tokens(chars, 2)), draw(tokens(chars, 2))))
        elif kind == 6:
            x = draw(st.sampled_from(vocab_tokens)) if vocab_tokens else draw(tokens(chars, 2))
            merges.append((x, x))
        elif kind == 7 and merges:
            merges.append(draw(st.sampled_from(merges)))
        elif kind == 8 and merges:
            # another split of a string that an earlier merge already produces
            left, right = draw(st.sampled_from(merges))
            if len(left + right) >= 2:
                merges.append(draw(st.sampled_from(_splits(left + right))))
        else:
            merges.append((draw(tokens(chars, 3)), draw(tokens(chars, 3))))
    return merges


@st.composite
def documents(draw, chars=CHARS, max_vocab=12, max_merges=12):
    """A tokenizer document as JSON text."""
    entries = draw(vocab_entries(chars, max_vocab))
    vocab_tokens = sorted({t for t, _ in entries})
    merges = draw(merge_lists(vocab_tokens, chars, max_merges))

    model = {"type": "BPE"}
    dropout = draw(st.sampled_from(["absent", None, 0, 0.1, 0.5, 1]))
    if dropout != "absent":
        model["dropout"] = dropout
    model["unk_token"] = draw(st.sampled_from(["[UNK]", "<unk>", ""]))
    for key, value in (("continuing_subword_prefix", "##"), ("end_of_word_suffix", "</w>")):
        choice = draw(st.sampled_from(["absent", None, value]))
        if choice != "absent":
            model[key] = choice
    for key in ("fuse_unk", "byte_fallback", "ignore_merges"):
        model[key] = draw(st.booleans())
    model["vocab"] = VOCAB_SENTINEL
    model["merges"] = [list(m) for m in merges]
    if draw(st.integers(0, 5)) == 0:
        model["unknown_model_key"] = draw(opaque_values())
    model_keys = draw(st.permutations(list(model)))

    doc = {"version": draw(st.sampled_from(["1.0", "2"]))}
    for key in ("truncation", "padding", "normalizer", "pre_tokenizer", "post_processor", "decoder"):
        if draw(st.integers(0, 3)) != 0:
            doc[key] = draw(opaque_values())
    doc["added_tokens"] = draw(added_token_entries(vocab_tokens))
    doc["model"] = {k: model[k] for k in model_keys}
    if draw(st.integers(0, 5)) == 0:
        doc["extra_top_level"] = draw(opaque_values())
    doc = {k: doc[k] for k in draw(st.permutations(list(doc)))}

    ensure_ascii = draw(st.booleans())
    indent = draw(st.sampled_from([None, 2]))
    text = json.dumps(doc, ensure_ascii=ensure_ascii, indent=indent)
    vocab_text = "{" + ", ".join(
        json.dumps(t, ensure_ascii=ensure_ascii) + ": " + str(i) for t, i in entries
    ) + "}"
    return text.replace(json.dumps(VOCAB_SENTINEL), vocab_text)


# ---------------------------------------------------------------------------
# operations


def token_args(pool):
    """A token argument: mostly something the document already mentions."""
    if pool:
        return st.one_of(st.sampled_from(pool), st.sampled_from(pool), tokens())
    return tokens()


def operations(pool, ids):
    """One editing or query step as (method name, positional args)."""
    tok = token_args(pool)
    tok_list = st.lists(tok, max_size=5)
    id_arg = st.one_of(st.sampled_from(sorted(ids) or [0]), st.integers(0, 40), st.just(U32_MAX))
    count = st.one_of(st.integers(0, 6), st.just(U64_MAX))
    min_id = st.one_of(st.just(0), st.integers(0, 20), st.just(U32_MAX))
    whitelist = st.one_of(st.none(), tok_list)
    return st.one_of(
        st.tuples(st.just("add_token"), st.tuples(tok)),
        st.tuples(st.just("add_tokens"), st.tuples(tok_list)),
        st.tuples(st.just("add_token_atomic"), st.tuples(tok)),
        st.tuples(st.just("remove_token"), st.tuples(tok)),
        st.tuples(st.just("remove_tokens"), st.tuples(tok_list)),
        st.tuples(st.just("shrink"), st.one_of(st.tuples(count), st.tuples(count, min_id))),
        st.tuples(st.just("find_tokens_to_shrink"), st.tuples(count, min_id)),
        st.tuples(st.just("remove_invalid_merges"), st.just(())),
        st.tuples(st.just("validate_merges"), st.just(())),
        st.tuples(st.just("get_stats"), st.just(())),
        st.tuples(st.just("reindex_vocab"), st.just(())),
        st.tuples(st.just("check_vocab_gaps"), st.just(())),
        st.tuples(st.just("add_tokens_keep_size"), st.one_of(st.tuples(tok_list), st.tuples(tok_list, whitelist))),
        st.tuples(st.just("get_token_by_id"), st.tuples(id_arg)),
        st.tuples(st.just("get_token_id"), st.tuples(tok)),
        st.tuples(st.just("has_token"), st.tuples(tok)),
        st.tuples(st.just("get_single_char_tokens"), st.just(())),
    )
