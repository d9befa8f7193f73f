// Lowercase and the Unicode normalization forms from Python's own Unicode
// database, for the normalizers the core applies (learning/text_normalizer.hpp).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "bindings/common/convert.hpp"
#include "learning/text_normalizer.hpp"

namespace vocarix::tools {

class PythonUnicodeForms : public UnicodeForms {
public:
    void apply(std::string_view form, std::string_view text, std::string& out) override {
        namespace py = pybind11;
        py::gil_scoped_acquire locked;
        py::str input = python::make_str(text);
        py::object result;
        if (form == "lowercase") {
            // Each character's own mapping: str.lower() would read a final
            // sigma from its context, so every capital sigma is lowered alone.
            py::str sigma("\u03a3");
            py::list parts = input.attr("split")(sigma);
            for (std::size_t i = 0; i < parts.size(); ++i) parts[i] = parts[i].attr("lower")();
            result = py::str("\u03c3").attr("join")(parts);
        } else {
            result = normalize_(python::make_str(form), input);
        }
        out.append(python::to_str(result, "normalized text"));
    }

private:
    pybind11::object normalize_ = pybind11::module_::import("unicodedata").attr("normalize");
};

}  // namespace vocarix::tools
