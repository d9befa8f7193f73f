// Lenient loading: files and strings in the older forms, read by the core's
// lenient reader into ordinary editors that write their own form back.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "bindings/common/convert.hpp"
#include "bindings/common/editor_object.hpp"
#include "bindings/common/unlocked_load.hpp"
#include "bindings/tools/tools_bindings.hpp"
#include "document/errors.hpp"
#include "document/file_io.hpp"
#include "state/loading.hpp"
#include "document/json_reader.hpp"

namespace vocarix::tools {
namespace {

namespace py = pybind11;
using python::EditorObject;
using python::raise;

// The failure as one line: what failed and why, with the parser's position.
std::string describe(const DocumentError& error) {
    std::string message = error.what();
    if (!error.cause().empty()) message += ": " + error.cause();
    return message;
}

py::object open_file(py::handle path_object, py::handle limit_object) {
    std::string path(python::to_str(path_object, "path"));
    std::uint64_t limit = limit_object.is_none() ? kDefaultStreamSizeLimit : python::to_u64(limit_object, "stream_size_limit");
    std::unique_ptr<EditorState> state;
    try {
        state = python::load_unlocked(path, ReadMode::kLenient, limit);
    } catch (const DocumentError& error) {
        raise(PyExc_OSError, path + ": " + describe(error));
    }
    return py::cast(EditorObject{std::move(state)});
}

py::object open_text(py::handle text_object) {
    std::unique_ptr<EditorState> state;
    {
        python::Utf8Text text = python::to_large_str(text_object, "text");
        try {
            py::gil_scoped_release unlocked;
            state = parse_tokenizer_text(text.view, ReadMode::kLenient);
        } catch (const ParseError& error) {
            raise(PyExc_ValueError, std::string("Failed to parse JSON: ") + error.what());
        }
    }
    try {
        finish_loaded_document(*state);
    } catch (const DocumentError& error) {
        raise(PyExc_ValueError, describe(error));
    }
    return py::cast(EditorObject{std::move(state)});
}

const char* merge_form_name(MergeForm form) {
    switch (form) {
        case MergeForm::kStrings: return "strings";
        case MergeForm::kEmptyObject: return "empty_object";
        case MergeForm::kPairs: break;
    }
    return "pairs";
}

py::dict document_form(EditorObject& editor) {
    python::SharedBorrow borrow(editor);
    const DocumentSections& sections = borrow.state().sections;
    const DocumentForm& form = sections.form;
    std::vector<std::string> absent, unknown;
    for (int field = 0; field < kTopFieldCount; ++field)
        if (form.absent(static_cast<TopField>(field))) absent.emplace_back(kTopFieldNames[field]);
    for (int field = 0; field < kModelFieldCount; ++field)
        if (form.absent(static_cast<ModelField>(field))) absent.push_back(std::string("model.") + kModelFieldNames[field]);
    for (const auto& member : form.extra_top) unknown.push_back(member.first);
    for (const auto& member : form.extra_model) unknown.push_back("model." + member.first);
    py::dict result;
    result["lenient"] = form.lenient;
    result["merges"] = merge_form_name(form.merges);
    result["unk_token"] = form.unk_token_null                  ? "null"
                          : form.absent(ModelField::kUnkToken) ? "absent"
                                                               : "string";
    result["absent_fields"] = absent;
    result["unknown_fields"] = unknown;
    return result;
}

void set_merge_form(EditorObject& editor, py::handle form_object) {
    python::ExclusiveBorrow borrow(editor);
    std::string_view form = python::to_str(form_object, "form");
    MergeForm& merges = borrow.state().sections.form.merges;
    if (form == "pairs") merges = MergeForm::kPairs;
    else if (form == "strings") merges = MergeForm::kStrings;
    else raise(PyExc_ValueError, "form must be \"pairs\" or \"strings\"");
}

// The text save() would write, for writing to a stream the caller holds.
py::str file_text(EditorObject& editor) {
    python::SharedBorrow borrow(editor);
    WrittenText text = write_document_file_text(borrow.state());
    return python::make_large_str(text.view(), text.stats());
}

}  // namespace

void register_loading(py::module_& module) {
    module.def("open", &open_file, py::arg("path"), py::arg("stream_size_limit") = py::none(),
               "Load a tokenizer file in any form the runtime reads; OSError naming the problem and its position.\n"
               "A pipe or device is read to at most stream_size_limit bytes (1 GiB by default).");
    module.def("open_text", &open_text, py::arg("text"),
               "Load a tokenizer document from a str in any form the runtime reads; ValueError on failure.");
    module.def("document_form", &document_form, py::arg("editor"),
               "How the editor's document was written: merge form, unk_token, absent and unknown fields.");
    module.def("file_text", &file_text, py::arg("editor"), "The document as save() writes it, as a str.");
    module.def("set_merge_form", &set_merge_form, py::arg("editor"), py::arg("form"),
               "Write the editor's merges as \"pairs\" or as \"strings\" from now on.");
}

}  // namespace vocarix::tools
