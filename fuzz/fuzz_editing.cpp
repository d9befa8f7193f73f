// Fuzz target: random editing sequences on a small document.
//
// The input bytes describe a tiny tokenizer (vocabulary and merges over a
// small alphabet with multi-byte characters and the empty string, ids that
// repeat, leave gaps or sit at the top of the 32-bit range), then a sequence
// of editing operations. After every step the state is written, read back
// into a fresh state, and every answer the editor relies on is compared
// three ways: the edited state's indexes, the fresh state's indexes, and a
// linear scan over the written document.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "operations/exact/addition.hpp"
#include "operations/exact/char_sync.hpp"
#include "operations/exact/keep_size.hpp"
#include "operations/exact/reindex.hpp"
#include "operations/exact/removal.hpp"
#include "operations/exact/shrink.hpp"
#include "operations/exact/statistics.hpp"
#include "operations/exact/validation.hpp"
#include "document/errors.hpp"
#include "document/json_reader.hpp"
#include "document/json_writer.hpp"
#include "state/loading.hpp"
#include "document/text.hpp"

using namespace vocarix;

namespace {

// ---------------------------------------------------------------- input

class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
    bool empty() const { return p_ == end_; }
    // Exhausted input reads as zeros, so every input decodes to something.
    std::uint8_t next() { return p_ == end_ ? 0 : *p_++; }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

// One to four bytes per character; '<', '>', '[' and ']' make special
// tokens; '"' and '\\' need escapes; U+2581 is protected by fixed-size addition.
constexpr const char* kAlphabet[] = {"a", "b", "c", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xe2\x96\x81",
                                     "<", ">",  "[", "]",        "\"",           "\\"};
constexpr std::size_t kAlphabetSize = sizeof kAlphabet / sizeof kAlphabet[0];

std::string make_token(Bytes& in) {
    std::uint8_t b = in.next();
    std::size_t length = b % 5;  // zero characters is the empty string
    std::string token;
    for (std::size_t i = 0; i < length; ++i) token += kAlphabet[in.next() % kAlphabetSize];
    return token;
}

std::uint32_t make_id(Bytes& in) {
    std::uint8_t b = in.next();
    switch (b >> 6) {
        case 3: return (b & 32) ? UINT32_MAX - (b & 7) : 1000 + (b & 31);
        default: return b & 31;  // small ids: repeats and gaps are common
    }
}

void put_string(std::string& out, std::string_view s) {
    out.push_back('"');
    for (char c : s) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
}

// A document built from the input, as JSON text. Merge parts are vocabulary
// entries, their concatenation, or arbitrary strings.
std::string make_document(Bytes& in, bool single_chars_only) {
    std::vector<std::string> keys;
    std::vector<std::uint32_t> ids;
    std::size_t entries = in.next() % 16;
    for (std::size_t i = 0; i < entries; ++i) {
        std::string key = single_chars_only ? std::string(kAlphabet[in.next() % kAlphabetSize]) : make_token(in);
        keys.push_back(std::move(key));
        ids.push_back(make_id(in));
    }
    std::vector<std::pair<std::string, std::string>> merges;
    std::size_t merge_count = single_chars_only ? 0 : in.next() % 16;
    for (std::size_t i = 0; i < merge_count; ++i) {
        std::uint8_t mode = in.next();
        std::string left, right;
        if (!keys.empty() && mode % 3 != 2) {
            left = keys[in.next() % keys.size()];
            right = keys[in.next() % keys.size()];
            if (mode % 3 == 0) {  // make the merge valid
                keys.push_back(left + right);
                ids.push_back(make_id(in));
            }
        } else {
            left = make_token(in);
            right = make_token(in);
        }
        merges.emplace_back(std::move(left), std::move(right));
    }
    std::uint8_t flags = in.next();
    std::string doc = "{\"version\":\"1.0\",\"truncation\":null,\"padding\":null,\"added_tokens\":[";
    // Added tokens carry ids that may or may not belong to vocabulary entries.
    std::size_t added = flags & 3;
    for (std::size_t i = 0; i < added; ++i) {
        if (i) doc += ',';
        doc += "{\"id\":" + std::to_string(make_id(in)) + ",\"content\":\"<x>\",\"special\":true}";
    }
    doc += "],\"normalizer\":null,\"pre_tokenizer\":null,\"post_processor\":null,\"decoder\":null,";
    doc += "\"model\":{\"type\":\"BPE\",\"dropout\":null,\"unk_token\":\"<unk>\",\"continuing_subword_prefix\":null,";
    doc += "\"end_of_word_suffix\":null,\"fuse_unk\":false,\"byte_fallback\":false,\"ignore_merges\":false,";
    doc += "\"vocab\":{";
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (i) doc += ',';
        put_string(doc, keys[i]);
        doc += ':' + std::to_string(ids[i]);
    }
    doc += "},\"merges\":[";
    for (std::size_t i = 0; i < merges.size(); ++i) {
        if (i) doc += ',';
        doc += '[';
        put_string(doc, merges[i].first);
        doc += ',';
        put_string(doc, merges[i].second);
        doc += ']';
    }
    doc += "]}}";
    return doc;
}

