#include "gguf_model/gguf_tokenizer.hpp"

#include <algorithm>
#include <numeric>
#include <string_view>
#include <unordered_map>

#include "document/json_output.hpp"
#include "document/text.hpp"
#include "formats/gguf/gguf_error.hpp"

namespace vocarix::gguf_model {
namespace {

using gguf::GgufError;
using gguf::GgufHeader;
using gguf::Value;

constexpr std::string_view kThreeDigitSplit =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";
constexpr std::string_view kOneDigitSplit =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";

// The pre-tokenizer names whose splitting expression groups up to three
// digits; the runtime also takes a word found whole in the vocabulary as
// one token for them (ignore_merges).
bool is_three_digit_family(std::string_view pre) {
    return pre == "llama-bpe" || pre == "llama3" || pre == "llama-v3" || pre == "falcon3" || pre == "pixtral";
}
bool is_one_digit_family(std::string_view pre) {
    return pre == "qwen2" || pre == "deepseek-r1-qwen" || pre == "qwen35";
}

[[noreturn]] void refuse(const std::string& path, const std::string& why) { throw GgufError(path + ": " + why); }

std::string required_string(const GgufHeader& header, const char* key, const std::string& path) {
    const Value* value = header.find(key);
    if (!value) refuse(path, std::string("holds no tokenizer (no ") + key + ")");
    std::optional<std::string> text = gguf::as_string(*value);
    if (!text) refuse(path, std::string(key) + " is not a string");
    return *text;
}

// The per-token list `key` as numbers, or empty when absent.
std::vector<float> per_token_numbers(const GgufHeader& header, const char* key, std::size_t tokens,
                                     const std::string& path) {
    const Value* value = header.find(key);
    if (!value) return {};
    std::optional<std::vector<float>> numbers = gguf::as_float_array(*value);
    if (!numbers) refuse(path, std::string(key) + " is not an array of numbers");
    if (numbers->size() != tokens)
        refuse(path, std::string(key) + " has " + std::to_string(numbers->size()) + " entries for " +
                         std::to_string(tokens) + " tokens");
    return *numbers;
}

// The token types, as int32 like the runtime reads them (normal when the file has none).
std::vector<std::int32_t> token_types(const GgufHeader& header, std::size_t tokens, const std::string& path) {
    const Value* value = header.find(kTypesKey);
    if (!value) return std::vector<std::int32_t>(tokens, kNormal);
    std::optional<std::vector<std::int64_t>> numbers = gguf::as_integer_array(*value);
    if (!numbers) refuse(path, std::string(kTypesKey) + " is not an array of integers");
    if (numbers->size() != tokens)
        refuse(path, std::string(kTypesKey) + " has " + std::to_string(numbers->size()) + " entries for " +
                         std::to_string(tokens) + " tokens");
    std::vector<std::int32_t> types(tokens);
    for (std::size_t id = 0; id < tokens; ++id) {
        std::int64_t type = (*numbers)[id];
        if (type < INT32_MIN || type > INT32_MAX)
            refuse(path, std::string(kTypesKey) + " gives token " + std::to_string(id) + " the type " +
                             std::to_string(type) + ", past the 32-bit types a token has");
        types[id] = static_cast<std::int32_t>(type);
    }
    return types;
}

void put_key(JsonOutput& out, std::string_view key) {
    out.put_string(key);
    out.put(':');
}

void put_added_tokens(JsonOutput& out, const GgufTokenizer& tokenizer) {
    out.put('[');
    bool first = true;
    for (std::size_t id = 0; id < tokenizer.tokens.size(); ++id) {
        std::int32_t type = tokenizer.types[id];
        if (type != kControl && type != kUserDefined) continue;
        if (!first) out.put(',');
        first = false;
        out.put("{\"id\":");
        out.put_uint(id);
        out.put(",\"content\":");
        out.put_string(tokenizer.tokens[id]);
        out.put(R"(,"single_word":false,"lstrip":false,"rstrip":false,"normalized":false,"special":)");
        out.put(type == kControl ? "true}" : "false}");
    }
    out.put(']');
}

void put_split_pre_tokenizer(JsonOutput& out, std::string_view pattern) {
    out.put(R"({"type":"Sequence","pretokenizers":[{"type":"Split","pattern":{"Regex":)");
    out.put_string(pattern);
    out.put(R"(},"behavior":"Isolated","invert":false},{"type":"ByteLevel","add_prefix_space":false,"trim_offsets":true,"use_regex":false}]})");
}

// Every split of every piece into two pieces, ordered as the runtime joins
// them: by the piece's score (highest first, ties by id), the splits of one
// piece by the length of their left part.
std::vector<std::pair<std::string_view, std::string_view>> merges_from_scores(const GgufTokenizer& tokenizer) {
    std::unordered_map<std::string_view, std::uint32_t> ids;
    for (std::size_t id = 0; id < tokenizer.tokens.size(); ++id)
        if (!tokenizer.is_placeholder(id)) ids.emplace(tokenizer.tokens[id], static_cast<std::uint32_t>(id));
    std::vector<std::uint32_t> order(tokenizer.tokens.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return tokenizer.scores[a] > tokenizer.scores[b]; });
    std::vector<std::pair<std::string_view, std::string_view>> merges;
    for (std::uint32_t id : order) {
        if (tokenizer.is_placeholder(id)) continue;
        std::string_view piece = tokenizer.tokens[id];
        for (std::size_t cut = utf8_sequence_length(static_cast<unsigned char>(piece[0])); cut < piece.size();
             cut += utf8_sequence_length(static_cast<unsigned char>(piece[cut]))) {
            std::string_view left = piece.substr(0, cut), right = piece.substr(cut);
            if (ids.count(left) && ids.count(right)) merges.emplace_back(left, right);
        }
    }
    return merges;
}

std::vector<std::pair<std::string_view, std::string_view>> stated_merges(const GgufTokenizer& tokenizer) {
    std::vector<std::pair<std::string_view, std::string_view>> merges;
    merges.reserve(tokenizer.merges.size());
    for (std::string_view merge : tokenizer.merges) {
        std::size_t space = merge.find(' ', 1);
        merges.emplace_back(merge.substr(0, space), merge.substr(space + 1));
    }
    return merges;
}

void put_model(JsonOutput& out, const GgufTokenizer& tokenizer) {
    const bool sentencepiece = tokenizer.model == "llama";
    bool byte_fallback = sentencepiece && std::find(tokenizer.types.begin(), tokenizer.types.end(), kByte) !=
                                              tokenizer.types.end();
    std::optional<std::string_view> unknown;
    for (std::size_t id = 0; id < tokenizer.tokens.size(); ++id)
        if (tokenizer.types[id] == kUnknown) unknown = tokenizer.tokens[id];
    out.put(R"({"type":"BPE","dropout":null,"unk_token":)");
    if (unknown) out.put_string(*unknown);
    else out.put("null");
    out.put(R"(,"continuing_subword_prefix":null,"end_of_word_suffix":null,"fuse_unk":)");
    out.put(sentencepiece ? "true" : "false");
    out.put(",\"byte_fallback\":");
    out.put(byte_fallback ? "true" : "false");
    out.put(",\"ignore_merges\":");
    out.put(!sentencepiece && is_three_digit_family(tokenizer.pre) ? "true" : "false");
    out.put(",\"vocab\":{");
    bool first = true;
    for (std::size_t id = 0; id < tokenizer.tokens.size(); ++id) {
        if (tokenizer.is_placeholder(id)) continue;
        if (!first) out.put(',');
        first = false;
        put_key(out, tokenizer.tokens[id]);
        out.put_uint(id);
    }
    out.put("},\"merges\":[");
    auto merges = sentencepiece && tokenizer.merges.empty() ? merges_from_scores(tokenizer) : stated_merges(tokenizer);
    for (std::size_t i = 0; i < merges.size(); ++i) {
        if (i) out.put(',');
        out.put('[');
        out.put_string(merges[i].first);
        out.put(',');
        out.put_string(merges[i].second);
        out.put(']');
    }
    out.put("]}");
}

}  // namespace

