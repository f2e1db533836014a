// What the check predicates share.
//
// A check reads operators, arguments, types and attributes of the matched
// call.  It does so through TVM's C++ objects (fast: well under a
// microsecond a read) whenever the result is sure to be what the Python-level
// reads would give: the argument is a TVM object, types are inferred, the
// attributes exist, the dimensions are fixed integers, and the module's
// class bindings (`Call`, `Constant`, `Function`, `Op`) are still TVM's own.
// Otherwise the check runs its Python-level reads, which raise exactly the
// errors a Python caller expects.  The fast path gives up only before any
// visible side effect (a call of a module global such as
// `hwinquire_parameter`), so nothing runs twice.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>

#include "common/module_globals.hpp"

namespace vexa::patterns {

namespace py = pybind11;

class CheckContext {
public:
    // The class names whose module bindings the fast path relies on.
    enum ClassName { kCall, kConstant, kFunction, kOp, kClassCount };

    explicit CheckContext(const py::module_& m) : globals_(m) {
        static constexpr std::array<const char*, kClassCount> names{"Call", "Constant", "Function", "Op"};
        for (std::size_t i = 0; i < names.size(); ++i) {
            names_[i] = interned(names[i]);
            bound_at_import_[i] = globals_[names_[i]];
        }
    }

    const ModuleGlobals& globals() const { return globals_; }

    // Whether the module's binding of the class is still the one made at
    // import (so that a native type test answers as isinstance would).
    bool unchanged(ClassName name) const { return globals_[names_[name]].is(bound_at_import_[name]); }
    bool classes_unchanged() const {
        return unchanged(kCall) && unchanged(kConstant) && unchanged(kFunction) && unchanged(kOp);
    }

private:
    ModuleGlobals globals_;
    std::array<py::str, kClassCount> names_;
    std::array<py::object, kClassCount> bound_at_import_;
};

// Python's int(value), as an int64 (OverflowError beyond it).
inline int64_t python_int(py::handle value) {
    return py::int_(py::reinterpret_borrow<py::object>(value)).cast<int64_t>();
}

}  // namespace vexa::patterns
