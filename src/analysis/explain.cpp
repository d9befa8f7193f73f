#include "analysis/explain.hpp"

#include <unordered_map>

#include "document/text.hpp"
#include "analysis/token_style.hpp"

namespace vocarix {

std::vector<TokenExplanation> explain_tokens(const EditorState& state, std::span<const std::string> tokens) {
    std::vector<TokenExplanation> explanations(tokens.size());
    // Which requests each symbol answers; a token may be asked for twice.
    std::unordered_map<Symbol, std::vector<std::size_t>> asked;
    for (std::size_t k = 0; k < tokens.size(); ++k) {
        TokenExplanation& explanation = explanations[k];
        explanation.token = tokens[k];
        explanation.id = state.token_id(tokens[k]);
        explanation.runtime_id = explanation.id;
        explanation.char_length = char_length(tokens[k]);
        explanation.byte_token = is_byte_token(tokens[k]);
        explanation.special = is_special_token(tokens[k]);
        Symbol sym = state.find_merge_string(tokens[k]);
        if (sym != kNoSymbol) asked[sym].push_back(k);
    }

    if (!asked.empty()) {
        std::uint64_t position = 0;
        auto record = [&](Symbol sym, std::vector<PositionedMerge> TokenExplanation::*list, const Merge& merge) {
            auto found = asked.find(sym);
            if (found == asked.end()) return;
            for (std::size_t k : found->second)
                (explanations[k].*list)
                    .push_back({position, std::string(state.text(merge.left)), std::string(state.text(merge.right))});
        };
        state.for_each_merge([&](SlotIndex s) {
            Merge merge = state.merge_at(s);
            record(state.result_of(s), &TokenExplanation::producers, merge);
            record(merge.left, &TokenExplanation::uses, merge);
            if (merge.right != merge.left) record(merge.right, &TokenExplanation::uses, merge);
            ++position;
        });
    }

    std::vector<AddedTokenEntry> added = read_added_tokens(state.sections);
    std::unordered_map<std::string_view, const AddedTokenEntry*> first_entry;
    for (const AddedTokenEntry& entry : added) first_entry.emplace(entry.content, &entry);
    std::unordered_map<std::string, std::uint64_t> runtime_ids;
    for (OutsideAddedToken& outside : added_tokens_outside_vocab(state))
        runtime_ids.emplace(std::move(outside.content), outside.runtime_id);
    for (TokenExplanation& explanation : explanations) {
        if (auto entry = first_entry.find(explanation.token); entry != first_entry.end())
            explanation.added = *entry->second;
        if (auto id = runtime_ids.find(explanation.token); id != runtime_ids.end())
            explanation.runtime_id = id->second;
    }

    std::string_view prefix = subword_prefix(state.sections.model);
    std::string_view suffix = word_suffix(state.sections.model);
    Segmenter segmenter(state);
    for (TokenExplanation& explanation : explanations) {
        std::string_view word = explanation.token;
        if (!prefix.empty() && word.starts_with(prefix)) continue;
        if (!suffix.empty() && word.size() > suffix.size() && word.ends_with(suffix)) word.remove_suffix(suffix.size());
        explanation.split = WordSplit{std::string(word), segmenter.pieces_of(word)};
    }
    return explanations;
}

}  // namespace vocarix
