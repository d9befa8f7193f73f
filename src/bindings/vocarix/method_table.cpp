#include "bindings/vocarix/method_table.hpp"

#include <deque>

namespace vocarix::python::detail {

ArgumentSpec make_argument_spec(const MemberInfo& info) {
    ArgumentSpec spec;
    std::string_view params = info.params;
    bool optional = false;
    while (!params.empty()) {
        std::size_t comma = params.find(',');
        std::string_view param = params.substr(0, comma);
        params = comma == std::string_view::npos ? std::string_view() : params.substr(comma + 1);
        while (!param.empty() && param.front() == ' ') param.remove_prefix(1);
        std::size_t equals = param.find('=');
        if (equals != std::string_view::npos && !optional) {
            spec.format += '|';
            optional = true;
        }
        spec.names.emplace_back(param.substr(0, equals));
        spec.format += 'O';
    }
    spec.format += ':';
    spec.format += info.name;
    for (std::string& name : spec.names) spec.keywords.push_back(name.data());
    spec.keywords.push_back(nullptr);
    return spec;
}

const char* signed_doc(const MemberInfo& info) {
    // CPython keeps the pointer for the life of the class.
    static std::deque<std::string> docs;
    std::string self = info.borrow == Borrow::kNone ? "" : "$self";
    std::string params = info.params;
    std::string joined = self.empty() || params.empty() ? self + params : self + ", " + params;
    docs.push_back(std::string(info.name) + "(" + joined + ")\n--\n\n" + info.doc);
    return docs.back().c_str();
}

void add_to_class(py::handle cls, const char* name, PyObject* member) {
    if (!member) throw py::error_already_set();
    py::object owned = py::reinterpret_steal<py::object>(member);
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    if (PyDict_SetItemString(type->tp_dict, name, member) != 0) throw py::error_already_set();
    PyType_Modified(type);
}

}  // namespace vocarix::python::detail
