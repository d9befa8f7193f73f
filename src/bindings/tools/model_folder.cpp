// Model folders: reading one, checking it against its tokenizer, and
// writing it after an edit, converted to plain Python values.
#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

#include "analysis/id_remap.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/editor_object.hpp"
#include "bindings/common/unlocked_load.hpp"
#include "bindings/tools/tools_bindings.hpp"
#include "document/errors.hpp"
#include "model_folder/chat_templates.hpp"
#include "model_folder/folder_check.hpp"
#include "model_folder/folder_edit.hpp"
#include "model_folder/folder_write.hpp"
#include "weights/weights_error.hpp"

namespace vocarix::tools {
namespace {

namespace py = pybind11;
using python::EditorObject;
using python::make_int;
using python::make_str;
using python::raise;

// A folder as read, with the fingerprint of its tokenizer as the editor
// held it then, to tell whether an edit changed it.
struct FolderHandle {
    folder::ModelFolder folder;
    std::size_t tokenizer_fingerprint = 0;
};

// Runs `work`, turning the core's failures into Python errors: a folder or
// weights file that cannot be used is a ValueError, a file that cannot be
// read or written an OSError.
template <class Work>
auto converting_errors(Work&& work) -> decltype(work()) {
    try {
        return work();
    } catch (const folder::FolderError& error) {
        raise(PyExc_ValueError, error.what());
    } catch (const weights::WeightsError& error) {
        raise(PyExc_ValueError, error.what());
    } catch (const DocumentError& error) {
        raise(PyExc_OSError, error.cause().empty() ? error.what() : std::string(error.what()) + ": " + error.cause());
    } catch (const ReadInterrupted&) {
        throw py::error_already_set();
    }
}

// A list of dicts, one per item, each filled by `fill(dict, item)`.
template <class Item, class Fill>
py::list dict_list(const std::vector<Item>& items, Fill&& fill) {
    py::list list;
    for (const Item& item : items) {
        py::dict entry;
        fill(entry, item);
        list.append(entry);
    }
    return list;
}

py::list str_list(const std::vector<std::string>& items) {
    py::list list;
    for (const std::string& item : items) list.append(make_str(item));
    return list;
}

FolderHandle open_folder(const std::string& path, EditorObject& editor) {
    python::SharedBorrow borrow(editor);
    return converting_errors([&] {
        return FolderHandle{folder::read_model_folder(path), folder::tokenizer_fingerprint(borrow.state())};
    });
}

py::dict contents(const FolderHandle& handle) {
    const folder::ModelFolder& folder = handle.folder;
    py::dict result;
    result["path"] = make_str(folder.path);
    result["files"] = str_list(folder.files);
    result["subdirectories"] = str_list(folder.subdirectories);
    std::vector<std::string> configs, weights;
    for (const folder::ConfigText* config : folder.configs()) configs.push_back(config->name());
    for (const weights::WeightsFile& file : folder.weights) weights.push_back(file.file);
    result["configs"] = str_list(configs);
    result["weights"] = str_list(weights);
    result["foreign_weights"] = str_list(folder.foreign_weights);
    result["nested_weights"] = str_list(folder.nested_weights);
    std::vector<std::string> readers;
    const folder::ReaderFileContents& files = folder.readers;
    for (auto [present, name] : {std::pair{files.vocab.has_value(), folder::kVocabJsonFile},
                                 {files.merges.has_value(), folder::kMergesTextFile},
                                 {files.added_tokens.has_value(), folder::kAddedTokensJsonFile},
                                 {files.model.has_value(), folder::kSentencePieceModelFile}})
        if (present) readers.emplace_back(name);
    result["reader_files"] = str_list(readers);
    return result;
}

py::list check_folder(const FolderHandle& handle, EditorObject& editor) {
    python::SharedBorrow borrow(editor);
    std::vector<folder::FolderProblem> problems =
        converting_errors([&] { return folder::check_model_folder(handle.folder, borrow.state()); });
    return dict_list(problems, [](py::dict& item, const folder::FolderProblem& problem) {
        item["file"] = make_str(problem.file);
        item["field"] = make_str(problem.field);
        item["message"] = make_str(problem.message);
        item["repairable"] = problem.repairable;
        item["warning"] = problem.warning;
    });
}

py::list named_tokens(const FolderHandle& handle, EditorObject& editor) {
    python::SharedBorrow borrow(editor);
    std::vector<folder::NamedByFolder> named =
        converting_errors([&] { return folder::tokens_named_by_folder(handle.folder, borrow.state()); });
    return dict_list(named, [](py::dict& item, const folder::NamedByFolder& token) {
        item["token"] = make_str(token.token);
        item["file"] = make_str(token.file);
        item["field"] = make_str(token.field);
    });
}

folder::FolderEditOptions edit_options(py::handle pad_to_multiple_of, bool repair) {
    folder::FolderEditOptions options;
    if (!pad_to_multiple_of.is_none()) options.pad_to_multiple_of = python::to_u64(pad_to_multiple_of, "pad_to_multiple_of");
    options.repair = repair;
    return options;
}

py::dict edit_dict(const FolderHandle& handle, const folder::FolderEdit& edit) {
    py::dict result;
    py::dict rows;
    rows["tokens_before"] = make_int(edit.rows.tokens_before);
    rows["rows_before"] = make_int(edit.rows.rows_before);
    rows["tokens_after"] = make_int(edit.rows.tokens_after);
    rows["rows_after"] = make_int(edit.rows.rows_after);
    rows["multiple"] = make_int(edit.rows.multiple);
    result["rows"] = rows;
    std::vector<std::string> tensors;
    for (const folder::WeightsFileEdit& file : edit.weights)
        for (const weights::VocabularyTensor& tensor : file.tensors) tensors.push_back(file.file + ": " + tensor.name);
    result["tensors_resized"] = str_list(tensors);
    result["files_changed"] = str_list(folder::files_changed(handle.folder, edit));
    result["changes"] = dict_list(edit.changes, [](py::dict& item, const folder::FieldChange& change) {
        item["file"] = make_str(change.file);
        item["field"] = make_str(change.field);
        item["before"] = make_str(change.before);
        item["after"] = make_str(change.after);
    });
    result["special_tokens_removed"] =
        dict_list(edit.removed_special_tokens, [](py::dict& item, const folder::RemovedSpecialToken& token) {
            item["file"] = make_str(token.file);
            item["field"] = make_str(token.field);
            item["token"] = make_str(token.token);
        });
    result["notes"] = str_list(edit.notes);
    py::list removed;
    for (const folder::ReaderFileEdit& file : edit.reader_files) {
        if (file.content) continue;
        py::dict item;
        item["file"] = make_str(file.file);
        item["reason"] = make_str(file.why_removed);
        removed.append(item);
    }
    result["files_removed"] = removed;
    return result;
}

// A folder edit worked out for the tokenizer as it was then; it keeps its
// folder alive, since the edit points into the folder's configs.
struct FolderPlan {
    py::object folder;
    folder::FolderEdit edit;
    std::size_t tokenizer_fingerprint = 0;
};

FolderPlan plan(py::object folder_object, const EditStart& start, EditorObject& editor,
                py::handle pad_to_multiple_of, bool repair) {
    folder::FolderEditOptions options = edit_options(pad_to_multiple_of, repair);
    const FolderHandle& handle = folder_object.cast<const FolderHandle&>();
    python::SharedBorrow borrow(editor);
    return converting_errors([&] {
        std::size_t fingerprint = folder::tokenizer_fingerprint(borrow.state());
        bool changed = fingerprint != handle.tokenizer_fingerprint;
        return FolderPlan{folder_object, folder::plan_folder_edit(handle.folder, start, borrow.state(), changed, options),
                          fingerprint};
    });
}

py::dict write(const FolderPlan& plan, EditorObject& editor, py::handle out_dir) {
    const FolderHandle& handle = plan.folder.cast<const FolderHandle&>();
    std::string target = out_dir.is_none() ? std::string() : std::string(python::to_str(out_dir, "out_dir"));
    python::SharedBorrow borrow(editor);
    folder::FolderWriteReport report = converting_errors([&] {
        if (folder::tokenizer_fingerprint(borrow.state()) != plan.tokenizer_fingerprint)
            throw folder::FolderError("the tokenizer changed after the folder edit was planned: plan it again");
        // The borrow keeps the editor from changing while other threads run.
        py::gil_scoped_release unlocked;
        file_sets::WriteOptions options;
        options.keep_going = python::no_signal_raised;
        options.lock_wait.keep_going = python::no_signal_raised;
        return folder::write_model_folder(handle.folder, plan.edit, borrow.state(), target, options);
    });
    py::dict result = edit_dict(handle, plan.edit);
    result["written_to"] = make_str(report.written_to);
    result["rewritten"] = str_list(report.rewritten);
    result["copied"] = str_list(report.copied);
    return result;
}

void check_output(const FolderHandle& handle, const std::string& out_dir) {
    converting_errors([&] { folder::check_output_folder(handle.folder, out_dir); });
}

}  // namespace

void register_model_folder(py::module_& module) {
    py::class_<FolderHandle>(module, "ModelFolderFiles",
                             "A model folder as read: its files, configs and weight headers.")
        .def_property_readonly("contents", &contents);
    module.def("read_model_folder", &open_folder, py::arg("path"), py::arg("editor"),
               "Read the model folder at `path`, whose tokenizer.json `editor` holds as loaded.");
    module.def("folder_named_tokens", &named_tokens, py::arg("folder"), py::arg("editor"),
               "The tokens the folder's configs and chat templates name, which workflows spare.");
    module.def("check_model_folder", &check_folder, py::arg("folder"), py::arg("editor"),
               "Every disagreement between the folder's files and the tokenizer in `editor`.");
    py::class_<FolderPlan>(module, "FolderEditPlan",
                           "What writing a model folder after an edit changes, worked out before anything is written.")
        .def_property_readonly("summary", [](const FolderPlan& plan) {
            return edit_dict(plan.folder.cast<const FolderHandle&>(), plan.edit);
        });
    module.def("plan_folder_edit", &plan, py::arg("folder"), py::arg("start"), py::arg("editor"),
               py::arg("pad_to_multiple_of") = py::none(), py::arg("repair") = false,
               "Work out what writing the folder after the edit since `start` changes.");
    module.def("write_model_folder", &write, py::arg("plan"), py::arg("editor"), py::arg("out_dir") = py::none(),
               "Write the planned folder: to `out_dir`, or in place when None.");
    module.def("check_output_folder", &check_output, py::arg("folder"), py::arg("out_dir"),
               "Refuse an output folder that is the input, is not empty, or has no parent directory.");
}

}  // namespace vocarix::tools
