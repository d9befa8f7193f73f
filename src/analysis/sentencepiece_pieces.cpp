#include "analysis/sentencepiece_pieces.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <unordered_map>

#include "analysis/piece_types.hpp"
#include "analysis/runtime_ids.hpp"
#include "analysis/segmentation.hpp"
#include "document/text.hpp"

namespace vocarix {
namespace {

using formats::PieceType;
using formats::SentencePiece;
using formats::SentencePieceModel;

constexpr float kNoBound = std::numeric_limits<float>::infinity();
// Below this magnitude every whole number is a float of its own.
constexpr float kExactIntegers = 16777216.0f;

std::string quoted_piece(std::string_view text) { return debug_quoted(text); }

std::string format_score(float score) {
    char text[32];
    auto written = std::to_chars(text, text + sizeof text, score);
    return std::string(text, written.ptr);
}

bool joinable(PieceType type) { return type == PieceType::kNormal || type == PieceType::kUnused; }

// `count` scores strictly between `lower` and `upper`, falling; nullopt when
// no such floats exist. Whole numbers when they fit (the trainer's scores
// are whole), else neighbouring floats.
std::optional<std::vector<float>> scores_between(float upper, float lower, std::size_t count) {
    std::vector<float> scores;
    scores.reserve(count);
    if (upper == kNoBound) {
        // Above the lower bound: count, count - 1, ... steps up.
        for (std::size_t k = count; k > 0; --k) {
            float step = lower;
            bool whole = std::floor(lower) == lower && std::fabs(lower) + static_cast<float>(count) < kExactIntegers;
            if (whole) step = lower + static_cast<float>(k);
            else
                for (std::size_t up = 0; up < k; ++up) step = std::nextafter(step, kNoBound);
            scores.push_back(step);
        }
        return scores;
    }
    bool whole = std::floor(upper) == upper && std::fabs(upper) + static_cast<float>(count) < kExactIntegers &&
                 (lower == -kNoBound || upper - static_cast<float>(count) > lower);
    float value = upper;
    for (std::size_t k = 0; k < count; ++k) {
        value = whole ? value - 1.0f : std::nextafter(value, -kNoBound);
        if (!(value > lower) || std::isinf(value)) return std::nullopt;
        scores.push_back(value);
    }
    return scores;
}

class PiecePlanner {
public:
    PiecePlanner(const EditorState& state, const SentencePieceModel& previous)
        : state_(state), previous_(previous), ids_(runtime_ids(state)) {
        for (const RuntimeAddedToken& token : ids_.added)
            if (!token.in_vocab) outside_.emplace(token.content, static_cast<std::uint32_t>(token.runtime_id));
    }

    SentencePiecePlan plan() {
        SentencePiecePlan result;
        result.impossible = check_model();
        if (result.impossible.empty()) result.impossible = number_pieces();
        if (result.impossible.empty()) result.impossible = order_merges();
        if (result.impossible.empty()) result.impossible = assign_scores();
        if (result.impossible.empty()) result.impossible = find_joins_the_runtime_never_makes();
        if (result.impossible.empty()) result.pieces = build();
        return result;
    }

private:
    struct Group {
        Symbol result;
        std::optional<float> fixed;  // the score the model had for the piece
    };

    // The id the runtime gives a token, if it is one.
    std::optional<std::uint32_t> id_of(std::string_view token) const {
        if (std::optional<std::uint32_t> id = state_.token_id(token)) return id;
        auto it = outside_.find(token);
        return it == outside_.end() ? std::nullopt : std::optional<std::uint32_t>(it->second);
    }

    const SentencePiece* previous_piece(std::uint32_t id) const {
        return previous_of_id_[id] == kNone ? nullptr : &previous_.pieces[previous_of_id_[id]];
    }

    std::string check_model() const {
        if (previous_.model_type != formats::ModelType::kBpe)
            return "it is a " + std::string(previous_.model_type == formats::ModelType::kUnigram ? "unigram" : "word or character") +
                   " model, which cannot follow tokenizer.json's BPE merges";
        const ModelSettings& model = state_.sections.model;
        if (!subword_prefix(model).empty() || !word_suffix(model).empty())
            return "tokenizer.json marks continuing pieces or word ends, which SentencePiece pieces do not";
        if (model.ignore_merges)
            return "tokenizer.json takes a word found whole in the vocabulary as it is (ignore_merges), which "
                   "SentencePiece does not";
        return "";
    }

