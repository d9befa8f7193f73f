#include "model_folder/reader_files.hpp"

#include <algorithm>
#include <unordered_map>

#include "analysis/runtime_ids.hpp"
#include "analysis/sentencepiece_pieces.hpp"
#include "document/text.hpp"

namespace vocarix::folder {
namespace {

using formats::TokenIds;
using MergePairs = std::vector<std::pair<std::string_view, std::string_view>>;

std::string shown_token(std::string_view text) { return debug_quoted(text); }

// The model's vocabulary, token -> id, by id.
TokenIds vocabulary_entries(const EditorState& state) {
    TokenIds entries;
    entries.reserve(state.vocab_size());
    state.for_each_entry([&](Symbol sym) { entries.emplace_back(std::string(state.text(sym)), state.id_of(sym)); });
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second < b.second : a.first < b.first;
    });
    return entries;
}

MergePairs merge_pairs(const EditorState& state) {
    MergePairs pairs;
    pairs.reserve(state.merge_count());
    state.for_each_merge([&](SlotIndex slot) {
        Merge merge = state.merge_at(slot);
        pairs.emplace_back(state.text(merge.left), state.text(merge.right));
    });
    return pairs;
}

// Why merges.txt cannot hold the merges, or "".
std::string unwritable_merges(const MergePairs& pairs) {
    for (const auto& [left, right] : pairs)
        if (!formats::writable_merge_part(left) || !formats::writable_merge_part(right))
            return "merges.txt cannot hold the merge " + shown_token(std::string(left) + " " + std::string(right)) +
                   ": a line holds two parts split at one space";
    return "";
}

// added_tokens.json after the edit: the tokens it listed that are still
// tokens, and every added token outside the vocabulary, with the runtime's ids.
TokenIds added_token_entries(const formats::TokenIdsFile& file, const EditorState& state) {
    RuntimeIdLookup ids(state);
    TokenIds entries;
    std::unordered_map<std::string_view, bool> listed;
    for (const auto& [token, id] : file.entries) {
        listed.emplace(token, true);
        if (std::optional<std::uint32_t> now = ids.id_of(token)) entries.emplace_back(token, *now);
    }
    for (const RuntimeAddedToken& token : ids.added())
        if (!token.in_vocab && !listed.count(token.content))
            entries.emplace_back(token.content, static_cast<std::uint32_t>(token.runtime_id));
    return entries;
}

// The first token where two token -> id lists disagree, as a phrase; "" when they agree.
std::string first_id_difference(const TokenIds& here, const TokenIds& needed) {
    std::unordered_map<std::string_view, std::uint32_t> stated;
    for (const auto& [token, id] : here) stated.emplace(token, id);
    std::unordered_map<std::string_view, std::uint32_t> wanted;
    for (const auto& [token, id] : needed) {
        wanted.emplace(token, id);
        auto it = stated.find(token);
        if (it == stated.end())
            return shown_token(token) + " (id " + std::to_string(id) + " in tokenizer.json) is missing";
        if (it->second != id)
            return shown_token(token) + " has id " + std::to_string(it->second) + " here, " + std::to_string(id) +
                   " in tokenizer.json";
    }
    for (const auto& [token, id] : here)
        if (!wanted.count(token)) return shown_token(token) + " (id " + std::to_string(id) + " here) is no token of tokenizer.json";
    return "";
}

std::string first_merge_difference(const MergePairs& here, const MergePairs& needed) {
    auto shown = [](const auto& pair) { return shown_token(std::string(pair.first) + " " + std::string(pair.second)); };
    std::size_t common = std::min(here.size(), needed.size());
    for (std::size_t i = 0; i < common; ++i)
        if (here[i] != needed[i])
            return "merge " + std::to_string(i) + " is " + shown(here[i]) + " here, " + shown(needed[i]) +
                   " in tokenizer.json";
    if (here.size() < needed.size())
        return "it ends after " + std::to_string(here.size()) + " merges; tokenizer.json goes on with " +
               shown(needed[common]);
    if (here.size() > needed.size())
        return "merge " + std::to_string(common) + " " + shown(here[common]) + " is not in tokenizer.json, which ends "
               "before it";
    return "";
}

