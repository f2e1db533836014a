// What the float32 checks share.
//
// Every check reads the matched call in two ways that give the same answer:
// natively, through TVM's C++ objects, when the argument is one of TVM's own
// Python objects and everything the step needs is there (types inferred,
// fixed integer dimensions, attributes present, the module's class bindings
// still TVM's); and otherwise through the Python objects, with the very reads
// a Python function would make, so that odd inputs raise the Python error a
// caller expects.  A native read never has a visible side effect, so a check
// may switch to the Python reads at any step without running anything twice.
#pragma once

#include <pybind11/pybind11.h>
#include <tvm/ir/tensor_type.h>
#include <tvm/runtime/object.h>

#include <cstdint>
#include <optional>

#include "patterns/check_support.hpp"

namespace vexa::patterns {

namespace py = pybind11;

// A value a check works on: the Python object, and the C++ node behind it
// when it is an object of one of TVM's own classes.  Either side is filled in
// from the other when first needed.
class CheckValue {
public:
    CheckValue() = default;
    static CheckValue of(py::handle value);
    static CheckValue of_node(tvm::runtime::ObjectRef node);

    const tvm::Object* node() const { return node_.get(); }
    const tvm::runtime::ObjectRef& ref() const { return node_; }
    const py::object& python() const;

private:
    mutable py::object object_;
    tvm::runtime::ObjectRef node_;
};

// The checks' view of the module: its globals, class bindings, and the two
// checks that others call through their module-level names.
class Fp32Context {
public:
    explicit Fp32Context(const py::module_& m);

    const CheckContext& classes() const { return classes_; }
    py::object global(const py::str& name) const { return classes_.globals()[name]; }

    // Records the module's own check_fp32 and is_captured, so that a call
    // through the module-level name can run their bodies directly while the
    // names still refer to them.
    void set_own(py::object check_fp32, py::object is_captured);

    // check_fp32(value) / is_captured(value) through the current bindings.
    py::object check_fp32(const CheckValue& value) const;
    py::object is_captured(const CheckValue& value) const;

    // Interned names of the module globals the checks use.
    py::str check_fp32_name, is_captured_name, consumers_name, find_call_name, query_name, arch_name;

private:
    CheckContext classes_;
    py::object own_check_fp32_;
    py::object own_is_captured_;
};

// Bodies of check_fp32 and is_captured.
py::object check_fp32_body(const Fp32Context& context, const CheckValue& extract);
py::object is_captured_body(const Fp32Context& context, const CheckValue& extract);

// Native reads; each answers "not available" rather than failing.

// The inferred tensor type of an expression node.
const tvm::TensorTypeNode* tensor_type(const tvm::Object* node);
// Dimension i of a tensor type when it is a fixed integer.
std::optional<int64_t> fixed_dim(const tvm::TensorTypeNode* type, std::size_t i);
// Whether all dimensions of a tensor type are fixed integers.
bool all_dims_fixed(const tvm::TensorTypeNode* type);
// A numeric attribute of a call (float or integer), as Python reads it.
std::optional<double> numeric_attribute(const tvm::Object* call, const char* name);

// Python-level helpers with the interpreter's own semantics.
bool truth(const py::handle& value);         // bool(value)
bool python_ne(py::handle a, py::handle b);  // bool(a != b)
bool python_gt(py::handle a, py::handle b);  // bool(a > b)
py::ssize_t python_len(py::handle value);
py::object python_item(py::handle sequence, py::ssize_t index);  // sequence[index]

}  // namespace vexa::patterns
