#include "model_folder/folder_check.hpp"

#include <algorithm>

#include "analysis/runtime_ids.hpp"
#include "document/text.hpp"
#include "model_folder/chat_templates.hpp"
#include "model_folder/folder_weights.hpp"
#include "model_folder/reader_files.hpp"
#include "model_folder/token_fields.hpp"

namespace vocarix::folder {
namespace {

std::string quoted(const std::string& token) { return debug_quoted(token); }

class FolderChecker {
public:
    FolderChecker(const ModelFolder& folder, const EditorState& tokenizer)
        : folder_(folder), tokenizer_(tokenizer), ids_(runtime_ids(tokenizer)) {
        for (const auto& [token, id] : ids_.tokens) token_of_id_.try_emplace(id, token);
    }

    std::vector<FolderProblem> run() {
        leftovers();
        decoder();
        named();
        id_fields_();
        rows();
        index();
        for (FolderProblem& problem : check_reader_files(folder_, tokenizer_)) problems_.push_back(std::move(problem));
        for (FolderProblem& problem : check_chat_templates(folder_, tokenizer_)) problems_.push_back(std::move(problem));
        return std::move(problems_);
    }

private:
    void add(const std::string& file, std::string field, std::string message, bool repairable) {
        problems_.push_back({file, std::move(field), std::move(message), repairable});
    }

    void leftovers() {
        for (const std::string& name : folder_.leftovers)
            add(name, "", "a temporary file of a write that was stopped: no file refers to it; delete it", false);
    }

    void decoder() {
        const ConfigNode* decoder = added_tokens_decoder(folder_);
        if (!decoder) return;
        const std::string& file = folder_.tokenizer_config->name();
        for (const DecoderEntry& entry : decoder_entries(*decoder)) {
            std::string field = "added_tokens_decoder." + entry.member->key;
            if (!entry.content) {
                add(file, field, "the entry has no string content", false);
            } else if (std::optional<std::uint32_t> id = ids_.id_of(*entry.content); !id) {
                add(file, field, quoted(*entry.content) + " is no token of tokenizer.json: a loader adds it at a new "
                                 "id, which the model has no row for", true);
            } else if (!entry.key_id) {
                add(file, field, "the key is no token id", false);
            } else if (*entry.key_id != *id) {
                add(file, field, quoted(*entry.content) + " has id " + std::to_string(*id) + " in tokenizer.json", true);
            }
        }
    }

    void named() {
        for (const NamedToken& token : named_tokens(folder_))
            if (!ids_.id_of(token.content))
                add(token.config->name(), token.field, quoted(token.content) + " is no token of tokenizer.json", false);
    }

    std::string token_named(std::int64_t id) const {
        auto it = token_of_id_.find(static_cast<std::uint32_t>(id));
        return it == token_of_id_.end() ? "" : quoted(it->second);
    }

