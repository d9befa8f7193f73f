// Character sync from a source editor that is already open, so that the
// source may be in any form the lenient reader takes.
#include <pybind11/pybind11.h>

#include "bindings/common/convert.hpp"
#include "bindings/common/editor_object.hpp"
#include "bindings/common/report_dicts.hpp"
#include "bindings/tools/tools_bindings.hpp"
#include "operations/exact/char_sync.hpp"

namespace vocarix::tools {
namespace {

namespace py = pybind11;
using python::EditorObject;

py::dict sync_single_chars_from(EditorObject& editor, EditorObject& source, py::handle min_id) {
    if (&editor == &source) python::raise(PyExc_ValueError, "the source must be another editor");
    python::ExclusiveBorrow target(editor);
    python::SharedBorrow from(source);
    std::uint32_t lowest_id = min_id.is_none() ? 0 : python::to_u32(min_id, "min_id");
    SyncReport report = sync_single_chars(target.state(), from.state(), lowest_id, write_to_stderr);
    return python::sync_report_dict(report);
}

}  // namespace

void register_char_sync(py::module_& module) {
    module.def("sync_single_chars", &sync_single_chars_from, py::arg("editor"), py::arg("source"),
               py::arg("min_id") = py::none(),
               "Vocarix.sync_single_chars with the source given as an open editor.");
}

}  // namespace vocarix::tools
