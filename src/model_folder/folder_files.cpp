#include "model_folder/folder_files.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <system_error>

#include "document/errors.hpp"
#include "document/file_io.hpp"
#include "document/text.hpp"

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

void list_entries(ModelFolder& folder) {
    std::error_code error;
    fs::directory_iterator entries(folder.path, error);
    if (error) throw DocumentError("Failed to read: " + debug_quoted(folder.path), error.message());
    for (const fs::directory_entry& entry : entries) {
        std::string name = entry.path().filename().string();
        std::error_code kind_error;
        bool temporary = name.find(".vocarix-tmp-") != std::string::npos;
        if (entry.is_directory(kind_error)) folder.subdirectories.push_back(name);
        else if (temporary) folder.leftovers.push_back(name);
        else if (entry.is_regular_file(kind_error) && name != kUnfinishedEditFile) folder.files.push_back(name);
    }
    std::sort(folder.files.begin(), folder.files.end());
    std::sort(folder.subdirectories.begin(), folder.subdirectories.end());
    std::sort(folder.leftovers.begin(), folder.leftovers.end());
}

}  // namespace

std::vector<const ConfigText*> ModelFolder::configs() const {
    std::vector<const ConfigText*> present;
    for (const std::optional<ConfigText>* config :
         {&weight_index, &model_config, &generation_config, &special_tokens_map, &tokenizer_config})
        if (*config) present.push_back(&**config);
    return present;
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
    folder.unfinished_edit = read_config(folder, kUnfinishedEditFile);
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
