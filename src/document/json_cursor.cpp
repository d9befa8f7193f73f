#include "document/json_cursor.hpp"

#include <charconv>
#include <cstring>
#include <string>

#include "document/json_writer.hpp"

namespace vocarix {
namespace {

// True when a decimal literal that does not fit a double is too large, not too small.
bool literal_overflows(std::string_view text) {
    long exponent = 0;
    std::size_t e = text.find_first_of("eE");
    if (e != std::string_view::npos) {
        std::string_view digits = text.substr(e + 1);
        bool negative = !digits.empty() && digits[0] == '-';
        if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) digits.remove_prefix(1);
        for (char c : digits) {
            exponent = exponent * 10 + (c - '0');
            if (exponent > 100000) break;
        }
        if (negative) exponent = -exponent;
        text = text.substr(0, e);
    }
    // Position of the first significant digit relative to the decimal point.
    long integer_digits = 0;
    bool seen_point = false, seen_nonzero = false;
    long leading_zero_fraction = 0;
    for (char c : text) {
        if (c == '-') continue;
        if (c == '.') {
            seen_point = true;
            continue;
        }
        if (!seen_nonzero && c == '0') {
            if (seen_point) ++leading_zero_fraction;
            continue;
        }
        seen_nonzero = true;
        if (!seen_point) ++integer_digits;
    }
    long magnitude = integer_digits > 0 ? integer_digits : -leading_zero_fraction;
    return magnitude + exponent > 0;
}

}  // namespace

void JsonCursor::fail(std::string_view what, const char* stop) const {
    if (stop > end_) stop = end_;
    const char* last = stop > begin_ ? stop - 1 : begin_;
    std::size_t line = 1;
    const char* line_start = begin_;
    for (const char* q = begin_; q < last; ++q) {
        if (*q == '\n') {
            ++line;
            line_start = q + 1;
        }
    }
    std::string message(what);
    message += " at line " + std::to_string(line) + " column " + std::to_string(stop - line_start);
    throw ParseError(message);
}

std::string_view JsonCursor::parse_string() {
    // p_ is at the opening quote.
    const char* start = ++p_;
    const char* q = start;
    std::uint64_t seen = 0;  // OR of the bytes scanned, to spot non-ASCII text
    auto is_stop = [](char c) { return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20; };
    bool stopped = false;
#if defined(__SSE2__)
    // Sixteen bytes at a time: most strings end within the first sixteen.
    while (q + 16 <= end_) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        const auto stops = static_cast<unsigned>(_mm_movemask_epi8(string_stops_of(bytes)));
        const auto highs = static_cast<unsigned>(_mm_movemask_epi8(bytes));
        if (stops) {
            const unsigned before = static_cast<unsigned>(__builtin_ctz(stops));
            if (highs & ((1u << before) - 1)) seen = kByteHighs;
            q += before;
            stopped = true;
            break;
        }
        if (highs) seen = kByteHighs;
        q += 16;
    }
#endif
    while (!stopped && q + 8 <= end_) {
        std::uint64_t w = load8(q);
        std::uint64_t stops = string_stop_bytes(w);
        if (stops == 0) {
            seen |= w;
            q += 8;
        } else {
            // The lowest flag is always a real stop.
            std::size_t before = first_flagged_byte(stops);
            seen |= w & ((std::uint64_t{1} << (8 * before)) - 1);
            q += before;
            stopped = true;
        }
    }
    if (!stopped)
        while (q < end_ && !is_stop(*q)) seen |= static_cast<unsigned char>(*q++);
    if (q == end_) fail_eof("EOF while parsing a string");
    if (*q == '"') {
        p_ = q + 1;
        std::string_view text(start, static_cast<std::size_t>(q - start));
        if (checks_utf8_ && (seen & kByteHighs) &&
            !(text.size() < 16 && end_ - start >= 16 && is_short_two_byte_utf8(start, text.size())))
            check_utf8(text);
        return text;
    }
    if (*q == '\\') return parse_string_slow(start, q);
    fail("control character (\\u0000-\\u001F) found while parsing a string", q + 1);
}

void JsonCursor::check_utf8(std::string_view raw) const {
    std::size_t bad = find_invalid_utf8(raw);
    if (bad != raw.size()) fail("invalid UTF-8", raw.data() + bad + 1);
}

std::uint32_t JsonCursor::parse_hex4() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        if (p_ == end_) fail_eof("EOF while parsing a string");
        char c = *p_++;
        std::uint32_t digit;
        if (c >= '0' && c <= '9') digit = static_cast<std::uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f') digit = static_cast<std::uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digit = static_cast<std::uint32_t>(c - 'A' + 10);
        else fail("invalid escape", p_);
        value = value * 16 + digit;
    }
    return value;
}

