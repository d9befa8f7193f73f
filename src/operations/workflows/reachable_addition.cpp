#include "operations/workflows/reachable_addition.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "document/errors.hpp"
#include "document/text.hpp"
#include "document/unicode_classes.hpp"

namespace vocarix {
namespace {

// A word of n characters takes at most n-1 joins, each creating at most one
// entry no longer than the word; refuse words whose entries could not
// reasonably fit in memory.
constexpr std::uint64_t kMaxJoinBytes = 64ull << 20;

// The characters of a word whose entries do not exist yet.
struct CharacterCheck {
    std::vector<std::string> to_insert;  // forms the model looks up: prefix + character + suffix
    std::vector<std::string> unknown;    // characters as written, each once
    bool needs_space_entry = false;      // some unknown character is a space or a space mark
    std::size_t characters = 0;
};

// A space or the style's space mark: an entry for it is made only when the
// word is nothing else, since the normalizer or the style usually rewrites
// such a character before the model sees it.
bool is_space_character(std::string_view character, std::string_view space_mark) {
    if (!space_mark.empty() && character == space_mark) return true;
    const auto* p = reinterpret_cast<const unsigned char*>(character.data());
    return is_white_space(decode_utf8_sequence(p, character.size()));
}

bool byte_tokens_exist(const EditorState& state, std::string_view text) {
    for (unsigned char byte : text)
        if (!state.contains(ByteTokenName(byte).view())) return false;
    return true;
}

CharacterCheck check_characters(const EditorState& state, std::string_view word, const ReachableOptions& options) {
    const ModelSettings& model = state.sections.model;
    const std::string_view prefix = subword_prefix(model), suffix = word_suffix(model);
    CharacterCheck check;
    std::unordered_set<std::string> listed_forms, listed_characters;
    std::string form;
    for (std::size_t i = 0; i < word.size();) {
        std::size_t end = character_end(word, i);
        std::string_view character = word.substr(i, end - i);
        form.assign(i > 0 ? prefix : "");
        form.append(character);
        if (end == word.size()) form.append(suffix);
        i = end;
        ++check.characters;
        if (state.contains(form)) continue;
        if (is_space_character(character, options.space_mark) && character != word) {
            check.needs_space_entry = true;
            if (listed_characters.emplace(character).second) check.unknown.emplace_back(character);
            continue;
        }
        // A character the model spells in byte tokens needs an entry of its
        // own: merges of byte tokens would build "<0x..><0x..>", not the word.
        if ((model.byte_fallback && byte_tokens_exist(state, form)) || options.add_unknown_characters) {
            if (listed_forms.insert(form).second) check.to_insert.push_back(form);
        } else if (listed_characters.emplace(character).second) {
            check.unknown.emplace_back(character);
        }
    }
    return check;
}

void check_room(const EditorState& state, const CharacterCheck& check, std::size_t token_bytes) {
    std::uint64_t joins = check.characters > 0 ? check.characters - 1 : 0;
    if (joins * token_bytes > kMaxJoinBytes)
        throw ChainTooLong("word of " + std::to_string(check.characters) +
                           " characters is too long to join: its intermediate entries could hold " +
                           std::to_string(joins * token_bytes) + " bytes");
    if (state.free_ids() < check.to_insert.size() + joins) throw IdSpaceExhausted();
}

// One join: the pieces covering bytes [begin, split) and [split, end) of the
// whole word's token become one.
struct Join {
    std::size_t begin, split, end;
};

// Chooses how to bracket a word's pieces: every join creates an entry unless
// its result is one already (an existing token, or one an earlier word
// created), so the plan with the fewest new entries is found by an interval
// recurrence over the pieces. Among equally cheap plans it takes the one
// nearest to joining left to right, whose merges all start at the word's
// beginning and so touch no other text than words that begin the same way.
class JoinPlanner {
public:
    JoinPlanner(const EditorState& state, const Segmenter& segmenter)
        : state_(state), segmenter_(segmenter), prefix_length_(subword_prefix(state.sections.model).size()) {}

    // Byte ends of the pieces within the token.
    void piece_ends(const std::vector<Symbol>& pieces, std::vector<std::size_t>& ends) const {
        ends.clear();
        std::size_t at = 0;
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            std::size_t size = state_.text(pieces[i]).size();
            at += i == 0 ? size : size - std::min(size, prefix_length_);
            ends.push_back(at);
        }
    }