std::string model_cannot_follow(const std::string& reason) {
    return std::string(kSentencePieceModelFile) + " cannot encode as tokenizer.json does: " + reason;
}

}  // namespace

std::vector<ReaderFileEdit> plan_reader_files(const ModelFolder& folder, const EditorState& after,
                                              bool remove_what_cannot_follow) {
    const ReaderFileContents& files = folder.readers;
    std::vector<ReaderFileEdit> edits;
    auto changed = [&](std::string_view name, const std::string& before, std::string content) {
        if (content != before) edits.push_back({std::string(name), std::move(content), ""});
    };
    auto cannot = [&](std::string_view name, const std::string& why) {
        if (remove_what_cannot_follow) edits.push_back({std::string(name), std::nullopt, why});
    };
    if (files.vocab || files.merges) {
        MergePairs pairs = merge_pairs(after);
        std::string unwritable = unwritable_merges(pairs);
        if (files.vocab) {
            if (!unwritable.empty()) cannot(kVocabJsonFile, unwritable);
            else changed(kVocabJsonFile, *files.vocab_text, formats::write_token_ids(vocabulary_entries(after), files.vocab->layout));
        }
        if (files.merges) {
            if (!unwritable.empty()) cannot(kMergesTextFile, unwritable);
            else changed(kMergesTextFile, *files.merges_text, formats::write_merges_text(pairs, files.merges->layout));
        }
    }
    if (files.added_tokens)
        changed(kAddedTokensJsonFile, *files.added_tokens_text,
                formats::write_token_ids(added_token_entries(*files.added_tokens, after), files.added_tokens->layout));
    if (files.model) {
        SentencePiecePlan plan = sentencepiece_pieces(after, *files.model);
        if (!plan.impossible.empty()) cannot(kSentencePieceModelFile, model_cannot_follow(plan.impossible));
        else changed(kSentencePieceModelFile, *files.model_bytes, formats::write_sentencepiece_model(*files.model, plan.pieces));
    }
    return edits;
}

std::vector<FolderProblem> check_reader_files(const ModelFolder& folder, const EditorState& tokenizer) {
    const ReaderFileContents& files = folder.readers;
    std::vector<FolderProblem> problems;
    auto stale = [&](std::string_view name, const std::string& where) {
        if (!where.empty())
            problems.push_back({std::string(name), "", "disagrees with tokenizer.json: " + where, true});
    };
    if (files.vocab || files.merges) {
        MergePairs pairs = merge_pairs(tokenizer);
        std::string unwritable = unwritable_merges(pairs);
        if (files.vocab) stale(kVocabJsonFile, first_id_difference(files.vocab->entries, vocabulary_entries(tokenizer)));
        if (files.merges) {
            std::string difference = first_merge_difference(files.merges->merges, pairs);
            if (!unwritable.empty() && !difference.empty())
                problems.push_back({std::string(kMergesTextFile), "", "disagrees with tokenizer.json, and " + unwritable, false});
            else
                stale(kMergesTextFile, difference);
        }
    }
    if (files.added_tokens)
        stale(kAddedTokensJsonFile,
              first_id_difference(files.added_tokens->entries, added_token_entries(*files.added_tokens, tokenizer)));
    if (files.model) {
        SentencePiecePlan plan = sentencepiece_pieces(tokenizer, *files.model);
        if (!plan.impossible.empty())
            problems.push_back({std::string(kSentencePieceModelFile), "", model_cannot_follow(plan.impossible), false});
        else
            stale(kSentencePieceModelFile, first_piece_difference(files.model->pieces, plan.pieces));
    }
    return problems;
}

}  // namespace vocarix::folder