// ---------------------------------------------------------------- checks

std::string g_trace;  // the operations so far, printed with any failure

[[noreturn]] void fail(const std::string& what, const EditorState* state = nullptr) {
    std::fprintf(stderr, "fuzz_editing: %s\nsteps:\n%s", what.c_str(), g_trace.c_str());
    if (state) std::fprintf(stderr, "state:\n%s\n", write_document_text(*state).str().c_str());
    std::abort();
}

#define CHECK(cond, state)                                                             \
    do {                                                                               \
        if (!(cond)) fail(std::string("check failed: ") + #cond + " (line " +          \
                          std::to_string(__LINE__) + ")", state);                      \
    } while (0)

std::string quoted(std::string_view s) { return debug_quoted(s); }

// Whether the merge (left, right) exists, through the state's producer lists.
bool has_pair(const EditorState& state, Symbol left, Symbol right) {
    std::string joined = std::string(state.text(left)) + std::string(state.text(right));
    return state.has_merge(left, right, state.find_merge_string(joined));
}
// Cheap quoting for the step trace, which is built on every run but printed only on failure.
std::string raw(std::string_view s) { return "'" + std::string(s) + "'"; }

// The document as plain data, read off the state's own walks.
struct Plain {
    std::map<std::string, std::uint32_t> vocab;
    std::vector<std::pair<std::string, std::string>> merges;  // live merges in list order
    std::vector<SlotIndex> slots;                               // their slots
    std::vector<std::string> joined;                            // left+right of each
};

Plain plain_of(const EditorState& state) {
    Plain plain;
    std::size_t entries = 0;
    state.for_each_entry([&](Symbol sym) {
        ++entries;
        CHECK(plain.vocab.emplace(std::string(state.text(sym)), state.id_of(sym)).second, &state);
    });
    CHECK(entries == state.vocab_size(), &state);
    state.for_each_merge([&](SlotIndex s) {
        Merge merge = state.merge_at(s);
        plain.merges.emplace_back(state.text(merge.left), state.text(merge.right));
        plain.slots.push_back(s);
        plain.joined.push_back(plain.merges.back().first + plain.merges.back().second);
    });
    CHECK(plain.merges.size() == state.merge_count(), &state);
    return plain;
}

// Position of `slot` among the live merges, or -1 for kNoSlot.
long rank_of(const Plain& plain, SlotIndex slot) {
    if (slot == kNoSlot) return -1;
    auto it = std::lower_bound(plain.slots.begin(), plain.slots.end(), slot);
    if (it == plain.slots.end() || *it != slot) return -2;  // a dead or unknown slot
    return it - plain.slots.begin();
}

