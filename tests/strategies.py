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


def added_token_entries(vocab_tokens, vocab_ids):
    content = st.sampled_from(vocab_tokens) if vocab_tokens else tokens()
    # ids around the vocabulary's, where the next additions will land
    top = max(vocab_ids, default=0)
    ids = st.one_of(st.integers(0, 40), st.sampled_from(sorted(set(vocab_ids)) or [0]), st.integers(top + 1, top + 3))

    @st.composite
    def entry(draw):
        fields = {
            "special": draw(st.booleans()),
            "id": draw(ids),
            "content": draw(content),
            "single_word": False,
            "lstrip": draw(st.booleans()),
            "rstrip": False,
            "normalized": draw(st.booleans()),
        }
        keys = draw(st.permutations(list(fields)))
        return {k: fields[k] for k in keys}

    return st.lists(entry(), max_size=3)


def id_references(vocab_tokens, vocab_ids):
    """A post-processor and a padding section that pair tokens with ids, as
    the runtime's templates do: mostly the vocabulary's own pairs, sometimes
    another id or a token that is no entry."""
    token = st.sampled_from(vocab_tokens) if vocab_tokens else tokens()
    token_id = st.one_of(st.sampled_from(sorted(set(vocab_ids)) or [0]), st.integers(0, 40), st.just(-1))
    pair = st.tuples(token, token_id).map(list)
    template = st.fixed_dictionaries({
        "type": st.just("TemplateProcessing"),
        "single": st.just([{"SpecialToken": {"id": "x", "type_id": 0}}]),
        "special_tokens": st.dictionaries(
            st.sampled_from(["x", "y", "<s>"]),
            st.lists(pair, max_size=3).map(lambda ps: {"id": "x", "ids": [p[1] for p in ps], "tokens": [p[0] for p in ps]}),
            max_size=2,
        ),
    })
    pairwise = st.fixed_dictionaries({"type": st.sampled_from(["RobertaProcessing", "BertProcessing"]),
                                      "cls": pair, "sep": pair, "trim_offsets": st.booleans()})
    single = st.one_of(template, pairwise, st.just({"type": "ByteLevel", "trim_offsets": True}))
    post_processor = st.one_of(single, st.fixed_dictionaries({"type": st.just("Sequence"),
                                                              "processors": st.lists(single, max_size=2)}))
    padding = st.fixed_dictionaries({"direction": st.just("Right"), "pad_id": token_id, "pad_token": token,
                                     "pad_type_id": st.just(0)})
    return post_processor, padding


# ---------------------------------------------------------------------------
# vocabulary and merges


