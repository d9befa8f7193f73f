// Lists of core records as Python values, shared by the bindings.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <vector>

#include "bindings/common/convert.hpp"
#include "analysis/explain.hpp"
#include "operations/workflows/fixed_size_addition.hpp"

namespace vocarix::tools {

// Merges with their list positions as (position, left, right) tuples.
inline pybind11::list positioned_merge_list(const std::vector<PositionedMerge>& merges) {
    pybind11::list result(merges.size());
    for (std::size_t k = 0; k < merges.size(); ++k)
        result[k] = pybind11::make_tuple(python::make_int(merges[k].position), python::make_str(merges[k].left),
                                         python::make_str(merges[k].right));
    return result;
}

// Tokens a fixed-size edit evicted, as dicts.
inline pybind11::list evicted_list(const std::vector<EvictedToken>& tokens) {
    pybind11::list evicted;
    for (const EvictedToken& token : tokens) {
        pybind11::dict d;
        d["token"] = token.token;
        d["id"] = python::make_int(token.id);
        d["count"] = python::make_int(token.count);
        d["replaced_by"] = token.replaced_by;
        d["taken_along"] = token.taken_along;
        evicted.append(d);
    }
    return evicted;
}

}  // namespace vocarix::tools
