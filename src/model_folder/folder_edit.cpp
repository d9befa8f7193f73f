#include "model_folder/folder_edit.hpp"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "analysis/runtime_ids.hpp"
#include "model_folder/chat_templates.hpp"
#include "model_folder/folder_weights.hpp"
#include "model_folder/token_fields.hpp"
#include "state/loading.hpp"
#include "weights/weights_error.hpp"

namespace vocarix::folder {
namespace {

// The ids before and after the edit, and where each old id went.
class IdMoves {
public:
    IdMoves(const EditStart& start, const EditorState& after)
        : before_(start.ids), after_(runtime_ids(after)), remap_(remap_ids(start, after_)) {
        for (const auto& [old_id, new_id] : remap_.old_to_new) moves_.emplace(old_id, new_id);
    }

    const IdRemap& remap() const { return remap_; }
    const RuntimeIds& before() const { return before_; }
    const RuntimeIds& after() const { return after_; }

    // The new id of an old one: nullopt when no token had it (nothing to
    // carry), a null inner value when its token is gone.
    std::optional<std::optional<std::uint32_t>> moved(std::int64_t old_id) const {
        if (old_id < 0 || old_id > UINT32_MAX) return std::nullopt;
        auto it = moves_.find(static_cast<std::uint32_t>(old_id));
        if (it == moves_.end()) return std::nullopt;
        return it->second;
    }

    // The token that had an old id, for messages.
    std::string old_token(std::int64_t old_id) const {
        for (const auto& [token, id] : before_.tokens)
            if (id == old_id) return token;
        return "";
    }

private:
    const RuntimeIds& before_;
    RuntimeIds after_;
    IdRemap remap_;
    std::unordered_map<std::uint32_t, std::optional<std::uint32_t>> moves_;
};

std::string id_text(std::optional<std::uint32_t> id) { return id ? std::to_string(*id) : "null"; }

bool is(const ConfigText* config, const std::optional<ConfigText>& file) { return file && &*file == config; }

// A list of ids as JSON text on one line, for reports.
std::string one_line_list(const std::vector<std::string>& ids) {
    std::string text = "[";
    for (std::size_t i = 0; i < ids.size(); ++i) text += (i ? ", " : "") + ids[i];
    return text + "]";
}

class ConfigPlanner {
public:
    ConfigPlanner(const ModelFolder& folder, const IdMoves& ids, const FolderEditOptions& options, FolderEdit& edit)
        : folder_(folder), ids_(ids), options_(options), edit_(edit), roles_(tokens_by_role(named_tokens(folder))) {
        if (options_.repair) decoded_ = decoder_contents(folder);
    }

    void decoder(ConfigEdits& edits) {
        const ConfigNode* decoder = added_tokens_decoder(folder_);
        if (!decoder) return;
        const std::string& file = folder_.tokenizer_config->name();
        std::vector<DecoderEntry> entries = decoder_entries(*decoder);
        std::vector<std::pair<std::uint64_t, RekeyedMember>> kept;
        bool ascending = true, changed = false;
        std::optional<std::uint64_t> previous;
        std::map<std::uint64_t, bool> taken;
        for (const DecoderEntry& entry : entries) {
            if (entry.key_id) {
                ascending = ascending && (!previous || *previous < *entry.key_id);
                previous = entry.key_id;
            }
            std::string key = entry.member->key;
            std::uint64_t order = entry.key_id.value_or(UINT64_MAX);
            if (entry.content) {
                std::optional<std::uint32_t> now = ids_.after().id_of(*entry.content);
                bool was_token = ids_.before().id_of(*entry.content).has_value();
                if (!now && (was_token || options_.repair)) {
                    // The loader would add the token anew, past the model's rows.
                    edit_.changes.push_back({file, "added_tokens_decoder." + key, key, ""});
                    changed = true;
                    continue;
                }
                if (now) {
                    if (taken[*now]) {
                        changed = true;
                        continue;
                    }
                    taken[*now] = true;
                    order = *now;
                    if (std::to_string(*now) != key) {
                        edit_.changes.push_back({file, "added_tokens_decoder." + key, key, std::to_string(*now)});
                        key = std::to_string(*now);
                        changed = true;
                    }
                }
            }
            kept.push_back({order, RekeyedMember{entry.member, key}});
        }
        if (!changed) return;
        if (ascending)
            std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<RekeyedMember> members;
        for (auto& [order, member] : kept) members.push_back(std::move(member));
        edits.replace(*decoder, rewrite_members(*folder_.tokenizer_config, *decoder, members));
    }

