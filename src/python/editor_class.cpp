// The Vocarix class: constructor, loading and saving, queries, and the
// editing methods, registered in a fixed order.
#include <pybind11/pybind11.h>

#include <string>

#include "../editor/addition.hpp"
#include "../editor/management.hpp"
#include "../editor/reindex.hpp"
#include "../editor/removal.hpp"
#include "../editor/shrink.hpp"
#include "../editor/validation.hpp"
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
    // Python's own encoder produces the UTF-8; a temporary copy keeps the
    // caller's str from caching a second, document-sized representation.
    if (!PyUnicode_Check(text_object.ptr())) to_str(text_object, "json_str");
    py::object encoded;
    std::string_view text;
    if (PyUnicode_IS_ASCII(text_object.ptr())) {
        text = to_str(text_object, "json_str");
    } else {
        PyObject* bytes = PyUnicode_AsUTF8String(text_object.ptr());
        if (!bytes) throw py::error_already_set();
        encoded = py::reinterpret_steal<py::object>(bytes);
        text = std::string_view(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
    }
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
    return make_large_str(text);
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

// ---- addition and removal ----

py::object add_token_method(EditorObject& self, py::handle token) {
    ExclusiveBorrow borrow(self);
    return py::cast(add_token(borrow.state(), to_str(token, "token")));
}

py::list add_tokens_method(EditorObject& self, py::handle tokens) {
    ExclusiveBorrow borrow(self);
    std::vector<std::string> items = to_str_list(tokens, "tokens");
    py::list results;
    for (const std::string& item : items) results.append(py::cast(add_token(borrow.state(), item)));
    return results;
}

bool add_token_atomic_method(EditorObject& self, py::handle token) {
    ExclusiveBorrow borrow(self);
    return add_token_atomic(borrow.state(), to_str(token, "token"));
}

py::object remove_token_method(EditorObject& self, py::handle token) {
    ExclusiveBorrow borrow(self);
    return py::cast(remove_token(borrow.state(), to_str(token, "token")));
}

py::list remove_tokens_method(EditorObject& self, py::handle tokens) {
    ExclusiveBorrow borrow(self);
    std::vector<std::string> items = to_str_list(tokens, "tokens");
    py::list results;
    for (const std::string& item : items)
        if (borrow.state().contains(item)) results.append(py::cast(remove_token(borrow.state(), item)));
    return results;
}

// ---- shrinking, validation, statistics, gaps ----

py::object shrink_method(EditorObject& self, py::handle count, py::handle min_id) {
    ExclusiveBorrow borrow(self);
    std::uint64_t how_many = to_u64(count, "count");
    std::uint32_t lowest_id = to_u32(min_id, "min_id");
    return py::cast(shrink(borrow.state(), how_many, lowest_id));
}

py::list find_tokens_to_shrink_method(EditorObject& self, py::handle count, py::handle min_id) {
    SharedBorrow borrow(self);
    std::uint64_t how_many = to_u64(count, "count");
    std::uint32_t lowest_id = to_u32(min_id, "min_id");
    const EditorState& state = borrow.state();
    py::list candidates;
    for (const ShrinkCandidate& c : find_shrink_candidates(state, how_many, lowest_id))
        candidates.append(py::make_tuple(make_str(state.text(c.token)), make_int(c.id), make_int(c.char_length)));
    return candidates;
}

py::object get_stats_method(EditorObject& self) {
    SharedBorrow borrow(self);
    return py::cast(get_stats(borrow.state()));
}

py::object validate_merges_method(EditorObject& self) {
    SharedBorrow borrow(self);
    return py::cast(validate_merges(borrow.state()));
}

py::int_ remove_invalid_merges_method(EditorObject& self) {
    ExclusiveBorrow borrow(self);
    return make_int(remove_invalid_merges(borrow.state()));
}

py::tuple check_vocab_gaps_method(EditorObject& self) {
    SharedBorrow borrow(self);
    GapReport gaps = check_vocab_gaps(borrow.state());
    return py::make_tuple(py::bool_(gaps.has_gaps), make_int(gaps.total_gaps), make_int(gaps.min_id),
                          make_int(gaps.max_id));
}

py::object reindex_vocab_method(EditorObject& self) {
    ExclusiveBorrow borrow(self);
    return py::cast(reindex_vocab(borrow.state()));
}

// ---- bulk edits ----

py::dict add_tokens_keep_size_method(EditorObject& self, py::handle tokens, py::handle whitelist) {
    ExclusiveBorrow borrow(self);
    std::vector<std::string> items = to_str_list(tokens, "tokens");
    std::vector<std::string> keep;
    if (!whitelist.is_none()) keep = to_str_list(whitelist, "whitelist");
    KeepSizeReport report = add_tokens_keep_size(borrow.state(), items, keep);
    py::dict result;
    result["initial_vocab_size"] = make_int(report.initial_vocab_size);
    result["final_vocab_size"] = make_int(report.final_vocab_size);
    result["tokens_requested"] = make_int(report.tokens_requested);
    result["tokens_added"] = make_int(report.tokens_added);
    result["tokens_removed"] = make_int(report.tokens_removed);
    return result;
}

py::dict sync_single_chars_method(EditorObject& self, py::handle source_path, py::handle min_id) {
    ExclusiveBorrow borrow(self);
    std::string path(to_str(source_path, "source_path"));
    std::uint32_t lowest_id = to_u32(min_id, "min_id");
    std::unique_ptr<EditorState> source;
    try {
        source = load_tokenizer_file(path);
    } catch (const DocumentError& error) {
        raise(PyExc_OSError, std::string("Failed to load source tokenizer: ") + error.what());
    }
    SyncReport report = sync_single_chars(borrow.state(), *source, lowest_id, write_to_stderr);
    py::dict result;
    result["initial_vocab_size"] = make_int(report.initial_vocab_size);
    result["final_vocab_size"] = make_int(report.final_vocab_size);
    result["chars_in_source"] = make_int(report.chars_in_source);
    result["chars_already_present"] = make_int(report.chars_already_present);
    result["chars_added_count"] = make_int(report.chars_added_count);
    result["total_tokens_removed"] = make_int(report.total_tokens_removed);
    result["total_merges_removed"] = make_int(report.total_merges_removed);
    return result;
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
    editor.def("get_stats", &get_stats_method, docs::kGetStats);
    editor.def("validate_merges", &validate_merges_method, docs::kValidateMerges);
    editor.def("remove_invalid_merges", &remove_invalid_merges_method, docs::kRemoveInvalidMerges);
    editor.def("add_token", &add_token_method, py::arg("token"), docs::kAddToken);
    editor.def("add_tokens", &add_tokens_method, py::arg("tokens"), docs::kAddTokens);
    editor.def("add_token_atomic", &add_token_atomic_method, py::arg("token"), docs::kAddTokenAtomic);
    editor.def("remove_token", &remove_token_method, py::arg("token"), docs::kRemoveToken);
    editor.def("remove_tokens", &remove_tokens_method, py::arg("tokens"), docs::kRemoveTokens);
    editor.def("shrink", &shrink_method, py::arg("count"), py::arg("min_id") = 0, docs::kShrink);
    editor.def("find_tokens_to_shrink", &find_tokens_to_shrink_method, py::arg("count"), py::arg("min_id") = 0,
               docs::kFindTokensToShrink);
    editor.def("get_single_char_tokens", &get_single_char_tokens, docs::kGetSingleCharTokens);
    editor.def("sync_single_chars", &sync_single_chars_method, py::arg("source_path"), py::arg("min_id") = 0,
               docs::kSyncSingleChars);
    editor.def("add_tokens_keep_size", &add_tokens_keep_size_method, py::arg("tokens"),
               py::arg("whitelist") = py::none(), docs::kAddTokensKeepSize);
    editor.def("check_vocab_gaps", &check_vocab_gaps_method, docs::kCheckVocabGaps);
    editor.def("reindex_vocab", &reindex_vocab_method, docs::kReindexVocab);
    editor.def("__repr__", &describe);
    editor.def("__str__", &describe);
}

}  // namespace vocarix::python