    // Joins in an order that can run: children before parents, left before right.
    std::vector<Join> plan(const std::vector<Symbol>& pieces) {
        const std::size_t k = pieces.size();
        piece_ends(pieces, ends_);
        std::vector<Join> joins;
        if (k > kMaxPlannedPieces) {
            for (std::size_t j = 1; j < k; ++j) joins.push_back({0, ends_[j - 1], ends_[j]});
            return joins;
        }
        find_existing_spans(pieces);
        cost_.assign(k * k, 0);
        split_.assign(k * k, 0);
        for (std::size_t length = 2; length <= k; ++length)
            for (std::size_t i = 0; i + length <= k; ++i) {
                std::size_t j = i + length - 1;
                std::uint32_t best = UINT32_MAX;
                for (std::size_t m = j; m-- > i;) {
                    std::uint32_t cost = cost_[i * k + m] + cost_[(m + 1) * k + j];
                    if (cost < best) best = cost, split_[i * k + j] = static_cast<std::uint32_t>(m);
                }
                cost_[i * k + j] = best + (exists_[i * k + j] ? 0 : 1);
            }
        emit(0, k - 1, k, joins);
        return joins;
    }

private:
    // Beyond this many pieces the plan joins left to right without looking.
    static constexpr std::size_t kMaxPlannedPieces = 64;

    // exists_[i * k + j]: pieces i..j together make an existing entry.
    void find_existing_spans(const std::vector<Symbol>& pieces) {
        const std::size_t k = pieces.size();
        exists_.assign(k * k, 0);
        for (std::size_t i = 0; i < k; ++i) {
            text_.assign(state_.text(pieces[i]));
            for (std::size_t j = i + 1; j < k; ++j) {
                std::string_view right = state_.text(pieces[j]);
                text_.append(right.substr(std::min(prefix_length_, right.size())));
                if (text_.size() > state_.longest_key_bytes()) break;  // no entry is that long
                exists_[i * k + j] = state_.contains(text_);
            }
        }
    }

    void emit(std::size_t i, std::size_t j, std::size_t k, std::vector<Join>& joins) const {
        if (i == j) return;
        std::size_t m = split_[i * k + j];
        emit(i, m, k, joins);
        emit(m + 1, j, k, joins);
        joins.push_back({i == 0 ? 0 : ends_[i - 1], ends_[m], ends_[j]});
    }

    const EditorState& state_;
    const Segmenter& segmenter_;
    std::size_t prefix_length_;
    std::vector<std::size_t> ends_;
    std::vector<std::uint8_t> exists_;
    std::vector<std::uint32_t> cost_, split_;
    std::string text_;
};

class WordJoiner {
public:
    WordJoiner(EditorState& state, Segmenter& segmenter, ReachableAddition& record)
        : state_(state), segmenter_(segmenter), record_(record), planner_(state, segmenter) {}

    void insert_entry(std::string_view text) {
        Symbol sym = state_.insert_entry(text);
        record_.entries_created.emplace_back(text, state_.id_of(sym));
    }

    // Follows the plan until one piece is left. When earlier merges take a
    // new piece apart from the plan, plans again from the pieces there are.
    // False when a join does not shorten the word.
    bool join(std::vector<Symbol>& pieces) {
        std::vector<Join> plan;
        std::size_t next = 0;
        while (pieces.size() > 1) {
            std::size_t at = next_position(pieces, plan, next);
            if (at == kNoPosition) {
                plan = planner_.plan(pieces);
                next = 0;
                continue;
            }
            ++next;
            join_pair(pieces[at], pieces[at + 1]);
            std::size_t before = pieces.size();
            segmenter_.merge_all(pieces);
            if (pieces.size() >= before) return false;
        }
        return true;
    }

private:
    static constexpr std::size_t kNoPosition = SIZE_MAX;