struct SymbolAnswers {
    bool in_vocab = false;
    std::uint32_t id = 0;
    long first_producer = -1;
    std::vector<long> uses;  // ranks, sorted
    bool operator==(const SymbolAnswers&) const = default;
};

SymbolAnswers answers_for(const EditorState& state, const Plain& plain, std::string_view text) {
    SymbolAnswers a;
    Symbol sym = state.find_symbol(text);
    a.in_vocab = state.in_vocab(sym);
    CHECK(state.contains(text) == a.in_vocab, &state);
    auto id = state.token_id(text);
    CHECK(id.has_value() == a.in_vocab, &state);
    if (a.in_vocab) {
        a.id = state.id_of(sym);
        CHECK(*id == a.id, &state);
        CHECK(text.size() <= state.longest_key_bytes(), &state);
    }
    if (sym == kNoSymbol) return a;
    a.first_producer = rank_of(plain, state.first_producer(sym));
    CHECK(state.is_produced(sym) == (a.first_producer >= 0), &state);
    state.for_each_use(sym, [&](SlotIndex s) { a.uses.push_back(rank_of(plain, s)); });
    std::sort(a.uses.begin(), a.uses.end());
    CHECK(std::adjacent_find(a.uses.begin(), a.uses.end()) == a.uses.end(), &state);  // each use once
    return a;
}

SymbolAnswers scan_answers(const Plain& plain, const std::string& text) {
    SymbolAnswers a;
    auto entry = plain.vocab.find(text);
    if (entry != plain.vocab.end()) {
        a.in_vocab = true;
        a.id = entry->second;
    }
    for (std::size_t i = 0; i < plain.merges.size(); ++i) {
        const auto& [left, right] = plain.merges[i];
        if (a.first_producer < 0 && plain.joined[i] == text) a.first_producer = static_cast<long>(i);
        if (left == text || right == text) a.uses.push_back(static_cast<long>(i));
    }
    return a;
}

std::string describe(const SymbolAnswers& a) {
    std::string s = "in_vocab=" + std::to_string(a.in_vocab) + " id=" + std::to_string(a.id) +
                    " producer=" + std::to_string(a.first_producer) + " uses=[";
    for (long u : a.uses) s += std::to_string(u) + ",";
    return s + "]";
}

bool same_stats(const TokenizerStats& a, const TokenizerStats& b) {
    return a.vocab_size == b.vocab_size && a.merges_count == b.merges_count &&
           a.single_char_count == b.single_char_count && a.special_token_count == b.special_token_count &&
           a.min_token_id == b.min_token_id && a.max_token_id == b.max_token_id &&
           a.length_distribution == b.length_distribution;
}

std::vector<std::pair<std::string, std::uint32_t>> candidate_texts(const EditorState& state, std::uint32_t min_id) {
    std::vector<std::pair<std::string, std::uint32_t>> out;
    for (const ShrinkCandidate& c : find_shrink_candidates(state, UINT64_MAX, min_id)) {
        CHECK(c.char_length == char_length(state.text(c.token)), &state);
        out.emplace_back(state.text(c.token), c.id);
    }
    return out;
}