bool GgufTokenizer::is_placeholder(std::size_t id) const {
    return types[id] == kUnused && tokens[id] == placeholder_name(id);
}

std::optional<std::uint32_t> GgufTokenizer::id_of(std::string_view token) const {
    for (std::size_t id = 0; id < tokens.size(); ++id)
        if (tokens[id] == token && !is_placeholder(id)) return static_cast<std::uint32_t>(id);
    return std::nullopt;
}

std::string placeholder_name(std::uint64_t id) { return "[PAD" + std::to_string(id) + "]"; }

GgufTokenizer read_gguf_tokenizer(const GgufHeader& header, const std::string& path) {
    GgufTokenizer tokenizer;
    tokenizer.model = required_string(header, kModelKey, path);
    if (tokenizer.model != "gpt2" && tokenizer.model != "llama")
        refuse(path, "its tokenizer model is " + debug_quoted(tokenizer.model) +
                         "; only BPE tokenizers (\"gpt2\" and \"llama\") can be edited");
    if (const Value* pre = header.find(kPreKey)) tokenizer.pre = gguf::as_string(*pre).value_or("");
    const Value* tokens = header.find(kTokensKey);
    if (!tokens) refuse(path, std::string("holds no tokenizer (no ") + kTokensKey + ")");
    std::optional<std::vector<std::string>> list = gguf::as_string_array(*tokens);
    if (!list) refuse(path, std::string(kTokensKey) + " is not an array of strings");
    tokenizer.tokens = std::move(*list);
    const std::size_t count = tokenizer.tokens.size();
    tokenizer.types = token_types(header, count, path);
    tokenizer.scores = per_token_numbers(header, kScoresKey, count, path);
    if (tokenizer.model == "llama" && tokenizer.scores.empty()) tokenizer.scores.assign(count, 0.0f);
    if (const Value* merges = header.find(kMergesKey)) {
        std::optional<std::vector<std::string>> items = gguf::as_string_array(*merges);
        if (!items) refuse(path, std::string(kMergesKey) + " is not an array of strings");
        tokenizer.merges = std::move(*items);
    }
    for (std::size_t i = 0; i < tokenizer.merges.size(); ++i)
        if (tokenizer.merges[i].find(' ', 1) == std::string::npos || !is_valid_utf8(tokenizer.merges[i]))
            refuse(path, "merge " + std::to_string(i) + " (" + debug_quoted(tokenizer.merges[i]) +
                             ") is not two UTF-8 tokens separated by a space");
    if (const Value* prefix = header.find("tokenizer.ggml.add_space_prefix"))
        tokenizer.add_space_prefix = gguf::as_bool(*prefix).value_or(true);
    std::unordered_map<std::string_view, std::size_t> seen;
    for (std::size_t id = 0; id < count; ++id) {
        const std::string& token = tokenizer.tokens[id];
        if (!is_valid_utf8(token)) refuse(path, "token " + std::to_string(id) + " is not UTF-8 text");
        if (token.empty()) refuse(path, "token " + std::to_string(id) + " is empty");
        if (tokenizer.is_placeholder(id)) continue;
        auto [where, added] = seen.emplace(token, id);
        if (!added)
            refuse(path, "token " + debug_quoted(token) + " is at ids " + std::to_string(where->second) + " and " +
                             std::to_string(id) + "; each token can be edited only once");
    }
    constexpr std::string_view kPrefix = "tokenizer.ggml.", kSuffix = "_token_id";
    for (const gguf::KeyValue& pair : header.metadata) {
        std::string_view key = pair.key;
        if (key.size() <= kPrefix.size() + kSuffix.size() || key.substr(0, kPrefix.size()) != kPrefix ||
            key.substr(key.size() - kSuffix.size()) != kSuffix)
            continue;
        std::optional<std::uint64_t> id = gguf::as_unsigned(pair.value);
        if (!id) continue;  // not an id (a signed "none"): carried as it is
        if (*id >= count)
            refuse(path, pair.key + " is " + std::to_string(*id) + ", past the " + std::to_string(count) + " tokens");
        tokenizer.special_ids.emplace_back(pair.key, *id);
    }
    return tokenizer;
}