    // Where the next planned join sits among the pieces, skipping joins whose
    // result earlier merges already formed; kNoPosition when the plan is
    // spent or no longer matches the pieces.
    std::size_t next_position(const std::vector<Symbol>& pieces, const std::vector<Join>& plan, std::size_t& next) {
        planner_.piece_ends(pieces, ends_);
        for (; next < plan.size(); ++next) {
            const Join& join = plan[next];
            std::size_t first = 0;
            if (join.begin > 0) {
                auto it = std::lower_bound(ends_.begin(), ends_.end(), join.begin);
                if (it == ends_.end() || *it != join.begin) return kNoPosition;
                first = static_cast<std::size_t>(it - ends_.begin()) + 1;
            }
            if (first >= pieces.size()) return kNoPosition;
            if (ends_[first] == join.end) continue;  // formed already
            if (ends_[first] == join.split && first + 1 < pieces.size() && ends_[first + 1] == join.end) return first;
            return kNoPosition;
        }
        return kNoPosition;
    }

    void join_pair(Symbol left, Symbol right) {
        segmenter_.merge_result_text(left, right, text_);
        Symbol result = state_.intern(text_);
        if (!state_.in_vocab(result)) insert_entry(text_);
        // The state names a merge's result by plain concatenation.
        Symbol concatenation = state_.intern_concat(left, right);
        if (state_.has_merge(left, right, concatenation)) {
            // Listed but not used: the merge lacked its result entry until now.
            segmenter_.invalidate();
            return;
        }
        state_.append_merge(left, right, concatenation);
        record_.merges_appended.emplace_back(state_.text(left), state_.text(right));
        segmenter_.merge_appended(left, right);
    }

    EditorState& state_;
    Segmenter& segmenter_;
    ReachableAddition& record_;
    JoinPlanner planner_;
    std::vector<std::size_t> ends_;
    std::string text_;
};

bool produced_whole(const EditorState& state, const Segmentation& seg, std::string_view token) {
    return seg.pieces.size() == 1 && !seg.met_unknown && !seg.used_byte_fallback &&
           state.text(seg.pieces[0]) == token;
}

}  // namespace

ReachableAddition add_word_reachable(EditorState& state, Segmenter& segmenter, std::string_view word,
                                     const ReachableOptions& options) {
    if (&segmenter.state() != &state) throw std::invalid_argument("the segmenter belongs to another editor state");
    if (!is_valid_utf8(word)) throw std::invalid_argument("word is not valid UTF-8");
    const ModelSettings& model = state.sections.model;
    ReachableAddition record;
    record.word = std::string(word);
    record.token = record.word;
    record.token += word_suffix(model);
    if (word.empty()) {
        record.outcome = "empty";
        return record;
    }

    Segmentation seg = segmenter.segment(word);
    for (Symbol sym : seg.pieces) {
        record.pieces_before.emplace_back(state.text(sym));
        record.piece_ids_before.push_back(state.id_of(sym));
    }
    if (seg.pieces.size() == 1 && !seg.met_unknown && !seg.used_byte_fallback) {
        // With ignore_merges the single piece may be the word itself, without the suffix.
        record.token = record.pieces_before[0];
        record.outcome = "already_whole";
        return record;
    }

    CharacterCheck check = check_characters(state, word, options);
    if (!check.unknown.empty()) {
        record.unknown_characters = std::move(check.unknown);
        record.outcome = check.needs_space_entry ? "space_entry" : "unknown_characters";
        return record;
    }
    WordJoiner joiner(state, segmenter, record);
    bool joined = true;
    if (model.ignore_merges) {
        // The model takes a word that is an entry as it is, before any merge.
        if (state.free_ids() == 0) throw IdSpaceExhausted();
        record.token = record.word;
        joiner.insert_entry(word);
    } else {
        check_room(state, check, record.token.size());
        for (const std::string& form : check.to_insert) joiner.insert_entry(form);
        if (!check.to_insert.empty()) segmenter.segment(word, seg);
        joined = joiner.join(seg.pieces);
    }
    record.added = !record.entries_created.empty() || !record.merges_appended.empty();

    segmenter.segment(word, seg);
    record.outcome = joined && produced_whole(state, seg, record.token) ? "added" : "not_produced";
    return record;
}

std::vector<ReachableAddition> add_words_reachable(EditorState& state, std::span<const std::string> words,
                                                   const ReachableOptions& options) {
    Segmenter segmenter(state);
    std::vector<ReachableAddition> records;
    records.reserve(words.size());
    for (const std::string& word : words) records.push_back(add_word_reachable(state, segmenter, word, options));
    return records;
}

}  // namespace vocarix