    std::string number_pieces() {
        std::vector<std::string_view> by_id(ids_.rows);
        std::vector<bool> taken(ids_.rows, false);
        for (const auto& [token, id] : ids_.tokens) {
            if (taken[id])
                return quoted_piece(by_id[id]) + " and " + quoted_piece(token) + " share id " + std::to_string(id) +
                       ", and a SentencePiece piece has an id of its own";
            taken[id] = true;
            by_id[id] = token;
        }
        for (const RuntimeAddedToken& token : ids_.added) {
            if (token.in_vocab) continue;
            if (token.runtime_id < taken.size() && taken[token.runtime_id])
                return quoted_piece(token.content) + " shares id " + std::to_string(token.runtime_id) + " with " +
                       quoted_piece(by_id[token.runtime_id]);
        }
        for (std::size_t id = 0; id < taken.size(); ++id) {
            if (!taken[id])
                return "id " + std::to_string(id) + " holds no token, and a SentencePiece model numbers its pieces "
                       "without gaps ('vocarix reindex' closes them)";
            if (by_id[id].empty()) return "id " + std::to_string(id) + " is the empty token, which no piece can be";
        }
        tokens_ = std::move(by_id);
        previous_of_id_.assign(tokens_.size(), kNone);
        for (std::size_t i = 0; i < previous_.pieces.size(); ++i)
            if (std::optional<std::uint32_t> id = id_of(previous_.pieces[i].text)) previous_of_id_[*id] = static_cast<std::uint32_t>(i);
        added_.assign(tokens_.size(), false);
        for (const RuntimeAddedToken& token : ids_.added) added_[token.runtime_id] = true;
        types_ = piece_types(state_, ids_, tokens_, previous_.byte_fallback, [this](std::string_view token) {
            std::optional<std::uint32_t> id = id_of(token);
            const SentencePiece* piece = id ? previous_piece(*id) : nullptr;
            return piece ? std::optional<PieceType>(piece->type) : std::nullopt;
        });
        std::size_t unknown = 0;
        for (PieceType type : types_) unknown += type == PieceType::kUnknown;
        if (unknown != 1)
            return unknown == 0 ? std::string("no token is the unknown piece a SentencePiece model needs")
                                : "more than one token is an unknown piece";
        return "";
    }

    // The kind of an entry's piece; none for a string that is no entry.
    std::optional<PieceType> type_of(Symbol sym) const {
        return state_.in_vocab(sym) ? std::optional<PieceType>(types_[state_.id_of(sym)]) : std::nullopt;
    }
    bool is_added(Symbol sym) const { return state_.in_vocab(sym) && added_[state_.id_of(sym)]; }

    // Collects the merges into groups, one per piece, in list order.
    std::string order_merges() {
        std::unordered_map<Symbol, std::size_t> group_of;
        std::string problem;
        state_.for_each_merge([&](SlotIndex slot) {
            if (!problem.empty()) return;
            Merge merge = state_.merge_at(slot);
            Symbol result = state_.result_of(slot);
            std::string_view left = state_.text(merge.left), right = state_.text(merge.right),
                             joined = state_.text(result);
            if (is_added(merge.left) || is_added(merge.right) || is_added(result)) return;  // never fires
            std::optional<PieceType> types[3] = {type_of(merge.left), type_of(merge.right), type_of(result)};
            for (const std::optional<PieceType>& type : types) {
                if (!type) {
                    problem = "the merge " + quoted_piece(std::string(left) + " " + std::string(right)) +
                              " names a token that is not in the vocabulary";
                    return;
                }
                if (*type != PieceType::kNormal) {
                    problem = "the merge " + quoted_piece(std::string(left) + " " + std::string(right)) + " joins " +
                              std::string(formats::piece_type_name(*type)) +
                              " pieces, which SentencePiece never joins";
                    return;
                }
            }
            if (!groups_.empty() && groups_.back().result == result) return;
            if (auto seen = group_of.find(result); seen != group_of.end()) {
                // Pieces of one score may stand apart, as converters sort pieces of equal score.
                const Group& earlier = groups_[seen->second];
                for (std::size_t g = seen->second + 1; g < groups_.size(); ++g)
                    if (!earlier.fixed || groups_[g].fixed != earlier.fixed) {
                        problem = "tokenizer.json ranks the merges that make " + quoted_piece(joined) +
                                  " apart, with a merge that makes " + quoted_piece(state_.text(groups_[g].result)) +
                                  " between them, and a piece has one score";
                        return;
                    }
                return;
            }
            group_of.emplace(result, groups_.size());
            const SentencePiece* had = previous_piece(state_.id_of(result));
            groups_.push_back({result, had ? std::optional<float>(had->score) : std::nullopt});
        });
        return problem;
    }