std::string tokenizer_document(const GgufTokenizer& tokenizer) {
    std::size_t expected = 256;
    for (const std::string& token : tokenizer.tokens) expected += 2 * token.size() + 24;
    for (const std::string& merge : tokenizer.merges) expected += merge.size() + 8;
    JsonOutput out(expected, false);
    out.put(R"({"version":"1.0","truncation":null,"padding":null,"added_tokens":)");
    put_added_tokens(out, tokenizer);
    if (tokenizer.model == "llama") {
        out.put(",\"normalizer\":");
        out.put(tokenizer.add_space_prefix
                    ? R"({"type":"Sequence","normalizers":[{"type":"Prepend","prepend":"▁"},{"type":"Replace","pattern":{"String":" "},"content":"▁"}]})"
                    : R"({"type":"Replace","pattern":{"String":" "},"content":"▁"})");
        out.put(R"(,"pre_tokenizer":null,"post_processor":null,"decoder":{"type":"Sequence","decoders":[{"type":"Replace","pattern":{"String":"▁"},"content":" "},{"type":"ByteFallback"},{"type":"Fuse"},{"type":"Strip","content":" ","start":1,"stop":0}]})");
    } else {
        out.put(",\"normalizer\":null,\"pre_tokenizer\":");
        if (is_three_digit_family(tokenizer.pre)) put_split_pre_tokenizer(out, kThreeDigitSplit);
        else if (is_one_digit_family(tokenizer.pre)) put_split_pre_tokenizer(out, kOneDigitSplit);
        else out.put(R"({"type":"ByteLevel","add_prefix_space":false,"trim_offsets":true,"use_regex":true})");
        out.put(R"(,"post_processor":null,"decoder":{"type":"ByteLevel","add_prefix_space":false,"trim_offsets":true,"use_regex":true})");
    }
    out.put(",\"model\":");
    put_model(out, tokenizer);
    out.put('}');
    return std::string(out.view());
}

}  // namespace vocarix::gguf_model