    void id_fields_() {
        std::map<std::string, std::string> roles = tokens_by_role(named_tokens(folder_));
        std::map<std::uint64_t, std::string> decoded = decoder_contents(folder_);
        // An id the decoder keys for a token that now has another id: a repair maps it there.
        auto stale = [&](std::int64_t id) {
            auto meant = decoded.find(static_cast<std::uint64_t>(id));
            if (meant == decoded.end()) return false;
            std::optional<std::uint32_t> now = ids_.id_of(meant->second);
            return now && *now != id;
        };
        for (const IdField& field : id_fields(folder_)) {
            const std::string& file = field.config->name();
            std::optional<std::uint32_t> role_id;
            auto role = roles.find(field.role);
            if (role != roles.end()) role_id = ids_.id_of(role->second);
            std::vector<const ConfigNode*> values;
            if (field.value->is_integer()) values.push_back(field.value);
            for (const ConfigNode& element : field.value->elements) values.push_back(&element);
            bool holds_role = false;
            for (const ConfigNode* value : values) {
                std::int64_t id = value->integer;
                if (id < 0) continue;  // -1 and the like mean "none"
                holds_role = holds_role || (role_id && id == *role_id);
                std::string named = id <= UINT32_MAX ? token_named(id) : "";
                if (role_id && field.value->is_integer() && id != *role_id) {
                    add(file, field.field, std::to_string(id) + " is " + (named.empty() ? "no token" : named) + ", but " +
                                               field.role + "_token is " + quoted(role->second) + " (id " +
                                               std::to_string(*role_id) + ")", true);
                } else if (stale(id)) {
                    const std::string& meant = decoded.at(static_cast<std::uint64_t>(id));
                    add(file, field.field, std::to_string(id) + " is " + (named.empty() ? "no token" : named) +
                                               ", but added_tokens_decoder keys it for " + quoted(meant) + " (id " +
                                               std::to_string(*ids_.id_of(meant)) + ")", true);
                } else if (named.empty()) {
                    add(file, field.field, std::to_string(id) + " is no token of tokenizer.json" +
                                               (static_cast<std::uint64_t>(id) >= ids_.rows
                                                    ? " (its ids end at " + std::to_string(ids_.rows - 1) + ")"
                                                    : ""), false);
                }
            }
            bool repaired_to_role = false;
            for (const ConfigNode* value : values)
                repaired_to_role = repaired_to_role || (stale(value->integer) && role_id &&
                                                        decoded.at(static_cast<std::uint64_t>(value->integer)) == role->second);
            if (role_id && !field.value->is_integer() && !holds_role && !repaired_to_role)
                add(file, field.field, "does not hold the id of " + field.role + "_token " + quoted(role->second) +
                                           " (" + std::to_string(*role_id) + ")", false);
        }
    }

    void rows() {
        FolderWeights weights = folder_weights(folder_);
        const std::string config = std::string(kModelConfigFile);
        if (weights.configured_rows && *weights.configured_rows < ids_.rows)
            add(config, "vocab_size", std::to_string(*weights.configured_rows) + " is below the " +
                                          std::to_string(ids_.rows) + " rows the tokenizer's ids need",
                !weights.rows || *weights.rows >= ids_.rows);
        for (const weights::FoundTensor& tensor : weights.mismatched)
            add(tensor.file, tensor.name, "has " + std::to_string(tensor.rows) + " rows, the vocabulary " +
                                              std::to_string(weights.rows.value_or(weights.configured_rows.value_or(0))),
                false);
        if (!weights.rows) return;
        if (weights.configured_rows && *weights.configured_rows != *weights.rows)
            add(config, "vocab_size", std::to_string(*weights.configured_rows) + ", but the weights have " +
                                          std::to_string(*weights.rows) + " rows", *weights.rows >= ids_.rows);
        if (*weights.rows < ids_.rows)
            add(weights.tensors.front().file, weights.tensors.front().name,
                "has " + std::to_string(*weights.rows) + " rows, fewer than the " + std::to_string(ids_.rows) +
                    " the tokenizer's ids need", false);
    }

    void index() {
        const std::string file = std::string(kWeightIndexFile);
        for (const std::string& problem : index_problems(folder_)) add(file, "", problem, false);
        if (const ConfigNode* total = stated_total_size(folder_))
            if (static_cast<std::uint64_t>(total->integer) != tensor_bytes(folder_))
                add(file, "metadata.total_size", std::to_string(total->integer) + ", but the tensors hold " +
                                                     std::to_string(tensor_bytes(folder_)) + " bytes", true);
    }

    const ModelFolder& folder_;
    const EditorState& tokenizer_;
    RuntimeIds ids_;
    std::unordered_map<std::uint32_t, std::string> token_of_id_;
    std::vector<FolderProblem> problems_;
};

}  // namespace

std::vector<FolderProblem> check_model_folder(const ModelFolder& folder, const EditorState& tokenizer) {
    return FolderChecker(folder, tokenizer).run();
}

}  // namespace vocarix::folder
