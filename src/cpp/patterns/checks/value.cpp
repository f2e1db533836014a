#include "patterns/checks/value.hpp"

#include <tvm/ir/op.h>
#include <tvm/runtime/data_type.h>

#include <climits>

#include "common/module_globals.hpp"
#include "patterns/checks/python.hpp"
#include "relay/bridge.hpp"
#include "relay/native_object.hpp"

namespace vexa::patterns::checks {

namespace {

// Whether a Python int compares with a dimension exactly as TVM's Python
// arithmetic would: TVM makes an int32 constant of it.
std::optional<int64_t> small_int(py::handle value) {
    if (!PyLong_CheckExact(value.ptr())) {
        return std::nullopt;
    }
    int overflow = 0;
    const long long integer = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0 || integer < INT_MIN || integer > INT_MAX) {
        return std::nullopt;
    }
    return integer;
}

// The interned key of an attribute name, made once per name (the names are
// string literals; the interpreter lock guards the cache).
const py::str& key(const char* name) {
    static std::vector<std::pair<const char*, py::str>>* cache = new std::vector<std::pair<const char*, py::str>>();
    for (const auto& [text, interned_key] : *cache) {
        if (text == name) {
            return interned_key;
        }
    }
    cache->emplace_back(name, interned(name));
    return cache->back().second;
}

py::object read(const Value& value, const char* name) { return value.python().attr(key(name)); }

std::string join_dims(const std::vector<int64_t>& dims) {
    std::string text = "(";
    for (std::size_t i = 0; i < dims.size(); ++i) {
        text += (i > 0 ? ", " : "") + std::to_string(dims[i]);
    }
    return text + (dims.size() == 1 ? ",)" : ")");
}

}  // namespace

Value Value::of(py::handle object) {
    Value value;
    value.object_ = py::reinterpret_borrow<py::object>(object);
    value.node_ = relay::native_object(object);
    return value;
}

Value Value::of_node(tvm::runtime::ObjectRef node) {
    Value value;
    value.node_ = std::move(node);
    return value;
}

const py::object& Value::python() const {
    if (!object_) {
        object_ = to_python(node_);
    }
    return object_;
}

Number Number::python(py::object value) {
    std::optional<int64_t> integer = small_int(value);
    return Number(integer, std::move(value));
}

Number Number::dimension(int64_t value, const Shape& shape, std::size_t i) {
    Number number(value, py::object());
    number.shape_ = &shape;
    number.index_ = i;
    return number;
}

py::object Number::object() const {
    if (python_) {
        return python_;
    }
    if (shape_ != nullptr) {
        return shape_->python_item(index_);
    }
    return py::int_(*integer_);
}

py::object Number::to_int() const { return python_ ? python::to_int(python_) : py::object(py::int_(*integer_)); }

std::string Number::text() const { return integer_ ? std::to_string(*integer_) : py::str(python_).cast<std::string>(); }

bool not_equal(const Number& a, const Number& b) {
    if (a.integer() && b.integer()) {
        return *a.integer() != *b.integer();
    }
    return python::compare(a.object(), b.object(), Py_NE);
}

bool greater(const Number& a, const Number& b) {
    if (a.integer() && b.integer()) {
        return *a.integer() > *b.integer();
    }
    return python::compare(a.object(), b.object(), Py_GT);
}

Shape::Shape(const Value& owner) : owner_(owner), dims_(relay::fixed_shape(relay::checked_tensor_type(owner.node()))) {
    if (!dims_) {
        python();
    }
}

const py::object& Shape::python() const {
    if (!python_) {
        python_ = read(owner_, "checked_type").attr(key("shape"));
    }
    return python_;
}

std::size_t Shape::rank() const { return dims_ ? dims_->size() : static_cast<std::size_t>(python::len(python())); }

Number Shape::operator[](std::size_t i) const {
    if (dims_ && i < dims_->size()) {
        return Number::dimension((*dims_)[i], *this, i);
    }
    return Number::python(python_item(i));
}

py::object Shape::python_item(std::size_t i) const { return python::item(python(), static_cast<Py_ssize_t>(i)); }

bool Shape::equals(const Shape& other) const {
    if (dims_ && other.dims_) {
        return *dims_ == *other.dims_;
    }
    return python::compare(py::list(python()), py::list(other.python()), Py_EQ);
}

std::string Shape::text() const {
    if (dims_) {
        return join_dims(*dims_);
    }
    return py::str(py::tuple(python())).cast<std::string>();
}

namespace {

// The dtype named by `name`, parsed once per name (the names are string
// literals; the interpreter lock guards the cache).
DLDataType parsed_dtype(const char* name) {
    static auto* cache = new std::vector<std::pair<const char*, DLDataType>>();
    for (const auto& [text, dtype] : *cache) {
        if (text == name) {
            return dtype;
        }
    }
    cache->emplace_back(name, tvm::runtime::String2DLDataType(name));
    return cache->back().second;
}

}  // namespace

bool Text::native_equals(const char* choice) const {
    if (dtype_) {
        const DLDataType wanted = parsed_dtype(choice);
        return dtype_->code == wanted.code && dtype_->bits == wanted.bits && dtype_->lanes == wanted.lanes;
    }
    return *native_ == choice;
}

