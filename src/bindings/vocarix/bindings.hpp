#pragma once

#include <pybind11/pybind11.h>

namespace vocarix::python {

void register_editor_class(pybind11::module_& module);
void register_result_classes(pybind11::module_& module);

}  // namespace vocarix::python
