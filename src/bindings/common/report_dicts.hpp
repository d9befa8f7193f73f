// The dicts both modules return for bulk edits, with the keys callers read.
#pragma once

#include <pybind11/pybind11.h>

#include "operations/exact/char_sync.hpp"

namespace vocarix::python {

pybind11::dict sync_report_dict(const SyncReport& report);

}  // namespace vocarix::python
