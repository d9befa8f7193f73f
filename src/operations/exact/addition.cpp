#include "operations/exact/addition.hpp"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "document/errors.hpp"
#include "document/text.hpp"

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

bool is_character_end(std::string_view s, std::size_t end) {
    return end >= s.size() || (static_cast<unsigned char>(s[end]) & 0xC0) != 0x80;
}

// Prefixes no longer than any key are looked up directly, longest first,
// while that is at most this many lookups of at most this many bytes each:
// ordinary tokens and vocabularies never pay for the key fingerprints.
constexpr std::size_t kDirectSearchBytes = 128;

bool direct_search_is_cheap(const EditorState& state, std::string_view s) {
    return std::min(s.size(), state.longest_key_bytes()) <= kDirectSearchBytes;
}

// Longest proper prefix of `token` (whole characters) that is an entry; 0 when none.
std::size_t longest_prefix_end(const EditorState& state, std::string_view token) {
    if (direct_search_is_cheap(state, token)) {
        for (std::size_t end = std::min(token.size() - 1, state.longest_key_bytes()); end >= 1 && end < token.size();
             --end)
            if (is_character_end(token, end) && state.contains(token.substr(0, end))) return end;
        return 0;
    }
    // One pass hashes the token's prefixes at the lengths that keys have;
    // then, from the longest down, only a fingerprint hit costs a lookup.
    const KeyPrefixIndex& keys = state.key_prefixes();
    std::vector<std::pair<std::size_t, std::uint64_t>> candidates;
    RollingHash hash;
    std::size_t hashed = 0;
    for (auto [length, count] : keys.lengths()) {
        if (length >= token.size()) break;
        if (length == 0 || !is_character_end(token, length)) continue;
        while (hashed < length) hash.extend(static_cast<unsigned char>(token[hashed++]));
        candidates.emplace_back(length, hash.value());
    }
    for (auto c = candidates.rbegin(); c != candidates.rend(); ++c)
        if (keys.may_hold(c->first, c->second) && state.contains(token.substr(0, c->first))) return c->first;
    return 0;
}

// The entries an addition would create and the bytes they hold, found without
// changing anything. Prefixes are looked up only where a key could match, so
// long tokens cost no quadratic lookups here.
struct AdditionPlan {
    std::uint64_t entries = 0;
    std::uint64_t bytes = 0;
};

class Planner {
public:
    explicit Planner(const EditorState& state) : state_(state) {}

    // Strings of two or more characters in one plan are all distinct (prefixes
    // of different lengths, or the token itself), so only characters repeat.
    void need(std::string_view s, bool single_character) {
        if (s.size() <= state_.longest_key_bytes() && state_.contains(s)) return;
        if (single_character && !planned_characters_.insert(s).second) return;
        ++plan_.entries;
        plan_.bytes += s.size();
    }
    // The entries build_char_chain would create for `s`, `s` itself included.
    // Its prefixes are looked up only where a key's fingerprint matches.
    void chain(std::string_view s) {
        std::vector<std::size_t> ends = character_ends(s);
        if (ends.empty()) return;
        need(s.substr(0, ends[0]), true);
        if (direct_search_is_cheap(state_, s)) {
            for (std::size_t i = 1; i < ends.size(); ++i) {
                need(s.substr(ends[i - 1], ends[i] - ends[i - 1]), true);
                need(s.substr(0, ends[i]), false);
            }
            return;
        }
        const KeyPrefixIndex& keys = state_.key_prefixes();
        RollingHash hash;
        std::size_t hashed = 0;
        for (std::size_t i = 1; i < ends.size(); ++i) {
            need(s.substr(ends[i - 1], ends[i] - ends[i - 1]), true);
            std::size_t end = ends[i];
            if (keys.has_length(end)) {
                while (hashed < end) hash.extend(static_cast<unsigned char>(s[hashed++]));
                if (keys.may_hold(end, hash.value()) && state_.contains(s.substr(0, end))) continue;
            }
            ++plan_.entries;
            plan_.bytes += end;
        }
    }
    AdditionPlan plan() const { return plan_; }

private:
    const EditorState& state_;
    std::unordered_set<std::string_view> planned_characters_;
    AdditionPlan plan_;
};

AdditionPlan plan_addition(const EditorState& state, std::string_view token) {
    Planner planner(state);
    std::vector<std::size_t> ends = character_ends(token);
    if (ends.size() <= 1) {
        planner.need(token, ends.size() == 1);
        return planner.plan();
    }
    std::size_t prefix_end = longest_prefix_end(state, token);
    if (prefix_end == 0) {
        planner.chain(token);  // the chain ends with the token itself
        return planner.plan();
    }
    std::string_view rest = token.substr(prefix_end);
    if (!state.contains(rest)) planner.chain(rest);
    planner.need(token, false);
    return planner.plan();
}

// Every prefix of a chained token becomes an entry; refuse chains whose text
// would not reasonably fit in memory rather than fail halfway.
constexpr std::uint64_t kMaxChainBytes = 64ull << 20;

// Refuses, before anything changes, an addition that would run out of ids or
// build an oversized chain. Cheap bounds skip the exact plan for ordinary tokens.
void check_addition(const EditorState& state, std::string_view token) {
    std::uint64_t free = state.free_ids();
    bool ids_may_run_out = free < 2 * static_cast<std::uint64_t>(token.size()) + 2;
    bool may_be_huge = static_cast<std::uint64_t>(token.size()) * token.size() > kMaxChainBytes;
    if (!ids_may_run_out && !may_be_huge) return;
    AdditionPlan plan = plan_addition(state, token);
    if (plan.bytes > kMaxChainBytes)
        throw ChainTooLong("token of " + std::to_string(char_length(token)) +
                           " characters is too long to build a merge chain for: it would create " +
                           std::to_string(plan.entries) + " entries holding " + std::to_string(plan.bytes) +
                           " bytes");
    if (plan.entries > free) throw IdSpaceExhausted();
}

}  // namespace

AdditionResult add_token(EditorState& state, std::string_view token) {
    AdditionResult result;
    result.token = std::string(token);
    if (state.contains(token)) {
        result.method = "already_exists";
        return result;
    }
    check_addition(state, token);
    result.added = true;
    std::vector<std::size_t> ends = character_ends(token);
    if (ends.size() == 1) {
        state.insert_entry(token);
        result.method = "single_char";
        return result;
    }
    std::size_t prefix_end = longest_prefix_end(state, token);
    Symbol prefix = prefix_end > 0 ? state.find_symbol(token.substr(0, prefix_end)) : kNoSymbol;
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

std::vector<AdditionResult> add_tokens(EditorState& state, const std::vector<std::string>& tokens) {
    std::vector<AdditionResult> results;
    results.reserve(tokens.size());
    for (const std::string& token : tokens) results.push_back(add_token(state, token));
    return results;
}

bool add_token_atomic(EditorState& state, std::string_view token) {
    if (state.contains(token)) return false;
    if (state.free_ids() == 0) throw IdSpaceExhausted();
    state.insert_entry(token);
    return true;
}

}  // namespace vocarix
