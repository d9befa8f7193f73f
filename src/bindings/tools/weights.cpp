// Model weights in safetensors files: their headers, the tensors with one row
// per token, and rewriting a file with those tensors re-sliced by a row plan.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "bindings/common/convert.hpp"
#include "bindings/common/unlocked_load.hpp"
#include "bindings/tools/tools_bindings.hpp"
#include "document/errors.hpp"
#include "weights/safetensors_format.hpp"
#include "weights/safetensors_rewrite.hpp"
#include "weights/vocabulary_tensors.hpp"
#include "weights/weights_error.hpp"

namespace vocarix::tools {
namespace {

namespace py = pybind11;
using python::make_int;
using python::make_str;
using python::raise;
using namespace vocarix::weights;

// A str or os.PathLike argument as a path.
std::string path_argument(py::handle object, const char* name) {
    if (!PyUnicode_Check(object.ptr()) && PyObject_HasAttrString(object.ptr(), "__fspath__"))
        return std::string(python::to_str(py::module_::import("os").attr("fspath")(object), name));
    return std::string(python::to_str(object, name));
}

// Runs `work` without the interpreter lock; weights and system failures
// become ValueError and OSError with one line, and an interrupt raises what
// the signal handler raised.
template <class Work>
auto unlocked(Work&& work) {
    try {
        py::gil_scoped_release released;
        return work();
    } catch (const ReadInterrupted&) {
        throw py::error_already_set();
    } catch (const WeightsError& error) {
        raise(PyExc_ValueError, error.what());
    } catch (const DocumentError& error) {
        raise(PyExc_OSError, std::string(error.what()) + (error.cause().empty() ? "" : ": " + error.cause()));
    }
}

py::list shape_list(const std::vector<std::uint64_t>& shape) {
    py::list list;
    for (std::uint64_t dimension : shape) list.append(make_int(dimension));
    return list;
}

py::dict header_dict(const SafetensorsHeader& header) {
    py::dict tensors;
    for (const TensorEntry& tensor : header.tensors) {
        py::dict entry;
        entry["dtype"] = make_str(dtype_name(tensor.dtype));
        entry["shape"] = shape_list(tensor.shape);
        entry["data_offsets"] = py::make_tuple(make_int(tensor.begin), make_int(tensor.end));
        tensors[make_str(tensor.name)] = entry;
    }
    py::object metadata = py::none();
    if (header.metadata) {
        py::dict pairs;
        for (const auto& [key, value] : *header.metadata) pairs[make_str(key)] = make_str(value);
        metadata = pairs;
    }
    py::dict result;
    result["tensors"] = tensors;
    result["metadata"] = metadata;
    result["header_size"] = make_int(header.header_size);
    result["data_size"] = make_int(header.data_size);
    return result;
}

py::dict safetensors_header(py::handle path_object) {
    std::string path = path_argument(path_object, "path");
    return header_dict(unlocked([&] { return read_safetensors_header(path); }));
}

// [(name, axis), ...] or {name: axis}.
std::vector<VocabularyTensor> tensor_list(py::handle object) {
    std::vector<VocabularyTensor> tensors;
    py::object items = py::isinstance<py::dict>(object) ? py::reinterpret_borrow<py::dict>(object).attr("items")()
                                                         : py::reinterpret_borrow<py::object>(object);
    for (py::handle item : items) {
        if (PyUnicode_Check(item.ptr()) || !py::isinstance<py::sequence>(item) || py::len(item) != 2)
            raise(PyExc_TypeError, "argument 'tensors': each entry must be a (name, axis) pair");
        py::sequence pair = py::reinterpret_borrow<py::sequence>(item);
        tensors.push_back({std::string(python::to_str(pair[0], "tensors")), python::to_u32(pair[1], "tensors")});
    }
    return tensors;
}

// One entry per new row: an int copies that old row, a list of ints is their
// mean, None the mean of every old row.
RowPlan row_plan(py::handle rows_object, py::handle old_rows_object) {
    RowPlan plan;
    plan.old_rows = python::to_u64(old_rows_object, "old_rows");
    for (py::handle entry : rows_object) {
        RowSource source;
        if (entry.is_none()) {
            source.kind = RowSource::Kind::kMeanOfAll;
        } else if (PyLong_Check(entry.ptr()) || PyIndex_Check(entry.ptr())) {
            source.rows.push_back(python::to_u64(entry, "plan_rows"));
        } else {
            source.kind = RowSource::Kind::kMean;
            for (py::handle row : entry) source.rows.push_back(python::to_u64(row, "plan_rows"));
        }
        plan.rows.push_back(std::move(source));
    }
    return plan;
}

py::dict rewrite(py::handle source_object, py::handle target_object, py::handle tensors_object,
                 py::handle rows_object, py::handle old_rows_object) {
    std::string source = path_argument(source_object, "source");
    std::string target = path_argument(target_object, "target");
    std::vector<VocabularyTensor> tensors = tensor_list(tensors_object);
    RowPlan plan = row_plan(rows_object, old_rows_object);
    RewriteReport report = unlocked([&] {
        return rewrite_safetensors(source, target, tensors, plan, RewriteOptions{.keep_going = python::no_signal_raised});
    });
    py::list resized;
    for (const std::string& name : report.resized) resized.append(make_str(name));
    py::dict result;
    result["bytes_written"] = make_int(report.bytes_written);
    result["resized"] = resized;
    result["tensors_copied"] = make_int(report.tensors_copied);
    result["header_kept"] = report.header_kept;
    result["header"] = header_dict(report.header);
    return result;
}

const char* role_name(TensorRole role) {
    switch (role) {
        case TensorRole::kInputEmbedding: return "input_embedding";
        case TensorRole::kOutputHead: return "output_head";
        case TensorRole::kHeadBias: return "head_bias";
        case TensorRole::kLogitsBias: return "logits_bias";
        case TensorRole::kUnrecognised: break;
    }
    return "unrecognised";
}

py::list found_list(const std::vector<FoundTensor>& found) {
    py::list list;
    for (const FoundTensor& tensor : found) {
        py::dict entry;
        entry["file"] = make_str(tensor.file);
        entry["name"] = make_str(tensor.name);
        entry["axis"] = tensor.axis;
        entry["rows"] = make_int(tensor.rows);
        entry["role"] = role_name(tensor.role);
        list.append(entry);
    }
    return list;
}

py::dict vocabulary_tensors(py::handle files_object, py::handle rows_object) {
    std::vector<std::string> paths;
    for (py::handle file : files_object) paths.push_back(path_argument(file, "files"));
    std::optional<std::uint64_t> rows;
    if (!rows_object.is_none()) rows = python::to_u64(rows_object, "rows");
    VocabularyTensorSearch search = unlocked([&] {
        std::vector<WeightsFile> files;
        for (const std::string& path : paths) files.push_back({path, read_safetensors_header(path)});
        return find_vocabulary_tensors(files, rows);
    });
    py::dict result;
    result["rows"] = make_int(search.rows);
    result["edited"] = found_list(search.edited);
    result["unrecognised"] = found_list(search.unrecognised);
    result["mismatched"] = found_list(search.mismatched);
    return result;
}

}  // namespace

void register_weights(py::module_& module) {
    module.def("safetensors_header", &safetensors_header, py::arg("path"),
               "The checked header of a safetensors file: tensors (in data order) with dtype, shape and\n"
               "data_offsets, metadata (or None), header_size and data_size. ValueError when the file lies,\n"
               "OSError when it cannot be read.");
    module.def("rewrite_safetensors", &rewrite, py::arg("source"), py::arg("target"), py::arg("tensors"),
               py::arg("plan_rows"), py::arg("old_rows"),
               "Write `target` from `source` with the (name, axis) tensors re-sliced: one plan entry per new row,\n"
               "an int copying that old row, a list of ints their float32 mean, None the mean of all rows.\n"
               "Every other tensor is copied as bytes; the file is written beside `target` and renamed over it.\n"
               "Returns bytes_written, resized, tensors_copied, header_kept and the new header.");
    module.def("vocabulary_tensors", &vocabulary_tensors, py::arg("files"), py::arg("rows") = py::none(),
               "The tensors of these safetensors files with one row per token (`rows`, or the input\n"
               "embedding's rows): edited (recognised), unrecognised (vocabulary-sized, name unknown) and\n"
               "mismatched (a strong name with other rows), each a dict of file, name, axis, rows and role.");
}

}  // namespace vocarix::tools
