#include "patterns/ops_resize_check.hpp"

#include <tvm/runtime/data_type.h>

#include <optional>
#include <string>

#include "patterns/ops_python.hpp"
#include "relay/access.hpp"
#include "relay/bridge.hpp"

namespace vexa::patterns {

namespace {

constexpr const char* kAcceptedDtypes[] = {"int8", "uint8"};
constexpr const char* kAcceptedRoundings[] = {"", "round", "round_prefer_ceil"};

template <std::size_t N>
bool one_of(const std::string& text, const char* const (&choices)[N]) {
    for (const char* choice : choices) {
        if (text == choice) {
            return true;
        }
    }
    return false;
}

// The verdict read from TVM's objects; empty when a Python read would fail
// or compare something other than text (the Python-level check then runs).
// `constant_is_tvms`: the module still binds TVM's own `Constant`.
std::optional<bool> native_verdict(const tvm::Object* expr, bool constant_is_tvms) {
    const relay::CallNode* call = relay::as_call(expr);
    const tvm::RelayExprNode* data = relay::arg(call, 0);
    if (data == nullptr || !constant_is_tvms) {
        return std::nullopt;
    }
    if (data->IsInstance<tvm::relay::ConstantNode>()) {
        return false;
    }
    const tvm::TensorTypeNode* type = relay::checked_tensor_type(data);
    if (type == nullptr) {
        return std::nullopt;
    }
    if (!one_of(tvm::runtime::DLDataType2String(type->dtype), kAcceptedDtypes)) {
        return false;
    }
    const auto method = relay::str_attribute(call->attrs, "method");
    if (!method) {
        return std::nullopt;
    }
    if (*method != "nearest_neighbor") {
        return false;
    }
    const auto rounding = relay::str_attribute(call->attrs, "rounding_method");
    if (!rounding) {
        return std::nullopt;
    }
    return one_of(*rounding, kAcceptedRoundings);
}

bool equals_any(py::handle value, const char* const* choices, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (python::compare(value, py::str(choices[i]), Py_EQ)) {
            return true;
        }
    }
    return false;
}

}  // namespace

ResizeCheck::ResizeCheck(const py::module_& m) : context_(m), constant_name_(interned("Constant")) {}

py::object ResizeCheck::check(py::handle expr) const {
    const tvm::runtime::ObjectRef object = object_of(expr);
    if (object.defined()) {
        if (const auto verdict = native_verdict(object.get(), context_.unchanged(CheckContext::kConstant))) {
            return py::bool_(*verdict);
        }
    }
    return py::bool_(python_verdict(expr));
}

bool ResizeCheck::python_verdict(py::handle expr) const {
    py::object attrs = expr.attr("attrs");
    py::object args = expr.attr("args");
    py::object data = python::first_item(args);
    py::object constant_class = context_.globals()[constant_name_];
    const int is_constant = PyObject_IsInstance(data.ptr(), constant_class.ptr());
    if (is_constant < 0) {
        throw py::error_already_set();
    }
    if (is_constant != 0) {
        return false;
    }
    py::object dtype = python::first_item(args).attr("checked_type").attr("dtype");
    if (!equals_any(dtype, kAcceptedDtypes, std::size(kAcceptedDtypes))) {
        return false;
    }
    if (python::compare(attrs.attr("get_str")("method"), py::str("nearest_neighbor"), Py_NE)) {
        return false;
    }
    return equals_any(attrs.attr("get_str")("rounding_method"), kAcceptedRoundings, std::size(kAcceptedRoundings));
}

}  // namespace vexa::patterns
