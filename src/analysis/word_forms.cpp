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

void add_form(std::vector<WordForm>& forms, WordForm form) {
    for (WordForm& known : forms)
        if (known.token == form.token && known.capitalised == form.capitalised) {
            known.contexts |= form.contexts;
            known.looked_up = known.looked_up || form.looked_up;
            for (FormPlace& place : form.places) known.places.push_back(std::move(place));
            return;
        }
    forms.push_back(std::move(form));
}

}  // namespace

WordReader::WordReader(const EditorState& state, TextSplitter* splitter)
    : state_(state),
      reader_(TokenReader::for_editor(state)),
      pipeline_(PreTokenCheck(state).pipeline()),
      suffix_(word_suffix(state.sections.model)),
      prefix_(subword_prefix(state.sections.model)) {
    if (splitter) running_.emplace(*splitter);
}

bool WordReader::marks_spaces() const {
    return reader_.style().byte_level || reader_.style().style == TokenStyle::kMetaspace;
}

std::string WordReader::settings_form(std::string_view word, WordContext context) const {
    bool marked = marks_spaces() && (context == kAfterSpace || (context == kTextStart && pipeline_.marks_text_start));
    std::string text = marked ? " " : "";
    text.append(word);
    std::string stored = reader_.encode(text);
    stored += suffix_;
    return stored;
}

WordForm WordReader::form_in(std::string_view word, ScriptFamily family, WordContext context) {
    WordForm form;
    form.contexts = context;
    form.family = family;
    if (running_) {
        form.looked_up = true;
        std::string spaced(" ");
        spaced.append(word);
        // Candidates with the style's space mark and without; a style
        // without marks stores both alike, and the bare one is found.
        std::string marked = marks_spaces() ? reader_.encode(spaced) : "";
        std::string bare = reader_.encode(word);
        Placement placement = running_->place(word, family, context, marked, bare);
        if (placement.kind == Placement::Kind::kMissing) {
            // The normalizer rewrote the word: look for it as the pipeline writes it alone.
            std::string written = running_->alone(word);
            const std::string mark = marks_spaces() ? reader_.encode(" ") : "";
            if (!mark.empty() && written.starts_with(mark)) written.erase(0, mark.size());
            if (!written.empty() && written != bare)
                placement = running_->place(word, family, context, mark.empty() ? "" : mark + written, written);
        }
        if (placement.kind == Placement::Kind::kFound) {
            const FormPlace& place = placement.place;
            if (place.begin > 0) form.token = prefix_;
            form.token += placement.form;
            if (place.begin + place.length == place.word.size()) form.token += suffix_;
            form.places.push_back(place);
            return form;
        }
    }
    form.token = settings_form(word, context);
    return form;
}

std::vector<WordForm> WordReader::forms_of(std::string_view word) {
    std::string typed = pipeline_.lowercases ? map_characters(word, simple_lower, false) : std::string(word);
    const ScriptFamily family = script_family(typed);
    std::vector<WordForm> forms;
    auto add_contexts = [&](const std::string& text, bool capitalised) {
        for (WordContext context : kContexts) {
            if (!(contexts_of_family(family) & context)) continue;
            WordForm form = form_in(text, family, context);
            form.capitalised = capitalised;
            add_form(forms, std::move(form));
        }
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

WordForm WordReader::stored_as_form(std::string_view token) {
    WordForm out;
    out.token = std::string(token);
    // With an end-of-word suffix a word may be named with or without it.
    std::string_view body = token;
    std::string whole(token);
    if (!suffix_.empty()) {
        if (body.ends_with(suffix_)) body.remove_suffix(suffix_.size());
        else whole += suffix_;
    }
    std::string text = reader_.decode(body);
    if (!is_valid_utf8(text)) return out;
    std::string_view word = text;
    if (marks_spaces() && word.starts_with(' ')) word.remove_prefix(1);
    // Spaces alone: a run of them is met as it is stored, where the style writes it so.
    if (only_spaces_or_marks(word, "")) {
        if (!text.empty() && reader_.encode(text) + suffix_ == whole) out.contexts = kAfterSpace;
        return out;
    }
    // The token is the text it stands for, so only the forms as written can match it.
    std::string typed = pipeline_.lowercases ? map_characters(word, simple_lower, false) : std::string(word);
    out.family = script_family(typed);
    for (WordContext context : kContexts) {
        if (!(contexts_of_family(out.family) & context)) continue;
        WordForm form = form_in(typed, out.family, context);
        out.looked_up = form.looked_up;
        // Where the text pipeline runs, only a place it was found in counts.
        if (form.token != whole || (form.looked_up && form.places.empty())) continue;
        out.contexts |= context;
        for (FormPlace& place : form.places) out.places.push_back(std::move(place));
    }
    return out;
}

std::string WordReader::text_of(std::string_view given, WordReadingMode mode) const {
    if (reader_.style().byte_level && mode == WordReadingMode::kAuto && given.find(kMetaspaceMark) != std::string_view::npos)
        return TokenReader(StyleReport{TokenStyle::kMetaspace, false, std::string(kMetaspaceMark), ""}, {}).decode(given);
    return std::string(given);
}

WordReading WordReader::read(std::string_view given, const ReadingOptions& options) {
    WordReading reading;
    reading.given = std::string(given);
    reading.read_as_text = options.mode == WordReadingMode::kText ||
                           (options.mode == WordReadingMode::kAuto && !looks_stored(given));
    if (!reading.read_as_text) {
        if (given.empty()) reading.refused = "empty";
        else reading.chosen.push_back(stored_as_form(given));
        return reading;
    }
    std::string text = text_of(given, options.mode);
    std::string_view word = trim_spaces(text);
    if (!is_valid_utf8(word)) {
        reading.refused = "not_utf8";
        return reading;
    }
    if (only_spaces_or_marks(word, marks_spaces() ? std::string_view(reader_.style().marker) : "")) {
        reading.refused = given.empty() ? "empty" : "only_spaces";
        return reading;
    }
    for (WordForm& form : forms_of(word)) {
        std::uint8_t wanted_contexts = options.contexts ? options.contexts : default_contexts(form.family);
        bool wanted = (form.contexts & wanted_contexts) && (!form.capitalised || options.capitalised);
        (wanted ? reading.chosen : reading.other_forms).push_back(std::move(form));
    }
    return reading;
}

ResolvedToken WordReader::resolve(std::string_view given, WordReadingMode mode) {
    ResolvedToken resolved;
    resolved.given = std::string(given);
    if (mode != WordReadingMode::kText && state_.contains(given)) {
        resolved.tokens.push_back(resolved.given);
        return resolved;
    }
    if (mode == WordReadingMode::kStored || (mode == WordReadingMode::kAuto && looks_stored(given))) return resolved;
    resolved.read_as_text = true;
    std::string text = text_of(given, mode);
    if (!is_valid_utf8(text)) return resolved;
    // What a display showed for a token, spaces and all.
    if (mode == WordReadingMode::kAuto) {
        std::string shown = reader_.encode(text);
        if (state_.contains(shown)) {
            resolved.tokens.push_back(std::move(shown));
            return resolved;
        }
    }
    std::string_view word = trim_spaces(text);
    if (word.empty() || only_spaces_or_marks(word, marks_spaces() ? std::string_view(reader_.style().marker) : ""))
        return resolved;
    for (const WordForm& form : forms_of(word))
        if (!form.capitalised && form.contexts && state_.contains(form.token)) resolved.tokens.push_back(form.token);
    return resolved;
}

}  // namespace vocarix
