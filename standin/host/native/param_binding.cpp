#include "param_binding.hpp"

#include <tvm/ir/type.h>
#include <tvm/node/structural_equal.h>
#include <tvm/relay/transform.h>

#include <unordered_map>
#include <unordered_set>

#include "composite_typing.hpp"

namespace vexa_host {
namespace {

using namespace tvm::relay;

tvm::Type type_of(const Constant& constant) {
    const tvm::runtime::NDArray& data = constant->data;
    tvm::Array<tvm::PrimExpr> shape;
    for (int i = 0; i < data->ndim; ++i) {
        shape.push_back(tvm::IntImm(tvm::DataType::Int(32), data->shape[i]));
    }
    return tvm::TensorType(shape, data.DataType());
}

// The parameter's type, when the constant has exactly that type.
tvm::Type shared_type(const Var& param, const Constant& constant) {
    const tvm::Type& declared = param->checked_type_.defined() ? param->checked_type_ : param->type_annotation;
    if (!declared.defined() || !tvm::StructuralEqual()(declared, type_of(constant))) {
        return tvm::Type();
    }
    return declared;
}

// The type inference gives a function whose body and parameters are typed.
void type_function(const Function& function) {
    tvm::Array<tvm::Type> param_types;
    for (const auto& param : function->params) {
        param_types.push_back(param->checked_type_);
    }
    auto* node = const_cast<FunctionNode*>(function.get());
    if (!node->ret_type.defined()) {
        node->ret_type = function->body->checked_type_;
    }
    node->checked_type_ = tvm::FuncType(param_types, node->ret_type, function->type_params, {});
}

}  // namespace

BoundParams bind_params(const Function& function, const std::vector<std::pair<std::string, Constant>>& values) {
    std::unordered_map<std::string, Var> by_name;
    std::unordered_set<std::string> repeated;
    for (const auto& param : function->params) {
        if (!by_name.emplace(param->name_hint(), param).second) {
            repeated.insert(param->name_hint());
        }
    }
    const bool was_typed = fully_typed(function);
    bool typed = was_typed;
    tvm::Map<Var, tvm::RelayExpr> binds;
    for (const auto& [name, constant] : values) {
        const auto found = by_name.find(name);
        if (found == by_name.end()) {
            continue;
        }
        if (repeated.count(name) != 0) {
            return {function, false, name};
        }
        const tvm::Type type = was_typed ? shared_type(found->second, constant) : tvm::Type();
        typed = typed && type.defined();
        // A copy: the caller's constant may be bound elsewhere too.
        Constant bound(constant->data, constant->span);
        if (type.defined()) {
            bound->checked_type_ = type;
        }
        binds.Set(found->second, bound);
    }
    if (binds.empty()) {
        return {function, was_typed, ""};
    }
    Function result = tvm::runtime::Downcast<Function>(Bind(function, binds));
    if (typed && !result.same_as(function)) {
        type_function(result);
    }
    return {result, typed && fully_typed(result), ""};
}

}  // namespace vexa_host
