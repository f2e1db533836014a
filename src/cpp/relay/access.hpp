// Reads of Relay nodes through TVM's C++ API that the package's graph code
// repeats: the operator name of a call, its i-th argument, the checked tensor
// type of an expression and its shape, and attributes read by name.
//
// Every helper answers "not available" (null or an empty optional) instead of
// failing, so that callers can fall back to the Python-level read, which
// raises exactly the error a Python caller expects.
#pragma once

#include <tvm/ir/op.h>
#include <tvm/ir/type.h>
#include <tvm/node/reflection.h>
#include <tvm/relay/expr.h>
#include <tvm/relay/function.h>
#include <tvm/relay/type.h>
#include <tvm/tir/expr.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexa::relay {

using tvm::RelayExpr;
using tvm::relay::CallNode;

// `node` as a node of type T, or null when it is another kind of node (or
// null itself).
template <typename T>
const T* as(const tvm::Object* node) {
    return node != nullptr && node->IsInstance<T>() ? static_cast<const T*>(node) : nullptr;
}

// The call node of `expr`, or null when `expr` is not a call.
inline const CallNode* as_call(const tvm::runtime::ObjectRef& expr) { return expr.as<CallNode>(); }
inline const CallNode* as_call(const tvm::Object* expr) { return as<CallNode>(expr); }

// The operator name of a call of a primitive operator; null when the callee
// is something else (a function, a variable...).
inline const tvm::runtime::String* op_name(const CallNode* call) {
    if (call == nullptr) {
        return nullptr;
    }
    const auto* op = call->op.as<tvm::OpNode>();
    return op == nullptr ? nullptr : &op->name;
}

// Whether `expr` is a call of the operator `name`.
inline bool is_call_of(const tvm::Object* expr, const char* name) {
    const tvm::runtime::String* callee = op_name(as_call(expr));
    return callee != nullptr && *callee == name;
}

// The i-th argument of a call; null when there is none.  The node stays
// alive as long as the call does.
inline const tvm::RelayExprNode* arg(const CallNode* call, std::size_t i) {
    if (call == nullptr || i >= call->args.size()) {
        return nullptr;
    }
    return call->args[i].get();
}

// Whether the callee of a call is a Relay function (a composite call, once
// the partitioner has formed composites).
inline bool calls_function(const CallNode* call) {
    return call != nullptr && call->op.as<tvm::relay::FunctionNode>() != nullptr;
}

// The inferred tensor type of an expression; null when types have not been
// inferred yet or the type is not a tensor type.
inline const tvm::TensorTypeNode* checked_tensor_type(const tvm::Object* expr) {
    if (expr == nullptr || !expr->IsInstance<tvm::RelayExprNode>()) {
        return nullptr;
    }
    const auto* node = static_cast<const tvm::RelayExprNode*>(expr);
    if (!node->checked_type_.defined()) {
        return nullptr;
    }
    return node->checked_type_.as<tvm::TensorTypeNode>();
}

// Dimension i of a tensor type when it is a fixed integer (an integer
// constant of an integer type); empty for a symbolic dimension or none.
inline std::optional<int64_t> fixed_dim(const tvm::TensorTypeNode* type, std::size_t i) {
    if (type == nullptr || i >= type->shape.size()) {
        return std::nullopt;
    }
    const auto* value = type->shape[i].as<tvm::IntImmNode>();
    if (value == nullptr || !value->dtype.is_int()) {
        return std::nullopt;
    }
    return value->value;
}

// The dimensions of a tensor type when all of them are fixed integers.
inline std::optional<std::vector<int64_t>> fixed_shape(const tvm::TensorTypeNode* type) {
    if (type == nullptr) {
        return std::nullopt;
    }
    std::vector<int64_t> dims;
    dims.reserve(type->shape.size());
    for (std::size_t i = 0; i < type->shape.size(); ++i) {
        const auto dim = fixed_dim(type, i);
        if (!dim) {
            return std::nullopt;
        }
        dims.push_back(*dim);
    }
    return dims;
}

// The attribute `name` of an attributes object, read through TVM's reflection
// (what `Attrs.get_int` / `Attrs.get_str` read); an empty value when the
// object has no such field.
inline std::optional<tvm::runtime::TVMRetValue> attribute(const tvm::Attrs& attrs, const char* name) {
    if (!attrs.defined()) {
        return std::nullopt;
    }
    try {
        return std::optional<tvm::runtime::TVMRetValue>(
            std::in_place, tvm::ReflectionVTable::Global()->GetAttr(
                               const_cast<tvm::Object*>(static_cast<const tvm::Object*>(attrs.get())), name));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// The integer value of an attribute stored as a machine integer or as an
// integer node (`channels` of a convolution is an IntImm); empty otherwise.
inline std::optional<int64_t> int_attribute(const tvm::Attrs& attrs, const char* name) {
    auto value = attribute(attrs, name);
    if (!value) {
        return std::nullopt;
    }
    if (value->type_code() == kDLInt) {
        return value->operator int64_t();
    }
    if (value->type_code() == kTVMObjectHandle) {
        auto object = value->operator tvm::runtime::ObjectRef();
        if (const auto* imm = object.as<tvm::IntImmNode>()) {
            return imm->value;
        }
    }
    return std::nullopt;
}

// The text of an attribute stored as text; empty otherwise.
inline std::optional<std::string> str_attribute(const tvm::Attrs& attrs, const char* name) {
    auto value = attribute(attrs, name);
    if (!value) {
        return std::nullopt;
    }
    if (value->type_code() == kTVMStr) {
        return value->operator std::string();
    }
    if (value->type_code() == kTVMObjectHandle) {
        auto object = value->operator tvm::runtime::ObjectRef();
        if (const auto* text = object.as<tvm::runtime::StringObj>()) {
            return std::string(text->data, text->size);
        }
    }
    return std::nullopt;
}

// A numeric attribute (float or integer) as a double, for integers only
// when the double holds them exactly, so that comparing the double answers
// as comparing the Python number would; empty otherwise.
inline std::optional<double> numeric_attribute(const tvm::Attrs& attrs, const char* name) {
    auto value = attribute(attrs, name);
    if (!value) {
        return std::nullopt;
    }
    if (value->type_code() == kDLFloat) {
        return value->operator double();
    }
    if (value->type_code() == kDLInt) {
        const auto integer = value->operator int64_t();
        if (integer > -(int64_t{1} << 53) && integer < (int64_t{1} << 53)) {
            return static_cast<double>(integer);
        }
    }
    return std::nullopt;
}

}  // namespace vexa::relay
