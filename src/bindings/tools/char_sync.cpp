// Character sync from a source editor that is already open, so that the
// source may be in any form the lenient reader takes.
#include <pybind11/pybind11.h>

#include "bindings/common/convert.hpp"
#include "bindings/common/editor_object.hpp"
#include "bindings/tools/tools_bindings.hpp"
#include "operations/char_sync.hpp"

namespace vocarix::tools {
namespace {

namespace py = pybind11;
using python::EditorObject;
using python::make_int;

py::dict sync_single_chars_from(EditorObject& editor, EditorObject& source, py::handle min_id) {
    if (&editor == &source) python::raise(PyExc_ValueError, "the source must be another editor");
    python::ExclusiveBorrow target(editor);
    python::SharedBorrow from(source);
    std::uint32_t lowest_id = min_id.is_none() ? 0 : python::to_u32(min_id, "min_id");
    SyncReport report = sync_single_chars(target.state(), from.state(), lowest_id, write_to_stderr);
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

void register_char_sync(py::module_& module) {
    module.def("sync_single_chars", &sync_single_chars_from, py::arg("editor"), py::arg("source"),
               py::arg("min_id") = py::none(),
               "Vocarix.sync_single_chars with the source given as an open editor.");
}

}  // namespace vocarix::tools
