// The file's normalizer applied to text as the runtime applies it, before
// pre-tokenization.
//
// Every normalizer the runtime reads is applied: NFC, NFD, NFKC, NFKD,
// Lowercase, Strip, StripAccents, Replace (on a string or a regular
// expression, by the runtime's own engine), Prepend, Precompiled (a
// SentencePiece character map), Nmt, BertNormalizer, ByteLevel, and
// Sequence of these. The normalization forms and lower-casing need the
// Unicode database, which the core does not carry: the caller hands one in
// (UnicodeForms). A type this version does not know, or a setting the
// runtime itself refuses, is refused with its name, since words split
// otherwise than the runtime splits them would teach the wrong merges.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "document/document.hpp"

namespace vocarix {

class RegularExpression;
class PrecompiledCharsmap;

// A setting of the file that learning cannot follow exactly.
class UnsupportedSetting : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Unicode data from outside the core.
class UnicodeForms {
public:
    virtual ~UnicodeForms() = default;
    // Appends `text` in `form` to `out`: "NFC", "NFD", "NFKC" or "NFKD", or
    // "lowercase" (every character's own lowercase mapping, without context).
    virtual void apply(std::string_view form, std::string_view text, std::string& out) = 0;
};

class TextNormalizer {
public:
    // Throws UnsupportedSetting for a normalizer it cannot apply, and for
    // one that needs Unicode data when `forms` is null.
    TextNormalizer(const DocumentSections& sections, UnicodeForms* forms);
    ~TextNormalizer();
    TextNormalizer(TextNormalizer&&) noexcept;

    // True when the file has no normalizer: text stays as it is.
    bool identity() const { return steps_.empty(); }
    // Normalizes `text`, valid UTF-8, into `out`.
    void normalize(std::string_view text, std::string& out);
    // The normalized text: `text` itself when no step changes it, else a
    // view of the normalizer's own buffer, valid until the next call.
    std::string_view normalized(std::string_view text);

    struct Step {
        enum class Kind : std::uint8_t {
            kReplace, kPrepend, kStrip, kStripAccents, kNmt, kBert, kForm, kPrecompiled, kByteLevel
        };
        Kind kind = Kind::kForm;
        std::string text;     // Replace pattern, Prepend text, form name
        std::string content;  // Replace content
        bool left = false, right = false;  // Strip
        // BertNormalizer
        bool clean_text = true, chinese = true, strip_accents = false, lowercase = true;
        std::shared_ptr<const RegularExpression> regex;     // Replace
        std::shared_ptr<const PrecompiledCharsmap> charsmap;  // Precompiled
    };
    // The steps, in the order they run.
    const std::vector<Step>& steps() const { return steps_; }

private:
    void apply(const Step& step, std::string_view text, std::string& out);
    void form(std::string_view name, std::string_view text, std::string& out);
    void bert(const Step& step, std::string_view text, std::string& out);
    void precompiled(const PrecompiledCharsmap& charsmap, std::string_view text, std::string& out);

    std::vector<Step> steps_;
    UnicodeForms* forms_;
    std::string buffer_, result_, scratch_;
};

}  // namespace vocarix
