// The Vocarix class: constructor, loading and saving, queries, and the
// editing methods, registered in a fixed order.
#include <pybind11/pybind11.h>

#include <string>

#include "operations/addition.hpp"
#include "operations/char_sync.hpp"
#include "operations/keep_size.hpp"
#include "operations/reindex.hpp"
#include "operations/removal.hpp"
#include "operations/shrink.hpp"
#include "operations/statistics.hpp"
#include "operations/validation.hpp"
#include "document/errors.hpp"
#include "document/file_io.hpp"
#include "state/loading.hpp"
#include "document/json_reader.hpp"
#include "document/json_writer.hpp"
#include "document/text.hpp"
#include "bindings.hpp"
#include "bindings/common/convert.hpp"
#include "docstrings.hpp"
#include "builtin_methods.hpp"
#include "bindings/common/editor_object.hpp"

namespace vocarix::python {

namespace {

using Editor = py::class_<EditorObject>;

// A document being loaded belongs to no editor yet, so nothing else can reach
// it: other threads run meanwhile, among them one that may be feeding the file
// through a pipe. (Unwinding takes the lock back before any handler runs.)
EditorObject make_editor_from_path(py::handle path_object) {
    std::string path(to_str(path_object, "path"));
    try {
        py::gil_scoped_release unlocked;
        return EditorObject{load_tokenizer_file(path)};
    } catch (const DocumentError& error) {
        raise(PyExc_OSError, std::string("Failed to load tokenizer: ") + error.what());
    }
}

py::object editor_from_json(py::handle text_object) {
    std::unique_ptr<EditorState> state;
    {
        // The caller's str outlives the call and never changes.
        Utf8Text text = to_large_str(text_object, "json_str");
        try {
            py::gil_scoped_release unlocked;
            state = parse_tokenizer_text(text.view);
        } catch (const ParseError& error) {
            raise(PyExc_ValueError, std::string("Failed to parse JSON: ") + error.what());
        }
    }
    if (state->sections.model.type != "BPE") raise(PyExc_ValueError, "Only BPE tokenizers are supported");
    state->trim_capacity();
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
    try {
        WrittenText text = write_document_text(borrow.state());
        return make_large_str(text.view(), text.stats());
    } catch (const std::length_error& error) {
        raise(PyExc_ValueError, std::string("Failed to serialize: ") + error.what());
    }
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
    // Each distinct string becomes one str object, shared by the tuples that use it.
    std::vector<PyObject*> made(state.symbol_count(), nullptr);
    auto str_of = [&](Symbol sym) {
        if (!made[sym]) made[sym] = make_str(state.text(sym)).release().ptr();
        return py::reinterpret_borrow<py::object>(made[sym]);
    };
    struct Release {
        std::vector<PyObject*>& objects;
        ~Release() {
            for (PyObject* object : objects) Py_XDECREF(object);
        }
    } release{made};
    py::list merges(state.merge_count());
    std::size_t i = 0;
    state.for_each_merge([&](SlotIndex s) {
        Merge merge = state.merge_at(s);
        py::tuple pair = make_pair(str_of(merge.left), str_of(merge.right));
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
    std::uint32_t lowest_id = min_id ? to_u32(min_id, "min_id") : 0;
    return py::cast(shrink(borrow.state(), how_many, lowest_id));
}

py::list find_tokens_to_shrink_method(EditorObject& self, py::handle count, py::handle min_id) {
    SharedBorrow borrow(self);
    std::uint64_t how_many = to_u64(count, "count");
    std::uint32_t lowest_id = min_id ? to_u32(min_id, "min_id") : 0;
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
    if (whitelist && !whitelist.is_none()) keep = to_str_list(whitelist, "whitelist");
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
    std::uint32_t lowest_id = min_id ? to_u32(min_id, "min_id") : 0;
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

// ---- the method table ----

py::int_ vocab_size(EditorObject& self) {
    SharedBorrow borrow(self);
    return make_int(borrow.state().vocab_size());
}

py::int_ merges_count(EditorObject& self) {
    SharedBorrow borrow(self);
    return make_int(borrow.state().merge_count());
}

// The constructor: `Vocarix(path)` loads a file.
PyObject* new_editor(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"path", nullptr};
    PyObject* path = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Vocarix", const_cast<char**>(keywords), &path)) return nullptr;
    return detail::run_guarded([&] { return make_editor_from_path(path); });
}

constexpr const char* kNoParams[] = {nullptr};
constexpr const char* kPathParam[] = {"path", nullptr};
constexpr const char* kJsonParam[] = {"json_str", nullptr};
constexpr const char* kTokenParam[] = {"token", nullptr};
constexpr const char* kIdParam[] = {"id", nullptr};
constexpr const char* kTokensParam[] = {"tokens", nullptr};
constexpr const char* kCountParams[] = {"count", "min_id", nullptr};
constexpr const char* kSourceParams[] = {"source_path", "min_id", nullptr};
constexpr const char* kKeepSizeParams[] = {"tokens", "whitelist", nullptr};

constexpr MethodSpec kFromJsonSpec{"from_json", "O:from_json", kJsonParam, docs::kFromJson};
constexpr MethodSpec kSaveSpec{"save", "O:save", kPathParam, docs::kSave};
constexpr MethodSpec kToJsonSpec{"to_json", ":to_json", kNoParams, docs::kToJson};
constexpr MethodSpec kHasTokenSpec{"has_token", "O:has_token", kTokenParam, docs::kHasToken};
constexpr MethodSpec kGetTokenIdSpec{"get_token_id", "O:get_token_id", kTokenParam, docs::kGetTokenId};
constexpr MethodSpec kGetTokenByIdSpec{"get_token_by_id", "O:get_token_by_id", kIdParam, docs::kGetTokenById};
constexpr MethodSpec kGetVocabSpec{"get_vocab", ":get_vocab", kNoParams, docs::kGetVocab};
constexpr MethodSpec kGetMergesSpec{"get_merges", ":get_merges", kNoParams, docs::kGetMerges};
constexpr MethodSpec kGetStatsSpec{"get_stats", ":get_stats", kNoParams, docs::kGetStats};
constexpr MethodSpec kValidateMergesSpec{"validate_merges", ":validate_merges", kNoParams, docs::kValidateMerges};
constexpr MethodSpec kRemoveInvalidMergesSpec{"remove_invalid_merges", ":remove_invalid_merges", kNoParams,
                                              docs::kRemoveInvalidMerges};
constexpr MethodSpec kAddTokenSpec{"add_token", "O:add_token", kTokenParam, docs::kAddToken};
constexpr MethodSpec kAddTokensSpec{"add_tokens", "O:add_tokens", kTokensParam, docs::kAddTokens};
constexpr MethodSpec kAddTokenAtomicSpec{"add_token_atomic", "O:add_token_atomic", kTokenParam,
                                         docs::kAddTokenAtomic};
constexpr MethodSpec kRemoveTokenSpec{"remove_token", "O:remove_token", kTokenParam, docs::kRemoveToken};
constexpr MethodSpec kRemoveTokensSpec{"remove_tokens", "O:remove_tokens", kTokensParam, docs::kRemoveTokens};
constexpr MethodSpec kShrinkSpec{"shrink", "O|O:shrink", kCountParams, docs::kShrink};
constexpr MethodSpec kFindTokensToShrinkSpec{"find_tokens_to_shrink", "O|O:find_tokens_to_shrink", kCountParams,
                                             docs::kFindTokensToShrink};
constexpr MethodSpec kGetSingleCharTokensSpec{"get_single_char_tokens", ":get_single_char_tokens", kNoParams,
                                              docs::kGetSingleCharTokens};
constexpr MethodSpec kSyncSingleCharsSpec{"sync_single_chars", "O|O:sync_single_chars", kSourceParams,
                                          docs::kSyncSingleChars};
constexpr MethodSpec kAddTokensKeepSizeSpec{"add_tokens_keep_size", "O|O:add_tokens_keep_size", kKeepSizeParams,
                                            docs::kAddTokensKeepSize};
constexpr MethodSpec kCheckVocabGapsSpec{"check_vocab_gaps", ":check_vocab_gaps", kNoParams, docs::kCheckVocabGaps};
constexpr MethodSpec kReindexVocabSpec{"reindex_vocab", ":reindex_vocab", kNoParams, docs::kReindexVocab};

}  // namespace

void register_editor_class(py::module_& module) {
    Editor editor(module, "Vocarix", docs::kClass);
    // Vocarix(path) is served by tp_new alone; the class has no __init__.
    auto* type = reinterpret_cast<PyTypeObject*>(editor.ptr());
    type->tp_new = new_editor;
    type->tp_init = nullptr;
    if (PyDict_DelItemString(type->tp_dict, "__init__") != 0) PyErr_Clear();
    PyType_Modified(type);

    // Members in the order of the method table.
    add_static_method<&editor_from_json, &kFromJsonSpec>(editor);
    add_method<&save, &kSaveSpec>(editor);
    add_method<&to_json, &kToJsonSpec>(editor);
    editor.def_property_readonly("vocab_size", &vocab_size, docs::kVocabSize);
    editor.def_property_readonly("merges_count", &merges_count, docs::kMergesCount);
    add_method<&has_token, &kHasTokenSpec>(editor);
    add_method<&get_token_id, &kGetTokenIdSpec>(editor);
    add_method<&get_token_by_id, &kGetTokenByIdSpec>(editor);
    add_method<&get_vocab, &kGetVocabSpec>(editor);
    add_method<&get_merges, &kGetMergesSpec>(editor);
    add_method<&get_stats_method, &kGetStatsSpec>(editor);
    add_method<&validate_merges_method, &kValidateMergesSpec>(editor);
    add_method<&remove_invalid_merges_method, &kRemoveInvalidMergesSpec>(editor);
    add_method<&add_token_method, &kAddTokenSpec>(editor);
    add_method<&add_tokens_method, &kAddTokensSpec>(editor);
    add_method<&add_token_atomic_method, &kAddTokenAtomicSpec>(editor);
    add_method<&remove_token_method, &kRemoveTokenSpec>(editor);
    add_method<&remove_tokens_method, &kRemoveTokensSpec>(editor);
    add_method<&shrink_method, &kShrinkSpec>(editor);
    add_method<&find_tokens_to_shrink_method, &kFindTokensToShrinkSpec>(editor);
    add_method<&get_single_char_tokens, &kGetSingleCharTokensSpec>(editor);
    add_method<&sync_single_chars_method, &kSyncSingleCharsSpec>(editor);
    add_method<&add_tokens_keep_size_method, &kAddTokensKeepSizeSpec>(editor);
    add_method<&check_vocab_gaps_method, &kCheckVocabGapsSpec>(editor);
    add_method<&reindex_vocab_method, &kReindexVocabSpec>(editor);
    editor.def("__repr__", &describe);
    editor.def("__str__", &describe);
}

}  // namespace vocarix::python
