// The editor class's members as one table: each row holds a member's name,
// its parameters, the borrow it takes, its docstring and the body that
// converts arguments, calls the core and converts the result. Registration
// walks the table in order.
//
// Methods are installed as genuine CPython built-in methods (method
// descriptors). Unlike pybind11's own method objects they carry no hidden
// `self`, so inspect.signature(), help() and IDEs read the text signature
// that registration puts at the head of each docstring.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings/common/editor_object.hpp"

namespace vocarix::python {

namespace py = pybind11;

enum class Borrow {
    kShared,     // reads the editor: the body takes `const EditorState&`
    kExclusive,  // changes the editor: the body takes `EditorState&`
    kNone,       // a static method: the body takes no editor
};

struct MemberInfo {
    const char* name;
    const char* params;  // the text signature's parameters after self, e.g. "count, min_id=0"
    Borrow borrow;
    const char* doc;
};

namespace detail {

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

// How a body is called: the state it takes, if any, and how many handles.
template <class F>
struct BodyShape;
template <class R, class... Handles>
struct BodyShape<R (*)(const EditorState&, Handles...)> {
    static constexpr Borrow borrow = Borrow::kShared;
    static constexpr std::size_t arity = sizeof...(Handles);
};
template <class R, class... Handles>
struct BodyShape<R (*)(EditorState&, Handles...)> {
    static constexpr Borrow borrow = Borrow::kExclusive;
    static constexpr std::size_t arity = sizeof...(Handles);
};
template <class R, class... Handles>
struct BodyShape<R (*)(Handles...)> {
    static constexpr Borrow borrow = Borrow::kNone;
    static constexpr std::size_t arity = sizeof...(Handles);
};

// What CPython's argument parser needs, made once from the parameter list.
struct ArgumentSpec {
    std::string format;  // e.g. "O|O:shrink"
    std::vector<std::string> names;
    std::vector<char*> keywords;  // into `names`, null-terminated
};
ArgumentSpec make_argument_spec(const MemberInfo& info);

// The docstring with the text signature at its head, kept alive for CPython.
const char* signed_doc(const MemberInfo& info);

// CPython stores every method as PyCFunction; keyword methods are called
// with their real signature. The detour through void(*)() is the sanctioned cast.
template <class Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

void add_to_class(py::handle cls, const char* name, PyObject* member);

}  // namespace detail

// A method or static method: a row of the table.
template <auto Body>
struct Method {
    MemberInfo info;

    using Shape = detail::BodyShape<decltype(Body)>;
    static_assert(Shape::arity <= 2, "methods take at most two parameters");

    void install(py::handle cls) const {
        if (info.borrow != Shape::borrow) throw std::logic_error(std::string("borrow kind of ") + info.name);
        spec() = detail::make_argument_spec(info);
        static PyMethodDef definition{info.name, detail::as_cfunction(&call), METH_VARARGS | METH_KEYWORDS,
                                      detail::signed_doc(info)};
        auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
        if (info.borrow == Borrow::kNone) {
            PyObject* function = PyCFunction_NewEx(&definition, nullptr, nullptr);
            if (!function) throw py::error_already_set();
            py::object owned = py::reinterpret_steal<py::object>(function);
            detail::add_to_class(cls, info.name, PyStaticMethod_New(function));
        } else {
            detail::add_to_class(cls, info.name, PyDescr_NewMethod(type, &definition));
        }
    }

private:
    static detail::ArgumentSpec& spec() {
        static detail::ArgumentSpec instance;
        return instance;
    }

    static PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
        PyObject* values[3] = {};
        detail::ArgumentSpec& s = spec();
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, s.format.c_str(), s.keywords.data(), &values[0], &values[1]))
            return nullptr;
        return detail::run_guarded([&] {
            return [&]<std::size_t... I>(std::index_sequence<I...>) {
                if constexpr (Shape::borrow == Borrow::kNone) {
                    return Body(py::handle(values[I])...);
                } else if constexpr (Shape::borrow == Borrow::kShared) {
                    SharedBorrow borrow(py::cast<EditorObject&>(py::handle(self)));
                    return Body(borrow.state(), py::handle(values[I])...);
                } else {
                    ExclusiveBorrow borrow(py::cast<EditorObject&>(py::handle(self)));
                    return Body(borrow.state(), py::handle(values[I])...);
                }
            }(std::make_index_sequence<Shape::arity>{});
        });
    }
};

// A read-only attribute: a row of the table whose body takes the state.
template <auto Body>
struct Property {
    const char* name;
    const char* doc;

    template <class Class>
    void install(Class& cls) const {
        cls.def_property_readonly(
            name,
            [](EditorObject& self) {
                SharedBorrow borrow(self);
                return Body(borrow.state());
            },
            doc);
    }
};

template <auto Body>
constexpr Method<Body> method(const char* name, const char* params, Borrow borrow, const char* doc) {
    return {{name, params, borrow, doc}};
}

template <auto Body>
constexpr Property<Body> property(const char* name, const char* doc) {
    return {name, doc};
}

template <class Class, auto Body>
void install_row(Class& cls, const Method<Body>& row) {
    row.install(cls);
}
template <class Class, auto Body>
void install_row(Class& cls, const Property<Body>& row) {
    row.install(cls);
}

// Installs every row of `table`, in order.
template <class Class, class... Rows>
void install_rows(Class& cls, const std::tuple<Rows...>& table) {
    std::apply([&](const Rows&... rows) { (install_row(cls, rows), ...); }, table);
}

}  // namespace vocarix::python