std::string_view JsonCursor::parse_string_slow(const char* start, const char* q) {
    scratch_.assign(start, q);
    p_ = q;
    for (;;) {
        if (p_ == end_) fail_eof("EOF while parsing a string");
        char c = *p_;
        if (c == '"') {
            // Escapes are ASCII, so checking the raw text checks the decoded string.
            check_utf8(std::string_view(start, static_cast<std::size_t>(p_ - start)));
            ++p_;
            return scratch_;
        }
        if (static_cast<unsigned char>(c) < 0x20)
            fail("control character (\\u0000-\\u001F) found while parsing a string", p_ + 1);
        if (c != '\\') {
            const char* run = p_;
            while (p_ < end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20) ++p_;
            scratch_.append(run, p_);
            continue;
        }
        ++p_;
        if (p_ == end_) fail_eof("EOF while parsing a string");
        char e = *p_++;
        switch (e) {
            case '"': scratch_.push_back('"'); break;
            case '\\': scratch_.push_back('\\'); break;
            case '/': scratch_.push_back('/'); break;
            case 'b': scratch_.push_back('\b'); break;
            case 'f': scratch_.push_back('\f'); break;
            case 'n': scratch_.push_back('\n'); break;
            case 'r': scratch_.push_back('\r'); break;
            case 't': scratch_.push_back('\t'); break;
            case 'u': {
                std::uint32_t cp = parse_hex4();
                if (cp >= 0xDC00 && cp <= 0xDFFF) fail("lone trailing surrogate in hex escape", p_);
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u')
                        fail("lone leading surrogate in hex escape", p_);
                    p_ += 2;
                    std::uint32_t low = parse_hex4();
                    if (low < 0xDC00 || low > 0xDFFF) fail("lone leading surrogate in hex escape", p_);
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                append_utf8(scratch_, cp);
                break;
            }
            default: fail("invalid escape", p_);
        }
    }
}

NumberText JsonCursor::scan_number() {
    const char* start = p_;
    NumberText number;
    auto digit = [this] { return p_ < end_ && *p_ >= '0' && *p_ <= '9'; };
    if (*p_ == '-') {
        number.negative = true;
        ++p_;
    }
    if (p_ == end_) fail_eof("EOF while parsing a value");
    if (*p_ == '0') {
        ++p_;
        if (digit()) fail("invalid number", p_ + 1);
    } else if (digit()) {
        while (digit()) ++p_;
    } else {
        fail("invalid number", p_ + 1);
    }
    if (p_ < end_ && *p_ == '.') {
        number.integer = false;
        ++p_;
        if (p_ == end_) fail_eof("EOF while parsing a value");
        if (!digit()) fail("invalid number", p_ + 1);
        while (digit()) ++p_;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
        number.integer = false;
        ++p_;
        if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
        if (p_ == end_) fail_eof("EOF while parsing a value");
        if (!digit()) fail("invalid number", p_ + 1);
        while (digit()) ++p_;
    }
    number.text = std::string_view(start, static_cast<std::size_t>(p_ - start));
    return number;
}

JsonValue JsonCursor::number_value(const NumberText& number) {
    JsonValue value;
    const char* first = number.text.data();
    const char* last = first + number.text.size();
    if (number.integer) {
        if (!number.negative) {
            std::uint64_t u;
            if (std::from_chars(first, last, u).ec == std::errc()) {
                value.data = u;
                return value;
            }
        } else {
            std::int64_t i;
            if (std::from_chars(first, last, i).ec == std::errc()) {
                if (i == 0) value.data = -0.0;  // "-0" has no integer form
                else value.data = i;
                return value;
            }
        }
    }
    double d;
    auto [ptr, ec] = std::from_chars(first, last, d);
    if (ec == std::errc::result_out_of_range) {
        if (literal_overflows(number.text)) fail("number out of range", p_);
        d = number.negative ? -0.0 : 0.0;
    } else if (ec != std::errc() || ptr != last) {
        fail("invalid number", p_);
    }
    value.data = d;
    return value;
}

void JsonCursor::parse_literal(std::string_view word) {
    for (char c : word) {
        if (p_ == end_) fail_eof("EOF while parsing a value");
        if (*p_ != c) fail("expected ident", p_ + 1);
        ++p_;
    }
}

void JsonCursor::fail_type(std::string_view expected) {
    skip_ws();
    if (at_end()) fail_eof("EOF while parsing a value");
    std::string found;
    const char* stop;
    switch (peek()) {
        case 'n':
            parse_literal("null");
            found = "null";
            stop = p_;
            break;
        case 't':
            parse_literal("true");
            found = "boolean `true`";
            stop = p_;
            break;
        case 'f':
            parse_literal("false");
            found = "boolean `false`";
            stop = p_;
            break;
        case '"':
            found = "string " + debug_quoted(parse_string());
            stop = p_;
            break;
        case '[':
            found = "sequence";
            stop = p_ + 1;
            break;
        case '{':
            found = "map";
            stop = p_ + 1;
            break;
        default: {
            if (peek() != '-' && (peek() < '0' || peek() > '9')) fail("expected value", p_ + 1);
            JsonValue number = number_value(scan_number());
            if (auto* u = std::get_if<std::uint64_t>(&number.data)) found = "integer `" + std::to_string(*u) + "`";
            else if (auto* i = std::get_if<std::int64_t>(&number.data)) found = "integer `" + std::to_string(*i) + "`";
            else found = "floating point `" + format_double(std::get<double>(number.data)) + "`";
            stop = p_;
        }
    }
    fail("invalid type: " + found + ", expected " + std::string(expected), stop);
}

