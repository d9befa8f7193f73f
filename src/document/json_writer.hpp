// Writers for the two document layouts: declaration order with the
// vocabulary in key order (strings), and sorted keys with the vocabulary by
// id (files); both keep the form a leniently read document came in.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "document/json_output.hpp"
#include "document/text_buffer.hpp"
#include "document/document.hpp"
#include "document/json_value.hpp"
#include "document/records.hpp"

namespace vocarix {

// The document with keys in declaration order and the vocabulary in
// `key_order` (every entry, in ascending byte order).
WrittenText write_document_text(const DocumentRecords& doc, std::span<const Symbol> key_order);

// The document with every object's keys sorted and the vocabulary by ascending id.
WrittenText write_document_file_text(const DocumentRecords& doc);

// The same text handed to `sink` in pieces of about a megabyte, so that no
// copy of the whole text is ever held.
void write_document_file_text(const DocumentRecords& doc, const TextSink& sink);

}  // namespace vocarix
