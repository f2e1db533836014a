// The checks' view of the module `patterns`: its namespace, read at call
// time as a Python function reads its globals; the class bindings made at
// import, which native type tests stand in for while they are unchanged; and
// the module's own checks, run directly while the module-level names that
// other checks call them by still refer to them.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <vector>

#include "common/module_globals.hpp"
#include "patterns/checks/value.hpp"

namespace vexa::patterns::checks {

namespace py = pybind11;

class Context;

// The body of a check: one argument, Python's verdict (True, False, or
// whatever object a Python-level comparison gave).
using CheckBody = py::object (*)(const Context&, const Value&);

// A check of the module: its name, the name of its one parameter, its
// documentation and its body.
struct Check {
    const char* name;
    const char* parameter;
    const char* doc;
    CheckBody body;
};

// The classes the checks test instances of, bound in the module at import.
enum class ClassName { kCall, kConstant, kFunction, kOp, kTuple, kCount };

class Context {
public:
    explicit Context(const py::module_& m);

    // The module's current binding of `name` (NameError when unbound).
    py::object global(const py::str& name) const { return globals_[name]; }
    py::object global(const char* name) const { return globals_[name]; }

    // isinstance(value, <the module's binding of the class>)
    bool is_instance(const Value& value, ClassName name) const;

    // Calls `check` through its module-level name: its body directly while
    // the name still refers to the module's own function, otherwise whatever
    // the name refers to now (a replaced function's false verdict is noted
    // as its reason).
    py::object call(const Check& check, const Value& argument) const;

    // Records the module's own function of `check`, once it is defined.
    void own(const Check& check, py::object function);

private:
    struct Own {
        const Check* check;
        py::str name;
        py::object function;
    };

    ModuleGlobals globals_;
    std::array<py::str, static_cast<std::size_t>(ClassName::kCount)> class_names_;
    std::array<py::object, static_cast<std::size_t>(ClassName::kCount)> bound_at_import_;
    std::vector<Own> own_;
};

}  // namespace vexa::patterns::checks
