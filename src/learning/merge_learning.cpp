#include "learning/merge_learning.hpp"

#include <algorithm>
#include <optional>
#include <queue>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "analysis/added_tokens_view.hpp"
#include "analysis/segmentation.hpp"
#include "analysis/token_style.hpp"
#include "document/text.hpp"
#include "learning/chunked_segmentation.hpp"
#include "learning/word_counting.hpp"

namespace vocarix {
namespace {

constexpr std::uint64_t kMaxTotal = 1ull << 50;

std::uint64_t pair_key(Symbol left, Symbol right) { return (std::uint64_t{left} << 32) | right; }

// The byte a byte token <0xNN> stands for, or -1.
int byte_of(std::string_view text) {
    if (!is_byte_token(text)) return -1;
    auto digit = [](char c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
    return digit(text[3]) * 16 + digit(text[4]);
}

// A stretch of a word's final segmentation that merges may join: a word
// cut before every piece no new merge may take as its right part.
struct Unit {
    std::vector<Symbol> pieces;
    std::uint64_t count = 0;
};

struct SequenceHash {
    std::size_t operator()(const std::vector<Symbol>& pieces) const {
        std::uint64_t h = 1469598103934665603ull;
        for (Symbol sym : pieces) h = (h ^ sym) * 1099511628211ull;
        return static_cast<std::size_t>(h);
    }
};

enum class Verdict : std::int8_t { kUnknown, kYes, kNo };

struct PairStat {
    Symbol left, right;
    std::uint64_t count = 0;
    std::vector<std::uint32_t> units;  // units it occurs in; may repeat or be stale
    Verdict learnable = Verdict::kUnknown;
};

struct CharacterStat {
    std::string text;
    std::uint64_t count = 0;
    std::vector<std::uint32_t> units;
};

struct Candidate {
    std::uint64_t score;
    bool character;
    std::uint32_t index;
};

class MergeLearner {
public:
    MergeLearner(EditorState& state, const LearnOptions& options)
        : state_(state), options_(options), segmenter_(state) {
        const ModelSettings& model = state.sections.model;
        prefix_length_ = subword_prefix(model).size();
        byte_fallback_ = model.byte_fallback;
        if (!state.sections.form.unk_token_null) unk_ = state.find_symbol(model.unk_token);
        StyleReport style = detect_token_style(state);
        if (style.style == TokenStyle::kMetaspace) marker_ = style.marker;
        for (const AddedTokenEntry& entry : read_added_tokens(state.sections)) {
            Symbol sym = state.find_symbol(entry.content);
            if (sym != kNoSymbol) added_.insert(sym);
        }
        characters_ = options.add_characters && byte_fallback_ && prefix_length_ == 0 && word_suffix(model).empty();
    }

    void read_words(const std::vector<std::pair<std::string, std::uint64_t>>& words, LearnReport& report) {
        std::unordered_map<std::vector<Symbol>, std::uint32_t, SequenceHash> index;
        ChunkedSegmenter segmenter(state_);
        std::vector<Symbol> pieces, chunk;
        for (const auto& [word, count] : words) {
            if (count == 0) continue;
            report.words = add_counts(report.words, count);
            if (report.words > kMaxTotal) throw std::invalid_argument("the word counts add up to more than 2^50");
            ++report.distinct_words;
            pieces.clear();
            segmenter.segment(word, pieces);
            report.tokens_before += count * pieces.size();
            for (std::size_t i = 0; i < pieces.size(); ++i) {
                if (i > 0 && !may_join(pieces[i - 1], pieces[i])) flush(chunk, count, index);
                chunk.push_back(pieces[i]);
            }
            flush(chunk, count, index);
        }
        for (std::uint32_t u = 0; u < units_.size(); ++u) {
            const Unit& unit = units_[u];
            for (std::size_t i = 0; i + 1 < unit.pieces.size(); ++i) {
                PairStat& stat = pair(unit.pieces[i], unit.pieces[i + 1]);
                stat.count += unit.count;
                stat.units.push_back(u);
            }
            if (characters_) find_characters(u);
        }
        for (std::uint32_t i = 0; i < pairs_.size(); ++i) push_pair(i);
        for (std::uint32_t i = 0; i < chars_.size(); ++i)
            if (chars_[i].count >= options_.min_count) push(Candidate{character_score(i), true, i});
    }

    void learn(LearnReport& report) {
        std::uint64_t saved = 0;
        std::uint64_t created = 0;
        while (created < options_.entries) {
            std::optional<Candidate> best = next();
            if (!best) {
                report.exhausted = true;
                break;
            }
            if (best->character) {
                LearnedCharacter learned = add_character(best->index, report);
                saved += learned.saved;
                report.characters.push_back(std::move(learned));
                ++created;
            } else {
                LearnedMerge learned = add_merge(best->index, report);
                saved += learned.count;
                created += learned.new_entry;
                report.merges.push_back(std::move(learned));
            }
        }
        report.tokens_after_learned = report.tokens_before - std::min(saved, report.tokens_before);
    }

private:
    // ---- reading ----

    // A "▁" token holds the marker only at its start, or is a run of markers
    // (the spaces of indentation); other pieces join freely.
    bool all_markers(std::string_view text) const {
        for (std::size_t i = 0; i < text.size(); i += marker_.size())
            if (text.compare(i, marker_.size(), marker_) != 0) return false;
        return !text.empty();
    }
    bool may_join(Symbol left, Symbol right) const {
        if (marker_.empty()) return true;
        std::string_view left_text = state_.text(left), right_text = state_.text(right);
        bool marker_at_start_only = left_text.find(marker_, 1) == std::string_view::npos &&
                                    right_text.find(marker_) == std::string_view::npos;
        return marker_at_start_only || (all_markers(left_text) && all_markers(right_text));
    }

    void flush(std::vector<Symbol>& chunk, std::uint64_t count,
               std::unordered_map<std::vector<Symbol>, std::uint32_t, SequenceHash>& index) {
        if (chunk.size() >= 2) {
            auto [it, inserted] = index.try_emplace(chunk, static_cast<std::uint32_t>(units_.size()));
            if (inserted) units_.push_back({chunk, 0});
            units_[it->second].count += count;
        }
        chunk.clear();
    }

    PairStat& pair(Symbol left, Symbol right) {
        auto [it, inserted] = pair_index_.try_emplace(pair_key(left, right), static_cast<std::uint32_t>(pairs_.size()));
        if (inserted) pairs_.push_back({left, right, 0, {}, Verdict::kUnknown});
        return pairs_[it->second];
    }

    // Calls f(begin, length, character) for each run of byte tokens in the
    // unit that spells one whole character.
    template <class F>
    void for_each_spelled_character(const std::vector<Symbol>& pieces, F&& f) const {
        std::string bytes;
        for (std::size_t i = 0; i < pieces.size();) {
            int lead = byte_of(state_.text(pieces[i]));
            if (lead < 0) {
                ++i;
                continue;
            }
            std::size_t length = utf8_sequence_length(static_cast<unsigned char>(lead));
            bytes.clear();
            std::size_t j = i;
            for (; j < pieces.size() && j < i + length; ++j) {
                int byte = byte_of(state_.text(pieces[j]));
                if (byte < 0) break;
                bytes.push_back(static_cast<char>(byte));
            }
            if (bytes.size() == length && length >= 2 && is_valid_utf8(bytes)) {
                f(i, length, std::string_view(bytes));
                i += length;
            } else {
                ++i;
            }
        }
    }

    void find_characters(std::uint32_t u) {
        for_each_spelled_character(units_[u].pieces, [&](std::size_t, std::size_t, std::string_view text) {
            auto [it, inserted] = char_index_.try_emplace(std::string(text), static_cast<std::uint32_t>(chars_.size()));
            if (inserted) chars_.push_back({std::string(text), 0, {}});
            CharacterStat& stat = chars_[it->second];
            stat.count += units_[u].count;
            stat.units.push_back(u);
        });
    }

    // ---- choosing ----

    std::uint64_t character_score(std::uint32_t i) const { return chars_[i].count * (chars_[i].text.size() - 1); }
    std::uint64_t score(const Candidate& c) const { return c.character ? character_score(c.index) : pairs_[c.index].count; }

    // Ties go to pairs before characters, then to the smaller texts.
    bool lower(const Candidate& a, const Candidate& b) const {
        if (a.score != b.score) return a.score < b.score;
        if (a.character != b.character) return a.character;
        if (a.character) return chars_[a.index].text > chars_[b.index].text;
        const PairStat& x = pairs_[a.index];
        const PairStat& y = pairs_[b.index];
        int left = state_.text(x.left).compare(state_.text(y.left));
        return left != 0 ? left > 0 : state_.text(x.right) > state_.text(y.right);
    }
    void push(const Candidate& c) {
        heap_.push_back(c);
        std::push_heap(heap_.begin(), heap_.end(), [this](const Candidate& a, const Candidate& b) { return lower(a, b); });
    }
    Candidate pop() {
        std::pop_heap(heap_.begin(), heap_.end(), [this](const Candidate& a, const Candidate& b) { return lower(a, b); });
        Candidate top = heap_.back();
        heap_.pop_back();
        return top;
    }
    void push_pair(std::uint32_t i) {
        const PairStat& stat = pairs_[i];
        if (stat.count >= options_.min_count && stat.learnable != Verdict::kNo) push(Candidate{stat.count, false, i});
    }

    // The best candidate left, or nothing when none joins min_count occurrences.
    std::optional<Candidate> next() {
        while (!heap_.empty()) {
            Candidate top = pop();
            std::uint64_t now = score(top);
            if (now != top.score) {
                // Out of date: the pair's count fell since (a rise pushed an entry of its own).
                if (!top.character && now < top.score) push_pair(top.index);
                continue;
            }
            if (now < options_.min_count) return std::nullopt;
            if (top.character) {
                if (state_.contains(chars_[top.index].text)) continue;
                return top;
            }
            PairStat& stat = pairs_[top.index];
            if (stat.learnable == Verdict::kUnknown) stat.learnable = learnable(stat.left, stat.right);
            if (stat.learnable == Verdict::kYes) return top;
        }
        return std::nullopt;
    }

    Verdict learnable(Symbol left, Symbol right) {
        if (left == unk_ || right == unk_ || added_.contains(left) || added_.contains(right)) return Verdict::kNo;
        std::string_view left_text = state_.text(left), right_text = state_.text(right);
        if (byte_fallback_ && (is_byte_token(left_text) || is_byte_token(right_text))) return Verdict::kNo;
        if (!may_join(left, right)) return Verdict::kNo;
        if (right_text.size() < prefix_length_) return Verdict::kNo;
        segmenter_.merge_result_text(left, right, text_);
        Symbol result = state_.find_symbol(text_);
        if (state_.in_vocab(result)) {
            if (added_.contains(result)) return Verdict::kNo;
            // An existing merge that uses the result would fire on it out of turn.
            bool used = false;
            state_.for_each_use(result, [&](SlotIndex) { used = true; });
            if (used) return Verdict::kNo;
        }
        concat_.assign(left_text).append(right_text);
        Symbol concatenation = state_.find_symbol(concat_);
        if (concatenation != kNoSymbol && state_.has_merge(left, right, concatenation)) return Verdict::kNo;
        return Verdict::kYes;
    }

    // ---- learning ----

    LearnedMerge add_merge(std::uint32_t index, LearnReport& report) {
        const Symbol left = pairs_[index].left, right = pairs_[index].right;
        LearnedMerge learned{std::string(state_.text(left)), std::string(state_.text(right)), {},
                             pairs_[index].count, false};
        segmenter_.merge_result_text(left, right, text_);
        learned.result = text_;
        Symbol result = state_.intern(text_);
        if (!state_.in_vocab(result)) {
            state_.insert_entry(result);
            learned.new_entry = true;
            report.entries_created.emplace_back(learned.result, state_.id_of(result));
        }
        // The state names a merge's result by plain concatenation.
        state_.append_merge(left, right, state_.intern_concat(left, right));
        segmenter_.merge_appended(left, right);
        std::vector<std::uint32_t> units = std::move(pairs_[index].units);
        pairs_[index].learnable = Verdict::kNo;
        // Pair counts include overlapping occurrences ("a a a" holds (a, a)
        // twice); the joins made are what the merge saves.
        learned.count = rewrite(units, [&](const std::vector<Symbol>& pieces, std::vector<Symbol>& out) {
            for (std::size_t i = 0; i < pieces.size(); ++i) {
                if (i + 1 < pieces.size() && pieces[i] == left && pieces[i + 1] == right) {
                    out.push_back(result);
                    ++i;
                } else {
                    out.push_back(pieces[i]);
                }
            }
        });
        return learned;
    }

    LearnedCharacter add_character(std::uint32_t index, LearnReport& report) {
        CharacterStat& stat = chars_[index];
        LearnedCharacter learned{stat.text, stat.count, character_score(index)};
        Symbol sym = state_.insert_entry(stat.text);
        report.entries_created.emplace_back(stat.text, state_.id_of(sym));
        std::vector<std::uint32_t> units = std::move(stat.units);
        const std::string text = stat.text;
        rewrite(units, [&](const std::vector<Symbol>& pieces, std::vector<Symbol>& out) {
            std::size_t copied = 0;
            for_each_spelled_character(pieces, [&](std::size_t begin, std::size_t length, std::string_view spelled) {
                if (spelled != text) return;
                out.insert(out.end(), pieces.begin() + static_cast<std::ptrdiff_t>(copied),
                           pieces.begin() + static_cast<std::ptrdiff_t>(begin));
                out.push_back(sym);
                copied = begin + length;
            });
            out.insert(out.end(), pieces.begin() + static_cast<std::ptrdiff_t>(copied), pieces.end());
        });
        chars_[index].count = 0;
        return learned;
    }

    // Rewrites each unit once with `replace`, moving the pair counts by the
    // difference between its pairs before and after.
    template <class Replace>
    std::uint64_t rewrite(const std::vector<std::uint32_t>& units, Replace&& replace) {
        std::uint64_t saved = 0;
        ++stamp_;
        if (unit_stamps_.size() < units_.size()) unit_stamps_.resize(units_.size(), 0);
        std::vector<Symbol> replaced;
        for (std::uint32_t u : units) {
            if (unit_stamps_[u] == stamp_) continue;
            unit_stamps_[u] = stamp_;
            Unit& unit = units_[u];
            replaced.clear();
            replace(unit.pieces, replaced);
            if (replaced.size() == unit.pieces.size()) continue;
            saved += (unit.pieces.size() - replaced.size()) * unit.count;
            pairs_of(unit.pieces, before_);
            pairs_of(replaced, after_);
            unit.pieces.swap(replaced);
            apply_difference(u, unit.count);
        }
        return saved;
    }

    static void pairs_of(const std::vector<Symbol>& pieces, std::vector<std::uint64_t>& keys) {
        keys.clear();
        for (std::size_t i = 0; i + 1 < pieces.size(); ++i) keys.push_back(pair_key(pieces[i], pieces[i + 1]));
        std::sort(keys.begin(), keys.end());
    }

    void apply_difference(std::uint32_t u, std::uint64_t count) {
        std::size_t i = 0, j = 0;
        while (i < before_.size() || j < after_.size()) {
            if (j == after_.size() || (i < before_.size() && before_[i] < after_[j])) {
                PairStat& stat = pairs_[pair_index_.at(before_[i++])];
                stat.count -= std::min(stat.count, count);
            } else if (i == before_.size() || after_[j] < before_[i]) {
                std::uint64_t key = after_[j++];
                PairStat& stat = pair(static_cast<Symbol>(key >> 32), static_cast<Symbol>(key & 0xFFFFFFFFu));
                stat.count += count;
                stat.units.push_back(u);
                push_pair(pair_index_.at(key));
            } else {
                ++i, ++j;
            }
        }
    }

    EditorState& state_;
    const LearnOptions& options_;
    Segmenter segmenter_;
    std::size_t prefix_length_ = 0;
    bool byte_fallback_ = false;
    bool characters_ = false;
    Symbol unk_ = kNoSymbol;
    std::string marker_;  // "▁" in a "▁" file: new tokens hold it only at their start
    std::unordered_set<Symbol> added_;

    std::vector<Unit> units_;
    std::vector<PairStat> pairs_;
    std::unordered_map<std::uint64_t, std::uint32_t> pair_index_;
    std::vector<CharacterStat> chars_;
    std::unordered_map<std::string, std::uint32_t> char_index_;
    std::vector<Candidate> heap_;

    std::vector<std::uint32_t> unit_stamps_;
    std::uint32_t stamp_ = 0;
    std::vector<std::uint64_t> before_, after_;
    std::string text_, concat_;
};

}  // namespace

LearnReport learn_merges(EditorState& state, const std::vector<std::pair<std::string, std::uint64_t>>& words,
                         const LearnOptions& options) {
    LearnReport report;
    MergeLearner learner(state, options);
    // In byte order, so that ties fall the same way however the words were counted.
    std::vector<std::pair<std::string, std::uint64_t>> sorted = words;
    std::sort(sorted.begin(), sorted.end());
    learner.read_words(sorted, report);
    learner.learn(report);
    report.tokens_after = tokens_for_words(state, words);
    return report;
}

std::uint64_t tokens_for_words(const EditorState& state,
                               const std::vector<std::pair<std::string, std::uint64_t>>& words) {
    ChunkedSegmenter segmenter(state);
    std::vector<Symbol> pieces;
    std::uint64_t tokens = 0;
    for (const auto& [word, count] : words) {
        if (count == 0) continue;
        pieces.clear();
        segmenter.segment(word, pieces);
        tokens += count * pieces.size();
    }
    return tokens;
}

}  // namespace vocarix
