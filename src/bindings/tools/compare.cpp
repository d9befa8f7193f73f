// Comparing two open tokenizers.
#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

#include "bindings/common/convert.hpp"
#include "bindings/common/editor_object.hpp"
#include "bindings/tools/result_lists.hpp"
#include "bindings/tools/tools_bindings.hpp"
#include "analysis/diff.hpp"

namespace vocarix::tools {
namespace {

namespace py = pybind11;
using python::EditorObject;
using python::make_int;
using python::make_str;

py::list tokens_with_ids(const std::vector<TokenWithId>& tokens) {
    py::list result(tokens.size());
    for (std::size_t k = 0; k < tokens.size(); ++k)
        result[k] = py::make_tuple(make_str(tokens[k].token), make_int(tokens[k].id));
    return result;
}

py::list value_changes(const std::vector<ValueChange>& changes) {
    py::list result(changes.size());
    for (std::size_t k = 0; k < changes.size(); ++k)
        result[k] = py::make_tuple(make_str(changes[k].name), python::make_optional_str(changes[k].before),
                                   python::make_optional_str(changes[k].after));
    return result;
}

py::dict diff(EditorObject& first, EditorObject& second) {
    python::SharedBorrow borrow_a(first);
    python::SharedBorrow borrow_b(second);
    DocumentDiff d = diff_documents(borrow_a.state(), borrow_b.state());
    py::list id_changed(d.id_changed.size());
    for (std::size_t k = 0; k < d.id_changed.size(); ++k)
        id_changed[k] = py::make_tuple(make_str(d.id_changed[k].token), make_int(d.id_changed[k].id_a),
                                       make_int(d.id_changed[k].id_b));
    py::list moved(d.merges_moved.size());
    for (std::size_t k = 0; k < d.merges_moved.size(); ++k) {
        const MovedMerge& merge = d.merges_moved[k];
        moved[k] = py::make_tuple(make_str(merge.left), make_str(merge.right), make_int(merge.position_a),
                                  make_int(merge.position_b));
    }
    py::dict result;
    result["only_in_a"] = tokens_with_ids(d.only_in_a);
    result["only_in_b"] = tokens_with_ids(d.only_in_b);
    result["id_changed"] = id_changed;
    result["common_tokens"] = make_int(d.common_tokens);
    result["merges_removed"] = positioned_merge_list(d.merges_removed);
    result["merges_added"] = positioned_merge_list(d.merges_added);
    result["merges_moved"] = moved;
    result["common_merges"] = make_int(d.common_merges);
    result["added_tokens_removed"] = value_changes(d.added_tokens_removed);
    result["added_tokens_added"] = value_changes(d.added_tokens_added);
    result["added_tokens_changed"] = value_changes(d.added_tokens_changed);
    result["added_tokens_reordered"] = d.added_tokens_reordered;
    result["model_changes"] = value_changes(d.model_changes);
    result["sections_changed"] = value_changes(d.sections_changed);
    return result;
}

}  // namespace

void register_compare(py::module_& module) {
    module.def("diff", &diff, py::arg("a"), py::arg("b"),
               "What differs from editor a to editor b: tokens, ids, merges, added tokens, settings, sections.");
}

}  // namespace vocarix::tools
