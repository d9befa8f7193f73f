// What a model folder holds: the tokenizer, the config files read with the
// places of their values, and the headers of the safetensors weights. Read
// once and checked before anything is edited, so that a folder a write could
// not finish is refused while nothing has been written.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "model_folder/chat_template_sources.hpp"
#include "model_folder/config_text.hpp"
#include "model_folder/reader_file_contents.hpp"
#include "weights/safetensors_format.hpp"
#include "weights/vocabulary_tensors.hpp"

namespace vocarix::folder {

// A folder that cannot be edited as it is; one line naming the file.
class FolderError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr std::string_view kTokenizerFile = "tokenizer.json";
inline constexpr std::string_view kTokenizerConfigFile = "tokenizer_config.json";
inline constexpr std::string_view kSpecialTokensMapFile = "special_tokens_map.json";
inline constexpr std::string_view kModelConfigFile = "config.json";
inline constexpr std::string_view kGenerationConfigFile = "generation_config.json";
inline constexpr std::string_view kWeightIndexFile = "model.safetensors.index.json";

// What a file was when the folder was read, to tell whether it changed since.
struct FileStamp {
    std::string name;
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modified_ns = 0;
    bool operator==(const FileStamp&) const = default;
};

struct ModelFolder {
    std::string path;
    // Every regular file at the top (links followed), by name, but the
    // files of a write under way.
    std::vector<std::string> files;
    std::vector<FileStamp> stamps;  // of `files`, in their order
    // Temporary files a stopped save left behind.
    std::vector<std::string> leftovers;
    // Directories inside, by name: copied as they are, never edited.
    std::vector<std::string> subdirectories;
    // Every regular file inside them (links followed), as "sub/dir/name", and
    // every directory inside them, as "sub/dir".
    std::vector<std::string> nested_files;
    std::vector<std::string> nested_directories;
    // Those of nested_files that are weights of any format: edits leave them as they are.
    std::vector<std::string> nested_weights;
    std::optional<ConfigText> tokenizer_config;
    std::optional<ConfigText> special_tokens_map;
    std::optional<ConfigText> model_config;
    std::optional<ConfigText> generation_config;
    std::optional<ConfigText> weight_index;
    // Every *.safetensors file, by name.
    std::vector<weights::WeightsFile> weights;
    // Weights in formats that cannot be rewritten (pickles, HDF5, ...).
    std::vector<std::string> foreign_weights;
    // The files other readers build the tokenizer from.
    ReaderFileContents readers;
    std::vector<ChatTemplate> chat_templates;

    std::string file_path(std::string_view name) const { return path + "/" + std::string(name); }
    // The config files present, in the order they are written back.
    std::vector<const ConfigText*> configs() const;
};

// The stamps of the folder's files as they are now.
std::vector<FileStamp> stamps_now(const ModelFolder& folder);

// Reads the folder at `path`: FolderError for a folder without tokenizer.json
// or with a config file that is no JSON object, WeightsError for a
// safetensors file that lies about its tensors, DocumentError for a file that
// cannot be read.
ModelFolder read_model_folder(const std::string& path);

// What a config's field holds as a token: a string, or the "content" of a
// token dict (with or without "__type": "AddedToken"); nullopt otherwise.
std::optional<std::string> token_content(const ConfigNode& value);

}  // namespace vocarix::folder
