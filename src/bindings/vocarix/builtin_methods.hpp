// Installs C++ functions as genuine CPython built-in methods (method
// descriptors) on a pybind11 class. Unlike pybind11's own method objects
// they carry no hidden `self`, so inspect.signature(), help() and IDEs read
// the text signature at the head of each docstring correctly.
//
// A body is a plain function `R body(EditorObject&, py::handle...)`; missing
// optional arguments arrive as null handles.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <type_traits>
#include <utility>

#include "bindings/common/editor_object.hpp"

namespace vocarix::python {

namespace py = pybind11;

struct MethodSpec {
    const char* name;
    const char* format;           // PyArg_ParseTupleAndKeywords format, e.g. "O|O:shrink"
    const char* const* keywords;  // parameter names, null-terminated
    const char* doc;              // "name($self, ...)\n--\n\n" + docstring
};

namespace detail {

template <class Result, class... Handles>
constexpr std::size_t handle_count(Result (*)(EditorObject&, Handles...)) {
    return sizeof...(Handles);
}
template <class Result, class... Handles>
constexpr std::size_t handle_count(Result (*)(Handles...)) {
    return sizeof...(Handles);
}

template <class Call>
PyObject* run_guarded(Call&& call) noexcept {
    try {
        using Result = decltype(call());
        if constexpr (std::is_void_v<Result>) {
            call();
            Py_RETURN_NONE;
        } else {
            auto result = call();
            if constexpr (std::is_base_of_v<py::handle, decltype(result)>) return result.release().ptr();
            else return py::cast(std::move(result)).release().ptr();
        }
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (...) {
        // The same translation pybind11 applies: our own exception types,
        // then the standard ones; nothing escapes as a C++ exception.
        try {
            py::detail::try_translate_exceptions();
        } catch (...) {
            PyErr_SetString(PyExc_SystemError, "unexpected internal error");
        }
    }
    return nullptr;
}

// Parses a call's arguments by the method's spec, then runs `body` with them
// as handles. Methods take at most one parameter: two slots always suffice.
template <std::size_t Count, const MethodSpec* Spec, class Body>
PyObject* parse_and_run(PyObject* args, PyObject* kwargs, Body&& body) noexcept {
    PyObject* values[Count + 1] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, Spec->format, const_cast<char**>(Spec->keywords), &values[0],
                                     &values[1]))
        return nullptr;
    return run_guarded([&] {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return body(py::handle(values[I])...);
        }(std::make_index_sequence<Count>{});
    });
}

template <auto Body, const MethodSpec* Spec>
PyObject* call_method(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return parse_and_run<handle_count(Body), Spec>(args, kwargs, [self](auto... handles) {
        return Body(py::cast<EditorObject&>(py::handle(self)), handles...);
    });
}

template <auto Body, const MethodSpec* Spec>
PyObject* call_static(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return parse_and_run<handle_count(Body), Spec>(args, kwargs, [](auto... handles) { return Body(handles...); });
}

// CPython stores every method as PyCFunction; keyword methods are called
// with their real signature. The detour through void(*)() is the sanctioned cast.
template <class Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

inline void add_to_class(py::handle cls, const char* name, PyObject* member) {
    if (!member) throw py::error_already_set();
    py::object owned = py::reinterpret_steal<py::object>(member);
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    if (PyDict_SetItemString(type->tp_dict, name, member) != 0) throw py::error_already_set();
    PyType_Modified(type);
}

}  // namespace detail

// Adds `Body` to `cls` as an instance method described by `Spec`.
template <auto Body, const MethodSpec* Spec>
void add_method(py::handle cls) {
    static PyMethodDef definition{Spec->name, detail::as_cfunction(detail::call_method<Body, Spec>),
                                  METH_VARARGS | METH_KEYWORDS, Spec->doc};
    detail::add_to_class(cls, Spec->name,
                         PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &definition));
}

// Adds `Body` to `cls` as a static method described by `Spec`.
template <auto Body, const MethodSpec* Spec>
void add_static_method(py::handle cls) {
    static PyMethodDef definition{Spec->name, detail::as_cfunction(detail::call_static<Body, Spec>),
                                  METH_VARARGS | METH_KEYWORDS, Spec->doc};
    PyObject* function = PyCFunction_NewEx(&definition, nullptr, nullptr);
    if (!function) throw py::error_already_set();
    py::object owned = py::reinterpret_steal<py::object>(function);
    detail::add_to_class(cls, Spec->name, PyStaticMethod_New(function));
}

}  // namespace vocarix::python
