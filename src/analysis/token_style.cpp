#include "analysis/token_style.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <span>

#include "document/text.hpp"
#include "analysis/added_tokens_view.hpp"

namespace vocarix {
namespace {

constexpr std::string_view kSpaceMark = "\xC4\xA0";      // U+0120, the byte-level form of a space

constexpr bool byte_stands_for_itself(unsigned b) {
    return (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || (b >= 0xAE && b <= 0xFF);
}

// The byte-level alphabet: bytes that are printable Latin-1 characters stand
// for themselves; the other 68 bytes, in ascending order, take the code
// points from U+0100 on.
constexpr std::array<std::uint8_t, 68> kShiftedBytes = [] {
    std::array<std::uint8_t, 68> bytes{};
    std::size_t next = 0;
    for (unsigned b = 0; b < 256; ++b) {
        if (!byte_stands_for_itself(b)) bytes[next++] = static_cast<std::uint8_t>(b);
    }
    return bytes;
}();

// The byte a byte-level character stands for, or -1 when it is none.
int byte_level_byte(std::uint32_t cp) {
    if (cp < 0x100) return byte_stands_for_itself(cp) ? static_cast<int>(cp) : -1;
    if (cp < 0x100 + kShiftedBytes.size()) return kShiftedBytes[cp - 0x100];
    return -1;
}

bool mentions(const CompactJson& section, std::string_view needle) {
    return section.text.find(needle) != std::string::npos;
}

std::string quoted_marker(std::string_view marker) {
    std::string text(1, '"');
    text.append(marker);
    text.push_back('"');
    return text;
}

struct Range {
    std::uint32_t first, last;
};

bool in_ranges(std::uint32_t cp, std::span<const Range> ranges) {
    for (const Range& range : ranges)
        if (cp >= range.first && cp <= range.last) return true;
    return false;
}

// Characters that show as nothing, as a blank other than the space, or not
// at all: people cannot tell them apart unless they are spelled out.
bool is_invisible(std::uint32_t cp) {
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return true;
    static constexpr Range kInvisible[] = {
        {0x00A0, 0x00A0}, {0x00AD, 0x00AD}, {0x034F, 0x034F}, {0x061C, 0x061C}, {0x115F, 0x1160},
        {0x1680, 0x1680}, {0x17B4, 0x17B5}, {0x180B, 0x180F}, {0x2000, 0x200F}, {0x2028, 0x202F},
        {0x205F, 0x206F}, {0x3000, 0x3000}, {0x3164, 0x3164}, {0xD800, 0xDFFF}, {0xE000, 0xF8FF},
        {0xFDD0, 0xFDEF}, {0xFE00, 0xFE0F}, {0xFEFF, 0xFEFF}, {0xFFA0, 0xFFA0}, {0xFFF0, 0xFFFB},
        {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF}, {0xF0000, 0x10FFFF},
    };
    return in_ranges(cp, kInvisible) || (cp & 0xFFFE) == 0xFFFE;
}

// Marks that attach to the character before them.
bool is_combining(std::uint32_t cp) {
    static constexpr Range kCombining[] = {
        {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A}, {0x064B, 0x065F},
        {0x0670, 0x0670}, {0x06D6, 0x06DC}, {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E},
        {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x20D0, 0x20FF}, {0x302A, 0x302F}, {0x3099, 0x309A},
        {0xFE20, 0xFE2F},
    };
    if (in_ranges(cp, kCombining)) return true;
    // The nine Brahmic blocks from Devanagari to Malayalam place their signs alike.
    if (cp >= 0x0900 && cp < 0x0D80) {
        std::uint32_t offset = cp & 0x7F;
        return offset <= 0x03 || (offset >= 0x3A && offset <= 0x4F) || (offset >= 0x51 && offset <= 0x57) ||
               offset == 0x62 || offset == 0x63;
    }
    return false;
}

void append_hex_byte(std::string& out, unsigned char byte) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\x";
    out.push_back(kHex[byte >> 4]);
    out.push_back(kHex[byte & 0xF]);
}

void append_code_point_escape(std::string& out, std::uint32_t cp) {
    char digits[8];
    auto end = std::to_chars(digits, digits + sizeof digits, cp, 16).ptr;
    out += "\\u{";
    out.append(digits, end);
    out.push_back('}');
}

// Calls valid(text) for each run of valid UTF-8 and invalid(byte) for each
// byte that starts no valid sequence, in order.
template <class Valid, class Invalid>
void split_valid_runs(std::string_view bytes, Valid&& valid, Invalid&& invalid) {
    while (!bytes.empty()) {
        std::size_t good = find_invalid_utf8(bytes);
        if (good > 0) valid(bytes.substr(0, good));
        if (good == bytes.size()) return;
        invalid(static_cast<unsigned char>(bytes[good]));
        bytes.remove_prefix(good + 1);
    }
}

}  // namespace

const char* style_name(TokenStyle style) {
    switch (style) {
        case TokenStyle::kByteLevel: return "byte_level";
        case TokenStyle::kMetaspace: return "metaspace";
        case TokenStyle::kEndOfWordSuffix: return "end_of_word_suffix";
        case TokenStyle::kContinuingPrefix: return "continuing_subword_prefix";
        case TokenStyle::kPlain: break;
    }
    return "plain";
}

StyleReport detect_token_style(const EditorState& state) {
    const DocumentSections& sections = state.sections;
    const ModelSettings& model = sections.model;
    std::string_view suffix = model.end_of_word_suffix ? std::string_view(*model.end_of_word_suffix) : "";
    std::string_view prefix =
        model.continuing_subword_prefix ? std::string_view(*model.continuing_subword_prefix) : "";
    StyleReport report;

    const char* byte_level_by = mentions(sections.pre_tokenizer, "\"ByteLevel\"") ? "pre_tokenizer ByteLevel"
                                : mentions(sections.decoder, "\"ByteLevel\"")     ? "decoder ByteLevel"
                                                                                  : nullptr;
    const char* metaspace_by = mentions(sections.pre_tokenizer, "\"Metaspace\"") ? "pre_tokenizer Metaspace"
                               : mentions(sections.decoder, "\"Metaspace\"")     ? "decoder Metaspace"
                               : mentions(sections.normalizer, kMetaspaceMark)       ? "normalizer writes \xE2\x96\x81"
                               : mentions(sections.pre_tokenizer, kMetaspaceMark)    ? "pre_tokenizer writes \xE2\x96\x81"
                               : mentions(sections.decoder, kMetaspaceMark)          ? "decoder reads \xE2\x96\x81"
                                                                                 : nullptr;
    // A word marker of the model itself goes with any encoding.
    auto word_marker = [&](std::string& evidence) -> std::string {
        if (!suffix.empty()) {
            evidence += "; model end_of_word_suffix " + quoted_marker(suffix);
            return std::string(suffix);
        }
        if (!prefix.empty()) {
            evidence += "; model continuing_subword_prefix " + quoted_marker(prefix);
            return std::string(prefix);
        }
        return {};
    };

    if (byte_level_by) {
        report.style = TokenStyle::kByteLevel;
        report.byte_level = true;
        report.evidence = byte_level_by;
        report.marker = word_marker(report.evidence);
        if (report.marker.empty()) report.marker = kSpaceMark;
        return report;
    }
    if (metaspace_by) {
        report.style = TokenStyle::kMetaspace;
        report.evidence = metaspace_by;
        report.marker = kMetaspaceMark;
        return report;
    }
    if (!suffix.empty()) {
        report.style = TokenStyle::kEndOfWordSuffix;
        report.marker = suffix;
        report.evidence = "model end_of_word_suffix " + quoted_marker(suffix);
        return report;
    }
    if (!prefix.empty()) {
        report.style = TokenStyle::kContinuingPrefix;
        report.marker = prefix;
        report.evidence = "model continuing_subword_prefix " + quoted_marker(prefix);
        return report;
    }

    // The settings say nothing: count the tokens that open with either marker.
    std::size_t space_marked = 0, metaspace_marked = 0;
    state.for_each_entry([&](Symbol sym) {
        std::string_view text = state.text(sym);
        space_marked += text.starts_with(kSpaceMark);
        metaspace_marked += text.starts_with(kMetaspaceMark);
    });
    std::size_t threshold = std::max<std::size_t>(2, state.vocab_size() / 100);
    auto counted = [&](std::size_t count, std::string_view marker) {
        return std::to_string(count) + " of " + std::to_string(state.vocab_size()) + " tokens start with " +
               std::string(marker);
    };
    if (space_marked >= threshold && space_marked > metaspace_marked) {
        report.style = TokenStyle::kByteLevel;
        report.byte_level = true;
        report.marker = kSpaceMark;
        report.evidence = counted(space_marked, kSpaceMark);
    } else if (metaspace_marked >= threshold) {
        report.style = TokenStyle::kMetaspace;
        report.marker = kMetaspaceMark;
        report.evidence = counted(metaspace_marked, kMetaspaceMark);
    } else {
        report.evidence = "no word marker in the settings or the vocabulary";
    }
    return report;
}

TokenReader TokenReader::for_editor(const EditorState& state) {
    std::unordered_set<std::string> literal;
    for (AddedTokenEntry& entry : read_added_tokens(state.sections)) literal.insert(std::move(entry.content));
    return TokenReader(detect_token_style(state), std::move(literal));
}

std::string TokenReader::decode(std::string_view token) const {
    if (style_.byte_level) {
        if (literal_.count(std::string(token))) return std::string(token);
        std::string bytes;
        bytes.reserve(token.size());
        const auto* p = reinterpret_cast<const unsigned char*>(token.data());
        for (std::size_t i = 0; i < token.size();) {
            std::size_t length = utf8_sequence_length(p[i]);
            if (length > token.size() - i) return std::string(token);
            int byte = byte_level_byte(decode_utf8_sequence(p + i, length));
            if (byte < 0) return std::string(token);  // not byte-level text: shown as stored
            bytes.push_back(static_cast<char>(byte));
            i += length;
        }
        return bytes;
    }
    if (style_.style == TokenStyle::kMetaspace && token.find(kMetaspaceMark) != std::string_view::npos) {
        std::string text;
        text.reserve(token.size());
        std::size_t start = 0;
        for (std::size_t found; (found = token.find(kMetaspaceMark, start)) != std::string_view::npos;
             start = found + kMetaspaceMark.size()) {
            text.append(token.substr(start, found - start));
            text.push_back(' ');
        }
        text.append(token.substr(start));
        return text;
    }
    return std::string(token);
}

std::string TokenReader::shown(std::string_view token) const {
    return style_.byte_level ? decode(token) : std::string(token);
}

std::string TokenReader::encode(std::string_view text) const {
    std::string stored;
    stored.reserve(text.size());
    if (style_.byte_level) {
        append_byte_level(stored, text);
        return stored;
    }
    if (style_.style == TokenStyle::kMetaspace) {
        for (char c : text) {
            if (c == ' ') stored.append(kMetaspaceMark);
            else stored.push_back(c);
        }
        return stored;
    }
    return std::string(text);
}

void append_byte_level(std::string& out, std::string_view bytes) {
    // The UTF-8 form of each byte's character: one or two bytes.
    struct Forms {
        char text[256][2];
        std::uint8_t length[256];
    };
    static constexpr Forms kForms = [] {
        Forms forms{};
        std::uint32_t shifted = 0x100;
        for (unsigned b = 0; b < 256; ++b) {
            std::uint32_t cp = byte_stands_for_itself(b) ? b : shifted++;
            if (cp < 0x80) {
                forms.text[b][0] = static_cast<char>(cp);
                forms.length[b] = 1;
            } else {
                forms.text[b][0] = static_cast<char>(0xC0 | (cp >> 6));
                forms.text[b][1] = static_cast<char>(0x80 | (cp & 0x3F));
                forms.length[b] = 2;
            }
        }
        return forms;
    }();
    for (unsigned char b : bytes) out.append(kForms.text[b], kForms.length[b]);
}

const std::uint8_t* byte_level_ranks() {
    // Bytes that stand for themselves keep their code point; the others take
    // U+0100 on in byte order: every one of them after every byte kept.
    static const auto ranks = [] {
        std::array<std::uint8_t, 256> out{};
        unsigned next = 0;
        for (unsigned b = 0; b < 256; ++b)
            if (byte_stands_for_itself(b)) out[b] = static_cast<std::uint8_t>(next++);
        for (unsigned b = 0; b < 256; ++b)
            if (!byte_stands_for_itself(b)) out[b] = static_cast<std::uint8_t>(next++);
        return out;
    }();
    return ranks.data();
}

std::string text_with_byte_escapes(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    split_valid_runs(
        bytes, [&](std::string_view run) { out.append(run); },
        [&](unsigned char byte) { append_hex_byte(out, byte); });
    return out;
}

std::string readable_quoted(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + 2);
    out.push_back('"');
    bool first = true;
    auto valid = [&](std::string_view run) {
        const auto* p = reinterpret_cast<const unsigned char*>(run.data());
        for (std::size_t i = 0; i < run.size();) {
            std::size_t length = utf8_sequence_length(p[i]);
            std::uint32_t cp = decode_utf8_sequence(p + i, length);
            switch (cp) {
                case '\t': out += "\\t"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\0': out += "\\0"; break;
                case '\\': out += "\\\\"; break;
                case '"': out += "\\\""; break;
                default:
                    if (is_invisible(cp) || (first && is_combining(cp))) append_code_point_escape(out, cp);
                    else out.append(run.substr(i, length));
            }
            first = false;
            i += length;
        }
    };
    split_valid_runs(bytes, valid, [&](unsigned char byte) {
        append_hex_byte(out, byte);
        first = false;
    });
    out.push_back('"');
    return out;
}

bool is_byte_token(std::string_view token) {
    auto upper_hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
    return token.size() == 6 && token.starts_with("<0x") && token[5] == '>' && upper_hex(token[3]) &&
           upper_hex(token[4]);
}

}  // namespace vocarix
