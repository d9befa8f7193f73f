#include "document/json_output.hpp"

#include <bit>
#include <cmath>
#include <utility>
#include <vector>

namespace vocarix {

std::string format_double(double value) {
    if (!std::isfinite(value)) return "null";
    char buffer[64];
    // Shortest round-trip digits, as d.ddde[+-]xx.
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    std::string out;
    if (text.front() == '-') {
        out.push_back('-');
        text.remove_prefix(1);
    }
    std::size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e))
        if (c != '.') digits.push_back(c);
    int exponent = 0;
    std::string_view exp_text = text.substr(e + 1);
    if (exp_text.front() == '+') exp_text.remove_prefix(1);
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

    // The value is 0.digits * 10^point.
    const int length = static_cast<int>(digits.size());
    const int point = exponent + 1;
    if (point > -5 && point <= 16) {
        if (point <= 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-point), '0');
            out += digits;
        } else if (point >= length) {
            out += digits;
            out.append(static_cast<std::size_t>(point - length), '0');
            out += ".0";
        } else {
            out.append(digits, 0, static_cast<std::size_t>(point));
            out.push_back('.');
            out.append(digits, static_cast<std::size_t>(point));
        }
    } else {
        out.push_back(digits[0]);
        if (length > 1) {
            out.push_back('.');
            out.append(digits, 1);
        }
        out.push_back('e');
        out += std::to_string(point - 1);
    }
    return out;
}

namespace {

bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// Length of the prefix of `s` that needs no escaping, eight bytes at a time.
std::size_t plain_prefix(std::string_view s) {
    std::size_t i = 0;
    while (i + 8 <= s.size() && string_stop_bytes(load8(s.data() + i)) == 0) i += 8;
    while (i < s.size() && !needs_escape(static_cast<unsigned char>(s[i]))) ++i;
    return i;
}

}  // namespace

bool copy_if_plain(char* out, std::string_view s) {
    static_assert(std::endian::native == std::endian::little, "the tail mask assumes little-endian words");
    if (s.empty()) return true;
    if (s.size() <= kCopySlack) std::memcpy(out, s.data(), kCopySlack);
    else std::memcpy(out, s.data(), s.size());
    std::uint64_t stops = 0;
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) stops |= string_stop_bytes(load8(out + i));
    if (i < s.size()) stops |= string_stop_bytes(load8(out + i)) & (~std::uint64_t{0} >> (64 - 8 * (s.size() - i)));
    return stops == 0;
}

void JsonOutput::put_string(std::string_view s) {
    std::size_t plain = plain_prefix(s);
    if (plain == s.size()) {
        // The common case: copy the quoted string in one go.
        reserve(s.size() + 2);
        char* out = buffer_.data() + length_;
        out[0] = '"';
        std::memcpy(out + 1, s.data(), s.size());
        out[s.size() + 1] = '"';
        length_ += s.size() + 2;
        return;
    }
    put('"');
    std::size_t run_start = 0;
    for (std::size_t i = plain; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (!needs_escape(c)) continue;
        put(s.substr(run_start, i - run_start));
        switch (c) {
            case '"': put("\\\""); break;
            case '\\': put("\\\\"); break;
            case '\b': put("\\b"); break;
            case '\f': put("\\f"); break;
            case '\n': put("\\n"); break;
            case '\r': put("\\r"); break;
            case '\t': put("\\t"); break;
            default: {
                static constexpr char kHex[] = "0123456789abcdef";
                char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
                put(std::string_view(escape, 6));
            }
        }
        run_start = i + 1;
    }
    put(s.substr(run_start));
    put('"');
}


static void write_array(JsonOutput& out, const JsonArray& array, int level) {
    if (array.empty()) return out.put("[]");
    out.put('[');
    for (std::size_t i = 0; i < array.size(); ++i) {
        if (i) out.put(',');
        out.newline(level + 1);
        write_value(out, array[i], level + 1);
    }
    out.newline(level);
    out.put(']');
}

void write_value(JsonOutput& out, const JsonValue& value, int level) {
    struct Visitor {
        JsonOutput& out;
        int level;
        void operator()(std::nullptr_t) const { out.put("null"); }
        void operator()(bool b) const { out.put(b ? "true" : "false"); }
        void operator()(std::int64_t i) const { out.put_int(i); }
        void operator()(std::uint64_t u) const { out.put_uint(u); }
        void operator()(double d) const { out.put(format_double(d)); }
        void operator()(const std::string& s) const { out.put_string(s); }
        void operator()(const JsonArray& array) const { write_array(out, array, level); }
        void operator()(const JsonObject& object) const {
            if (object.empty()) return out.put("{}");
            out.put('{');
            for (std::size_t i = 0; i < object.size(); ++i) {
                if (i) out.put(',');
                out.newline(level + 1);
                out.put_string(object[i].first);
                out.put(out.pretty() ? ": " : ":");
                write_value(out, object[i].second, level + 1);
            }
            out.newline(level);
            out.put('}');
        }
    };
    std::visit(Visitor{out, level}, value.data);
}

std::string line_break(bool pretty, int level) {
    std::string text;
    if (pretty) {
        text.push_back('\n');
        text.append(2 * static_cast<std::size_t>(level), ' ');
    }
    return text;
}

// Writes compact JSON text pretty-printed: the same layout write_value gives
// the value the text came from, since the text holds no whitespace.
void write_compact(JsonOutput& out, std::string_view text, int level) {
    const char* p = text.data();
    const char* const end = p + text.size();
    // The closing quote of the string whose opening quote is at `open`.
    auto string_end = [end](const char* open) {
        const char* q = open + 1;
        for (;;) {
            while (q + 8 <= end && string_stop_bytes(load8(q)) == 0) q += 8;
            while (*q != '"' && *q != '\\') ++q;
            if (*q == '"') return q;
            q += 2;  // an escape: a backslash and the character it escapes
        }
    };
    while (p < end) {
        switch (const char c = *p) {
            case '"': {
                const char* close = string_end(p);
                out.put(std::string_view(p, static_cast<std::size_t>(close + 1 - p)));
                p = close + 1;
                break;
            }
            case '{':
            case '[':
                out.put(c);
                ++p;
                if (*p == (c == '{' ? '}' : ']')) out.put(*p++);
                else out.newline(++level);
                break;
            case '}':
            case ']':
                out.newline(--level);
                out.put(c);
                ++p;
                break;
            case ',':
                out.put(',');
                out.newline(level);
                ++p;
                break;
            case ':':
                out.put(": ");
                ++p;
                break;
            default: {
                // A number or a literal, up to the next structural character.
                const char* q = p;
                while (q < end && *q != ',' && *q != ':' && *q != ']' && *q != '}') ++q;
                out.put(std::string_view(p, static_cast<std::size_t>(q - p)));
                p = q;
            }
        }
    }
}

CompactJson compact_json(const JsonValue& value) {
    JsonOutput out(128, /*pretty=*/false);
    write_value(out, value, 0);
    return CompactJson{std::string(out.view())};
}

std::string write_json_value(const JsonValue& value) {
    JsonOutput out(128);
    write_value(out, value, 0);
    return std::string(out.view());
}

}  // namespace vocarix
