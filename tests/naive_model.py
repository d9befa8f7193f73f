"""A deliberately naive, pure-Python editor used as a test oracle.

Every rule is written out the slow, literal way: the vocabulary is a plain
dict that is sorted by UTF-8 bytes whenever it is walked, the merges are a
plain list of (left, right) tuples, both merge indexes are rebuilt from
scratch after every change of the merge list, pair lookups are linear scans,
and id allocation walks `used_ids` upwards from `next_id`.  Nothing here is
optimised; it only has to be obviously right on small documents.

The public methods mirror the native `vocarix.Vocarix` class: same names,
same argument order, same result shapes (result objects are namedtuples
with the native attribute names, in the native attribute order).
"""

from __future__ import annotations

import json
from collections import namedtuple

AdditionResult = namedtuple("AdditionResult", "token added method added_merges")
RemovalResult = namedtuple("RemovalResult", "root_token removed_tokens removed_merges")
ShrinkResult = namedtuple(
    "ShrinkResult",
    "initial_vocab_size initial_merges_count final_vocab_size final_merges_count "
    "tokens_removed_count total_tokens_removed total_merges_removed",
)
TokenizerStats = namedtuple(
    "TokenizerStats",
    "vocab_size merges_count single_char_count special_token_count "
    "min_token_id max_token_id length_distribution",
)
ValidationResult = namedtuple("ValidationResult", "valid_count invalid_count invalid_merges")
ReindexResult = namedtuple(
    "ReindexResult",
    "vocab_size merges_count old_min_id old_max_id new_min_id new_max_id "
    "ids_remapped gaps_removed",
)

U32_MAX = 2**32 - 1

TOP_LEVEL_KEYS = (
    "version",
    "truncation",
    "padding",
    "added_tokens",
    "normalizer",
    "pre_tokenizer",
    "post_processor",
    "decoder",
    "model",
)
OPAQUE_KEYS = ("truncation", "padding", "normalizer", "pre_tokenizer", "post_processor", "decoder")
MODEL_KEYS = (
    "type",
    "dropout",
    "unk_token",
    "continuing_subword_prefix",
    "end_of_word_suffix",
    "fuse_unk",
    "byte_fallback",
    "ignore_merges",
    "vocab",
    "merges",
)


# ---------------------------------------------------------------------------
# shared predicates


def utf8_key(s):
    return s.encode("utf-8")


def char_length(s):
    # Count the bytes that are not UTF-8 continuation bytes.
    return sum(1 for b in s.encode("utf-8") if not (0x80 <= b <= 0xBF))


def is_special_token(s):
    b = s.encode("utf-8")
    if len(b) == 0:
        return False
    first = b[:1]
    last = b[-1:]
    return (first == b"<" and last == b">") or (first == b"[" and last == b"]")


def split_chars(s):
    return [c for c in s]


# ---------------------------------------------------------------------------
# opaque JSON values


def _opaque(value):
    """Normalise a parsed JSON value the way the native value tree holds it:
    objects with keys in byte order (last duplicate wins), integers outside
    the 64-bit ranges turned into floats."""
    if isinstance(value, _Pairs):
        merged = {}
        for k, v in value:
            merged[k] = v
        return {k: _opaque(merged[k]) for k in sorted(merged, key=utf8_key)}
    if isinstance(value, list):
        return [_opaque(v) for v in value]
    if isinstance(value, bool) or value is None or isinstance(value, str):
        return value
    if isinstance(value, int):
        if -(2**63) <= value <= 2**64 - 1:
            return value
        return float(value)
    if isinstance(value, float):
        return value
    raise TypeError(f"unexpected JSON value {value!r}")


class _Pairs(list):
    """An object as parsed: its (key, value) pairs in input order."""


def _pairs_hook(pairs):
    return _Pairs(pairs)


def _last_wins(pairs):
    d = {}
    for k, v in pairs:
        d[k] = v
    return d


# ---------------------------------------------------------------------------
# ids the document states outside the vocabulary


def _content(entry):
    """The string content of an added_tokens entry, or None."""
    if isinstance(entry, dict) and isinstance(entry.get("content"), str):
        return entry["content"]
    return None


def _is_id(value):
    return isinstance(value, int) and not isinstance(value, bool) and 0 <= value <= U32_MAX


