#include "patterns/pattern_language.hpp"

namespace vexa::patterns {

py::object PatternLanguage::wildcard() const { return globals_["wildcard"](); }

py::object PatternLanguage::op(const char* name, std::initializer_list<py::object> args) const {
    py::tuple arguments(args.size());
    std::size_t i = 0;
    for (const py::object& arg : args) {
        arguments[i++] = arg;
    }
    return globals_["is_op"](name)(*arguments);
}

py::object PatternLanguage::tuple(const py::object& fields) const { return globals_["is_tuple"](fields); }

py::object PatternLanguage::constant() const { return globals_["is_constant"](); }

py::object PatternLanguage::scalar(double value) const { return globals_["is_expr"](globals_["const"](value)); }

py::object PatternLanguage::either(const py::object& a, const py::object& b) {
    PyObject* result = PyNumber_Or(a.ptr(), b.ptr());
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}

py::object PatternLanguage::optional_op(const py::object& pattern, const char* name) const {
    return pattern.attr("optional")(globals_["is_op"](name));
}

}  // namespace vexa::patterns
