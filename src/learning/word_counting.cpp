#include "learning/word_counting.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "analysis/added_tokens_view.hpp"
#include "document/text.hpp"
#include "analysis/token_style.hpp"
#include "document/unicode_classes.hpp"

namespace vocarix {
namespace {

// Words are added to the table in batches of about this many.
constexpr std::size_t kBatchWords = 4096;

}  // namespace

// Finds added tokens in text as the runtime does: leftmost match first, the
// longest among those starting there; a single-word token only where no
// word character touches it, and lstrip/rstrip take the white space beside
// it along.
class AddedTokenMatcher {
public:
    struct Token {
        std::string content;
        bool single_word, lstrip, rstrip;
    };

    explicit AddedTokenMatcher(std::vector<Token> tokens) : tokens_(std::move(tokens)) {
        std::sort(tokens_.begin(), tokens_.end(),
                  [](const Token& a, const Token& b) { return a.content.size() > b.content.size(); });
        for (std::size_t i = 0; i < tokens_.size(); ++i)
            by_first_byte_[static_cast<unsigned char>(tokens_[i].content[0])].push_back(i);
    }
    bool empty() const { return tokens_.empty(); }

    void split(std::string_view text, std::vector<AddedTokenSegment>& out) const {
        out.clear();
        std::size_t taken = 0;  // end of the last token taken, with its stripped space
        for (std::size_t at = 0; at < text.size();) {
            const Token* token = longest_at(text, at);
            if (!token) {
                ++at;
                continue;
            }
            std::size_t begin = at, end = at + token->content.size();
            at = end;
            if (token->single_word && (touches_word(text.substr(0, begin), true) ||
                                       touches_word(text.substr(end), false)))
                continue;
            if (token->lstrip) begin = std::max(taken, begin - white_space_bytes(text.substr(0, begin), true));
            if (token->rstrip) end += white_space_bytes(text.substr(end), false);
            if (taken < begin) out.push_back({taken, begin, nullptr});
            out.push_back({begin, end, &token->content});
            taken = end;
            at = std::max(at, end);
        }
        if (taken < text.size() || out.empty()) out.push_back({taken, text.size(), nullptr});
    }

private:
    const Token* longest_at(std::string_view text, std::size_t at) const {
        for (std::size_t i : by_first_byte_[static_cast<unsigned char>(text[at])])
            if (text.compare(at, tokens_[i].content.size(), tokens_[i].content) == 0) return &tokens_[i];
        return nullptr;
    }
    // The character just before (at_end) or just after `text` is a word character.
    static bool touches_word(std::string_view text, bool at_end) {
        if (text.empty()) return false;
        std::size_t start = 0;
        if (at_end) {
            start = text.size() - 1;
            while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        }
        const auto* p = reinterpret_cast<const unsigned char*>(text.data() + start);
        std::uint32_t cp = decode_utf8_sequence(p, utf8_sequence_length(*p));
        return is_letter(cp) || is_number(cp) || is_mark(cp) || cp == '_';
    }
    // Bytes of white space at the end (at_end) or the start of `text`.
    static std::size_t white_space_bytes(std::string_view text, bool at_end) {
        std::size_t bytes = 0;
        while (bytes < text.size()) {
            std::size_t start = at_end ? text.size() - bytes - 1 : bytes;
            if (at_end)
                while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
            const auto* p = reinterpret_cast<const unsigned char*>(text.data() + start);
            std::size_t length = utf8_sequence_length(*p);
            if (!is_white_space(decode_utf8_sequence(p, length))) break;
            bytes += length;
        }
        return bytes;
    }