def _assign_ids(draw, toks):
    mode = draw(st.sampled_from(["dense", "sparse", "repeats", "offset", "large"]))
    n = len(toks)
    if mode == "dense":
        ids = list(range(n))
    elif mode == "sparse":
        ids = sorted(draw(st.lists(st.integers(0, 3 * n + 3), min_size=n, max_size=n, unique=True)))
    elif mode == "repeats":
        ids = draw(st.lists(st.integers(0, max(1, n // 2)), min_size=n, max_size=n))
    elif mode == "offset":
        start = draw(st.integers(1, 10))
        ids = list(range(start, start + n))
    else:
        ids = draw(st.lists(st.sampled_from([0, 1, 2, 3, 1000, 2**31]), min_size=n, max_size=n))
    if draw(st.booleans()):
        ids = draw(st.permutations(ids))
    pairs = list(zip(toks, ids))
    # Occasionally repeat a key in the text: the later occurrence wins.
    if pairs and draw(st.integers(0, 4)) == 0:
        tok, _ = draw(st.sampled_from(pairs))
        pairs.append((tok, draw(st.integers(0, n + 2))))
    return pairs


@st.composite
def vocab_entries(draw, chars=CHARS, max_size=12):
    if draw(st.integers(0, 9)) == 0:
        return []
    return _assign_ids(draw, draw(st.lists(tokens(chars), max_size=max_size)))


@st.composite
def bpe_like(draw, chars=CHARS, max_merges=12, min_merges=0):
    """A vocabulary grown the way a trainer grows one: start from single
    characters and repeatedly merge two existing tokens.  Then spoil it a
    little (drop entries, add stray merges and special tokens)."""
    base = draw(st.lists(st.sampled_from(chars), min_size=1, max_size=5, unique=True))
    toks = list(base)
    merges = []
    for _ in range(draw(st.integers(min_merges, max_merges))):
        left = draw(st.sampled_from(toks))
        right = draw(st.sampled_from(toks))
        merges.append((left, right))
        if left + right not in toks:
            toks.append(left + right)
    if toks and draw(st.booleans()):
        for t in draw(st.lists(st.sampled_from(toks), max_size=2)):
            if t in toks:
                toks.remove(t)
    extra = draw(st.lists(st.sampled_from(SPECIAL_LOOKING + [""]), max_size=2))
    toks.extend(t for t in extra if t not in toks)
    if merges and draw(st.booleans()):
        merges.append(draw(st.sampled_from(merges)))
    if draw(st.integers(0, 3)) == 0:
        merges.append((draw(tokens(chars, 2)), draw(tokens(chars, 2))))
    if draw(st.booleans()):
        toks = draw(st.permutations(toks))
    return _assign_ids(draw, toks), merges


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
def documents(draw, chars=CHARS, max_vocab=12, max_merges=12, min_merges=0):
    """A tokenizer document as JSON text.  A positive `min_merges` always
    gives a trainer-like document of at least that many merges."""
    if min_merges > 0 or draw(st.booleans()):
        entries, merges = draw(bpe_like(chars, max_merges, min_merges))
        vocab_tokens = sorted({t for t, _ in entries})
    else:
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
    doc["added_tokens"] = draw(added_token_entries(vocab_tokens, [i for _, i in entries]))
    if draw(st.integers(0, 2)) == 0:
        post_processor, padding = id_references(vocab_tokens, [i for _, i in entries])
        doc["post_processor"] = draw(post_processor)
        if draw(st.booleans()):
            doc["padding"] = draw(padding)
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


def token_args(pool, results=()):
    """A token argument: something the document mentions, the result of a
    merge (present or not), a glue of two such strings, a piece of one, or a
    fresh string."""
    fresh = tokens(max_size=6)
    if not pool:
        return fresh
    known = st.sampled_from(pool)
    glued = st.tuples(known, known).map("".join)
    pieces = st.tuples(known, st.integers(0, 6), st.booleans()).map(
        lambda x: x[0][: x[1]] if x[2] else x[0][x[1]:]
    )
    produced = st.sampled_from(sorted(results)) if results else known
    return st.one_of(known, known, produced, glued, pieces, fresh)


# Editing steps are listed more than once so that they dominate the queries.
OPERATION_NAMES = [
    "add_token", "add_token", "add_token", "add_tokens", "add_token_atomic",
    "remove_token", "remove_token", "remove_token", "remove_tokens",
    "shrink", "shrink", "find_tokens_to_shrink",
    "remove_invalid_merges", "validate_merges", "get_stats",
    "reindex_vocab", "check_vocab_gaps",
    "add_tokens_keep_size", "add_tokens_keep_size", "add_tokens_keep_size",
    "get_token_by_id", "get_token_id", "has_token", "get_single_char_tokens",
]


def operation_args(name, pool, ids, scale, results):
    tok = token_args(pool, results)
    tok_list = st.lists(tok, max_size=5 * scale)
    id_arg = st.one_of(st.sampled_from(sorted(ids) or [0]), st.integers(0, 40), st.just(U32_MAX))
    count = st.one_of(st.integers(0, 6 * scale), st.just(U64_MAX))
    min_id = st.one_of(st.just(0), st.integers(0, 20), st.just(U32_MAX))
    if name in ("add_token", "add_token_atomic", "remove_token", "get_token_id", "has_token"):
        return st.tuples(tok)
    if name in ("add_tokens", "remove_tokens"):
        return st.tuples(tok_list)
    if name == "shrink":
        return st.one_of(st.tuples(count), st.tuples(count, min_id))
    if name == "find_tokens_to_shrink":
        return st.tuples(count, min_id)
    if name == "add_tokens_keep_size":
        return st.one_of(st.tuples(tok_list), st.tuples(tok_list, st.one_of(st.none(), tok_list)))
    if name == "get_token_by_id":
        return st.tuples(id_arg)
    return st.just(())


def operations(pool, ids, scale=1, results=()):
    """One editing or query step as (method name, positional args).  `pool`
    holds strings the document mentions, `results` the merge results among
    them; `scale` multiplies list lengths and counts."""
    return st.sampled_from(OPERATION_NAMES).flatmap(
        lambda name: st.tuples(st.just(name), operation_args(name, pool, ids, scale, results))
    )
