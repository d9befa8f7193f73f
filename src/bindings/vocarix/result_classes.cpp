// The read-only result classes. Every attribute read converts the stored
// value anew, so a returned list can be changed without touching the record.
#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "operations/exact/results.hpp"
#include "bindings.hpp"
#include "bindings/common/convert.hpp"

namespace vocarix::python {
namespace {

// Result objects come only from the editor: calling the class is refused.
PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
    std::string_view name = type->tp_name;
    name = name.substr(name.rfind('.') + 1);
    std::string message = "No constructor defined for " + std::string(name);
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return nullptr;
}

template <class Record>
py::class_<Record> result_class(py::module_& module, const char* name, const char* doc) {
    py::class_<Record> cls(module, name, doc);
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    type->tp_new = refuse_construction;
    // The class offers its attributes and nothing else.
    if (PyDict_DelItemString(type->tp_dict, "__init__") != 0) PyErr_Clear();
    PyType_Modified(type);
    return cls;
}

// Attributes carry no documentation text.
template <class Record>
void clear_attribute_docs(py::class_<Record>& cls) {
    PyObject* dict = reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict;
    PyObject *key, *value;
    Py_ssize_t position = 0;
    while (PyDict_Next(dict, &position, &key, &value))
        if (PyObject_TypeCheck(value, &PyProperty_Type)) py::setattr(value, "__doc__", py::none());
}

py::list string_pairs(const std::vector<StringPair>& pairs) {
    py::list list(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i)
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i),
                        py::make_tuple(make_str(pairs[i].first), make_str(pairs[i].second)).release().ptr());
    return list;
}

template <class Record, class Field>
void add_int(py::class_<Record>& cls, const char* name, Field Record::*field) {
    cls.def_property_readonly(name, [field](const Record& record) { return make_int(record.*field); });
}

}  // namespace

void register_result_classes(py::module_& module) {
    auto validation = result_class<ValidationResult>(module, "ValidationResult", "Result of validating merges");
    add_int(validation, "valid_count", &ValidationResult::valid_count);
    add_int(validation, "invalid_count", &ValidationResult::invalid_count);
    validation.def_property_readonly(
        "invalid_merges",
        [](const ValidationResult& record) {
            py::list list;
            for (const InvalidMerge& merge : record.invalid_merges)
                list.append(py::make_tuple(make_int(merge.position), make_str(merge.left), make_str(merge.right)));
            return list;
        });

    auto addition = result_class<AdditionResult>(module, "AdditionResult", "Result of token addition");
    addition.def_property_readonly("token", [](const AdditionResult& r) { return make_str(r.token); });
    addition.def_property_readonly("added", [](const AdditionResult& r) { return py::bool_(r.added); });
    addition.def_property_readonly("method", [](const AdditionResult& r) { return make_str(r.method); });
    addition.def_property_readonly(
        "added_merges", [](const AdditionResult& r) { return string_pairs(r.added_merges); });

    auto removal = result_class<RemovalResult>(module, "RemovalResult", "Result of token removal");
    removal.def_property_readonly("root_token", [](const RemovalResult& r) { return make_str(r.root_token); });
    removal.def_property_readonly(
        "removed_tokens",
        [](const RemovalResult& r) {
            py::list list(r.removed_tokens.size());
            for (std::size_t i = 0; i < r.removed_tokens.size(); ++i)
                PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), make_str(r.removed_tokens[i]).release().ptr());
            return list;
        });
    removal.def_property_readonly(
        "removed_merges", [](const RemovalResult& r) { return string_pairs(r.removed_merges); });

    auto shrink = result_class<ShrinkResult>(module, "ShrinkResult", "Result of shrink operation");
    add_int(shrink, "initial_vocab_size", &ShrinkResult::initial_vocab_size);
    add_int(shrink, "initial_merges_count", &ShrinkResult::initial_merges_count);
    add_int(shrink, "final_vocab_size", &ShrinkResult::final_vocab_size);
    add_int(shrink, "final_merges_count", &ShrinkResult::final_merges_count);
    add_int(shrink, "tokens_removed_count", &ShrinkResult::tokens_removed_count);
    add_int(shrink, "total_tokens_removed", &ShrinkResult::total_tokens_removed);
    add_int(shrink, "total_merges_removed", &ShrinkResult::total_merges_removed);

    auto stats = result_class<TokenizerStats>(module, "TokenizerStats", "Tokenizer statistics");
    add_int(stats, "vocab_size", &TokenizerStats::vocab_size);
    add_int(stats, "merges_count", &TokenizerStats::merges_count);
    add_int(stats, "single_char_count", &TokenizerStats::single_char_count);
    add_int(stats, "special_token_count", &TokenizerStats::special_token_count);
    add_int(stats, "min_token_id", &TokenizerStats::min_token_id);
    add_int(stats, "max_token_id", &TokenizerStats::max_token_id);
    stats.def_property_readonly(
        "length_distribution",
        [](const TokenizerStats& record) {
            py::list list;
            for (auto [length, count] : record.length_distribution)
                list.append(py::make_tuple(make_int(length), make_int(count)));
            return list;
        });

    auto reindex = result_class<ReindexResult>(module, "ReindexResult", "Result of reindex operation");
    add_int(reindex, "vocab_size", &ReindexResult::vocab_size);
    add_int(reindex, "merges_count", &ReindexResult::merges_count);
    add_int(reindex, "old_min_id", &ReindexResult::old_min_id);
    add_int(reindex, "old_max_id", &ReindexResult::old_max_id);
    add_int(reindex, "new_min_id", &ReindexResult::new_min_id);
    add_int(reindex, "new_max_id", &ReindexResult::new_max_id);
    add_int(reindex, "ids_remapped", &ReindexResult::ids_remapped);
    add_int(reindex, "gaps_removed", &ReindexResult::gaps_removed);

    clear_attribute_docs(validation);
    clear_attribute_docs(addition);
    clear_attribute_docs(removal);
    clear_attribute_docs(shrink);
    clear_attribute_docs(stats);
    clear_attribute_docs(reindex);
}

}  // namespace vocarix::python