// Compares everything the editor derives against a fresh read of its own output.
void check_state(const EditorState& state) {
    const std::string text = write_document_text(state).str();
    std::unique_ptr<EditorState> fresh;
    try {
        fresh = parse_tokenizer_text(text);
    } catch (const ParseError& error) {
        fail(std::string("written document does not parse: ") + error.what(), &state);
    }
    CHECK(write_document_text(*fresh).str() == text, &state);
    CHECK(fresh->vocab_size() == state.vocab_size(), &state);
    CHECK(fresh->merge_count() == state.merge_count(), &state);

    // Build both states' merge lists first, so every merge result is interned.
    (void)state.is_produced(0);
    (void)fresh->is_produced(0);
    const Plain plain = plain_of(state);
    const Plain fresh_plain = plain_of(*fresh);
    CHECK(plain.vocab == fresh_plain.vocab && plain.merges == fresh_plain.merges, &state);

    // Key order: every entry once, ascending by bytes, the same as a fresh read.
    const std::vector<Symbol>& keys = state.key_order();
    CHECK(keys.size() == state.vocab_size(), &state);
    std::vector<std::string> key_texts;
    for (Symbol sym : keys) {
        CHECK(state.in_vocab(sym), &state);
        key_texts.emplace_back(state.text(sym));
    }
    std::vector<std::string> expected_keys;
    for (const auto& [key, id] : plain.vocab) expected_keys.push_back(key);
    CHECK(key_texts == expected_keys, &state);
    std::vector<std::string> fresh_keys;
    for (Symbol sym : fresh->key_order()) fresh_keys.emplace_back(fresh->text(sym));
    CHECK(fresh_keys == expected_keys, &state);

    // Per string: membership, id, first producer, uses. Every string the
    // editor ever interned is asked, including ones that left the document.
    std::set<std::string> strings;
    for (Symbol sym = 0; sym < state.symbol_count(); ++sym) strings.emplace(state.text(sym));
    for (Symbol sym = 0; sym < fresh->symbol_count(); ++sym) {
        CHECK(state.find_symbol(fresh->text(sym)) != kNoSymbol, &state);
        strings.emplace(fresh->text(sym));
    }
    for (const std::string& s : strings) {
        SymbolAnswers edited = answers_for(state, plain, s);
        SymbolAnswers rebuilt = answers_for(*fresh, fresh_plain, s);
        SymbolAnswers scanned = scan_answers(plain, s);
        if (!(edited == scanned) || !(rebuilt == scanned))
            fail("answers for " + quoted(s) + " differ: edited " + describe(edited) + ", rebuilt " +
                     describe(rebuilt) + ", scan " + describe(scanned),
                 &state);
    }

    // Every live merge's result is its concatenation.
    for (std::size_t i = 0; i < plain.slots.size(); ++i)
        CHECK(state.text(state.result_of(plain.slots[i])) == plain.joined[i], &state);

    // has_merge agrees with a scan, for every pair of known strings (or a sample).
    std::set<std::pair<Symbol, Symbol>> pairs;
    for (SlotIndex s : plain.slots) pairs.emplace(state.merge_at(s).left, state.merge_at(s).right);
    for (SlotIndex s : plain.slots) {
        Merge m = state.merge_at(s);
        CHECK(has_pair(state, m.left, m.right), &state);
        CHECK(has_pair(state, m.right, m.left) == (pairs.count({m.right, m.left}) > 0), &state);
    }
    std::vector<Symbol> symbols;
    const std::size_t stride = state.symbol_count() / 24 + 1;
    for (Symbol sym = 0; sym < state.symbol_count(); sym += static_cast<Symbol>(stride)) symbols.push_back(sym);
    for (Symbol l : symbols) {
        for (Symbol r : symbols) {
            bool expected = pairs.count({l, r}) > 0;
            CHECK(has_pair(state, l, r) == expected, &state);
        }
    }

    // token_by_id: the first holder in key order, for held ids and their neighbours.
    std::map<std::uint32_t, std::string> first_holder;
    for (const auto& [key, id] : plain.vocab) first_holder.emplace(id, key);  // map order is key order
    std::set<std::uint32_t> probe_ids{0, 1, UINT32_MAX, static_cast<std::uint32_t>(state.next_id())};
    for (const auto& [id, key] : first_holder) {
        probe_ids.insert(id);
        probe_ids.insert(id + 1);
        probe_ids.insert(id - 1);
    }
    std::map<std::uint32_t, int> holders;
    for (const auto& [key, id] : plain.vocab) ++holders[id];
    bool shared = std::any_of(holders.begin(), holders.end(), [](const auto& h) { return h.second > 1; });
    CHECK(state.has_shared_ids() == shared && fresh->has_shared_ids() == shared, &state);
    for (std::uint32_t id : probe_ids) {
        auto it = first_holder.find(id);
        std::string expected = it == first_holder.end() ? "<none>" : raw(it->second);
        Symbol a = state.token_by_id(id), b = fresh->token_by_id(id);
        std::string got_a = a == kNoSymbol ? "<none>" : raw(state.text(a));
        std::string got_b = b == kNoSymbol ? "<none>" : raw(fresh->text(b));
        if (got_a != expected || got_b != expected)
            fail("token_by_id(" + std::to_string(id) + "): edited " + got_a + ", rebuilt " + got_b + ", expected " +
                     expected,
                 &state);
    }
    // Ids are handed out from next_id up, so no entry may hold one at or above it.
    for (const auto& [key, id] : plain.vocab) CHECK(id < state.next_id(), &state);

    // Whole-document queries agree with a fresh read.
    CHECK(same_stats(get_stats(state), get_stats(*fresh)), &state);
    GapReport gaps = check_vocab_gaps(state), fresh_gaps = check_vocab_gaps(*fresh);
    CHECK(gaps.has_gaps == fresh_gaps.has_gaps && gaps.total_gaps == fresh_gaps.total_gaps &&
              gaps.min_id == fresh_gaps.min_id && gaps.max_id == fresh_gaps.max_id,
          &state);
    ValidationResult valid = validate_merges(state), fresh_valid = validate_merges(*fresh);
    CHECK(valid.valid_count == fresh_valid.valid_count && valid.invalid_count == fresh_valid.invalid_count, &state);
    std::uint64_t invalid_scan = 0;
    for (const std::string& result : plain.joined) invalid_scan += plain.vocab.count(result) == 0;
    CHECK(valid.invalid_count == invalid_scan && valid.valid_count + invalid_scan == plain.merges.size(), &state);
    for (std::size_t i = 0; i < valid.invalid_merges.size(); ++i) {
        const InvalidMerge& m = valid.invalid_merges[i];
        CHECK(m.position < plain.merges.size() && plain.merges[m.position] == std::make_pair(m.left, m.right),
              &state);
    }
    CHECK(candidate_texts(state, 0) == candidate_texts(*fresh, 0), &state);
}