    void ids(const IdField& field, ConfigEdits& edits) {
        const std::string& file = field.config->name();
        std::optional<std::uint32_t> role_id;
        if (auto role = roles_.find(field.role); role != roles_.end()) role_id = ids_.after().id_of(role->second);
        if (field.value->is_integer()) {
            std::optional<std::string> text = new_id_text(field, field.value->integer, role_id);
            if (text) {
                edits.replace(*field.value, *text);
                if (*text != field.config->text_of(*field.value))
                    edit_.changes.push_back({file, field.field, std::string(field.config->text_of(*field.value)), *text});
            }
            return;
        }
        std::vector<std::string> texts, old_texts;
        for (const ConfigNode& element : field.value->elements) {
            // A list is not set to the role's token: which ids it holds is the user's choice.
            std::optional<std::string> text = new_id_text(field, element.integer, std::nullopt);
            old_texts.emplace_back(field.config->text_of(element));
            if (!text) texts.push_back(old_texts.back());
            else if (*text != "null") texts.push_back(*text);  // a removed token leaves the list
        }
        if (texts == old_texts) return;
        edits.replace(*field.value, rewrite_elements(*field.config, *field.value, texts));
        edit_.changes.push_back({file, field.field, one_line_list(old_texts), one_line_list(texts)});
    }

    void vocab_sizes(ConfigEdits& edits, std::optional<std::uint64_t> stale_size) {
        const EmbeddingRows& rows = edit_.rows;
        for (const auto& [field, size] : vocab_size_fields(folder_)) {
            auto value = static_cast<std::uint64_t>(size->integer);
            if (size->integer < 0 || (value != rows.rows_before && value != stale_size)) continue;
            std::string text = std::to_string(rows.rows_after);
            if (text == folder_.model_config->text_of(*size)) continue;
            edits.replace(*size, text);
            edit_.changes.push_back({folder_.model_config->name(), field, std::to_string(value), text});
        }
    }

    // The padding multiple, recorded beside vocab_size when the rows change
    // or the caller chose it, so that the next edit pads to it too.
    void padding_record(ConfigEdits& edits) {
        const EmbeddingRows& rows = edit_.rows;
        const ConfigNode* recorded = folder_.model_config ? folder_.model_config->root().find(kPaddingMultipleField) : nullptr;
        auto [object, size] = vocab_size_member(folder_);
        if (object && !recorded) recorded = object->find(kPaddingMultipleField);
        bool chosen = options_.pad_to_multiple_of.has_value();
        if (!recorded && !(chosen || (rows.rows_after != rows.rows_before && rows.multiple > 1))) return;
        std::string text = std::to_string(rows.multiple);
        const std::string& file = folder_.model_config->name();
        if (recorded) {
            if (folder_.model_config->text_of(*recorded) == text) return;
            edits.replace(*recorded, text);
            edit_.changes.push_back({file, std::string(kPaddingMultipleField),
                                     std::string(folder_.model_config->text_of(*recorded)), text});
        } else if (size) {
            edits.replace_span(size->value.end, size->value.end,
                               member_after(*folder_.model_config, *size, kPaddingMultipleField, text));
            edit_.changes.push_back({file, std::string(kPaddingMultipleField), "", text});
        }
    }

private:
    // The text an id becomes, or nullopt to leave it.
    std::optional<std::string> new_id_text(const IdField& field, std::int64_t id,
                                           std::optional<std::uint32_t> role_id) {
        if (id < 0) return std::nullopt;
        if (options_.repair && role_id) return std::to_string(*role_id);
        // A stale id the decoder still keys: the decoder says which token it meant.
        if (auto meant = decoded_.find(static_cast<std::uint64_t>(id)); meant != decoded_.end())
            if (std::optional<std::uint32_t> now = ids_.after().id_of(meant->second); now && *now != id)
                return std::to_string(*now);
        std::optional<std::optional<std::uint32_t>> moved = ids_.moved(id);
        if (!moved) return std::nullopt;
        if (!*moved && !field.role.empty())
            edit_.removed_special_tokens.push_back({field.config->name(), field.field, ids_.old_token(id)});
        return id_text(*moved);
    }

