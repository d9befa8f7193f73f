#include "analysis/running_text.hpp"

#include <algorithm>

#include "analysis/token_style.hpp"
#include "document/text.hpp"
#include "document/unicode_classes.hpp"

namespace vocarix {
namespace {

struct ScriptRange {
    std::uint32_t first, last;
    ScriptFamily family;
};

// The letters of scripts written without spaces between words. Kana make
// a word Japanese; Han characters alone are read as Chinese.
constexpr ScriptRange kSpacelessScripts[] = {
    {0x0E00, 0x0E7F, ScriptFamily::kThai},       {0x0E80, 0x0EFF, ScriptFamily::kLao},
    {0x0F00, 0x0FFF, ScriptFamily::kTibetan},    {0x1000, 0x109F, ScriptFamily::kMyanmar},
    {0x1780, 0x17FF, ScriptFamily::kKhmer},      {0x19E0, 0x19FF, ScriptFamily::kKhmer},
    {0x2E80, 0x2FDF, ScriptFamily::kChinese},    {0x3005, 0x3007, ScriptFamily::kChinese},
    {0x3021, 0x3029, ScriptFamily::kChinese},    {0x3038, 0x303B, ScriptFamily::kChinese},
    {0x3041, 0x30FF, ScriptFamily::kJapanese},   {0x31F0, 0x31FF, ScriptFamily::kJapanese},
    {0x3400, 0x4DBF, ScriptFamily::kChinese},    {0x4E00, 0x9FFF, ScriptFamily::kChinese},
    {0xA9E0, 0xA9FF, ScriptFamily::kMyanmar},    {0xAA60, 0xAA7F, ScriptFamily::kMyanmar},
    {0xF900, 0xFAFF, ScriptFamily::kChinese},    {0xFF66, 0xFF9F, ScriptFamily::kJapanese},
    {0x1B000, 0x1B16F, ScriptFamily::kJapanese}, {0x20000, 0x323AF, ScriptFamily::kChinese},
};

ScriptFamily spaceless_family_of(std::uint32_t cp) {
    for (const ScriptRange& range : kSpacelessScripts)
        if (cp >= range.first && cp <= range.last) return range.family;
    return ScriptFamily::kSpaced;
}

// Text of each spaceless script to stand around a word of it: common words
// that end and start a clause, and the same opening followed by a space or
// a line break.
struct ScriptFiller {
    ScriptFamily family;
    std::string_view before, after, before_space, before_line_break;
};
constexpr ScriptFiller kFillers[] = {
    {ScriptFamily::kChinese, "我们", "很好", "我们 ", "我们\n"},
    {ScriptFamily::kJapanese, "これは", "です", "これは ", "これは\n"},
    {ScriptFamily::kThai, "ฉันชอบ", "มาก", "ฉันชอบ ", "ฉันชอบ\n"},
    {ScriptFamily::kLao, "ຂ້ອຍມັກ", "ຫຼາຍ", "ຂ້ອຍມັກ ", "ຂ້ອຍມັກ\n"},
    {ScriptFamily::kKhmer, "ខ្ញុំចូលចិត្ត", "ណាស់", "ខ្ញុំចូលចិត្ត ", "ខ្ញុំចូលចិត្ត\n"},
    {ScriptFamily::kMyanmar, "ကျွန်တော်", "ပါ", "ကျွန်တော် ", "ကျွန်တော်\n"},
    {ScriptFamily::kTibetan, "ང་", "ཡིན།", "ང་ ", "ང་\n"},
};

// How many bytes of the word a piece covers: its text without the
// continuing-subword prefix and the end-of-word suffix; one for a byte token.
std::size_t piece_length(const EditorState& state, Symbol piece, bool first, bool last, bool byte_token,
                         std::string_view prefix, std::string_view suffix) {
    std::string_view text = state.text(piece);
    if (byte_token) return 1;
    if (!first && !prefix.empty() && text.starts_with(prefix)) text.remove_prefix(prefix.size());
    if (last && !suffix.empty() && text.ends_with(suffix)) text.remove_suffix(suffix.size());
    return text.size();
}

}  // namespace

ScriptFamily script_family(std::string_view word) {
    ScriptFamily found = ScriptFamily::kSpaced;
    bool kana = false;
    const auto* p = reinterpret_cast<const unsigned char*>(word.data());
    for (std::size_t i = 0; i < word.size();) {
        std::size_t length = std::min(utf8_sequence_length(p[i]), word.size() - i);
        std::uint32_t cp = decode_utf8_sequence(p + i, length);
        i += length;
        if (!is_letter(cp)) continue;
        ScriptFamily family = spaceless_family_of(cp);
        if (family == ScriptFamily::kSpaced) return ScriptFamily::kSpaced;
        kana = kana || family == ScriptFamily::kJapanese;
        if (found == ScriptFamily::kSpaced) found = family;
    }
    // Han characters written among kana are Japanese.
    return kana && found == ScriptFamily::kChinese ? ScriptFamily::kJapanese : found;
}

const char* script_family_name(ScriptFamily family) {
    switch (family) {
        case ScriptFamily::kChinese: return "Chinese";
        case ScriptFamily::kJapanese: return "Japanese";
        case ScriptFamily::kThai: return "Thai";
        case ScriptFamily::kLao: return "Lao";
        case ScriptFamily::kKhmer: return "Khmer";
        case ScriptFamily::kMyanmar: return "Myanmar";
        case ScriptFamily::kTibetan: return "Tibetan";
        case ScriptFamily::kSpaced: break;
    }
    return "";
}

std::uint8_t contexts_of_family(ScriptFamily family) {
    return family == ScriptFamily::kSpaced ? kAfterSpace | kTextStart | kAfterLineBreak
                                           : kAfterSpace | kTextStart | kAfterLineBreak | kInScript;
}

std::uint8_t default_contexts(ScriptFamily family) {
    return family == ScriptFamily::kSpaced ? kAfterSpace | kTextStart | kAfterLineBreak
                                           : kTextStart | kAfterLineBreak | kInScript;
}

ContextText context_text(ScriptFamily family, WordContext context) {
    if (family == ScriptFamily::kSpaced) {
        switch (context) {
            case kAfterSpace: return {"The report mentions ", " twice."};
            case kTextStart: return {"", " is rare."};
            case kAfterLineBreak: return {"Notes:\n", " again."};
            case kInScript: break;
        }
        return {"", ""};
    }
    const ScriptFiller* filler = &kFillers[0];
    for (const ScriptFiller& f : kFillers)
        if (f.family == family) filler = &f;
    switch (context) {
        case kAfterSpace: return {filler->before_space, filler->after};
        case kTextStart: return {"", filler->after};
        case kAfterLineBreak: return {filler->before_line_break, filler->after};
        case kInScript: break;
    }
    return {filler->before, filler->after};
}

const std::vector<std::string>& RunningText::words_without(ScriptFamily family, WordContext context) {
    auto [it, inserted] = without_.try_emplace({family, context});
    if (inserted) {
        ContextText sample = context_text(family, context);
        std::string text(sample.before);
        text.append(sample.after);
        splitter_.words_of(text, it->second);
    }
    return it->second;
}

Placement RunningText::place(std::string_view text, ScriptFamily family, WordContext context, std::string_view marked,
                             std::string_view bare) {
    ContextText sample = context_text(family, context);
    std::string whole(sample.before);
    whole.append(text).append(sample.after);
    words_.clear();
    splitter_.words_of(whole, words_);

    // The words the sample lacks without the typed word, in order: each
    // word of the sample alone is matched once. Samples hold a few words.
    const std::vector<std::string>& without = words_without(family, context);
    matched_.assign(without.size(), 0);
    std::vector<std::size_t> fresh;
    for (std::size_t i = 0; i < words_.size(); ++i) {
        std::size_t k = 0;
        while (k < without.size() && (matched_[k] || without[k] != words_[i])) ++k;
        if (k < without.size()) matched_[k] = 1;
        else fresh.push_back(i);
    }

    Placement placement;
    auto found = [&](std::size_t index, std::string_view form, std::size_t begin) {
        placement.kind = Placement::Kind::kFound;
        placement.form = std::string(form);
        placement.place = {context, words_[index], begin, form.size()};
        return placement;
    };
    for (std::size_t index : fresh)
        for (std::string_view form : {marked, bare})
            if (!form.empty() && words_[index] == form) return found(index, form, 0);
    for (std::string_view form : {marked, bare}) {
        if (form.empty()) continue;
        for (std::size_t index : fresh)
            if (std::size_t at = words_[index].find(form); at != std::string::npos) return found(index, form, at);
    }
    std::string joined;
    for (std::size_t index : fresh) joined += words_[index];
    if (fresh.size() > 1 && !bare.empty() && joined.find(bare) != std::string::npos)
        placement.kind = Placement::Kind::kSplit;
    return placement;
}

std::string RunningText::alone(std::string_view text) {
    words_.clear();
    if (!splitter_.words_of(text, words_)) return {};
    std::string joined;
    for (const std::string& word : words_) joined += word;
    return joined;
}

bool produced_in_place(Segmenter& segmenter, const FormPlace& place) {
    const EditorState& state = segmenter.state();
    const ModelSettings& model = state.sections.model;
    Segmentation seg = segmenter.segment(place.word);
    const std::string_view prefix = subword_prefix(model), suffix = word_suffix(model);
    if (seg.met_unknown) {
        // Unknown characters may leave no piece, so places cannot be
        // counted along the word: the form's token must be among its pieces.
        std::string token(place.begin > 0 ? prefix : "");
        token.append(std::string_view(place.word).substr(place.begin, place.length));
        if (place.begin + place.length == place.word.size()) token.append(suffix);
        for (Symbol piece : seg.pieces)
            if (state.text(piece) == token) return true;
        return false;
    }
    std::size_t at = 0;
    for (std::size_t i = 0; i < seg.pieces.size() && at <= place.begin; ++i) {
        const bool byte_token = seg.used_byte_fallback && is_byte_token(state.text(seg.pieces[i]));
        std::size_t length =
            piece_length(state, seg.pieces[i], i == 0, i + 1 == seg.pieces.size(), byte_token, prefix, suffix);
        if (at == place.begin) return length == place.length && !byte_token && length > 0;
        at += length;
    }
    return false;
}

}  // namespace vocarix