// ---------------------------------------------------------------- values

JsonValue JsonCursor::parse_value(int depth) {
    skip_ws();
    if (at_end()) fail_eof("EOF while parsing a value");
    JsonValue value;
    switch (peek()) {
        case '{': {
            enter(depth);
            JsonObject members;
            for_each_member([&](std::string_view key) {
                std::string name(key);
                skip_ws();
                if (at_end()) fail_eof("EOF while parsing an object");
                if (peek() != ':') fail("expected `:`", p_ + 1);
                ++p_;
                members.emplace_back(std::move(name), parse_value(depth + 1));
            });
            normalize_object(members);
            value.data = std::move(members);
            return value;
        }
        case '[': {
            enter(depth);
            JsonArray elements;
            for_each_element([&](std::size_t) { elements.push_back(parse_value(depth + 1)); });
            value.data = std::move(elements);
            return value;
        }
        case '"':
            value.data = std::string(parse_string());
            return value;
        case 't':
            parse_literal("true");
            value.data = true;
            return value;
        case 'f':
            parse_literal("false");
            value.data = false;
            return value;
        case 'n':
            parse_literal("null");
            return value;
        default:
            if (peek() == '-' || (peek() >= '0' && peek() <= '9')) return number_value(scan_number());
            fail("expected value", p_ + 1);
    }
}

// ---------------------------------------------------------------- typed fields

std::string JsonCursor::read_string() {
    skip_ws();
    if (at_end() || peek() != '"') fail_type("a string");
    return std::string(parse_string());
}

std::optional<std::string> JsonCursor::read_optional_string() {
    skip_ws();
    if (!at_end() && peek() == 'n') {
        parse_literal("null");
        return std::nullopt;
    }
    return read_string();
}

bool JsonCursor::read_bool() {
    skip_ws();
    if (!at_end() && peek() == 't') {
        parse_literal("true");
        return true;
    }
    if (!at_end() && peek() == 'f') {
        parse_literal("false");
        return false;
    }
    fail_type("a boolean");
}

std::optional<double> JsonCursor::read_optional_f64() {
    skip_ws();
    if (!at_end() && peek() == 'n') {
        parse_literal("null");
        return std::nullopt;
    }
    if (at_end() || (peek() != '-' && (peek() < '0' || peek() > '9'))) fail_type("f64");
    JsonValue number = number_value(scan_number());
    if (auto* u = std::get_if<std::uint64_t>(&number.data)) return static_cast<double>(*u);
    if (auto* i = std::get_if<std::int64_t>(&number.data)) return static_cast<double>(*i);
    return std::get<double>(number.data);
}


JsonArray JsonCursor::read_value_list(int depth) {
    skip_ws();
    if (at_end() || peek() != '[') fail_type("a sequence");
    enter(depth);
    JsonArray elements;
    for_each_element([&](std::size_t) { elements.push_back(parse_value(depth + 1)); });
    return elements;
}

std::uint32_t JsonCursor::read_u32() {
    skip_ws();
    if (at_end() || (peek() != '-' && (peek() < '0' || peek() > '9'))) fail_type("u32");
    {
        // Ids are short plain integers: up to nine digits, no leading zero,
        // then anything but a digit, a fraction or an exponent. Every other
        // number takes the general path, which also words the errors.
        auto digit = [](char c) { return c >= '0' && c <= '9'; };
        const char* q = p_;
        std::uint32_t id = 0;
        while (q < end_ && q - p_ < 10 && digit(*q)) id = id * 10 + static_cast<std::uint32_t>(*q++ - '0');
        const std::ptrdiff_t digits = q - p_;
        if (digits > 0 && digits < 10 && (*p_ != '0' || digits == 1) &&
            (q == end_ || (*q != '.' && *q != 'e' && *q != 'E' && !digit(*q)))) {
            p_ = q;
            return id;
        }
    }
    NumberText number = scan_number();
    if (number.integer && !number.negative) {
        std::uint32_t id;
        auto [ptr, ec] = std::from_chars(number.text.data(), number.text.data() + number.text.size(), id);
        if (ec == std::errc() && ptr == number.text.data() + number.text.size()) return id;
    }
    JsonValue value = number_value(number);
    if (auto* u = std::get_if<std::uint64_t>(&value.data))
        fail("invalid value: integer `" + std::to_string(*u) + "`, expected u32", p_);
    if (auto* i = std::get_if<std::int64_t>(&value.data))
        fail("invalid value: integer `" + std::to_string(*i) + "`, expected u32", p_);
    fail("invalid type: floating point `" + format_double(std::get<double>(value.data)) + "`, expected u32", p_);
}

}  // namespace vocarix
