// Where a line of a corpus may be cut without changing its words, so that a
// line of any length is counted in pieces of bounded size.
//
// The runtime encodes each line as one text. Cutting a line at byte p gives
// the same words as the whole line when no added token, normalizer step or
// pre-tokenizer match spans p and nothing looks across it: the words of the
// line are then the words of its head followed by the words of its rest,
// the rest counted as the middle of a line (not at its start). Such places
// exist for most pipelines just before a space that follows a character
// that is not white space: there the byte-level expressions, Metaspace,
// Whitespace, WhitespaceSplit, BertPreTokenizer and a Split on " " all
// start a new piece, and nothing before the space depends on what follows
// it. The rule says which pipelines have such places (an analysis of the
// file's normalizer, pre-tokenizer and added tokens) and finds them in text.
// A pipeline it cannot prove safe (no pre-tokenizer, a regular expression
// it does not know, Prepend, Strip on the left, ...) is never cut, and its
// lines are held whole.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "state/editor_state.hpp"

namespace vocarix {

class TextNormalizer;

class LineCutRule {
public:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    // A rule that never cuts (the reason says why).
    LineCutRule() = default;
    // The rule of the pipeline `state` holds; `normalizer` is that file's
    // (it normalizes the contents of added tokens matched in normalized text).
    LineCutRule(const EditorState& state, TextNormalizer& normalizer);

    // Cuts only where `other` may cut too: one reading of a corpus counted
    // for several files.
    void restrict_to(const LineCutRule& other);

    // Whether any place of a line may be cut; when not, why.
    bool cuts() const { return reason_.empty(); }
    const std::string& reason() const { return reason_; }

    // Whether `line` (valid UTF-8, the start of a line or of a piece cut
    // from one) may be cut before byte `at`, 0 < at < line.size().
    bool safe_at(std::string_view line, std::size_t at) const;
    // The last place in [from, to) of `line` where it may be cut; kNone for none.
    std::size_t last_cut(std::string_view line, std::size_t from, std::size_t to) const;
    // The first place in [from, to); kNone for none.
    std::size_t first_cut(std::string_view line, std::size_t from, std::size_t to) const;
    // How many bytes before a place the rule looks at.
    std::size_t context_bytes() const;

private:
    void refuse(std::string why);
    void read_pre_tokenizer(const EditorState& state);
    void read_normalizer(const TextNormalizer& normalizer);
    void read_tokens(const EditorState& state, TextNormalizer& normalizer);

    std::string reason_ = "no pipeline was read";
    // The character before a place must be printable ASCII (true), which
    // every normalizer step the rule accepts leaves as it is, or only not
    // white space (no normalizer).
    bool ascii_before_ = false;
    // Contents of added tokens that take the white space after them along:
    // a place right after one is no place to cut.
    std::vector<std::string> rstrip_tokens_;
};

}  // namespace vocarix
