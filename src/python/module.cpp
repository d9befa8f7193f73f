// Module initialisation: the editor class, the result classes and __version__,
// added in this order.
#include <pybind11/pybind11.h>

#include "bindings.hpp"

namespace py = pybind11;

PYBIND11_MODULE(vocarix, module) {
    py::options options;
    options.disable_function_signatures();
    module.doc() = "Python module for Vocarix";
    vocarix::python::register_editor_class(module);
    vocarix::python::register_result_classes(module);
    module.attr("__version__") = "0.1.0";
}