// ---------------------------------------------------------------- operations

// A token argument: fresh text, an entry, an entry extended, or two entries joined.
std::string pick_token(Bytes& in, const EditorState& state) {
    std::uint8_t mode = in.next() % 5;
    const std::vector<Symbol>& keys = state.key_order();
    if (mode == 0 || keys.empty()) return make_token(in);
    std::string key(state.text(keys[in.next() % keys.size()]));
    switch (mode) {
        case 1: return key;
        case 2: return key + make_token(in);
        case 3: return make_token(in) + key;
        default: return key + std::string(state.text(keys[in.next() % keys.size()]));
    }
}

std::vector<std::string> pick_tokens(Bytes& in, const EditorState& state, std::size_t most) {
    std::vector<std::string> tokens(in.next() % (most + 1));
    for (std::string& t : tokens) t = pick_token(in, state);
    return tokens;
}

// Live merges producing `text`, by a scan of the merge list.
std::size_t producers_of(const EditorState& state, std::string_view text) {
    std::size_t count = 0;
    state.for_each_merge([&](SlotIndex s) {
        Merge m = state.merge_at(s);
        std::string_view l = state.text(m.left), r = state.text(m.right);
        count += l.size() + r.size() == text.size() && text.starts_with(l) && text.ends_with(r);
    });
    return count;
}

