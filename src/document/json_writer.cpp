#include "document/json_writer.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "document/text.hpp"

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

// Output text with an explicit cursor: appends are a bounds check and a copy.
class Output {
public:
    explicit Output(std::size_t expected, bool pretty = true) : buffer_(expected), pretty_(pretty) {}
    // Output that hands its text to `sink` whenever a piece of about
    // kPieceSize bytes is ready, and at finish(); it keeps no statistics.
    explicit Output(const TextSink& sink) : buffer_(kPieceSize), sink_(&sink) {}
    bool pretty() const { return pretty_; }

    void put(char c) {
        reserve(1);
        buffer_.data()[length_++] = c;
    }
    void put(std::string_view s) {
        // An empty view may have a null data pointer (the empty vocabulary key), which memcpy must not get.
        if (s.empty()) return;
        reserve(s.size());
        std::memcpy(buffer_.data() + length_, s.data(), s.size());
        length_ += s.size();
    }
    void newline(int level) {
        if (!pretty_) return;
        reserve(1 + 2 * static_cast<std::size_t>(level));
        buffer_.data()[length_++] = '\n';
        std::memset(buffer_.data() + length_, ' ', 2 * static_cast<std::size_t>(level));
        length_ += 2 * static_cast<std::size_t>(level);
    }
    void put_uint(std::uint64_t value) {
        reserve(20);
        auto result = std::to_chars(buffer_.data() + length_, buffer_.data() + length_ + 20, value);
        length_ = static_cast<std::size_t>(result.ptr - buffer_.data());
    }
    void put_int(std::int64_t value) {
        reserve(21);
        auto result = std::to_chars(buffer_.data() + length_, buffer_.data() + length_ + 21, value);
        length_ = static_cast<std::size_t>(result.ptr - buffer_.data());
    }
    void put_string(std::string_view s);

    // Room for `n` bytes written straight through the returned pointer; the
    // caller hands back the end of what it wrote.
    char* claim(std::size_t n) {
        reserve(n);
        return buffer_.data() + length_;
    }
    void commit(const char* end) { length_ = static_cast<std::size_t>(end - buffer_.data()); }

    std::string_view view() const { return {buffer_.view().data(), length_}; }
    void finish() {
        if (length_ > 0) (*sink_)(view());
        length_ = 0;
    }
    WrittenText take() && {
        stats_.add(view().substr(counted_));
        buffer_.set_size(length_);
        return WrittenText(std::move(buffer_), stats_);
    }

private:
    // Text is counted a chunk at a time, soon after it is written.
    static constexpr std::size_t kCountChunk = 64 * 1024;
    static constexpr std::size_t kPieceSize = 1 << 20;

    void reserve(std::size_t n) {
        if (length_ - counted_ >= kCountChunk && !sink_) {
            stats_.add(view().substr(counted_));
            counted_ = length_;
        }
        if (length_ + n <= buffer_.capacity()) return;
        if (sink_ && length_ > 0) {
            (*sink_)(view());
            length_ = 0;
            if (n <= buffer_.capacity()) return;
        }
        buffer_.grow(length_ + n);
    }

    TextBuffer buffer_;
    std::size_t length_ = 0;
    std::size_t counted_ = 0;
    TextStats stats_;
    bool pretty_ = true;
    const TextSink* sink_ = nullptr;
};

bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// Length of the prefix of `s` that needs no escaping, eight bytes at a time.
std::size_t plain_prefix(std::string_view s) {
    std::size_t i = 0;
    while (i + 8 <= s.size() && string_stop_bytes(load8(s.data() + i)) == 0) i += 8;
    while (i < s.size() && !needs_escape(static_cast<unsigned char>(s[i]))) ++i;
    return i;
}

// Copies a pooled string `s` to `out` and tells whether it needs no escaping,
// checking the copy eight bytes at a time. Short strings are copied as two
// whole words (the pool keeps readable bytes after each string), so up to
// kCopySlack bytes past the copy are written and read: the caller owns them,
// and what they hold does not matter.
constexpr std::size_t kCopySlack = StringPool::kReadSlack;

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

