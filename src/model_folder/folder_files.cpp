#include "model_folder/folder_files.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <set>
#include <system_error>

#include "document/errors.hpp"
#include "document/file_io.hpp"
#include "document/text.hpp"
#include "file_sets/journal_record.hpp"
#include "file_sets/new_file.hpp"
#include "formats/format_error.hpp"

namespace vocarix::folder {
namespace {

namespace fs = std::filesystem;

// Config files are small; anything larger is no config.
constexpr std::uintmax_t kMaxConfigSize = std::uintmax_t{64} << 20;

// Weights the tools cannot rewrite: after an edit they would still hold the
// old rows.
constexpr std::array<std::string_view, 8> kForeignWeightSuffixes = {".bin", ".pt", ".pth", ".ckpt", ".h5",
                                                                     ".msgpack", ".gguf", ".onnx"};

bool ends_with_any(std::string_view name, const auto& suffixes) {
    return std::any_of(suffixes.begin(), suffixes.end(), [name](std::string_view s) { return name.ends_with(s); });
}

std::optional<ConfigText> read_config(const ModelFolder& folder, std::string_view name) {
    std::string path = folder.file_path(name);
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return std::nullopt;
    std::uintmax_t size = fs::file_size(path, error);
    if (!error && size > kMaxConfigSize)
        throw FolderError(std::string(name) + ": " + std::to_string(size) + " bytes is too large for a config file");
    TextBuffer text = read_file(path);
    try {
        return ConfigText(std::string(name), std::string(text.view()));
    } catch (const ParseError& parse) {
        throw FolderError(std::string(name) + ": not valid JSON: " + parse.what());
    }
}

// Files of a write under way (new files, the record of its swaps): the
// write's, not the folder's.
bool belongs_to_a_write(std::string_view name) {
    return name.find(file_sets::kNewFileMark) != std::string_view::npos || name == file_sets::kJournalName;
}

// Folders nest this deep at most, and hold this many entries at most, for a
// copy to follow them.
constexpr int kMaxNesting = 32;
constexpr std::size_t kMaxNestedEntries = 1'000'000;

// Lists what a subdirectory holds, links followed, each directory once
// (a link back up is not followed again).
void list_nested(ModelFolder& folder, const std::string& relative, int depth,
                 std::set<std::pair<std::uintmax_t, std::uintmax_t>>& seen) {
    std::string path = folder.file_path(relative);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !seen.insert({info.st_dev, info.st_ino}).second) return;
    if (depth > kMaxNesting) throw FolderError(relative + ": folders nest more than " + std::to_string(kMaxNesting) +
                                               " deep");
    std::error_code error;
    fs::directory_iterator entries(path, error);
    if (error) throw DocumentError("Failed to read: " + debug_quoted(path), error.message());
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : entries) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (folder.nested_files.size() + folder.nested_directories.size() > kMaxNestedEntries)
            throw FolderError(relative + ": more than " + std::to_string(kMaxNestedEntries) + " files in subfolders");
        std::string inner = relative + "/" + name;
        struct stat kind {};
        if (::stat(folder.file_path(inner).c_str(), &kind) != 0) continue;  // a link to nothing
        if (S_ISDIR(kind.st_mode)) {
            folder.nested_directories.push_back(inner);
            list_nested(folder, inner, depth + 1, seen);
        } else if (S_ISREG(kind.st_mode)) {
            folder.nested_files.push_back(inner);
            if (name.ends_with(".safetensors") || ends_with_any(name, kForeignWeightSuffixes))
                folder.nested_weights.push_back(inner);
        }
    }
}

void list_entries(ModelFolder& folder) {
    std::error_code error;
    fs::directory_iterator entries(folder.path, error);
    if (error) throw DocumentError("Failed to read: " + debug_quoted(folder.path), error.message());
    for (const fs::directory_entry& entry : entries) {
        std::string name = entry.path().filename().string();
        std::error_code kind_error;
        if (belongs_to_a_write(name)) continue;
        if (entry.is_directory(kind_error)) folder.subdirectories.push_back(name);
        else if (name.find(".vocarix-tmp-") != std::string::npos) folder.leftovers.push_back(name);
        else if (entry.is_regular_file(kind_error)) folder.files.push_back(name);
    }
    std::sort(folder.files.begin(), folder.files.end());
    std::sort(folder.subdirectories.begin(), folder.subdirectories.end());
    std::sort(folder.leftovers.begin(), folder.leftovers.end());
    std::set<std::pair<std::uintmax_t, std::uintmax_t>> seen;
    struct stat top {};
    if (::stat(folder.path.c_str(), &top) == 0) seen.insert({top.st_dev, top.st_ino});
    for (const std::string& directory : folder.subdirectories) list_nested(folder, directory, 1, seen);
    folder.stamps = stamps_now(folder);
}

}  // namespace

std::vector<const ConfigText*> ModelFolder::configs() const {
    std::vector<const ConfigText*> present;
    for (const std::optional<ConfigText>* config :
         {&weight_index, &model_config, &generation_config, &special_tokens_map, &tokenizer_config})
        if (*config) present.push_back(&**config);
    return present;
}

std::vector<FileStamp> stamps_now(const ModelFolder& folder) {
    std::vector<FileStamp> stamps;
    for (const std::string& name : folder.files) {
        FileStamp stamp{name};
        struct stat info {};
        if (::stat(folder.file_path(name).c_str(), &info) == 0) {
            stamp.device = info.st_dev;
            stamp.inode = info.st_ino;
            stamp.size = static_cast<std::uint64_t>(info.st_size);
            stamp.modified_ns = std::int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec;
        }
        stamps.push_back(std::move(stamp));
    }
    return stamps;
}

ModelFolder read_model_folder(const std::string& path) {
    ModelFolder folder;
    folder.path = path;
    while (folder.path.size() > 1 && folder.path.back() == '/') folder.path.pop_back();
    struct stat info {};
    if (::stat(folder.path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        throw FolderError(path + " is not a directory");
    list_entries(folder);
    if (!std::binary_search(folder.files.begin(), folder.files.end(), std::string(kTokenizerFile)))
        throw FolderError(path + " holds no tokenizer.json: it is not a model folder");
    folder.tokenizer_config = read_config(folder, kTokenizerConfigFile);
    folder.special_tokens_map = read_config(folder, kSpecialTokensMapFile);
    folder.model_config = read_config(folder, kModelConfigFile);
    folder.generation_config = read_config(folder, kGenerationConfigFile);
    folder.weight_index = read_config(folder, kWeightIndexFile);
    folder.chat_templates = read_chat_templates(folder.path, folder.files, folder.tokenizer_config);
    try {
        folder.readers = read_reader_files(folder.path, folder.files);
    } catch (const formats::FormatError& error) {
        throw FolderError(error.what());
    }
    for (const std::string& name : folder.files) {
        if (name.ends_with(".safetensors"))
            folder.weights.push_back({name, weights::read_safetensors_header(folder.file_path(name))});
        else if (ends_with_any(name, kForeignWeightSuffixes))
            folder.foreign_weights.push_back(name);
    }
    return folder;
}

std::optional<std::string> token_content(const ConfigNode& value) {
    if (value.kind == ConfigNode::Kind::kString) return value.string;
    if (value.is_object())
        if (const ConfigNode* content = value.find("content"); content && content->kind == ConfigNode::Kind::kString)
            return content->string;
    return std::nullopt;
}

}  // namespace vocarix::folder
