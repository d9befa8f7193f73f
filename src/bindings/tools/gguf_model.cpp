// GGUF model files: opening one as an editor, planning the write after an
// edit (or after taking a folder's tokenizer), and writing it, converted to
// plain Python values.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "bindings/common/convert.hpp"
#include "bindings/common/editor_object.hpp"
#include "bindings/common/unlocked_load.hpp"
#include "bindings/tools/tools_bindings.hpp"
#include "document/errors.hpp"
#include "formats/gguf/gguf_error.hpp"
#include "gguf_model/gguf_edit.hpp"
#include "state/loading.hpp"
#include "weights/weights_error.hpp"

namespace vocarix::tools {
namespace {

namespace py = pybind11;
using python::EditorObject;
using python::make_int;
using python::make_str;
using python::raise;

// A file that lies or cannot be edited is a ValueError; one that cannot be read or written an OSError.
template <class Work>
auto gguf_errors(Work&& work) -> decltype(work()) {
    try {
        return work();
    } catch (const gguf::GgufError& error) {
        raise(PyExc_ValueError, error.what());
    } catch (const weights::WeightsError& error) {
        raise(PyExc_ValueError, error.what());
    } catch (const ParseError& error) {
        raise(PyExc_ValueError, std::string("the tokenizer it carries cannot be read: ") + error.what());
    } catch (const DocumentError& error) {
        raise(PyExc_OSError, error.cause().empty() ? error.what() : std::string(error.what()) + ": " + error.cause());
    } catch (const ReadInterrupted&) {
        throw py::error_already_set();
    }
}

py::list str_items(const std::vector<std::string>& items) {
    py::list list;
    for (const std::string& item : items) list.append(make_str(item));
    return list;
}

py::tuple open_gguf(const std::string& path) {
    gguf_model::GgufModel model;
    std::unique_ptr<EditorState> state;
    gguf_errors([&] {
        py::gil_scoped_release unlocked;
        model = gguf_model::read_gguf_model(path);
        state = parse_tokenizer_text(gguf_model::tokenizer_document(model.tokenizer), ReadMode::kLenient);
        finish_loaded_document(*state);
        return 0;
    });
    py::dict contents;
    contents["files"] = str_items(model.files);
    contents["model"] = make_str(model.tokenizer.model);
    contents["pre"] = make_str(model.tokenizer.pre);
    contents["tokens"] = make_int(model.tokenizer.tokens.size());
    contents["rows"] = make_int(model.rows);
    std::vector<std::string> tensors;
    for (const auto& [shard, name] : model.vocabulary_tensors) tensors.push_back(name);
    contents["vocabulary_tensors"] = str_items(tensors);
    return py::make_tuple(py::cast(std::move(model)), py::cast(EditorObject{std::move(state)}), contents);
}

std::optional<std::uint32_t> optional_id(py::handle value, const char* what) {
    if (value.is_none()) return std::nullopt;
    return python::to_u32(value, what);
}

// An id map as vocarix_tools writes it: rows_before, rows_after, old_to_new {str(id): id or None}, added {token: {id, from}}.
IdRemap remap_from_dict(py::handle map) {
    IdRemap remap;
    remap.rows_before = python::to_u64(map["rows_before"], "rows_before");
    remap.rows_after = python::to_u64(map["rows_after"], "rows_after");
    for (auto [key, value] : map["old_to_new"].cast<py::dict>()) {
        std::uint32_t old_id = python::to_u32(py::int_(py::reinterpret_borrow<py::object>(key)), "old_to_new");
        remap.old_to_new.emplace_back(old_id, optional_id(value, "old_to_new"));
    }
    std::sort(remap.old_to_new.begin(), remap.old_to_new.end());
    for (auto [token, entry] : map["added"].cast<py::dict>()) {
        NewToken added{std::string(python::to_str(token, "added")), python::to_u32(entry["id"], "id"), {}};
        for (py::handle piece : entry["from"]) added.from.push_back(python::to_u32(piece, "from"));
        remap.added.push_back(std::move(added));
    }
    std::sort(remap.added.begin(), remap.added.end(), [](const NewToken& a, const NewToken& b) { return a.id < b.id; });
    return remap;
}

struct GgufPlan {
    py::object model;
    gguf_model::GgufEdit edit;
};

py::dict edit_summary(const gguf_model::GgufEdit& edit) {
    py::dict result;
    py::dict rows;
    rows["tokens_before"] = make_int(edit.rows.tokens_before);
    rows["rows_before"] = make_int(edit.rows.rows_before);
    rows["tokens_after"] = make_int(edit.rows.tokens_after);
    rows["rows_after"] = make_int(edit.rows.rows_after);
    rows["multiple"] = make_int(edit.rows.multiple);
    result["rows"] = rows;
    result["tensors_resized"] = str_items(edit.resized);
    py::list changes;
    for (const gguf_model::KeyChange& change : edit.changes) {
        py::dict item;
        item["key"] = make_str(change.key);
        item["before"] = make_str(change.before);
        item["after"] = make_str(change.after);
        changes.append(item);
    }
    result["changes"] = changes;
    result["special_tokens_removed"] = str_items(edit.removed_special);
    result["placeholders"] = make_int(edit.placeholders);
    result["rows_of_other_tokens"] = make_int(edit.rows_of_other_tokens);
    return result;
}

GgufPlan plan(py::object model_object, py::handle start, EditorObject& editor, py::handle id_map, bool force) {
    const auto& model = model_object.cast<const gguf_model::GgufModel&>();
    python::SharedBorrow borrow(editor);
    std::optional<IdRemap> remap;
    if (!id_map.is_none()) remap = remap_from_dict(id_map);
    const EditStart* from = start.is_none() ? nullptr : &start.cast<const EditStart&>();
    return gguf_errors([&] {
        return GgufPlan{model_object, gguf_model::plan_gguf_edit(model, from, std::move(remap), borrow.state(), force)};
    });
}

py::list write(const GgufPlan& plan, py::handle target) {
    const auto& model = plan.model.cast<const gguf_model::GgufModel&>();
    std::string path = target.is_none() ? std::string() : std::string(python::to_str(target, "target"));
    std::vector<std::string> written = gguf_errors([&] {
        py::gil_scoped_release unlocked;
        file_sets::WriteOptions options;
        options.keep_going = python::no_signal_raised;
        options.lock_wait.keep_going = python::no_signal_raised;
        return gguf_model::write_gguf_model(model, plan.edit, path, options);
    });
    return str_items(written);
}

}  // namespace

void register_gguf_model(py::module_& module) {
    py::class_<gguf_model::GgufModel>(module, "GgufFiles", "A GGUF model as read: its files, headers and tokenizer.")
        .def("output_paths", [](const gguf_model::GgufModel& model, const std::string& target) {
            return str_items(gguf_model::output_paths(model, target));
        });
    module.def("open_gguf", &open_gguf, py::arg("path"),
               "Read a GGUF model file (and its other shards): (files, editor of its tokenizer, contents).");
    py::class_<GgufPlan>(module, "GgufEditPlan", "What writing a GGUF model after an edit changes.")
        .def_property_readonly("summary", [](const GgufPlan& plan) { return edit_summary(plan.edit); });
    module.def("plan_gguf_edit", &plan, py::arg("model"), py::arg("start"), py::arg("editor"),
               py::arg("id_map") = py::none(), py::arg("force") = false,
               "Work out the GGUF written after the edit since `start` (or by `id_map`; neither: rows kept).");
    module.def("write_gguf_model", &write, py::arg("plan"), py::arg("target") = py::none(),
               "Write the planned model to `target` (in place when None); returns the paths written.");
}

}  // namespace vocarix::tools
