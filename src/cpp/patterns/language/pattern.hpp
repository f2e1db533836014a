// TVM's dataflow pattern language as the makers write it, so that a maker
// reads from input to output like the Python chain, one operator a line:
//
//     Pattern requantized = p.maker("make_requantize_pattern")(conv_out);
//     Pattern clip = p.op("clip")(requantized);
//     Pattern cast = p.op("cast")(clip);
//     return cast.optional(p.op("clip"));
//
// Every construction goes through the module's own bindings (`wildcard`,
// `is_op`, `is_tuple`, `is_constant`, `is_expr`, `const`), looked up each
// time, so that every call of a maker builds new pattern objects exactly as
// the Python functions would.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

#include "common/module_globals.hpp"

namespace vexa::patterns {

namespace py = pybind11;

class Op;

// A dataflow pattern.
class Pattern {
public:
    explicit Pattern(py::object object) : object_(std::move(object)) {}
    // A pattern handed in by a caller.
    static Pattern of(py::handle object) { return Pattern(py::reinterpret_borrow<py::object>(object)); }

    const py::object& object() const { return object_; }

    // A | B: what A matches, else what B matches.
    Pattern operator|(const Pattern& other) const;
    // P.optional(op): P, or the operator applied to P alone.
    Pattern optional(const Op& op) const;
    // P.optional(f): P | f(P).
    template <typename Option>
    Pattern optional(Option&& option) const {
        return *this | option(*this);
    }

private:
    py::object object_;
};

// is_op(name): applied to argument patterns, a call of the operator with
// exactly those arguments.
class Op {
public:
    explicit Op(py::object callee) : callee_(std::move(callee)) {}

    template <typename... Args>
    Pattern operator()(const Args&... args) const {
        return Pattern(callee_(object_of(args)...));
    }

private:
    static const py::object& object_of(const Pattern& pattern) { return pattern.object(); }
    static py::handle object_of(py::handle value) { return value; }

    py::object callee_;
};

class PatternLanguage {
public:
    explicit PatternLanguage(const py::module_& m) : globals_(m) {}

    // wildcard()
    Pattern wildcard() const { return Pattern(globals_["wildcard"]()); }
    // is_op(name)
    Op op(const char* name) const { return Op(globals_["is_op"](name)); }
    // is_tuple(fields): a list of patterns, or None for any length.
    Pattern tuple(const py::object& fields) const { return Pattern(globals_["is_tuple"](fields)); }
    // is_constant(): any constant.
    Pattern constant() const { return Pattern(globals_["is_constant"]()); }
    // is_expr(const(value)): exactly the float32 scalar `value`.
    Pattern scalar(double value) const { return Pattern(globals_["is_expr"](globals_["const"](value))); }
    // A function of the module called by its module-level name when the
    // maker runs (another maker, the tuple builder), so that its current
    // binding is the one used.
    Op maker(const char* name) const { return Op(globals_[name]); }

private:
    ModuleGlobals globals_;
};

}  // namespace vexa::patterns
