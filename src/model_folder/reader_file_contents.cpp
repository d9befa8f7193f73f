#include "model_folder/reader_file_contents.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "document/file_io.hpp"
#include "formats/format_error.hpp"

namespace vocarix::folder {
namespace {

// The slow tokenizer's files of the largest vocabularies are tens of megabytes.
constexpr std::uintmax_t kMaxReaderTextSize = std::uintmax_t{512} << 20;

std::optional<std::string> read_present(const std::string& folder_path, const std::vector<std::string>& present,
                                        std::string_view name, std::uintmax_t limit) {
    if (std::find(present.begin(), present.end(), name) == present.end()) return std::nullopt;
    std::string path = folder_path + "/" + std::string(name);
    std::error_code error;
    std::uintmax_t size = std::filesystem::file_size(path, error);
    if (!error && size > limit)
        throw formats::FormatError(std::string(name) + ": " + std::to_string(size) + " bytes is too large for the file");
    return std::string(read_file(path).view());
}

}  // namespace

ReaderFileContents read_reader_files(const std::string& folder_path, const std::vector<std::string>& present) {
    ReaderFileContents files;
    files.vocab_text = read_present(folder_path, present, kVocabJsonFile, kMaxReaderTextSize);
    if (files.vocab_text) files.vocab = formats::read_token_ids(*files.vocab_text, kVocabJsonFile);
    if (std::optional<std::string> merges = read_present(folder_path, present, kMergesTextFile, kMaxReaderTextSize)) {
        files.merges_text = std::make_shared<const std::string>(std::move(*merges));
        files.merges = formats::read_merges_text(*files.merges_text, kMergesTextFile);
    }
    files.added_tokens_text = read_present(folder_path, present, kAddedTokensJsonFile, kMaxReaderTextSize);
    if (files.added_tokens_text)
        files.added_tokens = formats::read_token_ids(*files.added_tokens_text, kAddedTokensJsonFile);
    files.model_bytes = read_present(folder_path, present, kSentencePieceModelFile, formats::kMaxModelSize);
    if (files.model_bytes)
        files.model = formats::parse_sentencepiece_model(*files.model_bytes, kSentencePieceModelFile);
    return files;
}

}  // namespace vocarix::folder
