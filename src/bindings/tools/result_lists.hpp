// Lists of core records as Python values, shared by the inspecting bindings.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "bindings/common/convert.hpp"
#include "analysis/explain.hpp"

namespace vocarix::tools {

// Merges with their list positions as (position, left, right) tuples.
inline pybind11::list positioned_merge_list(const std::vector<PositionedMerge>& merges) {
    pybind11::list result(merges.size());
    for (std::size_t k = 0; k < merges.size(); ++k)
        result[k] = pybind11::make_tuple(python::make_int(merges[k].position), python::make_str(merges[k].left),
                                         python::make_str(merges[k].right));
    return result;
}

}  // namespace vocarix::tools
