#include "gguf_model/gguf_edit.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "document/file_descriptor.hpp"
#include "document/replacement_file.hpp"
#include "document/text.hpp"
#include "file_sets/file_set_write.hpp"
#include "formats/gguf/gguf_error.hpp"
#include "formats/gguf/gguf_rewrite.hpp"
#include "weights/row_streaming.hpp"

namespace vocarix::gguf_model {
namespace {

using gguf::GgufError;

constexpr std::string_view kShardPattern = "-00001-of-";
constexpr std::string_view kExtension = ".gguf";

// "PREFIX-00001-of-0000N.gguf": PREFIX and N, when `path` names a first shard.
std::optional<std::pair<std::string, std::size_t>> first_shard(const std::string& path) {
    constexpr std::size_t kTail = 10 + 5 + 5;  // "-00001-of-" + "0000N" + ".gguf"
    if (path.size() <= kTail) return std::nullopt;
    std::string_view tail = std::string_view(path).substr(path.size() - kTail);
    if (tail.substr(0, kShardPattern.size()) != kShardPattern || tail.substr(15) != kExtension) return std::nullopt;
    std::string_view digits = tail.substr(10, 5);
    std::size_t count = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        count = count * 10 + static_cast<std::size_t>(c - '0');
    }
    if (count == 0) return std::nullopt;
    return std::make_pair(path.substr(0, path.size() - kTail), count);
}

std::string shard_path(const std::string& prefix, std::size_t index, std::size_t count) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "-%05zu-of-%05zu.gguf", index, count);
    return prefix + suffix;
}

FileIdentity identity_of(int fd, const std::string& path) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) weights::throw_system("Failed to read: ", path, errno);
    if (!S_ISREG(info.st_mode)) throw GgufError(path + ": not a regular file");
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
            static_cast<std::uint64_t>(info.st_size),
            std::int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec};
}

void read_file(GgufModel& model, const std::string& path) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) weights::throw_system("Failed to read: ", path, errno);
    model.identities.push_back(identity_of(file.get(), path));
    model.headers.push_back(gguf::read_gguf_header(file.get(), model.identities.back().size, path));
}

void find_vocabulary_tensors(GgufModel& model) {
    const gguf::TensorInfo* embedding = nullptr;
    for (std::size_t shard = 0; shard < model.headers.size(); ++shard)
        for (const char* name : {kEmbeddingTensor, kOutputTensor})
            if (const gguf::TensorInfo* tensor = model.headers[shard].tensor(name)) {
                model.vocabulary_tensors.emplace_back(shard, name);
                if (tensor->dims.size() != 2)
                    throw GgufError(model.files[shard] + ": tensor " + name + " has " +
                                    std::to_string(tensor->dims.size()) + " dimensions where one row per token needs two");
                if (!embedding) embedding = tensor;
                else if (tensor->dims[1] != embedding->dims[1])
                    throw GgufError(model.files[shard] + ": " + name + " has " + std::to_string(tensor->dims[1]) +
                                    " rows but " + embedding->name + " has " + std::to_string(embedding->dims[1]));
            }
    std::uint64_t tokens = model.tokenizer.tokens.size();
    model.rows = embedding ? embedding->dims[1] : tokens;
    if (model.rows != tokens)
        throw GgufError(model.path + ": " + embedding->name + " has " + std::to_string(model.rows) +
                        " rows but the tokenizer has " + std::to_string(tokens) + " tokens");
}

// What the rewrite of one file of the model takes: the new metadata in the
// first, the row plan where a vocabulary tensor is (no plan where the rows
// stay as they are: the tensors are copied).
gguf::GgufRewrite shard_rewrite(const GgufModel& model, const GgufEdit& edit, std::size_t shard) {
    static const weights::RowPlan kNoRows;
    std::vector<std::string> resliced;
    if (!edit.resized.empty())
        for (const auto& [in_shard, name] : model.vocabulary_tensors)
            if (in_shard == shard) resliced.push_back(name);
    const weights::RowPlan& plan = resliced.empty() ? kNoRows : edit.plan;
    return {shard == 0 ? edit.metadata : model.headers[shard].metadata, std::move(resliced), plan};
}

}  // namespace

GgufModel read_gguf_model(const std::string& path) {
    GgufModel model;
    model.path = path;
    model.files.push_back(path);
    if (auto shard = first_shard(path))
        for (std::size_t k = 2; k <= shard->second; ++k) model.files.push_back(shard_path(shard->first, k, shard->second));
    for (const std::string& file : model.files) read_file(model, file);
    if (const gguf::Value* count = model.headers.front().find("split.count"))
        if (gguf::as_unsigned(*count).value_or(1) != model.files.size())
            throw GgufError(path + ": split.count says " + std::to_string(gguf::as_unsigned(*count).value_or(0)) +
                            " files, the name " + std::to_string(model.files.size()));
    model.tokenizer = read_gguf_tokenizer(model.headers.front(), path);
    find_vocabulary_tensors(model);
    return model;
}

