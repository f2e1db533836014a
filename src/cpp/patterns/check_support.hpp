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
#include "relay/access.hpp"

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

// Whether Python runs with assertions enabled (not under -O), read at call
// time as the interpreter decides it for `assert` statements.
inline bool assertions_enabled() {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (flags == nullptr) {
        return true;
    }
    py::object optimize = py::reinterpret_borrow<py::object>(flags).attr("optimize");
    return python_int(optimize) == 0;
}

// Python's `assert condition` (no message): AssertionError unless
// assertions are disabled.
inline void python_assert(bool condition) {
    if (!condition && assertions_enabled()) {
        PyErr_SetNone(PyExc_AssertionError);
        throw py::error_already_set();
    }
}

// isinstance(value, cls), with the errors isinstance raises.
inline bool python_isinstance(py::handle value, py::handle cls) {
    const int result = PyObject_IsInstance(value.ptr(), cls.ptr());
    if (result < 0) {
        throw py::error_already_set();
    }
    return result != 0;
}

// Anchor walk, Python level: starting at `expr`, follows first arguments
// (`expr.args[0]`) while `expr.op.name != name`.  Raises whatever those reads
// raise on odd input (None, a variable, a call of a function...).
inline py::object walk_to_operator(py::object expr, py::handle name) {
    static PyObject* const op_key = interned("op").release().ptr();  // kept for the process's lifetime
    static PyObject* const name_key = interned("name").release().ptr();
    static PyObject* const args_key = interned("args").release().ptr();
    while (true) {
        py::object callee_name = expr.attr(op_key).attr(name_key);
        if (!callee_name.not_equal(name)) {
            return expr;
        }
        expr = expr.attr(args_key)[py::int_(0)];
    }
}

// Anchor walk, natively: the call of `name` reached from `expr` along first
// arguments; null when the walk meets a node on which the Python-level walk
// would fail (not a call, a callee that is not an operator, no argument), so
// that the caller can run the Python-level walk for its error.
inline const tvm::relay::CallNode* native_walk_to_operator(const tvm::Object* expr, const char* name) {
    while (true) {
        const tvm::relay::CallNode* call = relay::as_call(expr);
        const tvm::runtime::String* callee = relay::op_name(call);
        if (callee == nullptr) {
            return nullptr;
        }
        if (*callee == name) {
            return call;
        }
        expr = relay::arg(call, 0);
    }
}

}  // namespace vexa::patterns