def _walk_post_processor(value, rewrite):
    if not isinstance(value, dict) or not isinstance(value.get("type"), str):
        return
    kind = value["type"]
    if kind == "TemplateProcessing":
        specials = value.get("special_tokens")
        if not isinstance(specials, dict):
            return
        for spec in specials.values():
            if not isinstance(spec, dict):
                continue
            ids, toks = spec.get("ids"), spec.get("tokens")
            if not isinstance(ids, list) or not isinstance(toks, list):
                continue
            for i in range(min(len(ids), len(toks))):
                if isinstance(toks[i], str):
                    ids[i] = rewrite(toks[i], ids[i])
    elif kind in ("RobertaProcessing", "BertProcessing"):
        for key in ("cls", "sep"):
            pair = value.get(key)
            if isinstance(pair, list) and len(pair) == 2 and isinstance(pair[0], str):
                pair[1] = rewrite(pair[0], pair[1])
    elif kind == "Sequence":
        processors = value.get("processors")
        if isinstance(processors, list):
            for item in processors:
                _walk_post_processor(item, rewrite)


def _walk_references(post_processor, padding, rewrite):
    """Calls rewrite(token, id) for every (token, id) pair of the
    post-processor and the padding, storing what it returns."""
    _walk_post_processor(post_processor, rewrite)
    if isinstance(padding, dict) and isinstance(padding.get("pad_token"), str) and "pad_id" in padding:
        padding["pad_id"] = rewrite(padding["pad_token"], padding["pad_id"])


# ---------------------------------------------------------------------------
# writer


def format_float(x):
    if x != x or x in (float("inf"), float("-inf")):
        return "null"
    r = repr(x)
    if "e" in r:
        mantissa, exponent = r.split("e")
        return f"{mantissa}e{int(exponent)}"
    return r


def dump_value(v, level):
    pad = "  " * level
    inner = "  " * (level + 1)
    if v is None:
        return "null"
    if v is True:
        return "true"
    if v is False:
        return "false"
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        return format_float(v)
    if isinstance(v, str):
        return json.dumps(v, ensure_ascii=False)
    if isinstance(v, (list, tuple)):
        if len(v) == 0:
            return "[]"
        parts = [inner + dump_value(x, level + 1) for x in v]
        return "[\n" + ",\n".join(parts) + "\n" + pad + "]"
    if isinstance(v, dict):
        if len(v) == 0:
            return "{}"
        parts = [
            inner + json.dumps(k, ensure_ascii=False) + ": " + dump_value(x, level + 1)
            for k, x in v.items()
        ]
        return "{\n" + ",\n".join(parts) + "\n" + pad + "}"
    raise TypeError(f"cannot write {v!r}")


# ---------------------------------------------------------------------------
# the editor


