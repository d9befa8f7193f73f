// Looking at one tokenizer: its token style, readable token text, the
// vocabulary report behind `stats`, and explanations of single tokens
// (with how the model splits them).
#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

#include "bindings/common/convert.hpp"
#include "bindings/common/editor_object.hpp"
#include "bindings/tools/result_lists.hpp"
#include "bindings/tools/tools_bindings.hpp"
#include "analysis/explain.hpp"
#include "analysis/token_style.hpp"
#include "analysis/vocab_report.hpp"

namespace vocarix::tools {
namespace {

namespace py = pybind11;
using python::EditorObject;
using python::make_int;
using python::make_str;

using python::make_optional_int;

py::dict style_dict(const StyleReport& style) {
    py::dict result;
    result["style"] = style_name(style.style);
    result["byte_level"] = style.byte_level;
    result["marker"] = make_str(style.marker);
    result["evidence"] = make_str(style.evidence);
    return result;
}

py::dict token_style(EditorObject& editor) {
    python::SharedBorrow borrow(editor);
    return style_dict(detect_token_style(borrow.state()));
}

// Readable forms of an editor's tokens; a snapshot of its style and added
// tokens, so it stays usable whatever happens to the editor later.
class TokenTexts {
public:
    explicit TokenTexts(EditorObject& editor) : reader_(snapshot(editor)) {}

    py::dict style() const { return style_dict(reader_.style()); }

    // The text each token stands for (bytes that are no valid text as \xNN).
    py::list texts(py::handle tokens) const {
        return convert(tokens, [&](std::string_view token) { return text_with_byte_escapes(reader_.decode(token)); });
    }
    // As displays show them: double-quoted, invisible characters escaped,
    // byte-level text decoded and "▁" kept as the mark of a space.
    py::list quoted(py::handle tokens) const {
        return convert(tokens, [&](std::string_view token) { return readable_quoted(reader_.shown(token)); });
    }
    // The other way: each text in the stored form the style writes it in.
    py::list stored(py::handle texts) const {
        return convert(texts, [&](std::string_view text) { return reader_.encode(text); });
    }

private:
    static TokenReader snapshot(EditorObject& editor) {
        python::SharedBorrow borrow(editor);
        return TokenReader::for_editor(borrow.state());
    }
    template <class Format>
    py::list convert(py::handle tokens, Format format) const {
        std::vector<std::string> stored = python::to_str_list(tokens, "tokens");
        py::list result(stored.size());
        for (std::size_t k = 0; k < stored.size(); ++k)
            result[k] = make_str(format(stored[k]));
        return result;
    }

    TokenReader reader_;
};

py::dict vocabulary_report_of(EditorObject& editor, py::handle range_limit) {
    std::uint64_t limit = python::to_u64(range_limit, "range_limit");
    python::SharedBorrow borrow(editor);
    VocabularyReport report = vocabulary_report(borrow.state(), static_cast<std::size_t>(limit));
    py::list ranges;
    for (const IdRange& range : report.gap_ranges) ranges.append(py::make_tuple(make_int(range.first), make_int(range.last)));
    py::list outside;
    for (const OutsideAddedToken& token : report.added_outside_vocab) {
        py::dict entry;
        entry["content"] = make_str(token.content);
        entry["stored_id"] = make_optional_int(token.stored_id);
        entry["runtime_id"] = make_int(token.runtime_id);
        entry["special"] = token.special;
        outside.append(entry);
    }
    py::dict result;
    result["style"] = style_dict(report.style);
    result["gap_ranges"] = ranges;
    result["gap_range_count"] = make_int(report.gap_range_count);
    result["missing_ids"] = make_int(report.missing_ids);
    result["byte_tokens"] = make_int(report.byte_tokens);
    result["special_tokens_besides_bytes"] = make_int(report.special_tokens_besides_bytes);
    result["added_tokens"] = make_int(report.added_tokens);
    result["added_tokens_special"] = make_int(report.added_tokens_special);
    result["added_outside_vocab"] = outside;
    result["runtime_rows"] = make_int(report.runtime_rows);
    return result;
}


py::list explain(EditorObject& editor, py::handle tokens_object) {
    std::vector<std::string> tokens = python::to_str_list(tokens_object, "tokens");
    python::SharedBorrow borrow(editor);
    std::vector<TokenExplanation> explanations = explain_tokens(borrow.state(), tokens);
    py::list result;
    for (const TokenExplanation& explanation : explanations) {
        py::dict entry;
        entry["token"] = make_str(explanation.token);
        entry["id"] = make_optional_int(explanation.id);
        entry["char_length"] = make_int(explanation.char_length);
        entry["special"] = explanation.special;
        entry["byte_token"] = explanation.byte_token;
        entry["producers"] = positioned_merge_list(explanation.producers);
        entry["uses"] = positioned_merge_list(explanation.uses);
        if (explanation.added) {
            py::dict added;
            added["stored_id"] = make_optional_int(explanation.added->stored_id);
            added["special"] = explanation.added->special;
            added["entry"] = make_str(explanation.added->json);
            entry["added_token"] = added;
        } else {
            entry["added_token"] = py::none();
        }
        entry["runtime_id"] = make_optional_int(explanation.runtime_id);
        if (explanation.split) {
            const WordPieces& pieces = explanation.split->pieces;
            py::list texts(pieces.pieces.size()), ids(pieces.ids.size());
            for (std::size_t k = 0; k < pieces.pieces.size(); ++k) texts[k] = make_str(pieces.pieces[k]);
            for (std::size_t k = 0; k < pieces.ids.size(); ++k) ids[k] = make_int(pieces.ids[k]);
            py::dict split;
            split["word"] = make_str(explanation.split->word);
            split["pieces"] = texts;
            split["ids"] = ids;
            split["met_unknown"] = pieces.met_unknown;
            entry["split"] = split;
        } else {
            entry["split"] = py::none();
        }
        result.append(entry);
    }
    return result;
}

}  // namespace

void register_inspection(py::module_& module) {
    module.def("token_style", &token_style, py::arg("editor"),
               "How the editor's vocabulary writes tokens: style, byte_level, marker and evidence.");
    py::class_<TokenTexts>(module, "TokenTexts",
                           "Readable forms of an editor's tokens, from a snapshot of its style and added tokens.")
        .def(py::init<EditorObject&>(), py::arg("editor"))
        .def_property_readonly("style", &TokenTexts::style)
        .def("texts", &TokenTexts::texts, py::arg("tokens"),
             "The text each token stands for; bytes that are no valid text as \\xNN.")
        .def("quoted", &TokenTexts::quoted, py::arg("tokens"),
             "Each token as displays show it: double-quoted, invisible characters escaped.")
        .def("stored", &TokenTexts::stored, py::arg("texts"),
             "Each text in the stored form the file's style writes it in (a space as \"Ġ\" or \"▁\").");
    module.def("vocabulary_report", &vocabulary_report_of, py::arg("editor"), py::arg("range_limit") = 10,
               "Style, id gap ranges, byte tokens, added tokens outside the vocabulary, embedding rows.");
    module.def("explain_tokens", &explain, py::arg("editor"), py::arg("tokens"),
               "For each token: entry, id, merges producing and using it, added_tokens entry, runtime id.");
}

}  // namespace vocarix::tools
