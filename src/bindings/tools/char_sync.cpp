// Character sync from a source editor that is already open, so that the
// source may be in any form the lenient reader takes.
#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "bindings/common/convert.hpp"
#include "bindings/common/editor_object.hpp"
#include "bindings/common/report_dicts.hpp"
#include "bindings/tools/tools_bindings.hpp"
#include "operations/exact/char_sync.hpp"

namespace vocarix::tools {
namespace {

namespace py = pybind11;
using python::EditorObject;

// Progress goes to standard error, or, collected, into the dict under
// "progress" when `progress` is false: a caller that may still refuse the
// edit prints it only once it goes ahead.
py::dict sync_single_chars_from(EditorObject& editor, EditorObject& source, py::handle min_id, bool progress) {
    if (&editor == &source) python::raise(PyExc_ValueError, "the source must be another editor");
    python::ExclusiveBorrow target(editor);
    python::SharedBorrow from(source);
    std::uint32_t lowest_id = min_id.is_none() ? 0 : python::to_u32(min_id, "min_id");
    std::string collected;
    ProgressSink sink = write_to_stderr;
    if (!progress) sink = [&collected](std::string_view piece) { collected.append(piece); };
    SyncReport report = sync_single_chars(target.state(), from.state(), lowest_id, sink);
    py::dict out = python::sync_report_dict(report);
    if (!progress) out["progress"] = python::make_str(collected);
    return out;
}

}  // namespace

void register_char_sync(py::module_& module) {
    module.def("sync_single_chars", &sync_single_chars_from, py::arg("editor"), py::arg("source"),
               py::arg("min_id") = py::none(), py::arg("progress") = true,
               "Vocarix.sync_single_chars with the source given as an open editor; progress=False returns the "
               "progress report under \"progress\" instead of writing it to standard error.");
}

}  // namespace vocarix::tools
