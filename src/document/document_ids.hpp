// Ids the document states outside the vocabulary: the added_tokens entries,
// and the (token, id) pairs of the post-processor and the padding. They are
// kept as compact JSON text; these functions read and rewrite them, and leave
// a section's text untouched when nothing in it changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "document/document.hpp"

namespace vocarix {

// The added_tokens entries a runtime refuses the document for, with why: no
// string content, no integer id, or a flag missing or not a boolean.
std::vector<std::pair<std::size_t, std::string>> refused_added_tokens(const DocumentSections& sections);

// A place where the post-processor or the padding pairs a token with an id.
struct IdReference {
    std::string where;  // "post_processor.special_tokens.<s>.ids[0]", "padding.pad_id", ...
    std::string token;
    std::optional<std::uint32_t> id;  // none when the id is no integer 0..2^32-1
};

// Post-processors of the types TemplateProcessing, RobertaProcessing,
// BertProcessing and Sequence (recursively) are read; padding by its
// pad_token and pad_id.
std::vector<IdReference> read_id_references(const DocumentSections& sections);

// A rewrite: the new id for a token stated with `stated` (none when that is
// no integer id), or none to leave it.
using IdRewrite =
    std::function<std::optional<std::uint32_t>(std::string_view token, std::optional<std::uint32_t> stated)>;

struct IdChange {
    std::string where;
    std::string token;
    std::optional<std::uint32_t> old_id;
    std::uint32_t new_id = 0;
};

// Sets the "id" of added_tokens entries that have one; entries without
// string content are left alone.
std::vector<IdChange> rewrite_added_token_ids(DocumentSections& sections, const IdRewrite& rewrite);

// Sets the ids of the post-processor's and the padding's references.
std::vector<IdChange> rewrite_reference_ids(DocumentSections& sections, const IdRewrite& rewrite);

// The contents of the added_tokens entries, read from the text in one quick
// pass without parsing it. It may hold a few strings that are no entry's
// content, never too few: a look-up that fails means no entry has it.
class AddedTokenContents {
public:
    explicit AddedTokenContents(std::string text);
    const std::string& text() const { return text_; }
    bool empty() const { return contents_.empty(); }
    bool contains(std::string_view content) const { return contents_.count(content) != 0; }

private:
    std::string text_;                 // the section's text it was read from
    std::deque<std::string> decoded_;  // unescaped contents; the others are views into text_
    std::unordered_set<std::string_view> contents_;
};

// The contents of the document's added_tokens. Removals ask for them once
// per call while the section rarely changes, so the last one read is kept
// (per thread) and used again while the section's text is unchanged.
const AddedTokenContents& added_token_contents(const DocumentSections& sections);

// Drops every added_tokens entry whose content `drop` accepts; returns how many went.
std::size_t drop_added_tokens(DocumentSections& sections, const std::function<bool(std::string_view)>& drop);

}  // namespace vocarix
