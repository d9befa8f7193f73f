// The file's normalizer applied to text as the runtime applies it, before
// pre-tokenization.
//
// Applied here: Replace on a string, Prepend, Strip, StripAccents, Nmt,
// BertNormalizer, Lowercase, the Unicode normalization forms NFC, NFD, NFKC
// and NFKD, and Sequence of these. Lowercase and the normalization forms
// need the Unicode database, which the core does not carry: the caller
// hands one in (UnicodeForms). Anything else (a Replace on a regular
// expression, a precompiled character map) is refused with its name, since
// words split otherwise than the runtime splits them would teach the wrong
// merges.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "document/document.hpp"

namespace vocarix {

// A setting of the file that learning cannot follow exactly.
class UnsupportedSetting : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Unicode data from outside the core.
class UnicodeForms {
public:
    virtual ~UnicodeForms() = default;
    // Writes `text` in `form` to `out`: "NFC", "NFD", "NFKC" or "NFKD", or
    // "lowercase" (every character's own lowercase mapping, without context).
    virtual void apply(std::string_view form, std::string_view text, std::string& out) = 0;
};

class TextNormalizer {
public:
    // Throws UnsupportedSetting for a normalizer it cannot apply, and for
    // one that needs Unicode data when `forms` is null.
    TextNormalizer(const DocumentSections& sections, UnicodeForms* forms);

    // True when the file has no normalizer: text stays as it is.
    bool identity() const { return steps_.empty(); }
    // Normalizes `text`, valid UTF-8, into `out`.
    void normalize(std::string_view text, std::string& out);

    struct Step {
        enum class Kind : std::uint8_t { kReplace, kPrepend, kStrip, kStripAccents, kNmt, kBert, kForm };
        Kind kind = Kind::kForm;
        std::string text;     // Replace pattern, Prepend text, form name
        std::string content;  // Replace content
        bool left = false, right = false;  // Strip
        // BertNormalizer
        bool clean_text = true, chinese = true, strip_accents = false, lowercase = true;
    };

private:
    void apply(const Step& step, std::string_view text, std::string& out);
    void form(std::string_view name, std::string_view text, std::string& out);

    std::vector<Step> steps_;
    UnicodeForms* forms_;
    std::string buffer_, scratch_;
};

}  // namespace vocarix
