// Argument conversion and exception raising for the binding. Every
// conversion reports the parameter name the way Python callers expect:
// type problems as TypeError "argument 'NAME': ...", range problems as
// OverflowError without the prefix.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "document/file_io.hpp"
#include "state/loading.hpp"
#include "document/text.hpp"

namespace vocarix::python {

namespace py = pybind11;

// Raises `type` with `message` as a C++ exception that pybind11 passes through.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// A str (or subclass) argument as UTF-8; the view lives as long as `object`.
std::string_view to_str(py::handle object, const char* name);

// The same for a document-sized str, encoded by a fast path into a buffer of
// its own rather than into a UTF-8 copy cached on the caller's str.
struct Utf8Text {
    std::optional<TextBuffer> owned;  // empty when `view` points into the str
    std::string_view view;
};
Utf8Text to_large_str(py::handle object, const char* name);

// An integer argument (anything with __index__) in 0..4294967295.
std::uint32_t to_u32(py::handle object, const char* name);

// An integer argument in 0..18446744073709551615.
std::uint64_t to_u64(py::handle object, const char* name);

// A sequence of str (a str itself is refused), converted in full.
std::vector<std::string> to_str_list(py::handle object, const char* name);

// A dict of str -> int (0..2^64-1), converted in full: counts of tokens or words.
std::vector<std::pair<std::string, std::uint64_t>> to_count_list(py::handle object, const char* name);

// New Python objects from core values.
py::str make_str(std::string_view text);
// A str made once and kept for the life of the process, for the keys of
// dicts made by the thousand. Never released: it may outlive the interpreter.
inline py::handle lasting_str(const char* text) { return PyUnicode_InternFromString(text); }
// The same for document-sized valid UTF-8 whose statistics are known:
// decodes straight into the str's own storage, sixteen bytes at a time.
py::str make_large_str(std::string_view text, const TextStats& stats);
py::int_ make_int(std::uint64_t value);

// A (first, second) tuple, taking both references.
py::tuple make_pair(py::object first, py::object second);

// Lists of core values built through the C API: reports list tens of
// thousands of small items, and the generic casters cost several times more
// for each.
py::list make_str_list(const std::vector<std::string>& items);
py::list make_int_list(const std::vector<std::uint32_t>& items);
// (str, str) and (str, int) tuples.
py::list make_str_pair_list(const std::vector<std::pair<std::string, std::string>>& items);
py::list make_str_int_list(const std::vector<std::pair<std::string, std::uint32_t>>& items);

// None for an empty optional, else the value as make_int or make_str makes it.
template <class Int>
py::object make_optional_int(const std::optional<Int>& value) {
    return value ? py::object(make_int(*value)) : py::object(py::none());
}
inline py::object make_optional_str(const std::optional<std::string>& text) {
    return text ? py::object(make_str(*text)) : py::object(py::none());
}

}  // namespace vocarix::python
