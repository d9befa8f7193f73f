#include "formats/chat_template/template_scan.hpp"

#include <algorithm>
#include <cstdint>

#include "document/text.hpp"
#include "formats/format_error.hpp"

namespace vocarix::formats {
namespace {

bool identifier_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool identifier_part(char c) { return identifier_start(c) || (c >= '0' && c <= '9'); }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

class TemplateScanner {
public:
    TemplateScanner(std::string_view source, std::string_view where) : source_(source), where_(where) {}

    TemplateScan scan() {
        while (at_ < source_.size()) {
            std::size_t open = find_tag_start(at_);
            add_text(source_.substr(at_, open - at_));
            if (open == source_.size()) break;
            char kind = source_[open + 1];
            at_ = open + 2;
            if (kind == '#') skip_comment(open);
            else tag(open, kind == '{' ? "}}" : "%}");
        }
        return std::move(scan_);
    }

private:
    std::size_t find_tag_start(std::size_t from) const {
        for (std::size_t i = from; i + 1 < source_.size(); ++i)
            if (source_[i] == '{' && (source_[i + 1] == '{' || source_[i + 1] == '%' || source_[i + 1] == '#')) return i;
        return source_.size();
    }

    [[noreturn]] void fail(const std::string& what, std::size_t at) const {
        std::size_t line = 1 + static_cast<std::size_t>(std::count(source_.begin(), source_.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
        throw FormatError(std::string(where_) + ": " + what + " at line " + std::to_string(line));
    }

    void add_text(std::string_view text) {
        if (!text.empty()) scan_.texts.emplace_back(text);
    }

    void skip_comment(std::size_t open) {
        std::size_t close = source_.find("#}", at_);
        if (close == std::string_view::npos) fail("a comment that never ends", open);
        at_ = close + 2;
    }

    // The inside of {{ ... }} or {% ... %}: literals and names, up to the closing mark.
    void tag(std::size_t open, std::string_view closing) {
        std::vector<std::string> words;
        while (true) {
            if (at_ >= source_.size()) fail("a tag that never ends", open);
            char c = source_[at_];
            if (source_.substr(at_, 2) == closing) {
                at_ += 2;
                break;
            }
            if (c == '\'' || c == '"') {
                scan_.texts.push_back(string_literal(c));
                continue;
            }
            if (identifier_start(c)) {
                std::size_t start = at_;
                while (at_ < source_.size() && identifier_part(source_[at_])) ++at_;
                words.emplace_back(source_.substr(start, at_ - start));
                note_name(words.back());
                continue;
            }
            ++at_;
        }
        if (closing == "%}" && !words.empty() && words.front() == "raw") raw_block(open);
    }

    void note_name(const std::string& name) {
        if (std::find(scan_.names.begin(), scan_.names.end(), name) == scan_.names.end()) scan_.names.push_back(name);
    }

    // Text up to {% endraw %} (with any whitespace controls), taken as it is.
    void raw_block(std::size_t open) {
        for (std::size_t from = at_;;) {
            std::size_t start = source_.find("{%", from);
            if (start == std::string_view::npos) fail("a raw block that never ends", open);
            std::size_t inner = start + 2;
            while (inner < source_.size() && (source_[inner] == '-' || source_[inner] == '+' || source_[inner] == ' ' ||
                                              source_[inner] == '\t' || source_[inner] == '\n' || source_[inner] == '\r'))
                ++inner;
            if (source_.substr(inner, 6) == "endraw") {
                std::size_t close = source_.find("%}", inner);
                if (close == std::string_view::npos) fail("a tag that never ends", start);
                add_text(source_.substr(at_, start - at_));
                at_ = close + 2;
                return;
            }
            from = start + 2;
        }
    }

    // A quoted string with Python's escapes, decoded; at_ is at its opening quote.
    std::string string_literal(char quote) {
        std::size_t open = at_++;
        std::string text;
        while (true) {
            if (at_ >= source_.size()) fail("a string that never ends", open);
            char c = source_[at_++];
            if (c == quote) return text;
            if (c != '\\') {
                text += c;
                continue;
            }
            if (at_ >= source_.size()) fail("a string that never ends", open);
            char escape = source_[at_++];
            switch (escape) {
                case 'n': text += '\n'; break;
                case 't': text += '\t'; break;
                case 'r': text += '\r'; break;
                case '0': text += '\0'; break;
                case 'x': text_escape(text, 2); break;
                case 'u': text_escape(text, 4); break;
                case 'U': text_escape(text, 8); break;
                case '\n': break;
                default:
                    if (escape != '\\' && escape != '\'' && escape != '"') text += '\\';
                    text += escape;
            }
        }
    }

    void text_escape(std::string& text, int digits) {
        std::uint32_t cp = 0;
        for (int k = 0; k < digits; ++k) {
            int value = at_ < source_.size() ? hex_value(source_[at_]) : -1;
            if (value < 0) fail("a \\x, \\u or \\U escape without its hex digits", at_);
            cp = cp * 16 + static_cast<std::uint32_t>(value);
            ++at_;
        }
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) fail("an escape of no Unicode character", at_);
        append_utf8(text, cp);
    }

    std::string_view source_;
    std::string_view where_;
    std::size_t at_ = 0;
    TemplateScan scan_;
};

}  // namespace

TemplateScan scan_chat_template(std::string_view source, std::string_view where) {
    return TemplateScanner(source, where).scan();
}

}  // namespace vocarix::formats
