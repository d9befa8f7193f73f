#include "document/json_writer.hpp"

#include <algorithm>
#include <charconv>
#include <functional>
#include <utility>
#include <vector>

#include "document/json_output.hpp"

namespace vocarix {
namespace {

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
void write_vocab(JsonOutput& out, const DocumentRecords& doc, const Entries& entries, int level) {
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

void write_merges(JsonOutput& out, const DocumentRecords& doc, int level) {
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

void write_optional_string(JsonOutput& out, const std::optional<std::string>& value) {
    if (value) out.put_string(*value);
    else out.put("null");
}

void write_dropout(JsonOutput& out, const std::optional<double>& dropout) {
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

namespace {

// A member of an object being written: its key and what writes its value.
struct MemberWriter {
    std::string_view key;
    std::function<void(JsonOutput&)> write;
};

// Writes the members as an object whose members sit at `level`, after the
// kept unknown members are added (at the end, or in key order when `sorted`).
void write_object(JsonOutput& out, int level, std::vector<MemberWriter> members,
                  const std::vector<std::pair<std::string, CompactJson>>& extra, bool sorted) {
    for (const auto& [key, value] : extra)
        members.push_back({key, [&text = value.text, level](JsonOutput& o) { write_compact(o, text, level); }});
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

void write_merge_strings(JsonOutput& out, const DocumentRecords& doc, int level) {
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

void write_merge_list(JsonOutput& out, const DocumentRecords& doc, int level) {
    MergeForm form = doc.sections.form.merges;
    if (form == MergeForm::kEmptyObject && doc.live_merges == 0) return out.put("{}");
    if (form == MergeForm::kStrings && doc.live_merges > 0 && merges_fit_strings(doc))
        return write_merge_strings(out, doc, level);
    write_merges(out, doc, level);
}

// The document's members in declaration order, less those the form says
// the document leaves out.
std::vector<MemberWriter> top_members(const DocumentRecords& doc, std::function<void(JsonOutput&)> model) {
    const DocumentSections& sections = doc.sections;
    const DocumentForm& form = sections.form;
    std::vector<MemberWriter> members;
    auto section = [&](TopField field, const CompactJson& value) {
        if (!form.absent(field))
            members.push_back({kTopFieldNames[static_cast<int>(field)],
                               [&value](JsonOutput& o) { write_compact(o, value.text, 1); }});
    };
    if (!form.absent(TopField::kVersion))
        members.push_back({"version", [&sections](JsonOutput& o) { o.put_string(sections.version); }});
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
std::vector<MemberWriter> model_members(const DocumentRecords& doc, std::function<void(JsonOutput&)> vocab) {
    const ModelSettings& model = doc.sections.model;
    const DocumentForm& form = doc.sections.form;
    std::vector<MemberWriter> members;
    auto add = [&](ModelField field, std::function<void(JsonOutput&)> write) {
        if (!form.absent(field)) members.push_back({kModelFieldNames[static_cast<int>(field)], std::move(write)});
    };
    auto flag = [](bool value) { return [value](JsonOutput& o) { o.put(value ? "true" : "false"); }; };
    add(ModelField::kType, [&model](JsonOutput& o) { o.put_string(model.type); });
    add(ModelField::kDropout, [&model](JsonOutput& o) { write_dropout(o, model.dropout); });
    add(ModelField::kUnkToken, [&model, &form](JsonOutput& o) {
        if (form.unk_token_null) o.put("null");
        else o.put_string(model.unk_token);
    });
    add(ModelField::kPrefix, [&model](JsonOutput& o) { write_optional_string(o, model.continuing_subword_prefix); });
    add(ModelField::kSuffix, [&model](JsonOutput& o) { write_optional_string(o, model.end_of_word_suffix); });
    add(ModelField::kFuseUnk, flag(model.fuse_unk));
    add(ModelField::kByteFallback, flag(model.byte_fallback));
    add(ModelField::kIgnoreMerges, flag(model.ignore_merges));
    members.push_back({"vocab", std::move(vocab)});
    members.push_back({"merges", [&doc](JsonOutput& o) { write_merge_list(o, doc, 2); }});
    return members;
}

// `sorted`: every object's keys in byte order and the vocabulary by id (files);
// otherwise declaration order and the vocabulary in key order (strings).
void write_layout(JsonOutput& out, const DocumentRecords& doc, std::span<const Symbol> key_order, bool sorted) {
    const DocumentForm& form = doc.sections.form;
    auto vocab = [&doc, key_order, sorted](JsonOutput& o) {
        if (sorted) write_vocab(o, doc, entries_by_id(doc), 2);
        else write_vocab(o, doc, key_order, 2);
    };
    auto model = [&doc, &form, sorted, vocab](JsonOutput& o) {
        write_object(o, 2, model_members(doc, vocab), form.extra_model, sorted);
    };
    write_object(out, 1, top_members(doc, model), form.extra_top, sorted);
}

}  // namespace

WrittenText write_document_text(const DocumentRecords& doc, std::span<const Symbol> key_order) {
    JsonOutput out(expected_size(doc));
    write_layout(out, doc, key_order, /*sorted=*/false);
    return std::move(out).take();
}

WrittenText write_document_file_text(const DocumentRecords& doc) {
    JsonOutput out(expected_size(doc));
    write_layout(out, doc, {}, /*sorted=*/true);
    return std::move(out).take();
}

void write_document_file_text(const DocumentRecords& doc, const TextSink& sink) {
    JsonOutput out(sink);
    write_layout(out, doc, {}, /*sorted=*/true);
    out.finish();
}

}  // namespace vocarix
