#include "patterns/fp32_check_support.hpp"

#include <tvm/relay/expr.h>
#include <tvm/relay/function.h>
#include <tvm/tir/expr.h>

#include <cstring>
#include <unordered_map>

#include "relay/access.hpp"
#include "relay/bridge.hpp"

namespace vexa::patterns {

namespace {

// Whether instances of `type` are read natively: only TVM's own classes
// qualify, so that a Python subclass that overrides an attribute, or any
// other stand-in, is read through Python.  Answers are cached per type; the
// cache keeps the types alive so that an address is never reused.
bool trusted_type(PyTypeObject* type) {
    static auto* cache = new std::unordered_map<PyTypeObject*, bool>();
    auto found = cache->find(type);
    if (found != cache->end()) {
        return found->second;
    }
    bool trusted = false;
    py::object module_name = py::getattr(py::handle(reinterpret_cast<PyObject*>(type)), "__module__", py::none());
    if (PyUnicode_Check(module_name.ptr())) {
        const char* text = PyUnicode_AsUTF8(module_name.ptr());
        if (text == nullptr) {
            throw py::error_already_set();
        }
        trusted = std::strncmp(text, "tvm.", 4) == 0;
    }
    Py_INCREF(type);
    cache->emplace(type, trusted);
    return trusted;
}

// Whether the module binding `name` is still the function `own`.
bool still_own(const Fp32Context& context, const py::str& name, const py::object& own) {
    return own && context.global(name).is(own);
}

}  // namespace

CheckValue CheckValue::of(py::handle value) {
    CheckValue result;
    result.object_ = py::reinterpret_borrow<py::object>(value);
    if (trusted_type(Py_TYPE(value.ptr()))) {
        result.node_ = object_of(value);
    }
    return result;
}

CheckValue CheckValue::of_node(tvm::runtime::ObjectRef node) {
    CheckValue result;
    result.node_ = std::move(node);
    return result;
}

const py::object& CheckValue::python() const {
    if (!object_) {
        object_ = to_python(node_);
    }
    return object_;
}

Fp32Context::Fp32Context(const py::module_& m)
    : check_fp32_name(interned("check_fp32")),
      is_captured_name(interned("is_captured")),
      consumers_name(interned("get_consumers_mc")),
      find_call_name(interned("find_call_of_type")),
      query_name(interned("hwinquire_parameter")),
      arch_name(interned("get_current_arch_value")),
      classes_(m) {}

void Fp32Context::set_own(py::object check_fp32, py::object is_captured) {
    own_check_fp32_ = std::move(check_fp32);
    own_is_captured_ = std::move(is_captured);
}

py::object Fp32Context::check_fp32(const CheckValue& value) const {
    if (still_own(*this, check_fp32_name, own_check_fp32_)) {
        return check_fp32_body(*this, value);
    }
    return global(check_fp32_name)(value.python());
}

py::object Fp32Context::is_captured(const CheckValue& value) const {
    if (still_own(*this, is_captured_name, own_is_captured_)) {
        return is_captured_body(*this, value);
    }
    return global(is_captured_name)(value.python());
}

py::object check_fp32_body(const Fp32Context&, const CheckValue& extract) {
    if (const tvm::TensorTypeNode* type = tensor_type(extract.node())) {
        const tvm::DataType dtype = type->dtype;
        return py::bool_(dtype.is_float() && dtype.bits() == 32 && dtype.lanes() == 1);
    }
    py::object dtype = extract.python().attr("checked_type").attr("dtype");
    static const py::str* float32 = new py::str(interned("float32"));
    PyObject* result = PyObject_RichCompare(dtype.ptr(), float32->ptr(), Py_EQ);
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}

py::object is_captured_body(const Fp32Context& context, const CheckValue& extract) {
    const CheckContext& classes = context.classes();
    if (extract.node() != nullptr && classes.unchanged(CheckContext::kCall) &&
        classes.unchanged(CheckContext::kFunction)) {
        return py::bool_(relay::calls_function(relay::as_call(extract.node())));
    }
    const py::object& value = extract.python();
    if (!python_isinstance(value, classes.globals()["Call"])) {
        return py::bool_(false);
    }
    return py::bool_(python_isinstance(value.attr("op"), classes.globals()["Function"]));
}

const tvm::TensorTypeNode* tensor_type(const tvm::Object* node) { return relay::checked_tensor_type(node); }

std::optional<int64_t> fixed_dim(const tvm::TensorTypeNode* type, std::size_t i) {
    if (type == nullptr || i >= type->shape.size()) {
        return std::nullopt;
    }
    const auto* value = type->shape[i].as<tvm::IntImmNode>();
    if (value == nullptr || !value->dtype.is_int()) {
        return std::nullopt;
    }
    return value->value;
}

bool all_dims_fixed(const tvm::TensorTypeNode* type) {
    if (type == nullptr) {
        return false;
    }
    for (std::size_t i = 0; i < type->shape.size(); ++i) {
        if (!fixed_dim(type, i)) {
            return false;
        }
    }
    return true;
}

std::optional<double> numeric_attribute(const tvm::Object* call, const char* name) {
    const auto* node = relay::as_call(call);
    if (node == nullptr) {
        return std::nullopt;
    }
    auto value = relay::attribute(node->attrs, name);
    if (!value) {
        return std::nullopt;
    }
    if (value->type_code() == kDLFloat) {
        return value->operator double();
    }
    if (value->type_code() == kDLInt) {
        const auto integer = value->operator int64_t();
        // Exactly representable integers only, so that comparing the double
        // answers as Python's comparison of the int would.
        if (integer > -(int64_t{1} << 53) && integer < (int64_t{1} << 53)) {
            return static_cast<double>(integer);
        }
    }
    return std::nullopt;
}

bool truth(const py::handle& value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) {
        throw py::error_already_set();
    }
    return result != 0;
}

namespace {

bool compare(py::handle a, py::handle b, int op) {
    auto result = py::reinterpret_steal<py::object>(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    if (!result) {
        throw py::error_already_set();
    }
    return truth(result);
}

}  // namespace

bool python_ne(py::handle a, py::handle b) { return compare(a, b, Py_NE); }

bool python_gt(py::handle a, py::handle b) { return compare(a, b, Py_GT); }

py::ssize_t python_len(py::handle value) {
    const Py_ssize_t size = PyObject_Size(value.ptr());
    if (size < 0) {
        throw py::error_already_set();
    }
    return size;
}

py::object python_item(py::handle sequence, py::ssize_t index) {
    py::object key = py::int_(index);
    PyObject* item = PyObject_GetItem(sequence.ptr(), key.ptr());
    if (item == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(item);
}

}  // namespace vexa::patterns
