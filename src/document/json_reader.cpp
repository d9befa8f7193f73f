#include "document/json_reader.hpp"

#include <algorithm>
#include <charconv>
#include <deque>
#include <cstring>
#include <string>

#include "document/errors.hpp"
#include "document/json_writer.hpp"
#include "document/text.hpp"

namespace vocarix {
namespace {

struct NumberText {
    std::string_view text;
    bool negative = false;
    bool integer = true;  // no fraction and no exponent
};

class Reader {
public:
    Reader(std::string_view text, ReadMode mode = ReadMode::kStrict)
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), lenient_(mode == ReadMode::kLenient) {}

    void parse_tokenizer(DocumentRecords& records);
    JsonValue parse_value(int depth);
    void expect_end() {
        skip_ws();
        if (p_ != end_) fail("trailing characters", p_ + 1);
    }

private:
    // ---- errors ----
    // `stop` is one past the offending character: the column is that character's, 1-based.
    [[noreturn]] void fail(std::string_view what, const char* stop) const {
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
    [[noreturn]] void fail_eof(std::string_view what) const { fail(what, end_); }
    [[noreturn]] void fail_type(std::string_view expected);

    // ---- lexing ----
    void skip_ws() {
        // Indents are runs of spaces: skip them a word at a time.
        while (p_ < end_) {
            char c = *p_;
            if (c == ' ' && p_ + 8 <= end_) {
                std::uint64_t other = ~zero_bytes(load8(p_) ^ (kByteOnes * ' ')) & kByteHighs;
                p_ += other ? first_flagged_byte(other) : 8;
            } else if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
                ++p_;
            } else {
                return;
            }
        }
    }
    bool at_end() const { return p_ == end_; }
    char peek() const { return *p_; }

    std::string_view parse_string();
    void check_utf8(std::string_view raw) const;
    std::string_view parse_string_slow(const char* start, const char* q);
    std::uint32_t parse_hex4();
    NumberText scan_number();
    JsonValue number_value(const NumberText& number);
    void parse_literal(std::string_view word);
    // `depth` counts the containers enclosing the one being opened.
    void enter(int depth) const {
        if (depth + 1 >= kMaxJsonDepth) fail("recursion limit exceeded", p_ + 1);
    }

    // Walks the members of an object; `on_member(key)` must consume the value.
    template <class OnMember>
    void for_each_member(OnMember&& on_member);
    // Walks the elements of an array; `on_element(index)` must consume the element.
    template <class OnElement>
    std::size_t for_each_element(OnElement&& on_element);

    // ---- typed fields ----
    std::string read_string();
    std::optional<std::string> read_optional_string();
    bool read_bool();
    std::optional<double> read_optional_f64();
    JsonValue read_optional_value(int depth);
    JsonArray read_value_list(int depth);
    std::uint32_t read_u32();
    void read_vocab(DocumentRecords& records, int depth);
    void read_merges(DocumentRecords& records, int depth);
    void read_merge_pair(DocumentRecords& records, int depth);
    void read_merge_string(DocumentRecords& records);
    bool read_empty_object();
    void read_model(DocumentRecords& records, int depth);
    void keep_unknown_member(std::vector<std::pair<std::string, CompactJson>>& extra, std::string_view key, int depth);

    // ---- bulk interning of vocabulary keys and merge parts ----
    void queue_string(DocumentRecords& records, std::string_view text);
    template <class Use>
    void flush_strings(DocumentRecords& records, Use&& use);

    struct PendingString {
        std::string_view text;
        std::uint64_t hash;
    };
    static constexpr std::size_t kBatchSize = 64;

