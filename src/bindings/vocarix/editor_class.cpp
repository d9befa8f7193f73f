// The Vocarix class: its constructor and the table of its members, in the
// order the class lists them. Each row's body converts the arguments, calls
// the core and converts the result; the row's borrow is taken around it.
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <tuple>

#include "bindings/common/convert.hpp"
#include "bindings/common/editor_object.hpp"
#include "bindings/common/report_dicts.hpp"
#include "bindings/common/unlocked_load.hpp"
#include "bindings/vocarix/bindings.hpp"
#include "bindings/vocarix/method_table.hpp"
#include "document/errors.hpp"
#include "document/text.hpp"
#include "operations/exact/addition.hpp"
#include "operations/exact/char_sync.hpp"
#include "operations/exact/keep_size.hpp"
#include "operations/exact/reindex.hpp"
#include "operations/exact/removal.hpp"
#include "operations/exact/shrink.hpp"
#include "operations/exact/statistics.hpp"
#include "operations/exact/validation.hpp"
#include "state/loading.hpp"

namespace vocarix::python {
namespace {

// Vocarix(path): served by tp_new alone; the class has no __init__.
PyObject* new_editor(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"path", nullptr};
    PyObject* path = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Vocarix", const_cast<char**>(keywords), &path)) return nullptr;
    return detail::run_guarded([&] {
        std::string text(to_str(path, "path"));
        try {
            return py::cast(EditorObject{load_unlocked(text, ReadMode::kStrict)});
        } catch (const DocumentError& error) {
            raise(PyExc_OSError, std::string("Failed to load tokenizer: ") + error.what());
        }
    });
}

std::string describe(EditorObject& self) {
    SharedBorrow borrow(self);
    return "Vocarix(vocab_size=" + std::to_string(borrow.state().vocab_size()) +
           ", merges_count=" + std::to_string(borrow.state().merge_count()) + ")";
}

template <class Records>
py::list list_of(const Records& records) {
    py::list list;
    for (const auto& record : records) list.append(py::cast(record));
    return list;
}

std::uint32_t optional_min_id(py::handle min_id) { return min_id ? to_u32(min_id, "min_id") : 0; }

// ---- the table ----

const auto kEditorMembers = std::make_tuple(
    method<+[](py::handle json_str) -> py::object {
        std::unique_ptr<EditorState> state;
        {
            // The caller's str outlives the call and never changes.
            Utf8Text text = to_large_str(json_str, "json_str");
            try {
                py::gil_scoped_release unlocked;
                state = parse_tokenizer_text(text.view);
            } catch (const ParseError& error) {
                raise(PyExc_ValueError, std::string("Failed to parse JSON: ") + error.what());
            }
        }
        try {
            finish_loaded_document(*state);
        } catch (const DocumentError& error) {
            raise(PyExc_ValueError, error.what());
        }
        return py::cast(EditorObject{std::move(state)});
    }>("from_json", "json_str", Borrow::kNone,
       "Create a new editor from JSON string\n\nArgs:\n    json_str: JSON string containing the tokenizer\n\n"
       "Returns:\n    Vocarix instance"),

    method<+[](const EditorState& state, py::handle path) {
        std::string target(to_str(path, "path"));
        try {
            save_tokenizer_file(state, target);
        } catch (const DocumentError& error) {
            raise(PyExc_OSError, std::string("Failed to save tokenizer: ") + error.what());
        }
    }>("save", "path", Borrow::kShared,
       "Save the tokenizer to a JSON file\n\nArgs:\n    path: Output path for the tokenizer.json file"),

    method<+[](const EditorState& state) -> py::str {
        try {
            WrittenText text = write_document_text(state);
            return make_large_str(text.view(), text.stats());
        } catch (const std::length_error& error) {
            raise(PyExc_ValueError, std::string("Failed to serialize: ") + error.what());
        }
    }>("to_json", "", Borrow::kShared,
       "Export tokenizer to JSON string\n\nReturns:\n    JSON string representation of the tokenizer"),

    property<+[](const EditorState& state) { return make_int(state.vocab_size()); }>(
        "vocab_size", "Get the current vocabulary size"),

    property<+[](const EditorState& state) { return make_int(state.merge_count()); }>(
        "merges_count", "Get the current number of merges"),

    method<+[](const EditorState& state, py::handle token) {
        return py::bool_(state.contains(to_str(token, "token")));
    }>("has_token", "token", Borrow::kShared,
       "Check if a token exists in the vocabulary\n\nArgs:\n    token: Token string to check\n\n"
       "Returns:\n    True if token exists, False otherwise"),

    method<+[](const EditorState& state, py::handle token) -> py::object {
        auto id = state.token_id(to_str(token, "token"));
        if (!id) return py::none();
        return make_int(*id);
    }>("get_token_id", "token", Borrow::kShared,
       "Get the ID of a token\n\nArgs:\n    token: Token string\n\nReturns:\n    Token ID or None if not found"),

    method<+[](const EditorState& state, py::handle id) -> py::object {
        Symbol sym = state.token_by_id(to_u32(id, "id"));
        if (sym == kNoSymbol) return py::none();
        return make_str(state.text(sym));
    }>("get_token_by_id", "id", Borrow::kShared,
       "Get a token by its ID\n\nArgs:\n    id: Token ID\n\nReturns:\n    Token string or None if not found"),

    method<+[](const EditorState& state) {
        py::dict vocab;
        for (Symbol sym : state.key_order()) {
            py::str key = make_str(state.text(sym));
            py::int_ value = make_int(state.id_of(sym));
            if (PyDict_SetItem(vocab.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
        }
        return vocab;
    }>("get_vocab", "", Borrow::kShared,
       "Get all tokens in the vocabulary\n\nReturns:\n    Dictionary mapping token strings to their IDs"),

    method<+[](const EditorState& state) {
        // Each distinct string becomes one str object, shared by the tuples that use it.
        std::vector<PyObject*> made(state.symbol_count(), nullptr);
        struct Release {
            std::vector<PyObject*>& objects;
            ~Release() {
                for (PyObject* object : objects) Py_XDECREF(object);
            }
        } release{made};
        auto str_of = [&](Symbol sym) {
            if (!made[sym]) made[sym] = make_str(state.text(sym)).release().ptr();
            return py::reinterpret_borrow<py::object>(made[sym]);
        };
        py::list merges(state.merge_count());
        std::size_t i = 0;
        state.for_each_merge([&](SlotIndex s) {
            Merge merge = state.merge_at(s);
            py::tuple pair = make_pair(str_of(merge.left), str_of(merge.right));
            PyList_SET_ITEM(merges.ptr(), static_cast<Py_ssize_t>(i++), pair.release().ptr());
        });
        return merges;
    }>("get_merges", "", Borrow::kShared,
       "Get all merges as list of tuples\n\nReturns:\n    List of (token_a, token_b) merge pairs"),

    method<+[](const EditorState& state) { return py::cast(get_stats(state)); }>(
        "get_stats", "", Borrow::kShared,
        "Get comprehensive tokenizer statistics\n\nReturns:\n    TokenizerStats object with detailed statistics"),

    method<+[](const EditorState& state) { return py::cast(validate_merges(state)); }>(
        "validate_merges", "", Borrow::kShared,
        "Validate all merges - check that each merge result exists in vocabulary\n\n"
        "Returns:\n    ValidationResult with valid/invalid merge counts and details"),

    method<+[](EditorState& state) { return make_int(remove_invalid_merges(state)); }>(
        "remove_invalid_merges", "", Borrow::kExclusive,
        "Remove all invalid merges from the tokenizer\n\nReturns:\n    Number of invalid merges removed"),

    method<+[](EditorState& state, py::handle token) { return py::cast(add_token(state, to_str(token, "token"))); }>(
        "add_token", "token", Borrow::kExclusive,
        "Add a token with proper merge chain creation\n\n"
        "This method intelligently adds a token using one of these strategies:\n"
        "- Single character: Added directly to vocab\n"
        "- Longest prefix: If a prefix exists, adds prefix + suffix -> token merge\n"
        "- Character chain: Builds merge chain a+b->ab, ab+c->abc, etc.\n\n"
        "Args:\n    token: Token string to add\n\n"
        "Returns:\n    AdditionResult with details about how the token was added"),

    method<+[](EditorState& state, py::handle tokens) {
        return list_of(add_tokens(state, to_str_list(tokens, "tokens")));
    }>("add_tokens", "tokens", Borrow::kExclusive,
       "Add multiple tokens\n\nArgs:\n    tokens: List of token strings to add\n\n"
       "Returns:\n    List of AdditionResult for each token"),

    method<+[](EditorState& state, py::handle token) {
        return py::bool_(add_token_atomic(state, to_str(token, "token")));
    }>("add_token_atomic", "token", Borrow::kExclusive,
       "Add a token without creating merge chains (for special tokens)\n\nArgs:\n    token: Token string to add\n\n"
       "Returns:\n    True if token was added, False if it already existed"),

    method<+[](EditorState& state, py::handle token) {
        return py::cast(remove_token(state, to_str(token, "token")));
    }>("remove_token", "token", Borrow::kExclusive,
       "Remove a token and all its dependencies\n\n"
       "This performs cascade removal:\n"
       "- Removes all merges that use this token as input\n"
       "- Removes all merges that produce this token\n"
       "- Removes all tokens that can only be produced by removed merges\n\n"
       "Args:\n    token: Token string to remove\n\n"
       "Returns:\n    RemovalResult with details about what was removed"),

    method<+[](EditorState& state, py::handle tokens) {
        return list_of(remove_tokens(state, to_str_list(tokens, "tokens")));
    }>("remove_tokens", "tokens", Borrow::kExclusive,
       "Remove multiple tokens\n\nArgs:\n    tokens: List of token strings to remove\n\n"
       "Returns:\n    List of RemovalResult for each token"),

    method<+[](EditorState& state, py::handle count, py::handle min_id) {
        std::uint64_t how_many = to_u64(count, "count");
        return py::cast(shrink(state, how_many, optional_min_id(min_id)));
    }>("shrink", "count, min_id=0", Borrow::kExclusive,
       "Shrink vocabulary by removing N longest non-special tokens\n\n"
       "Selection criteria (in order):\n"
       "- Longest tokens first (by character count)\n"
       "- Highest token IDs first (among same length)\n"
       "- Never removes single-character tokens\n"
       "- Never removes special tokens (<...> or [...])\n\n"
       "Args:\n    count: Number of tokens to remove\n"
       "    min_id: Only consider tokens with ID >= min_id (default: 0)\n\n"
       "Returns:\n    ShrinkResult with details about the shrink operation"),

    method<+[](const EditorState& state, py::handle count, py::handle min_id) {
        std::uint64_t how_many = to_u64(count, "count");
        py::list candidates;
        for (const ShrinkCandidate& c : find_shrink_candidates(state, how_many, optional_min_id(min_id)))
            candidates.append(py::make_tuple(make_str(state.text(c.token)), make_int(c.id), make_int(c.char_length)));
        return candidates;
    }>("find_tokens_to_shrink", "count, min_id=0", Borrow::kShared,
       "Find tokens that would be removed by shrink operation (preview)\n\n"
       "Args:\n    count: Number of tokens to find\n"
       "    min_id: Only consider tokens with ID >= min_id (default: 0)\n\n"
       "Returns:\n    List of (token, id, char_length) tuples"),

    method<+[](const EditorState& state) {
        py::list tokens;
        for (Symbol sym : state.key_order())
            if (char_length(state.text(sym)) == 1)
                tokens.append(make_pair(make_str(state.text(sym)), make_int(state.id_of(sym))));
        return tokens;
    }>("get_single_char_tokens", "", Borrow::kShared,
       "Get all single-character tokens\n\nReturns:\n    List of (token, id) tuples"),

    method<+[](EditorState& state, py::handle source_path, py::handle min_id) {
        std::string path(to_str(source_path, "source_path"));
        std::uint32_t lowest_id = optional_min_id(min_id);
        std::unique_ptr<EditorState> source;
        try {
            // The source belongs to no editor, so it is read like the constructor's document.
            source = load_unlocked(path, ReadMode::kStrict);
        } catch (const DocumentError& error) {
            raise(PyExc_OSError, std::string("Failed to load source tokenizer: ") + error.what());
        }
        SyncReport report = sync_single_chars(state, *source, lowest_id, write_to_stderr);
        return sync_report_dict(report);
    }>("sync_single_chars", "source_path, min_id=0", Borrow::kExclusive,
       "Sync single-character tokens from another tokenizer\n\n"
       "Copies missing single-char tokens from source, removing longest\n"
       "tokens to maintain vocabulary size.\n\n"
       "Args:\n    source_path: Path to source tokenizer.json\n"
       "    min_id: Only remove tokens with ID >= min_id (default: 0)\n\n"
       "Returns:\n    Dictionary with sync operation details"),

    method<+[](EditorState& state, py::handle tokens, py::handle whitelist) {
        std::vector<std::string> items = to_str_list(tokens, "tokens");
        std::vector<std::string> keep;
        if (whitelist && !whitelist.is_none()) keep = to_str_list(whitelist, "whitelist");
        KeepSizeReport report = add_tokens_keep_size(state, items, keep);
        py::dict result;
        result["initial_vocab_size"] = make_int(report.initial_vocab_size);
        result["final_vocab_size"] = make_int(report.final_vocab_size);
        result["tokens_requested"] = make_int(report.tokens_requested);
        result["tokens_added"] = make_int(report.tokens_added);
        result["tokens_removed"] = make_int(report.tokens_removed);
        return result;
    }>("add_tokens_keep_size", "tokens, whitelist=None", Borrow::kExclusive,
       "Add tokens while keeping vocabulary size fixed\n\n"
       "Adds new tokens and automatically removes other tokens to maintain\n"
       "the original vocabulary size.\n\n"
       "Args:\n    tokens: List of tokens to add\n"
       "    whitelist: Optional list of tokens that should never be removed\n\n"
       "Returns:\n    Dictionary with operation details"),

    method<+[](const EditorState& state) {
        GapReport gaps = check_vocab_gaps(state);
        return py::make_tuple(py::bool_(gaps.has_gaps), make_int(gaps.total_gaps), make_int(gaps.min_id),
                              make_int(gaps.max_id));
    }>("check_vocab_gaps", "", Borrow::kShared,
       "Check if vocabulary has gaps in its ID space\n\n"
       "Returns:\n    Tuple of (has_gaps, total_gaps, min_id, max_id)"),

    method<+[](EditorState& state) { return py::cast(reindex_vocab(state)); }>(
        "reindex_vocab", "", Borrow::kExclusive,
        "Reindex vocabulary to make all IDs sequential\n\n"
        "This removes all gaps in the vocabulary IDs, creating a dense/compact\n"
        "ID space. Tokens that already have correct sequential IDs (starting from 0)\n"
        "are preserved - only tokens after the first gap are remapped.\n\n"
        "Note: Merges don't contain IDs, they reference token strings,\n"
        "so they don't need to be updated.\n\n"
        "Returns:\n    ReindexResult with details about the reindexing operation"));

}  // namespace

void register_editor_class(py::module_& module) {
    py::class_<EditorObject> editor(module, "Vocarix", "Vocarix(path)\n--\n\nPython wrapper for Vocarix");
    auto* type = reinterpret_cast<PyTypeObject*>(editor.ptr());
    type->tp_new = new_editor;
    type->tp_init = nullptr;
    if (PyDict_DelItemString(type->tp_dict, "__init__") != 0) PyErr_Clear();
    PyType_Modified(type);

    install_rows(editor, kEditorMembers);
    editor.def("__repr__", &describe);
    editor.def("__str__", &describe);
}

}  // namespace vocarix::python