class NaiveEditor:
    def __init__(self, sections, model_fields, vocab, merges):
        # sections: the nine top-level fields except model, as parsed values
        self.sections = sections
        # model_fields: the eight scalar fields of the model section
        self.model_fields = model_fields
        self.vocab = dict(vocab)
        self.merges = [tuple(m) for m in merges]
        # editor_from_document
        self.used_ids = set()
        for _token, token_id in self.walk_vocab():
            self.used_ids.add(token_id)
        if len(self.used_ids) == 0:
            self.next_id = 1
        else:
            self.next_id = max(self.used_ids) + 1
        # Ids named by added_tokens entries are never handed out, even where no
        # vocabulary entry holds them: two tokens must not share an id.
        self.reserved_ids = set()
        for entry in sections["added_tokens"]:
            token_id = entry.get("id") if isinstance(entry, dict) else None
            if isinstance(token_id, int) and not isinstance(token_id, bool) and 0 <= token_id <= 2**32 - 1:
                self.reserved_ids.add(token_id)
        self.merge_result_index = {}
        self.token_merge_index = {}
        self.rebuild_merge_indexes()

    # ----- loading and writing ---------------------------------------------

    @staticmethod
    def from_json(text):
        doc = _last_wins(json.loads(text, object_pairs_hook=_pairs_hook))
        sections = {}
        sections["version"] = doc["version"]
        for key in OPAQUE_KEYS:
            sections[key] = _opaque(doc.get(key))
        sections["added_tokens"] = [_opaque(v) for v in doc["added_tokens"]]
        model = _last_wins(doc["model"])
        if model["type"] != "BPE":
            raise ValueError("Only BPE tokenizers are supported")
        dropout = model.get("dropout")
        if dropout is not None:
            dropout = float(dropout)
        fields = {
            "type": model["type"],
            "dropout": dropout,
            "unk_token": model["unk_token"],
            "continuing_subword_prefix": model.get("continuing_subword_prefix"),
            "end_of_word_suffix": model.get("end_of_word_suffix"),
            "fuse_unk": model["fuse_unk"],
            "byte_fallback": model["byte_fallback"],
            "ignore_merges": model["ignore_merges"],
        }
        vocab = _last_wins(model["vocab"])
        for token_id in vocab.values():
            assert isinstance(token_id, int) and not isinstance(token_id, bool)
            assert 0 <= token_id <= U32_MAX
        merges = []
        for m in model["merges"]:
            if len(m) != 2:
                raise ValueError("Merge must have exactly 2 elements")
            merges.append((m[0], m[1]))
        return NaiveEditor(sections, fields, vocab, merges)

    def to_json(self):
        out = {}
        for key in TOP_LEVEL_KEYS:
            if key == "model":
                model = dict(self.model_fields)
                model["vocab"] = {t: i for t, i in self.walk_vocab()}
                model["merges"] = [[left, right] for left, right in self.merges]
                out["model"] = model
            else:
                out[key] = self.sections[key]
        return dump_value(out, 0)

    @property
    def vocab_size(self):
        return len(self.vocab)

    @property
    def merges_count(self):
        return len(self.merges)

    # ----- state operations --------------------------------------------------

    def walk_vocab(self):
        """The vocabulary's (token, id) pairs in ascending UTF-8 byte order."""
        return [(t, self.vocab[t]) for t in sorted(self.vocab, key=utf8_key)]

    def rebuild_merge_indexes(self):
        self.merge_result_index = {}
        self.token_merge_index = {}
        for i, (left, right) in enumerate(self.merges):
            result = left + right
            if result not in self.merge_result_index:
                self.merge_result_index[result] = i
            self.token_merge_index.setdefault(left, set()).add(i)
            self.token_merge_index.setdefault(right, set()).add(i)

    def allocate_id(self):
        c = self.next_id
        while c in self.used_ids or c in self.reserved_ids:
            c += 1
            self.next_id = c
        self.used_ids.add(c)
        self.next_id = c + 1
        return c

    def insert_vocab_entry(self, token):
        assert token not in self.vocab
        token_id = self.allocate_id()
        self.vocab[token] = token_id
        return token_id

    def delete_vocab_entry(self, token):
        if token in self.vocab:
            token_id = self.vocab.pop(token)
            self.used_ids.discard(token_id)

    def merge_pair_exists(self, left, right):
        for m in self.merges:
            if m[0] == left and m[1] == right:
                return True
        return False

    # ----- queries -----------------------------------------------------------

    def has_token(self, token):
        return token in self.vocab

    def get_token_id(self, token):
        return self.vocab.get(token)

    def get_token_by_id(self, id):
        assert 0 <= id <= U32_MAX
        for token, token_id in self.walk_vocab():
            if token_id == id:
                return token
        return None

    def get_vocab(self):
        return {t: i for t, i in self.walk_vocab()}

    def get_merges(self):
        return [(left, right) for left, right in self.merges]

    def get_single_char_tokens(self):
        return [(t, i) for t, i in self.walk_vocab() if char_length(t) == 1]

    # ----- addition ----------------------------------------------------------

    def build_char_chain(self, s):
        chars = split_chars(s)
        appended = []
        if len(chars) == 0:
            return appended
        current = chars[0]
        if current not in self.vocab:
            self.insert_vocab_entry(current)
        for c in chars[1:]:
            if c not in self.vocab:
                self.insert_vocab_entry(c)
            combined = current + c
            if not self.merge_pair_exists(current, c):
                self.merges.append((current, c))
                appended.append((current, c))
            if combined not in self.vocab:
                self.insert_vocab_entry(combined)
            current = combined
        return appended

    def add_token(self, token):
        t = token
        if t in self.vocab:
            return AdditionResult(t, False, "already_exists", [])
        chars = split_chars(t)
        if len(chars) == 1:
            self.insert_vocab_entry(t)
            return AdditionResult(t, True, "single_char", [])
        prefix = None
        for k in range(len(chars) - 1, 0, -1):
            candidate = "".join(chars[:k])
            if candidate in self.vocab:
                prefix = candidate
                break
        if prefix is not None:
            method = "longest_prefix"
            suffix = t[len(prefix):]
            appended = []
            if suffix not in self.vocab:
                appended = self.build_char_chain(suffix)
            if not self.merge_pair_exists(prefix, suffix):
                self.merges.append((prefix, suffix))
                appended.append((prefix, suffix))
        else:
            method = "char_chain"
            appended = self.build_char_chain(t)
        if t not in self.vocab:
            self.insert_vocab_entry(t)
        self.rebuild_merge_indexes()
        return AdditionResult(t, True, method, appended)

    def add_tokens(self, tokens):
        tokens = list(tokens)
        return [self.add_token(t) for t in tokens]

    def add_token_atomic(self, token):
        if token in self.vocab:
            return False
        self.insert_vocab_entry(token)
        return True

    # ----- removal -----------------------------------------------------------

    def remove_token(self, token):
        token_set = set()
        merge_set = set()
        stack = [token]
        while stack:
            x = stack.pop()
            if x in token_set:
                continue
            token_set.add(x)
            if x in self.token_merge_index:
                for i in self.token_merge_index[x]:
                    if i not in merge_set:
                        merge_set.add(i)
                        left, right = self.merges[i]
                        stack.append(left + right)
            if x in self.merge_result_index:
                merge_set.add(self.merge_result_index[x])
        removed_merges = [self.merges[i] for i in merge_set]
        if merge_set:
            self.merges = [m for i, m in enumerate(self.merges) if i not in merge_set]
        deleted = set()
        for t in token_set:
            if t in self.vocab:
                self.delete_vocab_entry(t)
                deleted.add(t)
        # An added token whose entry is gone goes too; the runtime would
        # otherwise number it anew.
        self.sections["added_tokens"] = [
            e for e in self.sections["added_tokens"] if not (_content(e) is not None and _content(e) in deleted)
        ]
        self.rebuild_merge_indexes()
        return RemovalResult(token, list(token_set), removed_merges)

    def remove_tokens(self, tokens):
        tokens = list(tokens)
        results = []
        for t in tokens:
            if t in self.vocab:
                results.append(self.remove_token(t))
        return results

    # ----- shrinking ---------------------------------------------------------

    def find_tokens_to_shrink(self, count, min_id=0):
        assert 0 <= count <= 2**64 - 1 and 0 <= min_id <= U32_MAX
        candidates = []
        for token, token_id in self.walk_vocab():
            if token_id < min_id:
                continue
            if char_length(token) < 2:
                continue
            if is_special_token(token):
                continue
            candidates.append((token, token_id, char_length(token)))
        # Python's sort is stable; sort by the minor key first.
        candidates.sort(key=lambda c: c[1], reverse=True)
        candidates.sort(key=lambda c: c[2], reverse=True)
        return candidates[:count]

    def shrink(self, count, min_id=0):
        candidates = self.find_tokens_to_shrink(count, min_id)
        initial_vocab = len(self.vocab)
        initial_merges = len(self.merges)
        removed_count = 0
        total_tokens = 0
        total_merges = 0
        for token, _id, _len in candidates:
            r = self.remove_token(token)
            removed_count += 1
            total_tokens += len(r.removed_tokens)
            total_merges += len(r.removed_merges)
        return ShrinkResult(
            initial_vocab,
            initial_merges,
            len(self.vocab),
            len(self.merges),
            removed_count,
            total_tokens,
            total_merges,
        )

    # ----- validation and statistics ------------------------------------------

    def check_merges(self):
        valid = []
        invalid = []
        for i, (left, right) in enumerate(self.merges):
            if left + right in self.vocab:
                valid.append(i)
            else:
                invalid.append((i, left, right))
        return valid, invalid

    def validate_merges(self):
        valid, invalid = self.check_merges()
        return ValidationResult(len(valid), len(invalid), invalid)

    def remove_invalid_merges(self):
        valid, invalid = self.check_merges()
        if len(invalid) == 0:
            return 0
        self.merges = [m for i, m in enumerate(self.merges) if i in valid]
        self.rebuild_merge_indexes()
        return len(invalid)

    def get_stats(self):
        histogram = {}
        single = 0
        special = 0
        lo = U32_MAX
        hi = 0
        for token, token_id in self.walk_vocab():
            n = char_length(token)
            histogram[n] = histogram.get(n, 0) + 1
            if n == 1:
                single += 1
            if is_special_token(token):
                special += 1
            lo = min(lo, token_id)
            hi = max(hi, token_id)
        if len(self.vocab) == 0:
            lo = 0
        return TokenizerStats(
            len(self.vocab),
            len(self.merges),
            single,
            special,
            lo,
            hi,
            sorted(histogram.items()),
        )

    # ----- gaps and reindexing -------------------------------------------------

    def _gaps(self):
        ids = [i for _t, i in self.walk_vocab()]
        lo = min(ids)
        hi = max(ids)
        span = hi - lo + 1
        missing = span - len(ids) if span >= len(ids) else 0
        return lo + missing, lo, hi

    def check_vocab_gaps(self):
        if len(self.vocab) == 0:
            return (False, 0, 0, 0)
        total, lo, hi = self._gaps()
        return (total != 0, total, lo, hi)

    def reindex_vocab(self):
        n = len(self.vocab)
        if n == 0:
            return ReindexResult(0, len(self.merges), 0, 0, 0, 0, 0, 0)
        total, lo, hi = self._gaps()
        entries = self.walk_vocab()
        entries.sort(key=lambda e: e[1])  # stable
        p = None
        for k, (_token, token_id) in enumerate(entries):
            if token_id != k:
                p = k
                break
        if p is None:
            return ReindexResult(n, len(self.merges), lo, hi, 0, n - 1, 0, 0)
        moved = {token: (old, k) for k, (token, old) in enumerate(entries) if old != k}
        self.vocab = {token: k for k, (token, _old) in enumerate(entries)}
        self.used_ids = set(range(n))
        self.next_id = n
        self._renumber_references(moved)
        return ReindexResult(n, len(self.merges), lo, hi, 0, n - 1, n - p, total)

    def _renumber_references(self, moved):
        """Ids elsewhere in the document follow their renumbered entries:
        added_tokens entries by content, post-processor and padding pairs
        whose id was the entry's old id."""
        for entry in self.sections["added_tokens"]:
            content = _content(entry)
            if content in moved and "id" in entry:
                entry["id"] = moved[content][1]

        def follow(token, stated):
            if token in moved and _is_id(stated) and stated == moved[token][0]:
                return moved[token][1]
            return stated

        _walk_references(self.sections["post_processor"], self.sections["padding"], follow)

    # ----- bulk edits that hold the size --------------------------------------

    def add_tokens_keep_size(self, tokens, whitelist=None):
        tokens = list(tokens)
        whitelist = [] if whitelist is None else list(whitelist)
        initial = len(self.vocab)
        protected = set(whitelist)
        for token, _id in self.walk_vocab():
            if char_length(token) == 1:
                protected.add(token)
        protected.add("\u2581")
        for token, _id in self.walk_vocab():
            if is_special_token(token):
                protected.add(token)
        added = 0
        removed = 0
        for t in tokens:
            if t in self.vocab:
                continue
            self.add_token(t)
            added += 1
            if len(self.vocab) > initial:
                candidate = self._keep_size_candidate(protected)
                if candidate is not None:
                    self.remove_token(candidate)
                    removed += 1
        return {
            "initial_vocab_size": initial,
            "final_vocab_size": len(self.vocab),
            "tokens_requested": len(tokens),
            "tokens_added": added,
            "tokens_removed": removed,
        }

    def _keep_size_candidate(self, protected):
        candidates = []
        for token, _id in self.walk_vocab():
            if token in protected:
                continue
            candidates.append((char_length(token), token in self.merge_result_index, token))
        if not candidates:
            return None
        candidates.sort(key=lambda c: (-c[0], not c[1], utf8_key(c[2])))
        return candidates[0][2]

    def sync_single_chars_from(self, source, min_id=0):
        """The vocabulary effect of syncing single characters from `source`
        (another NaiveEditor); progress output is not modelled."""
        source_chars = source.get_single_char_tokens()
        initial = len(self.vocab)
        missing = [(t, i) for t, i in source_chars if t not in self.vocab]
        already = len(source_chars) - len(missing)
        total_tokens = 0
        total_merges = 0
        if missing:
            candidates = self.find_tokens_to_shrink(len(missing), min_id)
            for token, _id, _len in candidates:
                r = self.remove_token(token)
                total_tokens += len(r.removed_tokens)
                total_merges += len(r.removed_merges)
            for token, _source_id in missing:
                self.add_token_atomic(token)
            self.reindex_vocab()
        return {
            "initial_vocab_size": initial,
            "final_vocab_size": len(self.vocab),
            "chars_in_source": len(source_chars),
            "chars_already_present": already,
            "chars_added_count": len(missing),
            "total_tokens_removed": total_tokens,
            "total_merges_removed": total_merges,
        }
