#include "convert.hpp"

namespace vocarix::python {
namespace {

std::string type_name(py::handle object) { return Py_TYPE(object.ptr())->tp_name; }

// Re-raises a pending TypeError with the argument prefix; other errors pass unchanged.
[[noreturn]] void reraise_with_argument(const char* name) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        py::error_already_set original;
        std::string message = std::string("argument '") + name + "': " + py::str(original.value()).cast<std::string>();
        raise(PyExc_TypeError, message);
    }
    throw py::error_already_set();
}

[[noreturn]] void raise_wrong_type(py::handle object, const char* name, const char* target) {
    raise(PyExc_TypeError,
          std::string("argument '") + name + "': '" + type_name(object) + "' object cannot be converted to '" + target + "'");
}

}  // namespace

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

std::string_view to_str(py::handle object, const char* name) {
    if (!PyUnicode_Check(object.ptr())) raise_wrong_type(object, name, "PyString");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object.ptr(), &size);
    if (!data) reraise_with_argument(name);
    return std::string_view(data, static_cast<std::size_t>(size));
}

std::uint32_t to_u32(py::handle object, const char* name) {
    PyObject* index = PyNumber_Index(object.ptr());
    if (!index) reraise_with_argument(name);
    py::object owned = py::reinterpret_steal<py::object>(index);
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || value < 0 || value > static_cast<long long>(UINT32_MAX))
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::uint32_t>(value);
}

std::uint64_t to_u64(py::handle object, const char* name) {
    PyObject* index = PyNumber_Index(object.ptr());
    if (!index) reraise_with_argument(name);
    py::object owned = py::reinterpret_steal<py::object>(index);
    unsigned long long value = PyLong_AsUnsignedLongLong(index);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw py::error_already_set();
    return value;
}

std::vector<std::string> to_str_list(py::handle object, const char* name) {
    if (PyUnicode_Check(object.ptr())) raise(PyExc_TypeError, std::string("argument '") + name + "': Can't extract `str` to `Vec`");
    if (!PySequence_Check(object.ptr())) raise_wrong_type(object, name, "Sequence");
    std::vector<std::string> items;
    Py_ssize_t hint = PySequence_Size(object.ptr());
    if (hint < 0) PyErr_Clear();
    else items.reserve(static_cast<std::size_t>(hint));
    PyObject* iterator = PyObject_GetIter(object.ptr());
    if (!iterator) reraise_with_argument(name);
    py::object owned_iterator = py::reinterpret_steal<py::object>(iterator);
    while (PyObject* item = PyIter_Next(iterator)) {
        py::object owned_item = py::reinterpret_steal<py::object>(item);
        items.emplace_back(to_str(owned_item, name));
    }
    if (PyErr_Occurred()) reraise_with_argument(name);
    return items;
}

py::str make_str(std::string_view text) {
    PyObject* object = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    if (!object) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(object);
}

py::int_ make_int(std::uint64_t value) {
    PyObject* object = PyLong_FromUnsignedLongLong(value);
    if (!object) throw py::error_already_set();
    return py::reinterpret_steal<py::int_>(object);
}

}  // namespace vocarix::python
