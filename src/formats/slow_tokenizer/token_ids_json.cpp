#include "formats/slow_tokenizer/token_ids_json.hpp"

#include <algorithm>
#include <unordered_set>

#include "document/json_cursor.hpp"
#include "document/text.hpp"
#include "formats/format_error.hpp"

namespace vocarix::formats {
namespace {

// Reads the object and notes the text between its tokens, which is the layout.
class TokenIdsCursor : public JsonCursor {
public:
    using JsonCursor::JsonCursor;

    TokenIdsFile read() {
        TokenIdsFile file;
        TokenIdsLayout& layout = file.layout;
        skip_ws();
        if (at_end() || peek() != '{') fail("the file is no JSON object", p_ + 1);
        ++p_;
        const char* gap = p_;
        skip_ws();
        bool first = true;
        std::unordered_set<std::string> seen;
        while (!at_end() && peek() != '}') {
            if (first) layout.opening.assign(gap, p_);
            else if (file.entries.size() == 1) layout.after_comma.assign(gap, p_);
            if (peek() != '"') fail("key must be a string", p_ + 1);
            const char* key_start = p_;
            std::string key(parse_string());
            if (!seen.insert(key).second) fail("duplicate token " + debug_quoted(key), key_start + 1);
            const char* after_key = p_;
            skip_ws();
            if (at_end() || peek() != ':') fail("expected `:`", p_ + 1);
            ++p_;
            skip_ws();
            if (first) layout.key_separator.assign(after_key, p_);
            if (at_end() || peek() < '0' || peek() > '9') fail("expected a token id (a whole number)", p_ + 1);
            file.entries.emplace_back(std::move(key), read_u32());
            gap = p_;
            skip_ws();
            if (at_end()) fail_eof("EOF while parsing an object");
            if (peek() == ',') {
                ++p_;
                gap = p_;
                skip_ws();
                if (!at_end() && peek() == '}') fail("trailing comma", p_ + 1);
            }
            first = false;
        }
        if (at_end()) fail_eof("EOF while parsing an object");
        if (!first) layout.closing.assign(gap, p_);
        ++p_;
        layout.tail.assign(p_, end_);
        if (layout.tail.find_first_not_of(" \t\r\n") != std::string::npos) {
            skip_ws();
            fail("trailing characters", p_ + 1);
        }
        if (file.entries.size() == 1 && !layout.opening.empty()) layout.after_comma = layout.opening;
        else if (file.entries.size() == 1 && layout.key_separator.find(' ') == std::string::npos) layout.after_comma = "";
        return file;
    }
};

bool has_non_ascii(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

}  // namespace

TokenIdsLayout default_token_ids_layout() {
    TokenIdsLayout layout;
    layout.opening = "\n  ";
    layout.after_comma = "\n  ";
    layout.closing = "\n";
    layout.by_id = false;
    layout.tail = "\n";
    return layout;
}

TokenIdsFile read_token_ids(std::string_view text, std::string_view file_name) {
    TokenIdsFile file;
    try {
        if (!is_valid_utf8(text)) throw ParseError("invalid UTF-8");
        file = TokenIdsCursor(text).read();
    } catch (const ParseError& error) {
        throw FormatError(std::string(file_name) + ": " + error.what());
    }
    const TokenIds& entries = file.entries;
    bool ascending_ids = std::is_sorted(entries.begin(), entries.end(),
                                        [](const auto& a, const auto& b) { return a.second < b.second; });
    bool ascending_keys = std::is_sorted(entries.begin(), entries.end(),
                                         [](const auto& a, const auto& b) { return a.first < b.first; });
    file.layout.by_id = ascending_ids || !ascending_keys;
    // Text that holds no byte past ASCII although some token has such a character was written with escapes.
    file.layout.ascii_escapes = !has_non_ascii(text) && std::any_of(entries.begin(), entries.end(), [](const auto& e) {
        return has_non_ascii(e.first);
    });
    return file;
}

std::string write_token_ids(TokenIds entries, const TokenIdsLayout& layout) {
    if (layout.by_id)
        std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    else
        std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string out = "{";
    std::size_t size = 16;
    for (const auto& [token, id] : entries) size += token.size() + layout.after_comma.size() + 16;
    out.reserve(size);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        out += i == 0 ? layout.opening : "," + layout.after_comma;
        append_python_json_string(out, entries[i].first, layout.ascii_escapes);
        out += layout.key_separator;
        out += std::to_string(entries[i].second);
    }
    if (!entries.empty()) out += layout.closing;
    out += '}';
    out += layout.tail;
    return out;
}

}  // namespace vocarix::formats