std::vector<std::string> output_paths(const GgufModel& model, const std::string& target) {
    if (model.files.size() == 1) return {target};
    std::string prefix = target;
    if (auto shard = first_shard(target)) prefix = shard->first;
    else if (prefix.size() > kExtension.size() && prefix.ends_with(kExtension))
        prefix.resize(prefix.size() - kExtension.size());
    std::vector<std::string> paths;
    for (std::size_t k = 1; k <= model.files.size(); ++k) paths.push_back(shard_path(prefix, k, model.files.size()));
    return paths;
}

GgufEdit plan_gguf_edit(const GgufModel& model, const EditStart* start, std::optional<IdRemap> remap,
                        const EditorState& after, bool force) {
    GgufEdit edit;
    RuntimeIds now = runtime_ids(after);
    if (start) remap = remap_ids(*start, now);
    std::uint64_t tokens_after = now.rows;
    if (remap) {
        edit.rows = folder::embedding_rows(remap->rows_before, model.rows, remap->rows_after, std::nullopt,
                                           {std::nullopt, /*unpadded_rows=*/false});
        // Ids left free inside the token list are filled, not closed: until a
        // reindex makes the ids dense again, the rows keep their count.
        std::vector<bool> held(std::max<std::uint64_t>(tokens_after, model.rows), false);
        for (const auto& [token, id] : now.tokens) held[id] = true;
        bool dense = std::count(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(tokens_after), true) ==
                     static_cast<std::ptrdiff_t>(tokens_after);
        if (!dense && edit.rows.rows_after < model.rows) edit.rows.rows_after = model.rows;
        edit.plan = folder::row_plan(*remap, edit.rows);
        // A placeholder keeps the row of its id.
        for (std::uint64_t row = 0; row < std::min(edit.rows.rows_after, model.rows); ++row)
            if (!held[row]) edit.plan.rows[row] = {weights::RowSource::Kind::kCopy, {row}};
    } else {
        if (tokens_after > model.rows)
            throw GgufError(model.path + ": the tokenizer needs " + std::to_string(tokens_after) + " rows but the model has " +
                            std::to_string(model.rows) + "; give the edit's id map (--id-map) so the rows can follow");
        edit.rows = {model.rows, model.rows, tokens_after, model.rows, 1};
        edit.plan.old_rows = model.rows;
        for (std::uint64_t row = 0; row < model.rows; ++row)
            edit.plan.rows.push_back({weights::RowSource::Kind::kCopy, {row}});
    }
    if (tokens_after > edit.rows.rows_after)
        throw GgufError(model.path + ": the tokenizer needs " + std::to_string(tokens_after) + " rows but the id map gives " +
                        std::to_string(edit.rows.rows_after));
    if (!folder::keeps_every_row(edit.plan))
        for (const auto& [shard, name] : model.vocabulary_tensors) edit.resized.push_back(name);
    edit.metadata = edited_metadata(model, after, now, remap ? &*remap : nullptr, force, edit);
    if (!edit.removed_special.empty() && !force) {
        std::string listed;
        for (const std::string& item : edit.removed_special) listed += (listed.empty() ? "" : ", ") + item;
        throw GgufError(model.path + ": the edit removes the token of " + listed + " (--force drops the key)");
    }
    for (std::size_t shard = 0; shard < model.headers.size(); ++shard)
        gguf::check_rewrite(model.headers[shard], shard_rewrite(model, edit, shard), model.files[shard]);
    return edit;
}

std::vector<std::string> write_gguf_model(const GgufModel& model, const GgufEdit& edit, const std::string& target,
                                          const file_sets::WriteOptions& options) {
    std::vector<std::string> targets = target.empty() ? model.files : output_paths(model, target);
    // Every file of the model is one set, written all or nothing.
    std::vector<file_sets::PlannedFile> files;
    for (std::size_t shard = 0; shard < model.files.size(); ++shard)
        files.push_back({file_name_of(targets[shard]), [&model, &edit, &options, shard](int fd, const std::string& path) {
                             gguf::GgufRewrite rewrite = shard_rewrite(model, edit, shard);
                             const std::string& source_path = model.files[shard];
                             FileDescriptor source(::open(source_path.c_str(), O_RDONLY | O_CLOEXEC));
                             if (source.get() < 0) weights::throw_system("Failed to read: ", source_path, errno);
                             if (!(identity_of(source.get(), source_path) == model.identities[shard]))
                                 throw GgufError(source_path + " changed since it was read (by another program?): "
                                                 "nothing written; open it again and redo the edit");
                             gguf::write_rewritten_gguf(source.get(), model.headers[shard], fd, rewrite,
                                                        options.keep_going, source_path, path);
                         },
                         std::nullopt});
    file_sets::replace_files(directory_of(targets.front()), files, options);
    return targets;
}

}  // namespace vocarix::gguf_model
