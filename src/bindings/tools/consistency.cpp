// Runtime consistency: the check, the repairs, pinning added tokens, and id
// maps across an edit, converted to plain Python values.
#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "bindings/common/convert.hpp"
#include "bindings/common/editor_object.hpp"
#include "bindings/tools/tools_bindings.hpp"
#include "operations/workflows/consistency_check.hpp"
#include "analysis/id_remap.hpp"

namespace vocarix::tools {
namespace {

namespace py = pybind11;
using python::EditorObject;
using python::make_int;
using python::make_str;

using python::make_optional_int;

py::list merge_list(const std::vector<MergeProblem>& problems) {
    py::list list;
    for (const MergeProblem& problem : problems) {
        py::dict item;
        item["position"] = make_int(problem.position);
        item["left"] = make_str(problem.left);
        item["right"] = make_str(problem.right);
        item["reason"] = make_str(problem.reason);
        item["missing"] = make_str(problem.missing);
        list.append(item);
    }
    return list;
}

py::list added_id_list(const std::vector<AddedIdProblem>& problems) {
    py::list list;
    for (const AddedIdProblem& problem : problems) {
        py::dict item;
        item["position"] = make_int(problem.position);
        item["content"] = make_str(problem.content);
        item["stored_id"] = make_optional_int(problem.stored_id);
        item["runtime_id"] = make_int(problem.runtime_id);
        list.append(item);
    }
    return list;
}

py::list change_list(const std::vector<IdChange>& changes) {
    py::list list;
    for (const IdChange& change : changes) {
        py::dict item;
        item["where"] = make_str(change.where);
        item["token"] = make_str(change.token);
        item["old_id"] = make_optional_int(change.old_id);
        item["new_id"] = make_int(change.new_id);
        list.append(item);
    }
    return list;
}

py::dict runtime_view(EditorObject& editor) {
    python::SharedBorrow borrow(editor);
    RuntimeIds view = runtime_ids(borrow.state());
    py::dict result;
    py::dict tokens;
    for (const auto& [token, id] : view.tokens) tokens[make_str(token)] = make_int(id);
    result["tokens"] = tokens;
    py::list added;
    for (const RuntimeAddedToken& token : view.added) {
        py::dict item;
        item["position"] = make_int(token.position);
        item["content"] = make_str(token.content);
        item["stored_id"] = make_optional_int(token.stored_id);
        item["runtime_id"] = make_int(token.runtime_id);
        item["in_vocab"] = token.in_vocab;
        added.append(item);
    }
    result["added"] = added;
    result["rows"] = make_int(view.rows);
    result["vocab_size"] = make_int(view.vocab_size);
    return result;
}

py::list added_token_contents(EditorObject& editor) {
    python::SharedBorrow borrow(editor);
    py::list contents;
    for (const RuntimeAddedToken& token : runtime_added_tokens(borrow.state())) contents.append(make_str(token.content));
    return contents;
}

py::dict check(EditorObject& editor) {
    python::SharedBorrow borrow(editor);
    ConsistencyReport report = check_consistency(borrow.state());
    py::dict result;
    result["clean"] = report.clean();
    result["merges_as_object"] = report.merges_as_object;
    result["merges"] = merge_list(report.merges);
    py::list malformed;
    for (const auto& [position, problem] : report.malformed_added) {
        py::dict item;
        item["position"] = make_int(position);
        item["problem"] = make_str(problem);
        malformed.append(item);
    }
    result["malformed_added_tokens"] = malformed;
    result["added_ids"] = added_id_list(report.added_ids);
    result["renumbered"] = added_id_list(report.renumbered);
    py::list shared;
    for (const SharedId& id : report.shared_ids) {
        py::dict item;
        item["id"] = make_int(id.id);
        py::list tokens;
        for (const std::string& token : id.tokens) tokens.append(make_str(token));
        item["tokens"] = tokens;
        shared.append(item);
    }
    result["shared_ids"] = shared;
    py::list references;
    for (const ReferenceProblem& problem : report.references) {
        py::dict item;
        item["where"] = make_str(problem.where);
        item["token"] = make_str(problem.token);
        item["stated"] = make_optional_int(problem.stated);
        item["runtime_id"] = make_optional_int(problem.runtime_id);
        references.append(item);
    }
    result["references"] = references;
    result["rows"] = make_int(report.rows);
    result["vocab_size"] = make_int(report.vocab_size);
    result["outside_vocab"] = make_int(report.outside_vocab);
    return result;
}

py::list pinned_list(const std::vector<PinnedToken>& pinned) {
    py::list list;
    for (const PinnedToken& token : pinned) {
        py::dict item;
        item["content"] = make_str(token.content);
        item["id"] = make_int(token.id);
        item["id_before"] = make_optional_int(token.id_before);
        list.append(item);
    }
    return list;
}

py::dict repairs_dict(const RepairReport& report) {
    py::dict result;
    result["merges_made_list"] = report.merges_made_list;
    result["merges_removed"] = merge_list(report.merges_removed);
    result["pinned"] = pinned_list(report.pinned);
    py::list moved;
    for (const auto& [token, id] : report.new_entries_moved) {
        py::dict item;
        item["token"] = make_str(token);
        item["id"] = make_int(id);
        moved.append(item);
    }
    result["new_entries_moved"] = moved;
    result["added_ids"] = change_list(report.added_ids);
    result["references"] = change_list(report.references);
    return result;
}

EditStart edit_start(EditorObject& editor, bool keep_model) {
    python::SharedBorrow borrow(editor);
    return record_edit_start(borrow.state(), keep_model);
}

py::dict make_loadable_with(EditorObject& editor, const EditStart& start) {
    python::ExclusiveBorrow borrow(editor);
    return repairs_dict(make_loadable(borrow.state(), start.ids));
}

py::dict fix(EditorObject& editor) {
    python::ExclusiveBorrow borrow(editor);
    RuntimeIds own = runtime_ids(borrow.state());
    return repairs_dict(make_loadable(borrow.state(), own));
}

py::dict id_map(const EditStart& start, EditorObject& editor) {
    python::SharedBorrow borrow(editor);
    IdRemap remap = remap_ids(start, borrow.state());
    py::dict result;
    result["rows_before"] = make_int(remap.rows_before);
    result["rows_after"] = make_int(remap.rows_after);
    py::dict old_to_new;
    for (const auto& [old_id, new_id] : remap.old_to_new)
        old_to_new[py::str(std::to_string(old_id))] = make_optional_int(new_id);
    result["old_to_new"] = old_to_new;
    py::dict added;
    for (const NewToken& token : remap.added) {
        py::dict entry;
        entry["id"] = make_int(token.id);
        py::list from;
        for (std::uint32_t id : token.from) from.append(make_int(id));
        entry["from"] = from;
        added[make_str(token.token)] = entry;
    }
    result["added"] = added;
    return result;
}

}  // namespace

void register_consistency(py::module_& module) {
    py::class_<EditStart>(module, "EditStart",
                          "The runtime's ids of a document when an edit began (and, if kept, a copy of its model).")
        .def_property_readonly("rows", [](const EditStart& start) { return make_int(start.ids.rows); })
        .def_property_readonly("added_tokens", [](const EditStart& start) {
            py::list contents;
            for (const RuntimeAddedToken& token : start.ids.added) contents.append(make_str(token.content));
            return contents;
        });
    module.def("runtime_ids", &runtime_view, py::arg("editor"),
               "The ids a tokenizer runtime gives the editor's tokens: every token it knows, the added tokens, rows.");
    module.def("added_tokens", &added_token_contents, py::arg("editor"),
               "The contents of the added tokens the runtime takes, in list order.");
    module.def("check", &check, py::arg("editor"),
               "Every way a tokenizer runtime would read the editor's document otherwise than it states, "
               "or refuse it.");
    module.def("edit_start", &edit_start, py::arg("editor"), py::arg("keep_model") = false,
               "Record the runtime's ids before an edit; keep_model also keeps a copy to split new tokens with.");
    module.def("make_loadable", &make_loadable_with, py::arg("editor"), py::arg("start"),
               "Repair what the check reports, pinning added tokens the edit since `start` would move.");
    module.def("fix", &fix, py::arg("editor"), "Repair what the check reports in an unedited document.");
    module.def("id_map", &id_map, py::arg("start"), py::arg("editor"),
               "Where each id of the document at `start` went, and the pieces each new token starts from.");
}

}  // namespace vocarix::tools
