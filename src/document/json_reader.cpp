#include "document/json_reader.hpp"

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "document/json_cursor.hpp"
#include "document/json_writer.hpp"
#include "document/merge_list_reader.hpp"

namespace vocarix {
namespace {

// The tokenizer document on top of the cursor: the model's fields, the
// vocabulary and merges interned in batches, the other sections kept as
// compact JSON, and in the lenient mode the form the document was written in.
class DocumentReader : public MergeListCursor {
public:
    DocumentReader(std::string_view text, ReadMode mode, ParallelMergeList* parallel)
        : MergeListCursor(text), lenient_(mode == ReadMode::kLenient), parallel_(parallel) {}

    void parse_tokenizer(DocumentRecords& records);

private:
    void read_vocab(DocumentRecords& records, int depth);
    void read_merges(DocumentRecords& records, int depth);
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

    bool lenient_ = false;
    ParallelMergeList* parallel_;
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
void DocumentReader::queue_string(DocumentRecords& records, std::string_view text) {
    if (text.data() < begin_ || text.data() > end_) {
        pending_copies_.emplace_back(text);
        text = pending_copies_.back();
    }
    std::uint64_t hash = records.strings.hash(text);
    records.strings.prefetch_slot(hash);
    pending_.push_back({text, hash});
}

template <class Use>
void DocumentReader::flush_strings(DocumentRecords& records, Use&& use) {
    records.strings.prefetch_entries(pending_, [](const PendingString& item) { return item.hash; });
    for (std::size_t i = 0; i < pending_.size(); ++i) use(i, records.intern(pending_[i].text, pending_[i].hash));
    pending_.clear();
    pending_copies_.clear();
}

void DocumentReader::read_vocab(DocumentRecords& records, int depth) {
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

void DocumentReader::read_merges(DocumentRecords& records, int depth) {
    skip_ws();
    DocumentForm& form = records.sections.form;
    if (lenient_ && !at_end() && peek() == '{') {
        if (!read_empty_object()) fail_type("a sequence");
        form.merges = MergeForm::kEmptyObject;
        return;
    }
    if (at_end() || peek() != '[') fail_type("a sequence");
    if (const char* after = parallel_->read(records, p_, depth, form.merges)) {
        p_ = after;
        return;
    }
    enter(depth);
    // Parts are interned a batch at a time; every second one completes a merge.
    Symbol left = kNoSymbol;
    auto apply = [&](std::size_t i, Symbol sym) {
        if (i % 2 == 0) left = sym;
        else records.append_merge(left, sym);
    };
    struct Sink {
        DocumentReader& reader;
        DocumentRecords& records;
        decltype(apply)& use;
        void part(std::string_view text) { reader.queue_string(records, text); }
        void element_done() {
            if (reader.pending_.size() >= 2 * kBatchSize) reader.flush_strings(records, use);
        }
    } sink{*this, records, apply};
    if (!open_merge_list()) {
        // Older runtimes wrote each merge as one string; a list holds one form only.
        if (lenient_ && peek() == '"') form.merges = MergeForm::kStrings;
        do {
            read_merge_element(sink, form.merges, depth);
        } while (!next_merge_element());
    }
    flush_strings(records, apply);
}

// At '{': consumes an empty object and returns true; otherwise consumes nothing.
bool DocumentReader::read_empty_object() {
    const char* open = p_++;
    skip_ws();
    if (!at_end() && peek() == '}') {
        ++p_;
        return true;
    }
    p_ = open;
    return false;
}

void DocumentReader::keep_unknown_member(std::vector<std::pair<std::string, CompactJson>>& extra, std::string_view key,
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

void DocumentReader::read_model(DocumentRecords& records, int depth) {
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

void DocumentReader::parse_tokenizer(DocumentRecords& records) {
    DocumentSections& doc = records.sections;
    auto read_field = [&](int field) {
        switch (field) {
            case kVersion: doc.version = read_string(); break;
            case kTruncation: doc.truncation = compact_json(parse_value(1)); break;
            case kPadding: doc.padding = compact_json(parse_value(1)); break;
            case kAddedTokens: {
                JsonValue tokens;
                tokens.data = read_value_list(1);
                reserve_ids_of(records, std::get<JsonArray>(tokens.data));
                doc.added_tokens = compact_json(tokens);
                break;
            }
            case kNormalizer: doc.normalizer = compact_json(parse_value(1)); break;
            case kPreTokenizer: doc.pre_tokenizer = compact_json(parse_value(1)); break;
            case kPostProcessor: doc.post_processor = compact_json(parse_value(1)); break;
            case kDecoder: doc.decoder = compact_json(parse_value(1)); break;
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
    ParallelMergeList parallel(text, mode == ReadMode::kLenient, records.strings);
    DocumentReader reader(text, mode, &parallel);
    reader.parse_tokenizer(records);
    return records;
}

JsonValue parse_json_value(std::string_view text) {
    JsonCursor reader(text);
    JsonValue value = reader.parse_value(0);
    reader.expect_end();
    return value;
}

}  // namespace vocarix