void Output::put_string(std::string_view s) {
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

void write_value(Output& out, const JsonValue& value, int level);

void write_array(Output& out, const JsonArray& array, int level) {
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

void write_value(Output& out, const JsonValue& value, int level) {
    struct Visitor {
        Output& out;
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

// Writes `"key": ` on a new line of an object whose members sit at `level`.
class Members {
public:
    Members(Output& out, int level) : out_(out), level_(level) {}
    Output& next(std::string_view key) {
        if (count_++) out_.put(',');
        out_.newline(level_);
        out_.put_string(key);
        out_.put(": ");
        return out_;
    }
    int level() const { return level_; }

private:
    Output& out_;
    int level_;
    int count_ = 0;
};

// The text newline(level) writes.
std::string line_break(bool pretty, int level) {
    std::string text;
    if (pretty) {
        text.push_back('\n');
        text.append(2 * static_cast<std::size_t>(level), ' ');
    }
    return text;
}

char* copy_to(char* out, std::string_view s) {
    std::memcpy(out, s.data(), s.size());
    return out + s.size();
}

void prefetch_entry(const DocumentRecords& doc, Symbol sym) {
    doc.strings.prefetch_view(sym);
    __builtin_prefetch(&doc.ids[sym]);
}

// Entries are visited in an order of their own, so their views are prefetched
// this many entries ahead, and their bytes (which need the view) fewer.
constexpr std::size_t kViewDistance = 16;
constexpr std::size_t kTextDistance = 8;

// Vocabulary and merges are most of a document: keys that need no escaping
// are written with one bounds check per entry rather than one per piece, and
// checked for escaping on the copy. An entry that needs escaping is written
// again over its copy, piece by piece.

template <class Entries>
void write_vocab(Output& out, const DocumentRecords& doc, const Entries& entries, int level) {
    if (entries.empty()) return out.put("{}");
    out.put('{');
    const std::string before_key = line_break(out.pretty(), level + 1) + '"';
    constexpr std::string_view kAfterKey = "\": ";
    constexpr std::size_t kLongestId = 10;
    bool first = true;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i + kViewDistance < entries.size()) prefetch_entry(doc, entries[i + kViewDistance]);
        if (i + kTextDistance < entries.size()) doc.strings.prefetch_text(entries[i + kTextDistance]);
        Symbol sym = entries[i];
        std::string_view key = doc.text(sym);
        char* p = out.claim(1 + before_key.size() + key.size() + kAfterKey.size() + kLongestId + kCopySlack);
        if (!first) *p++ = ',';
        p = copy_to(p, before_key);
        if (copy_if_plain(p, key)) {
            p = copy_to(p + key.size(), kAfterKey);
            out.commit(std::to_chars(p, p + kLongestId, doc.ids[sym]).ptr);
        } else {
            if (!first) out.put(',');
            out.newline(level + 1);
            out.put_string(key);
            out.put(": ");
            out.put_uint(doc.ids[sym]);
        }
        first = false;
    }
    out.newline(level);
    out.put('}');
}

void write_merges(Output& out, const DocumentRecords& doc, int level) {
    if (doc.live_merges == 0) return out.put("[]");
    out.put('[');
    const std::string inner_break = line_break(out.pretty(), level + 2);
    const std::string before_left = line_break(out.pretty(), level + 1) + '[' + inner_break + '"';
    const std::string between = "\"," + inner_break + '"';
    const std::string after_right = '"' + line_break(out.pretty(), level + 1) + ']';
    bool first = true;
    const SlotIndex slots = static_cast<SlotIndex>(doc.merges.size());
    for (SlotIndex s = 0; s < slots; ++s) {
        if (s + kViewDistance < slots && doc.slot_live(s + kViewDistance)) {
            Merge ahead = doc.merges[s + kViewDistance];
            prefetch_entry(doc, ahead.left);
            prefetch_entry(doc, ahead.right);
        }
        if (s + kTextDistance < slots && doc.slot_live(s + kTextDistance)) {
            Merge ahead = doc.merges[s + kTextDistance];
            doc.strings.prefetch_text(ahead.left);
            doc.strings.prefetch_text(ahead.right);
        }
        if (!doc.slot_live(s)) continue;
        Merge merge = doc.merges[s];
        std::string_view left = doc.text(merge.left), right = doc.text(merge.right);
        char* p = out.claim(1 + before_left.size() + left.size() + between.size() + right.size() +
                            after_right.size() + kCopySlack);
        if (!first) *p++ = ',';
        p = copy_to(p, before_left);
        bool plain = copy_if_plain(p, left);
        p = copy_to(p + left.size(), between);
        if (plain && copy_if_plain(p, right)) {
            out.commit(copy_to(p + right.size(), after_right));
        } else {
            if (!first) out.put(',');
            out.newline(level + 1);
            out.put('[');
            out.newline(level + 2);
            out.put_string(left);
            out.put(',');
            out.newline(level + 2);
            out.put_string(right);
            out.newline(level + 1);
            out.put(']');
        }
        first = false;
    }
    out.newline(level);
    out.put(']');
}

void write_optional_string(Output& out, const std::optional<std::string>& value) {
    if (value) out.put_string(*value);
    else out.put("null");
}

void write_dropout(Output& out, const std::optional<double>& dropout) {
    out.put(dropout ? format_double(*dropout) : std::string("null"));
}

std::size_t expected_size(const DocumentRecords& doc) {
    return doc.vocab_size * 24 + doc.live_merges * 56 + 4096;
}

// Vocabulary symbols by ascending id; entries that share an id in key order.
std::vector<Symbol> entries_by_id(const DocumentRecords& doc) {
    // Ids are usually unique and dense: place each entry at its id, in linear time.
    std::uint64_t largest = 0;
    doc.for_each_entry([&](Symbol sym) { largest = std::max<std::uint64_t>(largest, doc.ids[sym]); });
    if (largest < 4 * doc.vocab_size + 1024) {
        std::vector<Symbol> by_id(largest + 1, kNoSymbol);
        bool unique = true;
        doc.for_each_entry([&](Symbol sym) {
            Symbol& place = by_id[doc.ids[sym]];
            unique = unique && place == kNoSymbol;
            place = sym;
        });
        if (unique) {
            by_id.erase(std::remove(by_id.begin(), by_id.end(), kNoSymbol), by_id.end());
            return by_id;
        }
    }
    std::vector<Symbol> entries;
    entries.reserve(doc.vocab_size);
    doc.for_each_entry([&](Symbol sym) { entries.push_back(sym); });
    std::sort(entries.begin(), entries.end(), [&](Symbol a, Symbol b) {
        return doc.ids[a] != doc.ids[b] ? doc.ids[a] < doc.ids[b] : doc.text(a) < doc.text(b);
    });
    return entries;
}

}  // namespace

// Writes compact JSON text pretty-printed: the same layout write_value gives
// the value the text came from, since the text holds no whitespace.
void write_compact(Output& out, std::string_view text, int level) {
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
    Output out(128, /*pretty=*/false);
    write_value(out, value, 0);
    return CompactJson{std::string(out.view())};
}

std::string write_json_value(const JsonValue& value) {
    Output out(128);
    write_value(out, value, 0);
    return std::string(out.view());
}

namespace {

// A member of an object being written: its key and what writes its value.
struct MemberWriter {
    std::string_view key;
    std::function<void(Output&)> write;
};

// Writes the members as an object whose members sit at `level`, after the
// kept unknown members are added (at the end, or in key order when `sorted`).
void write_object(Output& out, int level, std::vector<MemberWriter> members,
                  const std::vector<std::pair<std::string, CompactJson>>& extra, bool sorted) {
    for (const auto& [key, value] : extra)
        members.push_back({key, [&value, level](Output& o) { write_compact(o, value.text, level); }});
    if (sorted)
        std::stable_sort(members.begin(), members.end(),
                         [](const MemberWriter& a, const MemberWriter& b) { return a.key < b.key; });
    if (members.empty()) return out.put("{}");
    out.put('{');
    Members writer(out, level);
    for (const MemberWriter& member : members) member.write(writer.next(member.key));
    out.newline(level - 1);
    out.put('}');
}

// A merge list read as strings is written as strings again, unless an edit
// gave it a part holding a space, which only the pair form can carry.
bool merges_fit_strings(const DocumentRecords& doc) {
    bool fit = true;
    doc.for_each_merge([&](SlotIndex s) {
        Merge merge = doc.merges[s];
        if (doc.text(merge.left).find(' ') != std::string_view::npos ||
            doc.text(merge.right).find(' ') != std::string_view::npos)
            fit = false;
    });
    return fit;
}

void write_merge_strings(Output& out, const DocumentRecords& doc, int level) {
    out.put('[');
    std::string joined;
    bool first = true;
    doc.for_each_merge([&](SlotIndex s) {
        Merge merge = doc.merges[s];
        joined.assign(doc.text(merge.left)).append(" ").append(doc.text(merge.right));
        if (!first) out.put(',');
        out.newline(level + 1);
        out.put_string(joined);
        first = false;
    });
    out.newline(level);
    out.put(']');
}

void write_merge_list(Output& out, const DocumentRecords& doc, int level) {
    MergeForm form = doc.sections.form.merges;
    if (form == MergeForm::kEmptyObject && doc.live_merges == 0) return out.put("{}");
    if (form == MergeForm::kStrings && doc.live_merges > 0 && merges_fit_strings(doc))
        return write_merge_strings(out, doc, level);
    write_merges(out, doc, level);
}

// The document's members in declaration order, less those the form says
// the document leaves out.
std::vector<MemberWriter> top_members(const DocumentRecords& doc, std::function<void(Output&)> model) {
    const DocumentSections& sections = doc.sections;
    const DocumentForm& form = sections.form;
    std::vector<MemberWriter> members;
    auto section = [&](TopField field, const CompactJson& value) {
        if (!form.absent(field))
            members.push_back({kTopFieldNames[static_cast<int>(field)],
                               [&value](Output& o) { write_compact(o, value.text, 1); }});
    };
    if (!form.absent(TopField::kVersion))
        members.push_back({"version", [&sections](Output& o) { o.put_string(sections.version); }});
    section(TopField::kTruncation, sections.truncation);
    section(TopField::kPadding, sections.padding);
    section(TopField::kAddedTokens, sections.added_tokens);
    section(TopField::kNormalizer, sections.normalizer);
    section(TopField::kPreTokenizer, sections.pre_tokenizer);
    section(TopField::kPostProcessor, sections.post_processor);
    section(TopField::kDecoder, sections.decoder);
    members.push_back({"model", std::move(model)});
    return members;
}

// The model's members in declaration order; `vocab` writes the vocabulary.
std::vector<MemberWriter> model_members(const DocumentRecords& doc, std::function<void(Output&)> vocab) {
    const ModelSettings& model = doc.sections.model;
    const DocumentForm& form = doc.sections.form;
    std::vector<MemberWriter> members;
    auto add = [&](ModelField field, std::function<void(Output&)> write) {
        if (!form.absent(field)) members.push_back({kModelFieldNames[static_cast<int>(field)], std::move(write)});
    };
    auto flag = [](bool value) { return [value](Output& o) { o.put(value ? "true" : "false"); }; };
    add(ModelField::kType, [&model](Output& o) { o.put_string(model.type); });
    add(ModelField::kDropout, [&model](Output& o) { write_dropout(o, model.dropout); });
    add(ModelField::kUnkToken, [&model, &form](Output& o) {
        if (form.unk_token_null) o.put("null");
        else o.put_string(model.unk_token);
    });
    add(ModelField::kPrefix, [&model](Output& o) { write_optional_string(o, model.continuing_subword_prefix); });
    add(ModelField::kSuffix, [&model](Output& o) { write_optional_string(o, model.end_of_word_suffix); });
    add(ModelField::kFuseUnk, flag(model.fuse_unk));
    add(ModelField::kByteFallback, flag(model.byte_fallback));
    add(ModelField::kIgnoreMerges, flag(model.ignore_merges));
    members.push_back({"vocab", std::move(vocab)});
    members.push_back({"merges", [&doc](Output& o) { write_merge_list(o, doc, 2); }});
    return members;
}

// `sorted`: every object's keys in byte order and the vocabulary by id (files);
// otherwise declaration order and the vocabulary in key order (strings).
void write_layout(Output& out, const DocumentRecords& doc, std::span<const Symbol> key_order, bool sorted) {
    const DocumentForm& form = doc.sections.form;
    auto vocab = [&doc, key_order, sorted](Output& o) {
        if (sorted) write_vocab(o, doc, entries_by_id(doc), 2);
        else write_vocab(o, doc, key_order, 2);
    };
    auto model = [&doc, &form, sorted, vocab](Output& o) {
        write_object(o, 2, model_members(doc, vocab), form.extra_model, sorted);
    };
    write_object(out, 1, top_members(doc, model), form.extra_top, sorted);
}

}  // namespace

WrittenText write_document_text(const DocumentRecords& doc, std::span<const Symbol> key_order) {
    Output out(expected_size(doc));
    write_layout(out, doc, key_order, /*sorted=*/false);
    return std::move(out).take();
}

WrittenText write_document_file_text(const DocumentRecords& doc) {
    Output out(expected_size(doc));
    write_layout(out, doc, {}, /*sorted=*/true);
    return std::move(out).take();
}

void write_document_file_text(const DocumentRecords& doc, const TextSink& sink) {
    Output out(sink);
    write_layout(out, doc, {}, /*sorted=*/true);
    out.finish();
}

}  // namespace vocarix