// Removes `root` and checks what removing a token promises: the root and
// everything reported removed are gone, no merge uses a removed string any
// more, and the root lost its first producer.
void remove_and_check(EditorState& state, const std::string& root) {
    const std::size_t producers_before = producers_of(state, root);
    const std::vector<std::string> removed = remove_token(state, root).removed_tokens;
    CHECK(!state.contains(root), &state);
    CHECK(!removed.empty() && removed.front() == root, &state);
    for (const std::string& t : removed) {
        CHECK(!state.contains(t), &state);
        state.for_each_merge([&](SlotIndex s) {
            Merge m = state.merge_at(s);
            CHECK(state.text(m.left) != t && state.text(m.right) != t, &state);
        });
    }
    std::size_t after = producers_of(state, root);
    CHECK(after <= (producers_before ? producers_before - 1 : 0), &state);
}

void trace(const std::string& line) { g_trace += "  " + line + "\n"; }

// Runs an edit that may be refused for lack of free ids. A refused edit of
// one token must leave the document as it was; a batch may stop partway.
template <class Edit>
void refusable(EditorState& state, bool atomic, Edit&& edit) {
    const std::string before = atomic ? write_document_text(state).str() : std::string();
    try {
        edit();
    } catch (const IdSpaceExhausted&) {
        trace("  -> refused: no free id");
        if (atomic && write_document_text(state).str() != before) fail("a refused edit changed the document", &state);
    }
}

std::string list_text(const std::vector<std::string>& items) {
    std::string s = "[";
    for (const std::string& item : items) s += raw(item) + ",";
    return s + "]";
}

