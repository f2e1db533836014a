// What a check reads, and how.
//
// A check reads operators, arguments, types and attributes of the matched
// call.  Each read goes through TVM's C++ objects (well under a microsecond)
// when the value is one of TVM's own objects and the node holds what the
// Python read would give (types inferred, the attribute present, the
// dimensions fixed integers); otherwise it is the Python read itself, at the
// same point of the check, so that odd inputs (proxies, mocks, untyped
// calls) raise the error a Python caller expects.  Native reads never fail
// and have no visible effect, so mixing the two never changes an outcome.
#pragma once

#include <pybind11/pybind11.h>
#include <tvm/relay/expr.h>
#include <tvm/runtime/object.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "relay/access.hpp"

namespace vexa::patterns::checks {

namespace py = pybind11;

// A value a check works on: the Python object, and the C++ node behind it
// when it is an object of one of TVM's own classes.  Either side is made
// from the other when first needed.
class Value {
public:
    Value() = default;
    static Value of(py::handle object);
    static Value of_node(tvm::runtime::ObjectRef node);

    const tvm::Object* node() const { return node_.get(); }
    const relay::CallNode* call() const { return relay::as_call(node_.get()); }
    const py::object& python() const;

private:
    mutable py::object object_;
    tvm::runtime::ObjectRef node_;
};

class Shape;

// A number a check reads (a dimension, an attribute): the fixed integer when
// read natively, otherwise the object Python's read gave.
class Number {
public:
    static Number fixed(int64_t value) { return Number(value, py::object()); }
    static Number python(py::object value);
    // Dimension i of a shape read natively: Python's own object for it is
    // read from the shape when a comparison needs it.
    static Number dimension(int64_t value, const Shape& shape, std::size_t i);

    const std::optional<int64_t>& integer() const { return integer_; }
    // The value as Python's read gives it.
    py::object object() const;
    // int(value)
    py::object to_int() const;
    // Its text in a reason.
    std::string text() const;

private:
    Number(std::optional<int64_t> integer, py::object python) : integer_(integer), python_(std::move(python)) {}

    std::optional<int64_t> integer_;
    py::object python_;
    const Shape* shape_ = nullptr;
    std::size_t index_ = 0;
};

// bool(a != b) and bool(a > b): natively when both are integers that
// compare exactly as TVM's Python arithmetic would, otherwise through Python.
bool not_equal(const Number& a, const Number& b);
bool greater(const Number& a, const Number& b);

// `value.checked_type.shape`: its fixed dimensions when read natively,
// otherwise the Python object (read at construction, as Python would).
class Shape {
public:
    explicit Shape(const Value& owner);

    // len(shape)
    std::size_t rank() const;
    // shape[i]
    Number operator[](std::size_t i) const;
    // list(shape) == list(other)
    bool equals(const Shape& other) const;
    // "(1, 8, 8, 16)", for a reason.
    std::string text() const;

    // shape[i] as Python reads it.
    py::object python_item(std::size_t i) const;

private:
    const py::object& python() const;

    Value owner_;
    std::optional<std::vector<int64_t>> dims_;
    mutable py::object python_;
};

// Text a check reads (a dtype, a string attribute).
class Text {
public:
    static Text native(std::string text) { return Text(std::move(text), std::nullopt, py::object()); }
    // A dtype read natively: compared without making its text.
    static Text native_dtype(DLDataType dtype) { return Text(std::nullopt, dtype, py::object()); }
    static Text python(py::object text) { return Text(std::nullopt, std::nullopt, std::move(text)); }

    // value in [choices...]
    bool in(const std::vector<const char*>& choices) const;
    // value == choice, Python's result as it comes (not made a bool).
    py::object equals(const char* choice) const;
    std::string text() const;

private:
    Text(std::optional<std::string> native, std::optional<DLDataType> dtype, py::object python)
        : native_(std::move(native)), dtype_(dtype), python_(std::move(python)) {}

    bool native_equals(const char* choice) const;

    std::optional<std::string> native_;
    std::optional<DLDataType> dtype_;
    py::object python_;
};

// call.args[i]
Value arg(const Value& call, std::size_t i);
// list(call.args)
std::vector<Value> args(const Value& call);
// list(tuple.fields)
std::vector<Value> fields(const Value& tuple);
// call.op
Value callee(const Value& call);
// call.attrs
Value attrs(const Value& call);
// attrs.get_int(name)
Number int_attr(const Value& attrs, const char* name);
// attrs.get_str(name)
Text str_attr(const Value& attrs, const char* name);
// attrs.get_int(name) != 0.0 (a float or integer attribute)
bool nonzero_attr(const Value& attrs, const char* name, std::string* text);
// value.checked_type.dtype
Text dtype(const Value& value);

// Descriptions for reasons, read without raising: the operator name of a
// call of a primitive operator, or the kind of value ("Var", "Call"...); the
// fixed dimensions of its type, empty when unknown.
std::string kind_of(const Value& value);
std::vector<int64_t> dims_of(const Value& value);

}  // namespace vexa::patterns::checks