    std::vector<Token> tokens_;
    std::array<std::vector<std::size_t>, 256> by_first_byte_;
};

WordCounter::WordCounter(const EditorState& state, UnicodeForms* forms)
    : normalizer_(state.sections, forms), pre_tokenizer_(state.sections) {
    if (!pre_tokenizer_.unsupported_by().empty())
        throw UnsupportedSetting(pre_tokenizer_.unsupported_by() + " cannot be applied");
    std::vector<AddedTokenMatcher::Token> raw, normalized;
    for (const AddedTokenEntry& entry : read_added_tokens(state.sections)) {
        if (entry.content.empty() || !is_valid_utf8(entry.content)) continue;
        AddedTokenMatcher::Token token{entry.content, entry.single_word, entry.lstrip, entry.rstrip};
        if (entry.normalized) {
            // The runtime looks for the normalized form of such a token in normalized text.
            normalizer_.normalize(entry.content, token.content);
            if (!token.content.empty()) normalized.push_back(std::move(token));
        } else {
            raw.push_back(std::move(token));
        }
    }
    raw_added_ = std::make_unique<AddedTokenMatcher>(std::move(raw));
    normalized_added_ = std::make_unique<AddedTokenMatcher>(std::move(normalized));
    words_unmapped_ = pre_tokenizer_.maps_bytes_last();
}

namespace {

WordTable::KeyForm written_form(bool words_unmapped) {
    WordTable::KeyForm form;
    if (words_unmapped) form = {append_byte_level, byte_level_ranks(), 2};
    return form;
}

}  // namespace

std::string WordCounter::words_json(unsigned threads) const {
    return counts_.words.json_by_count(threads, written_form(words_unmapped_));
}

void WordCounter::write_words_json(unsigned threads, const std::function<void(std::string_view)>& write) const {
    counts_.words.write_json_by_count(threads, written_form(words_unmapped_), write);
}

WordCounter::~WordCounter() = default;

template <class OnWord>
void WordCounter::words_of_normalized(std::string_view text, bool at_start, bool unmapped, OnWord& on_word) {
    auto words_of = [&](std::string_view piece, bool piece_at_start) {
        if (unmapped) pre_tokenizer_.for_each_unmapped_word(piece, piece_at_start, on_word);
        else pre_tokenizer_.for_each_word(piece, piece_at_start, on_word);
    };
    if (normalized_added_->empty()) {
        words_of(text, at_start);
        return;
    }
    normalized_added_->split(text, normalized_segments_);
    for (const auto& segment : normalized_segments_) {
        if (segment.token) counts_.added_tokens.add(*segment.token, 1);
        else words_of(text.substr(segment.begin, segment.end - segment.begin), at_start && segment.begin == 0);
    }
}

template <class OnWord>
void WordCounter::for_each_word_of_line(std::string_view line, bool at_line_start, bool unmapped, OnWord&& on_word) {
    if (raw_added_->empty()) {
        words_of_normalized(normalizer_.identity() ? line : normalizer_.normalized(line), at_line_start, unmapped,
                            on_word);
        return;
    }
    raw_added_->split(line, raw_segments_);
    for (const auto& segment : raw_segments_) {
        if (segment.token) {
            counts_.added_tokens.add(*segment.token, 1);
            continue;
        }
        std::string_view text = line.substr(segment.begin, segment.end - segment.begin);
        if (text.empty()) continue;
        if (!normalizer_.identity()) {
            normalized_.assign(normalizer_.normalized(text));
            text = normalized_;
        }
        words_of_normalized(text, at_line_start && segment.begin == 0, unmapped, on_word);
    }
}

void WordCounter::words_of_line(std::string_view line, std::vector<std::string>& words) {
    for_each_word_of_line(line, true, false, [&](std::string_view word) { words.emplace_back(word); });
}

void WordCounter::count_text(std::string_view text, std::uint64_t first_byte, bool continues_line) {
    if (const void* nul = std::memchr(text.data(), 0, text.size()))
        throw CorpusError("not text: a NUL byte at byte " +
                          std::to_string(first_byte + static_cast<std::uint64_t>(static_cast<const char*>(nul) - text.data())));
    if (std::size_t bad = find_invalid_utf8(text); bad != text.size())
        throw CorpusError("not UTF-8 text (byte " + std::to_string(first_byte + bad) + ")");
    count_checked_text(text, continues_line);
}

void WordCounter::count_checked_text(std::string_view text, bool continues_line) {
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        // The rest of a line cut before was counted as a line with its head.
        const bool line_start = start > 0 || !continues_line;
        start = end + 1;
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.empty()) continue;
        if (line_start) ++counts_.lines;
        for_each_word_of_line(line, line_start, words_unmapped_, [this](std::string_view word) {
            batch_.push(word);
            if (batch_.size() >= kBatchWords) {
                counts_.words.add_batch(batch_);
                batch_.clear();
            }
        });
    }
    counts_.words.add_batch(batch_);
    batch_.clear();
}

}  // namespace vocarix
