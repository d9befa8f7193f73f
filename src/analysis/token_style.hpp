// How a tokenizer writes its tokens, and the text a stored token stands for.
//
// Vocabularies store tokens in one of a few encodings: byte-level files map
// every byte to a printable character ("Ġ" for a space), "▁" files mark a
// word's leading space with U+2581, and word-piece files mark word ends or
// continuations with a suffix or prefix. People read tokens best as the
// text they stand for, so displays decode them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

#include "state/editor_state.hpp"

namespace vocarix {

// The character a ▁-style vocabulary writes for a space (U+2581).
inline constexpr std::string_view kMetaspaceMark = "\xE2\x96\x81";

enum class TokenStyle : std::uint8_t {
    kByteLevel,        // every byte stored as one printable character
    kMetaspace,        // "▁" stands for a space
    kEndOfWordSuffix,  // the model's end_of_word_suffix closes words
    kContinuingPrefix, // the model's continuing_subword_prefix opens word continuations
    kPlain,            // tokens are stored as the text they stand for
};

// "byte_level", "metaspace", "end_of_word_suffix", "continuing_subword_prefix" or "plain".
const char* style_name(TokenStyle style);

struct StyleReport {
    TokenStyle style = TokenStyle::kPlain;
    // Byte-level encoding can come with a word marker (a suffix, say); the
    // display decodes whenever this is set.
    bool byte_level = false;
    std::string marker;    // "Ġ", "▁", the suffix or the prefix; empty for plain
    std::string evidence;  // what the style was told by, for people
};

// Decides from the pre-tokenizer, decoder and normalizer settings and the
// model's suffix and prefix; when those say nothing, from the vocabulary.
StyleReport detect_token_style(const EditorState& state);

// Turns stored tokens into the text they stand for.
class TokenReader {
public:
    // `literal` holds tokens that are stored as raw text whatever the style:
    // the runtime matches added tokens on the input text itself.
    TokenReader(StyleReport style, std::unordered_set<std::string> literal)
        : style_(std::move(style)), literal_(std::move(literal)) {}
    // The token's readable form for `state`: its style, and its added tokens as literal.
    static TokenReader for_editor(const EditorState& state);

    const StyleReport& style() const { return style_; }

    // The bytes the token stands for: byte-level characters decoded, "▁"
    // as a space; byte tokens <0xNN> and everything else as stored. The
    // result need not be valid UTF-8 (a byte-level token can hold part of a
    // character).
    std::string decode(std::string_view token) const;
    // What a display shows: the same, except that "▁" stays as the visible
    // mark of a space it is.
    std::string shown(std::string_view token) const;
    // The other way: the stored form of a text as the style writes it, so
    // that what a display showed can be given back. Byte-level styles map
    // every byte to its character, "▁" styles write a space as "▁", the
    // others store text as it is.
    std::string encode(std::string_view text) const;

private:
    StyleReport style_;
    std::unordered_set<std::string> literal_;
};

// Appends the byte-level form of `bytes`: each byte as its printable character.
void append_byte_level(std::string& out, std::string_view bytes);

// For each byte, the place of its byte-level character among the 256 in
// code point order: byte strings compared byte by byte through these ranks
// are ordered as their byte-level forms are.
const std::uint8_t* byte_level_ranks();

// Decoded bytes as text: valid UTF-8 as it is, each byte of an invalid
// sequence as the four characters \xNN.
std::string text_with_byte_escapes(std::string_view bytes);

// Decoded bytes as a double-quoted literal for people: backslash and quote
// escaped, tab, line feed, carriage return and NUL as \t \n \r \0, other
// control, format, invisible and space-like characters (all but U+0020) as
// \u{hex}, a combining mark with nothing before it to combine with as well,
// and each byte of an invalid sequence as \xNN.
std::string readable_quoted(std::string_view bytes);

// True for "<0x00>" .. "<0xFF>" (upper-case hex): the tokens byte fallback uses.
bool is_byte_token(std::string_view token);

}  // namespace vocarix