void run_step(Bytes& in, EditorState& state) {
    const std::uint8_t op = in.next() % 13;
    switch (op) {
        case 0: {
            std::string token = pick_token(in, state);
            trace("add_token " + raw(token));
            refusable(state, true, [&] {
                AdditionResult result = add_token(state, token);
                CHECK(state.contains(token), &state);
                CHECK(result.added == (result.method != "already_exists"), &state);
                for (const auto& [left, right] : result.added_merges) {
                    Symbol l = state.find_symbol(left), r = state.find_symbol(right);
                    CHECK(l != kNoSymbol && r != kNoSymbol && has_pair(state, l, r), &state);
                }
            });
            break;
        }
        case 1: {
            std::string token = pick_token(in, state);
            trace("add_token_atomic " + raw(token));
            bool was = state.contains(token);
            std::size_t size = state.vocab_size();
            refusable(state, true, [&] {
                CHECK(add_token_atomic(state, token) == !was, &state);
                CHECK(state.contains(token) && state.vocab_size() == size + !was, &state);
            });
            break;
        }
        case 2: {
            std::string token = pick_token(in, state);
            trace("remove_token " + raw(token));
            remove_and_check(state, token);
            break;
        }
        case 3: {
            std::uint64_t count = in.next() % 6;
            std::uint32_t min_id = make_id(in);
            trace("shrink " + std::to_string(count) + " " + std::to_string(min_id));
            std::size_t candidates = find_shrink_candidates(state, count, min_id).size();
            ShrinkResult result = shrink(state, count, min_id);
            CHECK(result.tokens_removed_count == candidates && result.final_vocab_size == state.vocab_size() &&
                      result.final_merges_count == state.merge_count(),
                  &state);
            break;
        }
        case 4: {
            std::uint64_t count = in.next() % 8;
            std::uint32_t min_id = make_id(in);
            trace("find_shrink_candidates " + std::to_string(count) + " " + std::to_string(min_id));
            std::vector<ShrinkCandidate> found = find_shrink_candidates(state, count, min_id);
            CHECK(found.size() <= count, &state);
            for (std::size_t i = 0; i < found.size(); ++i) {
                const ShrinkCandidate& c = found[i];
                std::string_view text = state.text(c.token);
                CHECK(state.in_vocab(c.token) && state.id_of(c.token) == c.id && c.id >= min_id, &state);
                CHECK(c.char_length >= 2 && !is_special_token(text), &state);
                if (i > 0) {
                    const ShrinkCandidate& p = found[i - 1];
                    bool ordered = p.char_length > c.char_length ||
                                   (p.char_length == c.char_length &&
                                    (p.id > c.id || (p.id == c.id && state.text(p.token) < text)));
                    CHECK(ordered, &state);
                }
            }
            break;
        }
        case 5: {
            trace("remove_invalid_merges");
            std::uint64_t invalid = validate_merges(state).invalid_count;
            std::size_t merges = state.merge_count();
            CHECK(remove_invalid_merges(state) == invalid, &state);
            CHECK(state.merge_count() == merges - invalid && validate_merges(state).invalid_count == 0, &state);
            break;
        }
        case 6: {
            trace("reindex_vocab");
            ReindexResult result = reindex_vocab(state);
            CHECK(result.vocab_size == state.vocab_size(), &state);
            std::vector<std::uint32_t> ids;
            state.for_each_entry([&](Symbol sym) { ids.push_back(state.id_of(sym)); });
            std::sort(ids.begin(), ids.end());
            for (std::size_t i = 0; i < ids.size(); ++i) CHECK(ids[i] == i, &state);
            break;
        }
        case 7:
        case 8: {
            std::vector<std::string> tokens = pick_tokens(in, state, 4);
            std::vector<std::string> whitelist = pick_tokens(in, state, 2);
            trace("add_tokens_keep_size " + list_text(tokens) + " " + list_text(whitelist));
            refusable(state, false, [&] {
                KeepSizeReport report = add_tokens_keep_size(state, tokens, whitelist);
                CHECK(report.final_vocab_size == state.vocab_size(), &state);
            });
            break;
        }
        case 9: {
            std::string source_text = make_document(in, true);
            std::uint32_t min_id = make_id(in);
            trace("sync_single_chars " + raw(source_text) + " " + std::to_string(min_id));
            std::unique_ptr<EditorState> source = parse_tokenizer_text(source_text);
            refusable(state, true, [&] {
                SyncReport report = sync_single_chars(state, *source, min_id, [](std::string_view) {});
                CHECK(report.final_vocab_size == state.vocab_size(), &state);
                for (Symbol sym : source->key_order()) CHECK(state.contains(source->text(sym)), &state);
            });
            break;
        }
        case 10: {
            // A merge's left part, right part or result: maybe no entry, and
            // a result may never have been looked at before.
            if (state.merge_count() == 0) break;
            std::vector<SlotIndex> slots;
            state.for_each_merge([&](SlotIndex s) { slots.push_back(s); });
            Merge merge = state.merge_at(slots[in.next() % slots.size()]);
            std::uint8_t which = in.next() % 3;
            std::string token = which == 0   ? std::string(state.text(merge.left))
                                : which == 1 ? std::string(state.text(merge.right))
                                             : std::string(state.text(merge.left)) + std::string(state.text(merge.right));
            trace("remove_token (merge part or result) " + raw(token));
            remove_and_check(state, token);
            break;
        }
        case 11: {
            trace("validate_merges, get_stats, check_vocab_gaps");
            (void)validate_merges(state);
            (void)get_stats(state);
            (void)check_vocab_gaps(state);
            break;
        }
        default: {
            // Several additions in a row, as add_tokens does.
            std::vector<std::string> tokens = pick_tokens(in, state, 4);
            trace("add_tokens " + list_text(tokens));
            refusable(state, false, [&] {
                for (const std::string& t : tokens) add_token(state, t);
            });
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes in(data, size);
    const std::string doc = make_document(in, false);
    g_trace = "  document " + doc + "\n";
    std::unique_ptr<EditorState> state;
    try {
        state = parse_tokenizer_text(doc);
    } catch (const ParseError& error) {
        fail(std::string("generated document does not parse: ") + error.what());
    }
    // Either check the freshly loaded state (building its indexes) or let the
    // first operation meet the indexes unbuilt.
    if (in.next() & 1) check_state(*state);
    for (int step = 0; step < 24 && !in.empty(); ++step) {
        run_step(in, *state);
        check_state(*state);
    }
    return 0;
}