    // Pieces the model had keep their scores; new ones fit between their neighbours in merge order.
    std::string assign_scores() {
        scores_.assign(tokens_.size(), 0.0f);
        scored_.assign(tokens_.size(), false);
        float floor = kNoBound;
        for (const SentencePiece& piece : previous_.pieces)
            if (joinable(piece.type)) floor = std::min(floor, piece.score);
        for (std::size_t id = 0; id < tokens_.size(); ++id)
            if (const SentencePiece* had = previous_piece(static_cast<std::uint32_t>(id))) {
                scores_[id] = had->score;
                scored_[id] = true;
            }
        float upper = kNoBound;
        std::size_t run_start = 0;
        for (std::size_t g = 0; g <= groups_.size(); ++g) {
            bool end = g == groups_.size();
            if (!end && !groups_[g].fixed) continue;
            float lower = end ? -kNoBound : *groups_[g].fixed;
            std::size_t count = g - run_start;
            if (count > 0) {
                float top = end ? std::min(upper, floor) : upper;
                if (end && top == kNoBound) top = 0.0f;
                std::optional<std::vector<float>> fitted = scores_between(top, lower, count);
                if (!fitted)
                    return "no score fits between " + group_name(run_start - 1) + " and " + group_name(g) +
                           " for the " + std::to_string(count) + " new pieces the merges rank between them";
                for (std::size_t k = 0; k < count; ++k) set_score(groups_[run_start + k].result, (*fitted)[k]);
                upper = fitted->back();
            }
            if (!end) {
                if (count == 0 && lower > upper)
                    return "tokenizer.model scores " + quoted_piece(state_.text(groups_[g].result)) + " above " +
                           quoted_piece(state_.text(groups_[g - 1].result)) + ", but tokenizer.json ranks its merges after";
                if (count > 0 && !(lower < upper))
                    return "tokenizer.json ranks new pieces before " + quoted_piece(state_.text(groups_[g].result)) +
                           ", whose score leaves no room above it";
                upper = lower;
            }
            run_start = g + 1;
        }
        // Pieces no merge makes: the trainer's 0 for control, user-defined, byte and unknown pieces, else the lowest.
        float lowest = std::min(upper, floor);
        for (std::size_t id = 0; id < tokens_.size(); ++id) {
            if (scored_[id]) continue;
            if (!joinable(types_[id])) {
                scored_[id] = true;
                continue;
            }
            std::optional<std::vector<float>> below = scores_between(lowest, -kNoBound, 1);
            if (!below) return "no score is left below " + std::to_string(lowest) + " for " + quoted_piece(tokens_[id]);
            lowest = below->front();
            scores_[id] = lowest;
            scored_[id] = true;
        }
        return "";
    }

    // A group's piece, quoted; "the start" and "the end" past either end.
    std::string group_name(std::size_t g) const {
        if (g >= groups_.size()) return g == groups_.size() ? "the end" : "the start";
        return quoted_piece(state_.text(groups_[g].result));
    }

    void set_score(Symbol result, float score) {
        std::uint32_t id = state_.id_of(result);
        scores_[id] = score;
        scored_[id] = true;
    }