    const ModelFolder& folder_;
    const IdMoves& ids_;
    const FolderEditOptions& options_;
    FolderEdit& edit_;
    std::map<std::string, std::string> roles_;
    std::map<std::uint64_t, std::string> decoded_;
};

void plan_weights(const ModelFolder& folder, const IdMoves& ids, const FolderEditOptions& options, FolderEdit& edit,
                  std::optional<std::uint64_t>& stale_size) {
    FolderWeights found = folder_weights(folder);
    for (const std::string& problem : index_problems(folder))
        throw FolderError(std::string(kWeightIndexFile) + ": " + problem);
    if (!found.mismatched.empty()) {
        const weights::FoundTensor& tensor = found.mismatched.front();
        throw FolderError(tensor_label(tensor) + " has " + std::to_string(tensor.rows) + " rows where " +
                          (found.rows ? "the embedding has " + std::to_string(*found.rows)
                                      : "config.json vocab_size says " + std::to_string(*found.configured_rows)));
    }
    if (found.rows && found.configured_rows && *found.rows != *found.configured_rows) {
        if (!options.repair)
            throw FolderError("the weights have " + std::to_string(*found.rows) + " rows but config.json vocab_size says " +
                              std::to_string(*found.configured_rows) + " ('vocarix check --fix' sets it to the weights')");
        stale_size = found.configured_rows;
    }
    std::uint64_t tokens_before = ids.before().rows;
    if (found.rows && *found.rows < tokens_before)
        throw FolderError("the weights have " + std::to_string(*found.rows) + " rows, fewer than the " +
                          std::to_string(tokens_before) + " the tokenizer's ids need: they belong to another tokenizer");
    if (options.pad_to_multiple_of && (*options.pad_to_multiple_of < 1 || *options.pad_to_multiple_of > kMaxPadMultiple))
        throw FolderError("cannot pad the embedding rows to a multiple of " + std::to_string(*options.pad_to_multiple_of) +
                          ": the multiple must lie in 1.." + std::to_string(kMaxPadMultiple));
    std::uint64_t rows_before = found.rows.value_or(found.configured_rows.value_or(tokens_before));
    edit.rows = embedding_rows(tokens_before, rows_before, ids.remap().rows_after, options.pad_to_multiple_of,
                               {recorded_padding_multiple(folder)});
    edit.plan = row_plan(ids.remap(), edit.rows);
    edit.weights_change = !keeps_every_row(edit.plan) && found.rows;
    if (!keeps_every_row(edit.plan) && !folder.weights.empty() && !found.rows)
        throw FolderError("no tensor of the weights has one row per token (looked for the embedding and output head " +
                          std::string(found.configured_rows ? "with vocab_size rows" : "by name") +
                          "), so they cannot follow the edit");
    if (!keeps_every_row(edit.plan) && folder.weights.empty() && !folder.foreign_weights.empty())
        throw FolderError(folder.foreign_weights.front() +
                          ": only safetensors weights can be rewritten; convert the weights to safetensors first");
    for (const std::string& name : folder.foreign_weights)
        if (edit.weights_change) edit.notes.push_back(name + " is copied as it is and keeps the old rows");
    for (const std::string& name : folder.nested_weights)
        if (edit.weights_change)
            edit.notes.push_back(name + " (weights in a subfolder) is left as it is and keeps the old rows");
    for (const weights::FoundTensor& tensor : found.unrecognised)
        edit.notes.push_back(tensor_label(tensor) + " has one entry per token but is not a known vocabulary tensor: "
                             "left as it is");
    for (const weights::WeightsFile& file : folder.weights) {
        WeightsFileEdit file_edit{file.file, {}};
        if (edit.weights_change)
            for (const weights::FoundTensor& tensor : found.tensors)
                if (tensor.file == file.file) file_edit.tensors.push_back({tensor.name, tensor.axis});
        if (!file_edit.tensors.empty())
            weights::check_plan_fits(file.header, file_edit.tensors, edit.plan, folder.file_path(file.file));
        edit.weights.push_back(std::move(file_edit));
    }
}

void plan_index(const ModelFolder& folder, const FolderEditOptions& options, FolderEdit& edit, ConfigEdits& edits) {
    const ConfigNode* total = stated_total_size(folder);
    if (!total) return;
    std::uint64_t before = tensor_bytes(folder), after = 0;
    for (std::size_t i = 0; i < folder.weights.size(); ++i) {
        const weights::WeightsFile& file = folder.weights[i];
        weights::SafetensorsHeader header =
            edit.weights[i].tensors.empty() ? file.header
                                            : weights::rewritten_header(file.header, edit.weights[i].tensors, edit.plan);
        for (const weights::TensorEntry& tensor : header.tensors) after += tensor.byte_size();
    }
    std::int64_t stated = total->integer;
    // The stated size moves by what the tensors gained or lost; one that
    // would leave the range of sizes was never their sum: the sum is written.
    __int128 moved = static_cast<__int128>(stated) + after - before;
    std::uint64_t now = options.repair || moved < 0 || moved > INT64_MAX ? after : static_cast<std::uint64_t>(moved);
    if (static_cast<__int128>(now) == stated) return;
    edits.replace(*total, std::to_string(now));
    edit.changes.push_back({folder.weight_index->name(), "metadata.total_size", std::to_string(stated),
                            std::to_string(now)});
}

}  // namespace

std::size_t tokenizer_fingerprint(const EditorState& state) {
    return std::hash<std::string_view>()(write_document_file_text(state).view());
}

FolderEdit plan_folder_edit(const ModelFolder& folder, const EditStart& start, const EditorState& after,
                            bool tokenizer_changed, const FolderEditOptions& options) {
    FolderEdit edit;
    edit.tokenizer_changed = tokenizer_changed;
    IdMoves ids(start, after);
    std::optional<std::uint64_t> stale_size;
    plan_weights(folder, ids, options, edit, stale_size);

    for (const NamedToken& named : named_tokens(folder))
        if (ids.before().id_of(named.content) && !ids.after().id_of(named.content))
            edit.removed_special_tokens.push_back({named.config->name(), named.field, named.content});
    auto was_token = [&ids](std::string_view token) { return ids.before().id_of(token).has_value(); };
    for (const TemplateToken& named : template_tokens(folder, was_token))
        if (was_token(named.token) && !ids.after().id_of(named.token))
            edit.removed_special_tokens.push_back({named.in->file, named.in->field.empty() ? "chat template" : named.in->field,
                                                   named.token});

    ConfigPlanner planner(folder, ids, options, edit);
    for (const ConfigText* config : folder.configs()) {
        ConfigEdits edits(*config);
        if (is(config, folder.weight_index)) plan_index(folder, options, edit, edits);
        if (is(config, folder.tokenizer_config)) planner.decoder(edits);
        if (is(config, folder.model_config)) {
            planner.vocab_sizes(edits, stale_size);
            planner.padding_record(edits);
        }
        for (const IdField& field : id_fields(folder))
            if (field.config == config) planner.ids(field, edits);
        if (!edits.empty()) edit.configs.emplace_back(config, edits.apply());
    }
    if (tokenizer_changed || options.repair) edit.reader_files = plan_reader_files(folder, after, tokenizer_changed);
    return edit;
}

}  // namespace vocarix::folder
