// The tokenizer keys of a GGUF file after an edit: the token list by id with
// placeholders in the ids no token holds, types and scores carried by token,
// new tokens' types from their added_tokens entries and their scores below
// every old one in the order their merges rank, the merge list, the special
// ids following their tokens, and the architecture's vocab_size.
#include <algorithm>
#include <map>
#include <unordered_map>

#include "analysis/piece_types.hpp"
#include "analysis/runtime_ids.hpp"
#include "document/text.hpp"
#include "formats/gguf/gguf_error.hpp"
#include "gguf_model/gguf_edit.hpp"

namespace vocarix::gguf_model {
namespace {

using gguf::GgufError;
using gguf::KeyValue;
using gguf::Value;

// The rank of the first merge producing each token that merges produce.
std::unordered_map<std::string_view, std::size_t> first_merge_ranks(const EditorState& state) {
    std::unordered_map<std::string_view, std::size_t> ranks;
    std::size_t rank = 0;
    state.for_each_merge([&](SlotIndex slot) { ranks.emplace(state.text(state.result_of(slot)), rank++); });
    return ranks;
}

// Room for a list like the file's `listed` one after an edit: reserving it
// saves growing a buffer of megabytes.
std::size_t room_like(const Value* listed) {
    return listed ? listed->bytes.size() + listed->bytes.size() / 8 : 0;
}

// The merge list as the file stores it: "a b" strings, encoded in place.
gguf::Value merge_strings(const EditorState& state, const std::string& path, std::size_t room) {
    gguf::Value merges{gguf::ValueType::kArray, gguf::ValueType::kString, state.merge_count(), {}};
    merges.bytes.reserve(room);
    state.for_each_merge([&](SlotIndex slot) {
        Merge merge = state.merge_at(slot);
        std::string_view left = state.text(merge.left), right = state.text(merge.right);
        // The reader splits "a b" at the first space after the first byte.
        if (left.empty() || left.find(' ', 1) != std::string_view::npos || right.empty())
            throw GgufError(path + ": the merge (" + debug_quoted(left) + ", " + debug_quoted(right) +
                            ") cannot be written as \"a b\": its first part holds a space");
        gguf::append_u64(merges.bytes, left.size() + 1 + right.size());
        merges.bytes.append(left).append(1, ' ').append(right);
    });
    return merges;
}

std::string count_text(std::size_t count, const char* noun) { return std::to_string(count) + " " + noun; }

}  // namespace

std::vector<KeyValue> edited_metadata(const GgufModel& model, const EditorState& after, const RuntimeIds& now,
                                      const IdRemap* remap, bool force, GgufEdit& edit) {
    const GgufTokenizer& old = model.tokenizer;
    const std::uint64_t rows = edit.rows.rows_after;
    std::vector<const std::string*> by_id(rows, nullptr);
    for (const auto& [token, id] : now.tokens) {
        if (id >= rows) throw GgufError(model.path + ": token " + debug_quoted(token) + " has id " + std::to_string(id) +
                                        ", past the " + std::to_string(rows) + " rows");
        if (by_id[id])
            throw GgufError(model.path + ": tokens " + debug_quoted(*by_id[id]) + " and " + debug_quoted(token) +
                            " share id " + std::to_string(id) + "; a GGUF token list holds one token per id");
        by_id[id] = &token;
    }
    // The old id of the token at each new id: from the id map when there is
    // one (no string is hashed), else by the token's text.
    std::vector<std::int64_t> old_of(rows, -1);
    float lowest_score = 0.0f;
    for (std::size_t id = 0; id < old.tokens.size(); ++id)
        if (!old.is_placeholder(id) && !old.scores.empty() && old.types[id] == kNormal)
            lowest_score = std::min(lowest_score, old.scores[id]);
    if (remap) {
        for (const auto& [old_id, new_id] : remap->old_to_new)
            if (new_id && *new_id < rows && old_id < old.tokens.size() && by_id[*new_id] &&
                *by_id[*new_id] == old.tokens[old_id])
                old_of[*new_id] = old_id;
    } else {
        std::unordered_map<std::string_view, std::uint32_t> old_ids;
        for (std::size_t id = 0; id < old.tokens.size(); ++id)
            if (!old.is_placeholder(id)) old_ids.emplace(old.tokens[id], static_cast<std::uint32_t>(id));
        for (std::uint64_t id = 0; id < rows; ++id) {
            if (!by_id[id]) continue;
            if (auto was = old_ids.find(*by_id[id]); was != old_ids.end()) old_of[id] = was->second;
            if (old_of[id] != static_cast<std::int64_t>(id)) ++edit.rows_of_other_tokens;
        }
    }
    NewPieceKinds kinds(after, now, old.model == "llama");
    // Only new tokens of a model with scores need their merges' ranks.
    std::unordered_map<std::string_view, std::size_t> ranks;
    if (!old.scores.empty()) ranks = first_merge_ranks(after);
    // New tokens that merges produce rank below every old token, in merge order.
    std::vector<std::pair<std::size_t, std::uint64_t>> new_by_rank;
    gguf::Value tokens{gguf::ValueType::kArray, gguf::ValueType::kString, rows, {}};
    tokens.bytes.reserve(room_like(model.headers.front().find(kTokensKey)));
    std::vector<std::int32_t> types(rows, kNormal);
    std::vector<float> scores(old.scores.empty() ? 0 : rows, 0.0f);
    for (std::uint64_t id = 0; id < rows; ++id) {
        if (!by_id[id]) {
            gguf::append_string(tokens.bytes, placeholder_name(id));
            types[id] = kUnused;
            if (!scores.empty()) scores[id] = -10000.0f;
            ++edit.placeholders;
            continue;
        }
        const std::string& token = *by_id[id];
        gguf::append_string(tokens.bytes, token);
        if (old_of[id] >= 0) {
            types[id] = old.types[static_cast<std::size_t>(old_of[id])];
            if (!scores.empty()) scores[id] = old.scores[static_cast<std::size_t>(old_of[id])];
            continue;
        }
        types[id] = static_cast<std::int32_t>(kinds.of(token));
        if (auto rank = ranks.find(token); rank != ranks.end() && types[id] == kNormal)
            new_by_rank.emplace_back(rank->second, id);
    }
    std::sort(new_by_rank.begin(), new_by_rank.end());
    if (!scores.empty())
        for (std::size_t k = 0; k < new_by_rank.size(); ++k)
            scores[new_by_rank[k].second] = lowest_score - 1.0f - static_cast<float>(k);

    std::map<std::string, std::optional<Value>> replaced;
    auto change = [&](const std::string& key, const Value* before, std::optional<Value> value, std::string was,
                      std::string now_text) {
        if (before && value && before->type == value->type && before->bytes == value->bytes) return;
        edit.changes.push_back({key, std::move(was), std::move(now_text)});
        replaced[key] = std::move(value);
    };
    const gguf::GgufHeader& header = model.headers.front();
    change(kTokensKey, header.find(kTokensKey), std::move(tokens), count_text(old.tokens.size(), "tokens"),
           count_text(rows, "tokens"));
    if (header.find(kTypesKey) || edit.placeholders > 0)
        change(kTypesKey, header.find(kTypesKey), gguf::i32_array(types), count_text(old.tokens.size(), "types"),
               count_text(rows, "types"));
    if (!scores.empty())
        change(kScoresKey, header.find(kScoresKey), gguf::f32_array(scores), count_text(old.tokens.size(), "scores"),
               count_text(rows, "scores"));
    if (const Value* listed = header.find(kMergesKey); listed || old.model == "gpt2") {
        gguf::Value merges = merge_strings(after, model.path, room_like(listed));
        std::uint64_t count = merges.count;
        change(kMergesKey, header.find(kMergesKey), std::move(merges), count_text(old.merges.size(), "merges"),
               count_text(count, "merges"));
    }
    if (const Value* listed = header.find(kAddedTokensKey)) {
        std::vector<std::string> kept;
        for (const std::string& token : gguf::as_string_array(*listed).value_or(std::vector<std::string>{}))
            if (now.id_of(token)) kept.push_back(token);
        change(kAddedTokensKey, listed, gguf::string_array(kept), count_text(listed->count, "entries"),
               count_text(kept.size(), "entries"));
    }
    for (const auto& [key, old_id] : old.special_ids) {
        const Value* before = header.find(key);
        std::optional<std::uint32_t> moved = old.is_placeholder(old_id)
                                                 ? (old_id < rows ? std::optional<std::uint32_t>(old_id) : std::nullopt)
                                                 : now.id_of(old.tokens[old_id]);
        if (!moved) {
            edit.removed_special.push_back(key + " (" + debug_quoted(old.tokens[old_id]) + ")");
            if (!force) continue;
            change(key, before, std::nullopt, std::to_string(old_id), "");
            continue;
        }
        change(key, before, gguf::integer_like(*before, *moved), std::to_string(old_id), std::to_string(*moved));
    }
    if (const Value* architecture = header.find("general.architecture")) {
        std::string key = gguf::as_string(*architecture).value_or("") + ".vocab_size";
        if (const Value* size = header.find(key))
            change(key, size, gguf::integer_like(*size, rows), std::to_string(gguf::as_unsigned(*size).value_or(0)),
                   std::to_string(rows));
    }

    std::vector<KeyValue> metadata;
    metadata.reserve(header.metadata.size() + 1);
    for (const KeyValue& pair : header.metadata) {
        auto found = replaced.find(pair.key);
        if (found == replaced.end()) metadata.push_back(pair);
        else if (found->second) metadata.push_back({pair.key, std::move(*found->second)});
        if (pair.key == kTokensKey && !header.find(kTypesKey) && replaced.count(kTypesKey))
            metadata.push_back({kTypesKey, std::move(*replaced[kTypesKey])});
    }
    return metadata;
}

}  // namespace vocarix::gguf_model
