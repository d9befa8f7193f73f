#include "addition.hpp"

#include <vector>

#include "../tokenizer/text.hpp"

namespace vocarix {
namespace {

// Byte offsets where each character of `s` ends.
std::vector<std::size_t> character_ends(std::string_view s) {
    std::vector<std::size_t> ends;
    for (std::size_t i = 0; i < s.size(); ++i) {
        std::size_t next = i + 1;
        while (next < s.size() && (static_cast<unsigned char>(s[next]) & 0xC0) == 0x80) ++next;
        ends.push_back(next);
        i = next - 1;
    }
    return ends;
}

void insert_if_absent(EditorState& state, Symbol sym) {
    if (!state.in_vocab(sym)) state.insert_entry(sym);
}

// Appends (left, right) unless that exact merge exists; records what it appended.
void append_merge_once(EditorState& state, Symbol left, Symbol right, Symbol result,
                       std::vector<StringPair>& appended) {
    if (state.has_merge(left, right, result)) return;
    state.append_merge(left, right, result);
    appended.emplace_back(state.text(left), state.text(right));
}

// Makes every character of `s` and every prefix of `s` an entry, with the
// merges (prefix, next character) that join them.
void build_char_chain(EditorState& state, std::string_view s, std::vector<StringPair>& appended) {
    std::vector<std::size_t> ends = character_ends(s);
    if (ends.empty()) return;
    Symbol current = state.intern(s.substr(0, ends[0]));
    insert_if_absent(state, current);
    for (std::size_t i = 1; i < ends.size(); ++i) {
        Symbol next_char = state.intern(s.substr(ends[i - 1], ends[i] - ends[i - 1]));
        insert_if_absent(state, next_char);
        Symbol combined = state.intern(s.substr(0, ends[i]));
        append_merge_once(state, current, next_char, combined, appended);
        insert_if_absent(state, combined);
        current = combined;
    }
}

}  // namespace

AdditionResult add_token(EditorState& state, std::string_view token) {
    AdditionResult result;
    result.token = std::string(token);
    if (state.contains(token)) {
        result.method = "already_exists";
        return result;
    }
    result.added = true;
    std::vector<std::size_t> ends = character_ends(token);
    if (ends.size() == 1) {
        state.insert_entry(token);
        result.method = "single_char";
        return result;
    }
    // Longest proper prefix made of whole characters; no key is longer than the longest entry.
    Symbol prefix = kNoSymbol;
    std::size_t prefix_end = 0;
    for (std::size_t k = ends.empty() ? 0 : ends.size() - 1; k >= 1; --k) {
        std::size_t end = ends[k - 1];
        if (end > state.longest_key_bytes()) continue;
        Symbol candidate = state.find_symbol(token.substr(0, end));
        if (state.in_vocab(candidate)) {
            prefix = candidate;
            prefix_end = end;
            break;
        }
    }
    if (prefix != kNoSymbol) {
        std::string_view rest = token.substr(prefix_end);
        Symbol suffix = state.intern(rest);
        if (!state.in_vocab(suffix)) build_char_chain(state, rest, result.added_merges);
        Symbol whole = state.intern(token);
        append_merge_once(state, prefix, suffix, whole, result.added_merges);
        state.insert_entry(whole);
        result.method = "longest_prefix";
        return result;
    }
    build_char_chain(state, token, result.added_merges);
    insert_if_absent(state, state.intern(token));
    result.method = "char_chain";
    return result;
}

bool add_token_atomic(EditorState& state, std::string_view token) {
    if (state.contains(token)) return false;
    state.insert_entry(token);
    return true;
}

}  // namespace vocarix
