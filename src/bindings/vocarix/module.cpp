// Module initialisation: the editor class, the result classes and __version__,
// added in this order.
#include <pybind11/pybind11.h>

#include "document/errors.hpp"
#include "bindings.hpp"

namespace py = pybind11;

PYBIND11_MODULE(vocarix, module) {
    py::options options;
    options.disable_function_signatures();
    module.doc() = "Python module for Vocarix";
    // Limits of the id space and of chain building surface as ordinary Python errors.
    py::register_exception_translator([](std::exception_ptr pending) {
        try {
            if (pending) std::rethrow_exception(pending);
        } catch (const vocarix::IdSpaceExhausted& error) {
            PyErr_SetString(PyExc_OverflowError, error.what());
        } catch (const vocarix::ChainTooLong& error) {
            PyErr_SetString(PyExc_ValueError, error.what());
        }
    });
    vocarix::python::register_editor_class(module);
    vocarix::python::register_result_classes(module);
    module.attr("__version__") = VOCARIX_VERSION;
}
