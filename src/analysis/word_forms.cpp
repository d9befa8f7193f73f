#include "analysis/word_forms.hpp"

#include <algorithm>

#include "analysis/segmentation.hpp"
#include "document/text.hpp"
#include "document/unicode_classes.hpp"

namespace vocarix {
namespace {


// `text` with every character mapped by `map` (from the first character
// only, when `first_only`).
template <class Map>
std::string map_characters(std::string_view text, Map&& map, bool first_only) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = std::min(utf8_sequence_length(p[i]), text.size() - i);
        if (first_only && i > 0) {
            out.append(text.substr(i));
            break;
        }
        append_utf8(out, map(decode_utf8_sequence(p + i, length)));
        i += length;
    }
    return out;
}

std::string_view trim_spaces(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

// Text that gives no word of its own: nothing but white space and the style's space mark.
bool only_spaces_or_marks(std::string_view text, std::string_view mark) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = std::min(utf8_sequence_length(p[i]), text.size() - i);
        bool space = is_white_space(decode_utf8_sequence(p + i, length)) || text.substr(i, length) == mark;
        if (!space) return false;
        i += length;
    }
    return true;
}

void add_form(std::vector<WordForm>& forms, std::string token, std::uint8_t context, bool capitalised) {
    for (WordForm& form : forms)
        if (form.token == token) {
            form.contexts |= context;
            return;
        }
    forms.push_back({std::move(token), context, capitalised});
}

}  // namespace

WordReader::WordReader(const EditorState& state)
    : reader_(TokenReader::for_editor(state)),
      pipeline_(PreTokenCheck(state).pipeline()),
      suffix_(word_suffix(state.sections.model)),
      prefix_(subword_prefix(state.sections.model)) {}

bool WordReader::marks_spaces() const {
    return reader_.style().byte_level || reader_.style().style == TokenStyle::kMetaspace;
}

std::string WordReader::stored_form(std::string_view word, WordContext context) const {
    bool marked = marks_spaces() && (context == kAfterSpace || (context == kTextStart && pipeline_.marks_text_start));
    std::string text = marked ? " " : "";
    text.append(word);
    std::string stored = reader_.encode(text);
    stored += suffix_;
    return stored;
}

std::vector<WordForm> WordReader::forms_of(std::string_view word) const {
    std::string typed = pipeline_.lowercases ? map_characters(word, simple_lower, false) : std::string(word);
    std::vector<WordForm> forms;
    auto add_contexts = [&](const std::string& text, bool capitalised) {
        for (WordContext context : {kAfterSpace, kTextStart, kAfterLineBreak})
            add_form(forms, stored_form(text, context), context, capitalised);
    };
    add_contexts(typed, false);
    std::string capital = map_characters(typed, simple_upper, true);
    if (!pipeline_.lowercases && capital != typed) add_contexts(capital, true);
    return forms;
}

bool WordReader::looks_stored(std::string_view given) const {
    if (is_special_token(given)) return true;
    if (!suffix_.empty() && given.size() > suffix_.size() && given.ends_with(suffix_)) return true;
    if (!prefix_.empty() && given.size() > prefix_.size() && given.starts_with(prefix_)) return true;
    if (reader_.style().byte_level) {
        std::string text = reader_.decode(given);
        return text != given && is_valid_utf8(text);
    }
    return reader_.style().style == TokenStyle::kMetaspace && given.find(kMetaspaceMark) != std::string_view::npos;
}

std::uint8_t WordReader::contexts_of(std::string_view token) const {
    // With an end-of-word suffix a word may be named with or without it.
    std::string_view body = token;
    std::string whole(token);
    if (!suffix_.empty()) {
        if (body.ends_with(suffix_)) body.remove_suffix(suffix_.size());
        else whole += suffix_;
    }
    std::string text = reader_.decode(body);
    if (!is_valid_utf8(text)) return 0;
    std::string_view word = text;
    if (marks_spaces() && word.starts_with(' ')) word.remove_prefix(1);
    // Spaces alone: a run of them is met as it is stored, where the style writes it so.
    if (only_spaces_or_marks(word, "")) return !text.empty() && reader_.encode(text) + suffix_ == whole ? kAfterSpace : 0;
    // The token is the text it stands for, so only the forms as written can match it.
    std::string typed = pipeline_.lowercases ? map_characters(word, simple_lower, false) : std::string(word);
    std::uint8_t contexts = 0;
    for (WordContext context : {kAfterSpace, kTextStart, kAfterLineBreak})
        if (stored_form(typed, context) == whole) contexts |= context;
    return contexts;
}

WordReading WordReader::read(std::string_view given, const ReadingOptions& options) const {
    WordReading reading;
    reading.given = std::string(given);
    reading.read_as_text = options.mode == WordReadingMode::kText ||
                           (options.mode == WordReadingMode::kAuto && !looks_stored(given));
    if (!reading.read_as_text) {
        if (given.empty()) reading.refused = "empty";
        else reading.chosen.push_back({std::string(given), contexts_of(given), false});
        return reading;
    }
    // A word written for a ▁ file stands for the same text in a byte-level one.
    std::string spaced;
    if (reader_.style().byte_level && options.mode == WordReadingMode::kAuto &&
        given.find(kMetaspaceMark) != std::string_view::npos) {
        spaced = TokenReader(StyleReport{TokenStyle::kMetaspace, false, std::string(kMetaspaceMark), ""}, {}).decode(given);
        given = spaced;
    }
    std::string_view word = trim_spaces(given);
    if (!is_valid_utf8(word)) {
        reading.refused = "not_utf8";
        return reading;
    }
    if (only_spaces_or_marks(word, marks_spaces() ? std::string_view(reader_.style().marker) : "")) {
        reading.refused = given.empty() ? "empty" : "only_spaces";
        return reading;
    }
    for (WordForm& form : forms_of(word)) {
        bool wanted = (form.contexts & options.contexts) && (!form.capitalised || options.capitalised);
        (wanted ? reading.chosen : reading.other_forms).push_back(std::move(form));
    }
    return reading;
}

}  // namespace vocarix