    const char* begin_;
    const char* p_;
    const char* end_;
    bool lenient_ = false;
    std::string scratch_;
    std::vector<PendingString> pending_;
    std::deque<std::string> pending_copies_;  // decoded strings that do not live in the input
    std::vector<std::uint32_t> pending_ids_;
};

// Records the ids that the document's added_tokens entries hold: handing one
// out again would give two tokens one embedding row.
void reserve_ids_of(DocumentRecords& records, const JsonArray& added_tokens) {
    std::vector<std::uint32_t>& reserved = records.reserved_ids;
    reserved.clear();
    for (const JsonValue& token : added_tokens) {
        const JsonValue* id = token.find("id");
        if (!id) continue;
        if (const auto* value = std::get_if<std::uint64_t>(&id->data); value && *value <= UINT32_MAX)
            reserved.push_back(static_cast<std::uint32_t>(*value));
    }
    std::sort(reserved.begin(), reserved.end());
    reserved.erase(std::unique(reserved.begin(), reserved.end()), reserved.end());
}

// Hashes `text` and prefetches its table slot; interning happens at the next flush.
void Reader::queue_string(DocumentRecords& records, std::string_view text) {
    if (text.data() < begin_ || text.data() > end_) {
        pending_copies_.emplace_back(text);
        text = pending_copies_.back();
    }
    std::uint64_t hash = records.strings.hash(text);
    records.strings.prefetch_slot(hash);
    pending_.push_back({text, hash});
}

template <class Use>
void Reader::flush_strings(DocumentRecords& records, Use&& use) {
    for (const PendingString& item : pending_) records.strings.prefetch_slot_view(item.hash);
    for (const PendingString& item : pending_) records.strings.prefetch_slot_text(item.hash);
    for (std::size_t i = 0; i < pending_.size(); ++i) use(i, records.intern(pending_[i].text, pending_[i].hash));
    pending_.clear();
    pending_copies_.clear();
}

// ---------------------------------------------------------------- lexing

std::string_view Reader::parse_string() {
    // p_ is at the opening quote.
    const char* start = ++p_;
    const char* q = start;
    std::uint64_t seen = 0;  // OR of the bytes scanned, to spot non-ASCII text
    auto is_stop = [](char c) { return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20; };
    bool stopped = false;
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
        if (seen & kByteHighs) check_utf8(text);
        return text;
    }
    if (*q == '\\') return parse_string_slow(start, q);
    fail("control character (\\u0000-\\u001F) found while parsing a string", q + 1);
}

void Reader::check_utf8(std::string_view raw) const {
    std::size_t bad = find_invalid_utf8(raw);
    if (bad != raw.size()) fail("invalid UTF-8", raw.data() + bad + 1);
}

