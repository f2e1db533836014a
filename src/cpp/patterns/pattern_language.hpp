// TVM's dataflow pattern language as the makers use it: through the module's
// own bindings (`wildcard`, `is_op`, `is_tuple`, `is_constant`, `is_expr`,
// `const`), looked up each time a maker runs, so every call builds new
// pattern objects exactly as the Python functions would.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>

#include "common/module_globals.hpp"

namespace vexa::patterns {

namespace py = pybind11;

class PatternLanguage {
public:
    explicit PatternLanguage(const py::module_& m) : globals_(m) {}

    // wildcard(): a new wildcard.
    py::object wildcard() const;
    // is_op(name)(args...): a call of the operator with exactly these arguments.
    py::object op(const char* name, std::initializer_list<py::object> args) const;
    // is_tuple(fields): `fields` a list of patterns, or None for any length.
    py::object tuple(const py::object& fields) const;
    // is_constant(): any constant.
    py::object constant() const;
    // is_expr(const(value)): exactly the float32 scalar `value`.
    py::object scalar(double value) const;
    // A | B, A tried first.
    static py::object either(const py::object& a, const py::object& b);
    // P.optional(is_op(name)): P, or the operator applied to P alone.
    py::object optional_op(const py::object& pattern, const char* name) const;

    // The module's current binding of a name (a maker, a check...).
    py::object global(const char* name) const { return globals_[name]; }

private:
    ModuleGlobals globals_;
};

}  // namespace vexa::patterns
