// Writers for the two document layouts (declaration order for strings,
// sorted keys with the vocabulary by id for files) and the shared
// pretty-printing rules: two-space indent, raw non-ASCII, shortest floats.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "document/text.hpp"
#include "document/text_buffer.hpp"
#include "document/document.hpp"
#include "document/json_value.hpp"
#include "document/records.hpp"

namespace vocarix {

// Shortest text that reads back to the same double: plain decimal for
// 1e-5 <= |v| < 1e16 (".0" on integral values), exponent form otherwise.
// Non-finite values are written as null.
std::string format_double(double value);

// Text a document writer produced, with its statistics. The buffer grows
// without copying, and the statistics are gathered while the text is still
// in cache: both count for documents of tens of megabytes.
class WrittenText {
public:
    WrittenText(TextBuffer text, TextStats stats) : text_(std::move(text)), stats_(stats) {}
    std::string_view view() const { return text_.view(); }
    std::string str() const { return std::string(view()); }
    const TextStats& stats() const { return stats_; }

private:
    TextBuffer text_;
    TextStats stats_;
};

// The document with keys in declaration order and the vocabulary in
// `key_order` (every entry, in ascending byte order).
WrittenText write_document_text(const DocumentRecords& doc, std::span<const Symbol> key_order);

// The document with every object's keys sorted and the vocabulary by ascending id.
WrittenText write_document_file_text(const DocumentRecords& doc);

// Receives text piece by piece, in order.
using TextSink = std::function<void(std::string_view)>;

// The same text handed to `sink` in pieces of about a megabyte, so that no
// copy of the whole text is ever held.
void write_document_file_text(const DocumentRecords& doc, const TextSink& sink);

// One opaque value, pretty-printed at indentation level 0.
std::string write_json_value(const JsonValue& value);

// One opaque value as compact text, the form CompactJson holds.
CompactJson compact_json(const JsonValue& value);

}  // namespace vocarix