std::uint32_t Reader::parse_hex4() {
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

std::string_view Reader::parse_string_slow(const char* start, const char* q) {
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

NumberText Reader::scan_number() {
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

JsonValue Reader::number_value(const NumberText& number) {
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

void Reader::parse_literal(std::string_view word) {
    for (char c : word) {
        if (p_ == end_) fail_eof("EOF while parsing a value");
        if (*p_ != c) fail("expected ident", p_ + 1);
        ++p_;
    }
}

template <class OnMember>
void Reader::for_each_member(OnMember&& on_member) {
    ++p_;  // '{'
    skip_ws();
    if (at_end()) fail_eof("EOF while parsing an object");
    if (peek() == '}') {
        ++p_;
        return;
    }
    for (;;) {
        skip_ws();
        if (at_end()) fail_eof("EOF while parsing an object");
        if (peek() != '"') fail("key must be a string", p_ + 1);
        std::string_view key = parse_string();
        on_member(key);
        skip_ws();
        if (at_end()) fail_eof("EOF while parsing an object");
        char c = peek();
        ++p_;
        if (c == '}') return;
        if (c != ',') fail("expected `,` or `}`", p_);
        skip_ws();
        if (!at_end() && peek() == '}') fail("trailing comma", p_ + 1);
    }
}

template <class OnElement>
std::size_t Reader::for_each_element(OnElement&& on_element) {
    ++p_;  // '['
    skip_ws();
    if (at_end()) fail_eof("EOF while parsing a list");
    std::size_t count = 0;
    if (peek() == ']') {
        ++p_;
        return 0;
    }
    for (;;) {
        on_element(count++);
        skip_ws();
        if (at_end()) fail_eof("EOF while parsing a list");
        char c = peek();
        ++p_;
        if (c == ']') return count;
        if (c != ',') fail("expected `,` or `]`", p_);
        skip_ws();
        if (!at_end() && peek() == ']') fail("trailing comma", p_ + 1);
    }
}

// Reports the value at the cursor as the wrong type for `expected`.
void Reader::fail_type(std::string_view expected) {
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

JsonValue Reader::parse_value(int depth) {
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

std::string Reader::read_string() {
    skip_ws();
    if (at_end() || peek() != '"') fail_type("a string");
    return std::string(parse_string());
}

std::optional<std::string> Reader::read_optional_string() {
    skip_ws();
    if (!at_end() && peek() == 'n') {
        parse_literal("null");
        return std::nullopt;
    }
    return read_string();
}

bool Reader::read_bool() {
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

std::optional<double> Reader::read_optional_f64() {
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

JsonValue Reader::read_optional_value(int depth) { return parse_value(depth); }

JsonArray Reader::read_value_list(int depth) {
    skip_ws();
    if (at_end() || peek() != '[') fail_type("a sequence");
    enter(depth);
    JsonArray elements;
    for_each_element([&](std::size_t) { elements.push_back(parse_value(depth + 1)); });
    return elements;
}

std::uint32_t Reader::read_u32() {
    skip_ws();
    if (at_end() || (peek() != '-' && (peek() < '0' || peek() > '9'))) fail_type("u32");
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

void Reader::read_vocab(DocumentRecords& records, int depth) {
    skip_ws();
    if (at_end() || peek() != '{') fail_type("a map");
    enter(depth);
    // Entries are applied in input order, so a repeated key keeps its last id.
    auto apply = [&](std::size_t i, Symbol sym) { records.load_entry(sym, pending_ids_[i]); };
    for_each_member([&](std::string_view key) {
        queue_string(records, key);
        skip_ws();
        if (at_end()) fail_eof("EOF while parsing an object");
        if (peek() != ':') fail("expected `:`", p_ + 1);
        ++p_;
        pending_ids_.push_back(read_u32());
        if (pending_.size() == kBatchSize) {
            flush_strings(records, apply);
            pending_ids_.clear();
        }
    });
    flush_strings(records, apply);
    pending_ids_.clear();
}

void Reader::read_merges(DocumentRecords& records, int depth) {
    skip_ws();
    DocumentForm& form = records.sections.form;
    if (lenient_ && !at_end() && peek() == '{') {
        if (!read_empty_object()) fail_type("a sequence");
        form.merges = MergeForm::kEmptyObject;
        return;
    }
    if (at_end() || peek() != '[') fail_type("a sequence");
    enter(depth);
    Symbol left = kNoSymbol;
    auto apply = [&](std::size_t i, Symbol sym) {
        if (i % 2 == 0) left = sym;
        else records.load_merge(left, sym);
    };
    for_each_element([&](std::size_t index) {
        skip_ws();
        // Older runtimes wrote each merge as one string; a list holds one form only.
        if (lenient_ && index == 0 && !at_end() && peek() == '"') form.merges = MergeForm::kStrings;
        if (form.merges == MergeForm::kStrings) {
            if (at_end() || peek() != '"') fail_type("a string");
            read_merge_string(records);
        } else {
            read_merge_pair(records, depth);
        }
        if (pending_.size() >= 2 * kBatchSize) flush_strings(records, apply);
    });
    flush_strings(records, apply);
}

void Reader::read_merge_pair(DocumentRecords& records, int depth) {
    if (at_end() || peek() != '[') fail_type("a sequence");
    enter(depth + 1);
    std::size_t count = for_each_element([&](std::size_t index) {
        skip_ws();
        if (at_end() || peek() != '"') fail_type("a string");
        std::string_view part = parse_string();
        if (index < 2) queue_string(records, part);
    });
    if (count != 2) fail("Merge must have exactly 2 elements", p_);
}

void Reader::read_merge_string(DocumentRecords& records) {
    std::string_view merge = parse_string();
    std::size_t space = merge.find(' ');
    if (space == std::string_view::npos || merge.find(' ', space + 1) != std::string_view::npos)
        fail("invalid merge " + debug_quoted(merge) + ": expected two parts separated by one space", p_);
    queue_string(records, merge.substr(0, space));
    queue_string(records, merge.substr(space + 1));
}

// At '{': consumes an empty object and returns true; otherwise consumes nothing.
bool Reader::read_empty_object() {
    const char* open = p_++;
    skip_ws();
    if (!at_end() && peek() == '}') {
        ++p_;
        return true;
    }
    p_ = open;
    return false;
}

void Reader::keep_unknown_member(std::vector<std::pair<std::string, CompactJson>>& extra, std::string_view key,
                                 int depth) {
    std::string name(key);
    CompactJson value = compact_json(parse_value(depth));
    auto place = std::lower_bound(extra.begin(), extra.end(), name,
                                  [](const auto& member, const std::string& k) { return member.first < k; });
    if (place != extra.end() && place->first == name) place->second = std::move(value);  // the last one counts
    else extra.emplace(place, std::move(name), std::move(value));
}

// The array form of a document lists its fields in declaration order.
constexpr int kType = static_cast<int>(ModelField::kType), kDropout = static_cast<int>(ModelField::kDropout),
              kUnkToken = static_cast<int>(ModelField::kUnkToken), kPrefix = static_cast<int>(ModelField::kPrefix),
              kSuffix = static_cast<int>(ModelField::kSuffix), kFuseUnk = static_cast<int>(ModelField::kFuseUnk),
              kByteFallback = static_cast<int>(ModelField::kByteFallback),
              kIgnoreMerges = static_cast<int>(ModelField::kIgnoreMerges), kVocab = static_cast<int>(ModelField::kVocab),
              kMerges = static_cast<int>(ModelField::kMerges);
constexpr bool kModelRequired[] = {true, false, true, false, false, true, true, true, true, true};
const auto& kModelFields = kModelFieldNames;

constexpr int kVersion = static_cast<int>(TopField::kVersion), kTruncation = static_cast<int>(TopField::kTruncation),
              kPadding = static_cast<int>(TopField::kPadding), kAddedTokens = static_cast<int>(TopField::kAddedTokens),
              kNormalizer = static_cast<int>(TopField::kNormalizer),
              kPreTokenizer = static_cast<int>(TopField::kPreTokenizer),
              kPostProcessor = static_cast<int>(TopField::kPostProcessor), kDecoder = static_cast<int>(TopField::kDecoder),
              kModel = static_cast<int>(TopField::kModel);
constexpr bool kTokenizerRequired[] = {true, false, false, true, false, false, false, false, true};
const auto& kTokenizerFields = kTopFieldNames;
constexpr int kTokenizerFieldCount = kTopFieldCount;

template <std::size_t N>
int field_index(const char* const (&names)[N], std::string_view key) {
    for (std::size_t i = 0; i < N; ++i)
        if (key == names[i]) return static_cast<int>(i);
    return -1;
}

void Reader::read_model(DocumentRecords& records, int depth) {
    ModelSettings& model = records.sections.model;
    auto read_field = [&](int field) {
        switch (field) {
            case kType: model.type = read_string(); break;
            case kDropout: model.dropout = read_optional_f64(); break;
            case kUnkToken:
                skip_ws();
                if (lenient_ && !at_end() && peek() == 'n') {
                    parse_literal("null");
                    records.sections.form.unk_token_null = true;
                } else {
                    model.unk_token = read_string();
                }
                break;
            case kPrefix: model.continuing_subword_prefix = read_optional_string(); break;
            case kSuffix: model.end_of_word_suffix = read_optional_string(); break;
            case kFuseUnk: model.fuse_unk = read_bool(); break;
            case kByteFallback: model.byte_fallback = read_bool(); break;
            case kIgnoreMerges: model.ignore_merges = read_bool(); break;
            case kVocab: read_vocab(records, depth + 1); break;
            case kMerges: read_merges(records, depth + 1); break;
        }
    };
    skip_ws();
    if (at_end()) fail_eof("EOF while parsing a value");
    if (peek() == '[') {
        enter(depth);
        std::size_t count = for_each_element([&](std::size_t index) {
            if (index < kModelFieldCount) read_field(static_cast<int>(index));
            else fail("trailing characters", p_ + 1);
        });
        if (count < kModelFieldCount)
            fail("invalid length " + std::to_string(count) + ", expected struct Model with 10 elements", p_);
        return;
    }
    if (peek() != '{') fail_type("struct Model");
    enter(depth);
    bool seen[kModelFieldCount] = {};
    for_each_member([&](std::string_view key) {
        int field = field_index(kModelFields, key);
        if (field >= 0 && seen[field]) fail("duplicate field `" + std::string(kModelFields[field]) + "`", p_);
        skip_ws();
        if (at_end()) fail_eof("EOF while parsing an object");
        if (peek() != ':') fail("expected `:`", p_ + 1);
        ++p_;
        if (field < 0) {
            if (lenient_) keep_unknown_member(records.sections.form.extra_model, key, depth + 1);
            else parse_value(depth + 1);
            return;
        }
        seen[field] = true;
        read_field(field);
    });
    for (int field = 0; field < kModelFieldCount; ++field) {
        if (seen[field]) continue;
        // Older files leave out what has a default; a model needs its vocabulary and merges.
        if (lenient_ && field != kVocab && field != kMerges) {
            records.sections.form.set_absent(static_cast<ModelField>(field));
            if (field == kType) model.type = "BPE";
            continue;
        }
        if (kModelRequired[field]) fail("missing field `" + std::string(kModelFields[field]) + "`", p_);
    }
}

void Reader::parse_tokenizer(DocumentRecords& records) {
    DocumentSections& doc = records.sections;
    auto read_field = [&](int field) {
        switch (field) {
            case kVersion: doc.version = read_string(); break;
            case kTruncation: doc.truncation = compact_json(read_optional_value(1)); break;
            case kPadding: doc.padding = compact_json(read_optional_value(1)); break;
            case kAddedTokens: {
                JsonValue tokens;
                tokens.data = read_value_list(1);
                reserve_ids_of(records, std::get<JsonArray>(tokens.data));
                doc.added_tokens = compact_json(tokens);
                break;
            }
            case kNormalizer: doc.normalizer = compact_json(read_optional_value(1)); break;
            case kPreTokenizer: doc.pre_tokenizer = compact_json(read_optional_value(1)); break;
            case kPostProcessor: doc.post_processor = compact_json(read_optional_value(1)); break;
            case kDecoder: doc.decoder = compact_json(read_optional_value(1)); break;
            case kModel: read_model(records, 1); break;
        }
    };
    skip_ws();
    if (at_end()) fail_eof("EOF while parsing a value");
    if (peek() == '[') {
        enter(0);
        std::size_t count = for_each_element([&](std::size_t index) {
            if (index < kTokenizerFieldCount) read_field(static_cast<int>(index));
            else fail("trailing characters", p_ + 1);
        });
        if (count < kTokenizerFieldCount)
            fail("invalid length " + std::to_string(count) + ", expected struct Tokenizer with 9 elements", p_);
    } else if (peek() == '{') {
        enter(0);
        bool seen[kTokenizerFieldCount] = {};
        for_each_member([&](std::string_view key) {
            int field = field_index(kTokenizerFields, key);
            if (field >= 0 && seen[field])
                fail("duplicate field `" + std::string(kTokenizerFields[field]) + "`", p_);
            skip_ws();
            if (at_end()) fail_eof("EOF while parsing an object");
            if (peek() != ':') fail("expected `:`", p_ + 1);
            ++p_;
            if (field < 0) {
                if (lenient_) keep_unknown_member(doc.form.extra_top, key, 1);
                else parse_value(1);
                return;
            }
            seen[field] = true;
            read_field(field);
        });
        for (int field = 0; field < kTokenizerFieldCount; ++field) {
            if (seen[field]) continue;
            if (lenient_ && field != kModel) doc.form.set_absent(static_cast<TopField>(field));
            else if (kTokenizerRequired[field])
                fail("missing field `" + std::string(kTokenizerFields[field]) + "`", p_);
        }
    } else {
        fail_type("struct Tokenizer");
    }
    expect_end();
}

}  // namespace

DocumentRecords read_tokenizer_document(std::string_view text, ReadMode mode) {
    // Strings are checked for valid UTF-8 as they are read; any other
    // non-ASCII byte is a syntax error, so a parsed document is valid UTF-8.
    DocumentRecords records;
    // Typical files hold one distinct string per 60 to 110 bytes; sized for
    // one per 80, the table needs no rehash for any of them. Room for the
    // per-symbol arrays that is never written costs address space only.
    records.strings.reserve(text.size() / 80, text.size() / 48);
    records.ids.reserve(text.size() / 48);
    records.in_vocab.reserve(text.size() / 48);
    records.sections.form.lenient = mode == ReadMode::kLenient;
    Reader reader(text, mode);
    reader.parse_tokenizer(records);
    return records;
}

JsonValue parse_json_value(std::string_view text) {
    Reader reader(text);
    JsonValue value = reader.parse_value(0);
    reader.expect_end();
    return value;
}

}  // namespace vocarix