    // A piece the runtime, given its text alone, leaves as two pieces: SentencePiece joins them.
    std::string find_joins_the_runtime_never_makes() {
        Segmenter segmenter(state_);
        Segmentation split;
        for (std::size_t id = 0; id < tokens_.size(); ++id) {
            std::string_view token = tokens_[id];
            if (types_[id] != PieceType::kNormal || added_[id] || char_length(token) < 2) continue;
            segmenter.segment(token, split);
            if (split.pieces.size() == 2 && !split.used_byte_fallback && !split.met_unknown &&
                joinable_piece(split.pieces[0]) && joinable_piece(split.pieces[1]))
                return "SentencePiece joins " + quoted_piece(state_.text(split.pieces[0])) + " and " +
                       quoted_piece(state_.text(split.pieces[1])) + " into " + quoted_piece(token) +
                       ", which tokenizer.json has no merge for";
            // A character that is no token is a piece of its own to SentencePiece, bytes to the runtime.
            for (std::size_t at : {std::size_t{0}, token.size() - last_character_size(token)}) {
                std::size_t size = character_end(token, at) - at;
                std::string_view character = token.substr(at, size);
                if (id_of(character)) continue;
                std::string_view rest = at == 0 ? token.substr(size) : token.substr(0, at);
                segmenter.segment(rest, split);
                if (split.pieces.size() == 1)
                    return "SentencePiece joins " + quoted_piece(character) + ", which is no token, with " +
                           quoted_piece(rest) + " into " + quoted_piece(token);
            }
        }
        return "";
    }

    bool joinable_piece(Symbol sym) const {
        std::optional<PieceType> type = type_of(sym);
        return type && joinable(*type);
    }

    static std::size_t last_character_size(std::string_view token) {
        std::size_t start = token.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(token[start]) & 0xC0) == 0x80) --start;
        return token.size() - start;
    }

    std::vector<SentencePiece> build() const {
        std::vector<SentencePiece> pieces(tokens_.size());
        for (std::size_t id = 0; id < tokens_.size(); ++id) {
            SentencePiece& piece = pieces[id];
            piece.text = std::string(tokens_[id]);
            piece.type = types_[id];
            piece.score = scores_[id];
            if (const SentencePiece* had = previous_piece(static_cast<std::uint32_t>(id))) {
                piece.unknown_fields = had->unknown_fields;
                piece.has_type = had->has_type;
                if (had->same_content(piece)) piece.stored = had->stored;
            }
        }
        return pieces;
    }

    const EditorState& state_;
    const SentencePieceModel& previous_;
    RuntimeIds ids_;
    static constexpr std::uint32_t kNone = UINT32_MAX;
    // Added tokens outside the vocabulary, with the ids the runtime gives them.
    std::unordered_map<std::string_view, std::uint32_t> outside_;
    std::vector<std::string_view> tokens_;  // by id
    std::vector<std::uint32_t> previous_of_id_;  // the model's piece with the id's token, or kNone
    std::vector<bool> added_;  // by id: an added token, which the runtime takes out of text before merging
    std::vector<PieceType> types_;
    std::vector<Group> groups_;
    std::vector<float> scores_;
    std::vector<bool> scored_;
};

}  // namespace

SentencePiecePlan sentencepiece_pieces(const EditorState& state, const SentencePieceModel& previous) {
    return PiecePlanner(state, previous).plan();
}

std::string first_piece_difference(const std::vector<SentencePiece>& stored, const std::vector<SentencePiece>& needed) {
    std::size_t common = std::min(stored.size(), needed.size());
    for (std::size_t id = 0; id < common; ++id) {
        const SentencePiece& have = stored[id];
        const SentencePiece& want = needed[id];
        std::string at = "id " + std::to_string(id) + " ";
        if (have.text != want.text)
            return at + "is " + quoted_piece(have.text) + " in tokenizer.model, " + quoted_piece(want.text) +
                   " in tokenizer.json";
        if (have.type != want.type)
            return at + quoted_piece(have.text) + " is a " + std::string(formats::piece_type_name(have.type)) +
                   " piece, but tokenizer.json makes it " + std::string(formats::piece_type_name(want.type));
        if (have.score != want.score)
            return at + quoted_piece(have.text) + " has score " + format_score(have.score) +
                   ", which does not rank it as tokenizer.json's merges do";
    }
    if (stored.size() > needed.size())
        return "id " + std::to_string(common) + " " + quoted_piece(stored[common].text) +
               " is in tokenizer.model but no token of tokenizer.json";
    if (needed.size() > stored.size())
        return "id " + std::to_string(common) + " " + quoted_piece(needed[common].text) +
               " is a token of tokenizer.json but not in tokenizer.model";
    return "";
}

}  // namespace vocarix