bool Text::in(const std::vector<const char*>& choices) const {
    if (python_) {
        return python::in_list(python_, choices);
    }
    for (const char* choice : choices) {
        if (native_equals(choice)) {
            return true;
        }
    }
    return false;
}

py::object Text::equals(const char* choice) const {
    if (python_) {
        return python::checked(PyObject_RichCompare(python_.ptr(), py::str(choice).ptr(), Py_EQ));
    }
    return py::bool_(native_equals(choice));
}

std::string Text::text() const {
    if (python_) {
        return py::str(python_).cast<std::string>();
    }
    return dtype_ ? tvm::runtime::DLDataType2String(*dtype_) : *native_;
}

Value arg(const Value& call, std::size_t i) {
    const relay::CallNode* node = call.call();
    if (node != nullptr && i < node->args.size() && node->args[i].defined()) {
        return Value::of_node(node->args[i]);
    }
    return Value::of(python::item(read(call, "args"), static_cast<Py_ssize_t>(i)));
}

std::vector<Value> args(const Value& call) {
    std::vector<Value> values;
    if (const relay::CallNode* node = call.call()) {
        bool all_defined = true;
        for (const tvm::RelayExpr& argument : node->args) {
            all_defined = all_defined && argument.defined();
        }
        if (all_defined) {
            for (const tvm::RelayExpr& argument : node->args) {
                values.push_back(Value::of_node(argument));
            }
            return values;
        }
    }
    for (py::handle argument : read(call, "args")) {
        values.push_back(Value::of(argument));
    }
    return values;
}

std::vector<Value> fields(const Value& tuple) {
    std::vector<Value> values;
    if (const auto* node = relay::as<tvm::relay::TupleNode>(tuple.node())) {
        for (const tvm::RelayExpr& field : node->fields) {
            if (!field.defined()) {
                values.clear();
                break;
            }
            values.push_back(Value::of_node(field));
        }
        if (values.size() == node->fields.size()) {
            return values;
        }
    }
    for (py::handle field : read(tuple, "fields")) {
        values.push_back(Value::of(field));
    }
    return values;
}

Value callee(const Value& call) {
    const relay::CallNode* node = call.call();
    if (node != nullptr && node->op.defined()) {
        return Value::of_node(node->op);
    }
    return Value::of(read(call, "op"));
}

Value attrs(const Value& call) {
    const relay::CallNode* node = call.call();
    if (node != nullptr && node->attrs.defined()) {
        return Value::of_node(node->attrs);
    }
    return Value::of(read(call, "attrs"));
}

namespace {

// The attributes node behind `attrs`, when it is one.
tvm::Attrs attrs_node(const Value& attrs) {
    const auto* node = relay::as<tvm::BaseAttrsNode>(attrs.node());
    return node == nullptr ? tvm::Attrs() : tvm::runtime::GetRef<tvm::Attrs>(node);
}

}  // namespace

Number int_attr(const Value& attrs, const char* name) {
    if (const auto value = relay::int_attribute(attrs_node(attrs), name)) {
        return Number::fixed(*value);
    }
    return Number::python(read(attrs, "get_int")(key(name)));
}

Text str_attr(const Value& attrs, const char* name) {
    if (auto value = relay::str_attribute(attrs_node(attrs), name)) {
        return Text::native(std::move(*value));
    }
    return Text::python(read(attrs, "get_str")(key(name)));
}

bool nonzero_attr(const Value& attrs, const char* name, std::string* text) {
    if (const auto value = relay::numeric_attribute(attrs_node(attrs), name)) {
        if (text != nullptr) {
            *text = py::str(py::float_(*value)).cast<std::string>();
        }
        return *value != 0.0;
    }
    py::object value = read(attrs, "get_int")(key(name));
    const bool nonzero = python::compare(value, py::float_(0.0), Py_NE);
    if (text != nullptr) {
        *text = py::str(value).cast<std::string>();
    }
    return nonzero;
}

Text dtype(const Value& value) {
    if (const tvm::TensorTypeNode* type = relay::checked_tensor_type(value.node())) {
        return Text::native_dtype(type->dtype);
    }
    return Text::python(read(value, "checked_type").attr(key("dtype")));
}

std::string kind_of(const Value& value) {
    if (const tvm::Object* node = value.node()) {
        if (const tvm::runtime::String* name = relay::op_name(relay::as_call(node))) {
            return std::string(*name);
        }
        const std::string type_key = node->GetTypeKey();
        return type_key.substr(type_key.rfind('.') + 1);
    }
    try {
        py::object op = value.python().attr("op");
        if (py::isinstance(op, py::module_::import("tvm.ir").attr("Op"))) {
            return op.attr("name").cast<std::string>();
        }
    } catch (const py::error_already_set&) {
    }
    return py::str(py::type::handle_of(value.python()).attr("__name__")).cast<std::string>();
}

std::vector<int64_t> dims_of(const Value& value) {
    if (const auto dims = relay::fixed_shape(relay::checked_tensor_type(value.node()))) {
        return *dims;
    }
    std::vector<int64_t> dims;
    try {
        for (py::handle dim : value.python().attr("checked_type").attr("shape")) {
            dims.push_back(py::int_(py::reinterpret_borrow<py::object>(dim)).cast<int64_t>());
        }
    } catch (const py::error_already_set&) {
        dims.clear();
    } catch (const py::cast_error&) {
        dims.clear();
    }
    return dims;
}

}  // namespace vexa::patterns::checks
