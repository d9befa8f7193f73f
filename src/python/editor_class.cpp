// The Vocarix class: constructor, loading and saving, queries, and the
// editing methods, registered in a fixed order.
#include <pybind11/pybind11.h>

#include <string>

#include "../tokenizer/errors.hpp"
#include "../tokenizer/file_io.hpp"
#include "../tokenizer/json_reader.hpp"
#include "../tokenizer/json_writer.hpp"
#include "../tokenizer/text.hpp"
#include "bindings.hpp"
#include "convert.hpp"
#include "docstrings.hpp"
#include "editor_object.hpp"

namespace vocarix::python {

SharedBorrow::SharedBorrow(EditorObject& editor) : editor_(editor) {
    if (editor_.borrow < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
    ++editor_.borrow;
}

ExclusiveBorrow::ExclusiveBorrow(EditorObject& editor) : editor_(editor) {
    if (editor_.borrow != 0) raise(PyExc_RuntimeError, "Already borrowed");
    editor_.borrow = -1;
}

namespace {

using Editor = py::class_<EditorObject>;

EditorObject make_editor_from_path(py::handle path_object) {
    std::string path(to_str(path_object, "path"));
    try {
        return EditorObject{load_tokenizer_file(path)};
    } catch (const DocumentError& error) {
        raise(PyExc_OSError, std::string("Failed to load tokenizer: ") + error.what());
    }
}

py::object editor_from_json(py::handle text_object) {
    std::string_view text = to_str(text_object, "json_str");
    std::unique_ptr<EditorState> state;
    try {
        state = parse_tokenizer_text(text);
    } catch (const ParseError& error) {
        raise(PyExc_ValueError, std::string("Failed to parse JSON: ") + error.what());
    }
    if (state->sections.model.type != "BPE") raise(PyExc_ValueError, "Only BPE tokenizers are supported");
    return py::cast(EditorObject{std::move(state)});
}

void save(EditorObject& self, py::handle path_object) {
    SharedBorrow borrow(self);
    std::string path(to_str(path_object, "path"));
    try {
        save_tokenizer_file(borrow.state(), path);
    } catch (const DocumentError& error) {
        raise(PyExc_OSError, std::string("Failed to save tokenizer: ") + error.what());
    }
}

py::str to_json(EditorObject& self) {
    SharedBorrow borrow(self);
    std::string text;
    try {
        text = write_document_text(borrow.state());
    } catch (const std::length_error& error) {
        raise(PyExc_ValueError, std::string("Failed to serialize: ") + error.what());
    }
    return make_str(text);
}

std::string describe(EditorObject& self) {
    SharedBorrow borrow(self);
    return "Vocarix(vocab_size=" + std::to_string(borrow.state().vocab_size()) +
           ", merges_count=" + std::to_string(borrow.state().merge_count()) + ")";
}

// ---- queries ----

bool has_token(EditorObject& self, py::handle token) {
    SharedBorrow borrow(self);
    return borrow.state().contains(to_str(token, "token"));
}

py::object get_token_id(EditorObject& self, py::handle token) {
    SharedBorrow borrow(self);
    auto id = borrow.state().token_id(to_str(token, "token"));
    if (!id) return py::none();
    return make_int(*id);
}

py::object get_token_by_id(EditorObject& self, py::handle id_object) {
    SharedBorrow borrow(self);
    Symbol sym = borrow.state().token_by_id(to_u32(id_object, "id"));
    if (sym == kNoSymbol) return py::none();
    return make_str(borrow.state().text(sym));
}

py::dict get_vocab(EditorObject& self) {
    SharedBorrow borrow(self);
    const EditorState& state = borrow.state();
    py::dict vocab;
    for (Symbol sym : state.key_order()) {
        py::str key = make_str(state.text(sym));
        py::int_ value = make_int(state.id_of(sym));
        if (PyDict_SetItem(vocab.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
    }
    return vocab;
}

py::tuple make_pair(py::object first, py::object second) {
    PyObject* tuple = PyTuple_New(2);
    if (!tuple) throw py::error_already_set();
    PyTuple_SET_ITEM(tuple, 0, first.release().ptr());
    PyTuple_SET_ITEM(tuple, 1, second.release().ptr());
    return py::reinterpret_steal<py::tuple>(tuple);
}

py::list get_merges(EditorObject& self) {
    SharedBorrow borrow(self);
    const EditorState& state = borrow.state();
    py::list merges(state.merge_count());
    std::size_t i = 0;
    state.for_each_merge([&](SlotIndex s) {
        Merge merge = state.merge_at(s);
        py::tuple pair = make_pair(make_str(state.text(merge.left)), make_str(state.text(merge.right)));
        PyList_SET_ITEM(merges.ptr(), static_cast<Py_ssize_t>(i++), pair.release().ptr());
    });
    return merges;
}

py::list get_single_char_tokens(EditorObject& self) {
    SharedBorrow borrow(self);
    const EditorState& state = borrow.state();
    py::list tokens;
    for (Symbol sym : state.key_order()) {
        if (char_length(state.text(sym)) != 1) continue;
        tokens.append(make_pair(make_str(state.text(sym)), make_int(state.id_of(sym))));
    }
    return tokens;
}

}  // namespace

void register_editor_class(py::module_& module) {
    Editor editor(module, "Vocarix", docs::kClass);
    editor.def(py::init([](py::object path) { return make_editor_from_path(path); }), py::arg("path"),
               docs::kInit);
    editor.def_static("from_json", &editor_from_json, py::arg("json_str"), docs::kFromJson);
    editor.def("save", &save, py::arg("path"), docs::kSave);
    editor.def("to_json", &to_json, docs::kToJson);
    editor.def_property_readonly(
        "vocab_size",
        [](EditorObject& self) {
            SharedBorrow borrow(self);
            return borrow.state().vocab_size();
        },
        docs::kVocabSize);
    editor.def_property_readonly(
        "merges_count",
        [](EditorObject& self) {
            SharedBorrow borrow(self);
            return borrow.state().merge_count();
        },
        docs::kMergesCount);
    editor.def("has_token", &has_token, py::arg("token"), docs::kHasToken);
    editor.def("get_token_id", &get_token_id, py::arg("token"), docs::kGetTokenId);
    editor.def("get_token_by_id", &get_token_by_id, py::arg("id"), docs::kGetTokenById);
    editor.def("get_vocab", &get_vocab, docs::kGetVocab);
    editor.def("get_merges", &get_merges, docs::kGetMerges);
    editor.def("get_single_char_tokens", &get_single_char_tokens, docs::kGetSingleCharTokens);
    editor.def("__repr__", &describe);
    editor.def("__str__", &describe);
}

void register_result_classes(py::module_&) {}

}  // namespace vocarix::python
