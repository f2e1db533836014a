#include "bias_forms.hpp"

#include <tvm/ir/op.h>
#include <tvm/node/structural_equal.h>
#include <tvm/relay/attrs/nn.h>
#include <tvm/relay/attrs/transform.h>
#include <tvm/relay/expr_functor.h>
#include <tvm/runtime/ndarray.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "node_cast.hpp"
#include "relay/graph_walk.hpp"
#include "relay/node_tables.hpp"
#include "typed_call.hpp"

namespace vexa_host {
namespace {

using namespace tvm::relay;
using tvm::runtime::NDArray;

struct Untyped {};

const tvm::TensorTypeNode* tensor_type(const tvm::RelayExpr& expr) {
    return expr->checked_type_.as<tvm::TensorTypeNode>();
}

tvm::PrimExpr dim(int64_t value) { return tvm::IntImm(tvm::DataType::Int(32), value); }

// The value of a fixed dimension, or -1.
int64_t fixed(const tvm::PrimExpr& dimension) {
    const auto* value = dimension.as<tvm::IntImmNode>();
    return value != nullptr ? value->value : -1;
}

std::vector<int64_t> shape_of(const Constant& constant) {
    return std::vector<int64_t>(constant->data->shape, constant->data->shape + constant->data->ndim);
}

const CallNode* call_of(const tvm::RelayExpr& expr, const tvm::Op& op, std::size_t arity) {
    const auto* call = expr.as<CallNode>();
    return call != nullptr && call->op.same_as(op) && call->args.size() == arity ? call : nullptr;
}

// The elements of a constant as a vector, typed.
Constant vector_of(const Constant& constant) {
    const NDArray& data = constant->data;
    int64_t count = 1;
    for (int64_t extent : shape_of(constant)) {
        count *= extent;
    }
    NDArray vector = NDArray::Empty(tvm::runtime::ShapeTuple({count}), data.DataType(), DLDevice{kDLCPU, 0});
    std::memcpy(vector->data, static_cast<const char*>(data->data) + data->byte_offset,
                static_cast<std::size_t>(count) * data.DataType().bytes());
    Constant result(vector);
    result->checked_type_ = result->tensor_type();
    return result;
}

Call bias_add(const tvm::RelayExpr& data, const Constant& bias, int axis, const tvm::Type& type) {
    static const tvm::Op& op = tvm::Op::Get("nn.bias_add");
    auto attrs = tvm::runtime::make_object<BiasAddAttrs>();
    attrs->axis = axis;
    return typed_call(op, {data, bias}, tvm::Attrs(attrs), type);
}

// Who uses each node of a function, as TVM's pattern rewriter sees it: a
// node inside a matched form must have no user outside the form.
class Users {
public:
    explicit Users(const tvm::RelayExpr& root) {
        auto enter = [](const FunctionNode*) { return true; };
        vexa::relay::post_order_walk(root.get(), enter, [&](const tvm::Object* user) {
            vexa::relay::for_each_operand(user, enter, [&](const tvm::Object* used) { record(used, user); });
        });
    }

    bool used_only_by(const tvm::RelayExpr& node, const tvm::Object* user) const {
        const auto found = users_.find(node.get());
        return found != users_.end() && found->second.first == user && !found->second.second;
    }

private:
    void record(const tvm::Object* used, const tvm::Object* user) {
        auto [entry, first] = users_.emplace(used, std::make_pair(user, false));
        if (!first && entry->second.first != user) {
            entry->second.second = true;
        }
    }

    // (first user, whether another user was seen)
    vexa::NodeMap<std::pair<const tvm::Object*, bool>> users_;
};

class BiasAddExpansion : public ExprRewriter {
public:
    using ExprRewriter::Rewrite_;

    tvm::RelayExpr Rewrite_(const CallNode* pre, const tvm::RelayExpr& post) final {
        static const tvm::Op& bias_add_op = tvm::Op::Get("nn.bias_add");
        static const tvm::Op& expand_dims = tvm::Op::Get("expand_dims");
        static const tvm::Op& add = tvm::Op::Get("add");
        if (!pre->op.same_as(bias_add_op)) {
            return post;
        }
        const auto* data_type = tensor_type(pre->args[0]);
        const auto* bias_type = tensor_type(pre->args[1]);
        const auto* attrs = pre->attrs.as<BiasAddAttrs>();
        if (data_type == nullptr || bias_type == nullptr || attrs == nullptr || !pre->checked_type_.defined()) {
            throw Untyped{};
        }
        const auto* call = post.as<CallNode>();
        const int rank = static_cast<int>(data_type->shape.size());
        const int axis = attrs->axis < 0 ? attrs->axis + rank : attrs->axis;
        tvm::RelayExpr bias = call->args[1];
        // The bias vector gets unit axes after its own, up to the data's last.
        const int trailing = rank - axis - 1;
        if (trailing > 0) {
            auto expand = tvm::runtime::make_object<ExpandDimsAttrs>();
            expand->axis = 1;
            expand->num_newaxis = trailing;
            tvm::Array<tvm::PrimExpr> shape = bias_type->shape;
            for (int i = 0; i < trailing; ++i) {
                shape.insert(shape.begin() + std::min<std::size_t>(1, shape.size()), dim(1));
            }
            bias = typed_call(expand_dims, {bias}, tvm::Attrs(expand), tvm::TensorType(shape, bias_type->dtype));
        }
        return typed_call(add, {call->args[0], bias}, tvm::Attrs(), pre->checked_type_);
    }
};

// The one value of a constant whose elements are all equal, as a double.
std::optional<double> uniform(const tvm::RelayExpr& expr) {
    const auto* constant = expr.as<ConstantNode>();
    if (constant == nullptr) {
        return std::nullopt;
    }
    const NDArray& data = constant->data;
    const tvm::DataType dtype = data.DataType();
    int64_t count = 1;
    for (int i = 0; i < data->ndim; ++i) {
        count *= data->shape[i];
    }
    if (count == 0 || dtype.lanes() != 1) {
        return std::nullopt;
    }
    auto read = [&](int64_t i) -> std::optional<double> {
        const char* at = static_cast<const char*>(data->data) + data->byte_offset + i * dtype.bytes();
        auto load = [at](auto zero) {
            decltype(zero) value;
            std::memcpy(&value, at, sizeof value);
            return static_cast<double>(value);
        };
        if (dtype.is_float() && dtype.bits() == 32) return load(float{});
        if (dtype.is_float() && dtype.bits() == 64) return load(double{});
        if (dtype.is_int() && dtype.bits() == 8) return load(int8_t{});
        if (dtype.is_int() && dtype.bits() == 16) return load(int16_t{});
        if (dtype.is_int() && dtype.bits() == 32) return load(int32_t{});
        if (dtype.is_int() && dtype.bits() == 64) return load(int64_t{});
        if (dtype.is_uint() && dtype.bits() == 8) return load(uint8_t{});
        if (dtype.is_uint() && dtype.bits() == 16) return load(uint16_t{});
        if (dtype.is_uint() && dtype.bits() == 32) return load(uint32_t{});
        return std::nullopt;
    };
    const std::optional<double> first = read(0);
    for (int64_t i = 1; first && i < count; ++i) {
        if (read(i) != first) {
            return std::nullopt;
        }
    }
    return first;
}

class RequantizedReluToClip : public ExprRewriter {
public:
    explicit RequantizedReluToClip(const Users& users) : users_(users) {}

    using ExprRewriter::Rewrite_;

    tvm::RelayExpr Rewrite_(const CallNode* pre, const tvm::RelayExpr& post) final {
        static const tvm::Op& requantize = tvm::Op::Get("qnn.requantize");
        static const tvm::Op& clip = tvm::Op::Get("clip");
        if (!pre->op.same_as(requantize) || pre->args.size() != 5) {
            return post;
        }
        const auto* out_type = tensor_type(tvm::runtime::GetRef<tvm::RelayExpr>(pre));
        const std::optional<double> in_zp = uniform(pre->args[2]);
        const std::optional<double> out_zp = uniform(pre->args[4]);
        if (out_type == nullptr || !in_zp || !out_zp || !(out_type->dtype.is_int() || out_type->dtype.is_uint())) {
            return post;
        }
        const int bits = out_type->dtype.bits();
        const double a_max = out_type->dtype.is_int() ? std::ldexp(1.0, bits - 1) - 1 : std::ldexp(1.0, bits) - 1;
        if (*out_zp > a_max) {
            return post;
        }
        // A ReLU twice over is taken off twice: the rewrite of the first makes
        // a requantize of the second.
        int clips = 0;
        const tvm::Object* user = pre;
        tvm::RelayExpr pre_data = pre->args[0];
        tvm::RelayExpr post_data = post.as<CallNode>()->args[0];
        while (const CallNode* maximum = relu_below(pre_data, user, *in_zp)) {
            user = maximum;
            pre_data = maximum->args[0];
            post_data = post_data.as<CallNode>()->args[0];
            ++clips;
        }
        if (clips == 0) {
            return post;
        }
        tvm::Array<tvm::RelayExpr> args = post.as<CallNode>()->args;
        args.Set(0, post_data);
        tvm::RelayExpr result = typed_call(requantize, args, pre->attrs, pre->checked_type_);
        auto attrs = tvm::runtime::make_object<ClipAttrs>();
        attrs->a_min = *out_zp;
        attrs->a_max = a_max;
        for (int i = 0; i < clips; ++i) {
            result = typed_call(clip, {result}, tvm::Attrs(attrs), pre->checked_type_);
        }
        return result;
    }

private:
    // `expr` as `maximum(x, zp_in)` used only by `user`, of the shape of x.
    const CallNode* relu_below(const tvm::RelayExpr& expr, const tvm::Object* user, double in_zp) const {
        static const tvm::Op& maximum_op = tvm::Op::Get("maximum");
        const CallNode* maximum = call_of(expr, maximum_op, 2);
        if (maximum == nullptr || !maximum->args[1]->IsInstance<ConstantNode>() || !users_.used_only_by(expr, user)) {
            return nullptr;
        }
        const std::optional<double> bound = uniform(maximum->args[1]);
        const auto* data_type = tensor_type(maximum->args[0]);
        const auto* max_type = tensor_type(expr);
        // A bound that broadcasts the data to a larger shape is not a ReLU.
        if (!bound || *bound != in_zp || data_type == nullptr || max_type == nullptr ||
            !tvm::StructuralEqual()(data_type->shape, max_type->shape)) {
            return nullptr;
        }
        return maximum;
    }

    const Users& users_;
};

class QuantizedBiasAdds : public ExprRewriter {
public:
    explicit QuantizedBiasAdds(const Users& users) : users_(users) {}

    using ExprRewriter::Rewrite_;

    tvm::RelayExpr Rewrite_(const CallNode* pre, const tvm::RelayExpr& post) final {
        static const tvm::Op& add = tvm::Op::Get("add");
        if (!pre->op.same_as(add) || pre->args.size() != 2) {
            return post;
        }
        const auto* call = post.as<CallNode>();
        // The matcher tries the operands of an add in both orders.
        for (int side : {0, 1}) {
            if (std::optional<tvm::RelayExpr> conv = convolution_bias(pre, call, side)) {
                return *conv;
            }
            if (std::optional<tvm::RelayExpr> dense = dense_bias(pre, call, side)) {
                return *dense;
            }
        }
        return post;
    }

private:
    // nullopt: no match on this side; `post` itself: a match declined.
    std::optional<tvm::RelayExpr> convolution_bias(const CallNode* pre, const CallNode* post, int side) const {
        static const tvm::Op& conv2d = tvm::Op::Get("qnn.conv2d");
        const CallNode* conv = call_of(pre->args[side], conv2d, 6);
        const auto* bias = pre->args[1 - side].as<ConstantNode>();
        if (conv == nullptr || bias == nullptr || !users_.used_only_by(pre->args[side], pre)) {
            return std::nullopt;
        }
        const tvm::RelayExpr unchanged = tvm::runtime::GetRef<tvm::RelayExpr>(post);
        const auto* attrs = conv->attrs.as<Conv2DAttrs>();
        const auto* conv_type = tensor_type(pre->args[side]);
        if (attrs == nullptr || attrs->data_layout != "NHWC" || conv_type == nullptr || conv_type->shape.size() != 4) {
            return unchanged;
        }
        const int64_t channels = fixed(conv_type->shape[3]);
        const std::vector<int64_t> shape = shape_of(tvm::runtime::GetRef<Constant>(bias));
        if (channels < 0 ||
            (shape != std::vector<int64_t>{channels} && shape != std::vector<int64_t>{1, 1, 1, channels})) {
            return unchanged;
        }
        return bias_add(post->args[side], vector_of(tvm::runtime::GetRef<Constant>(bias)), 3, pre->checked_type_);
    }

    std::optional<tvm::RelayExpr> dense_bias(const CallNode* pre, const CallNode* post, int side) const {
        static const tvm::Op& dense_op = tvm::Op::Get("qnn.dense");
        static const tvm::Op& expand_dims = tvm::Op::Get("expand_dims");
        const tvm::RelayExpr& bias = pre->args[1 - side];
        const CallNode* expanded = call_of(bias, expand_dims, 1);
        if (call_of(pre->args[side], dense_op, 6) == nullptr ||
            (expanded == nullptr && !bias->IsInstance<ConstantNode>()) || !users_.used_only_by(pre->args[side], pre) ||
            (expanded != nullptr && !users_.used_only_by(bias, pre))) {
            return std::nullopt;
        }
        const tvm::RelayExpr unchanged = tvm::runtime::GetRef<tvm::RelayExpr>(post);
        const auto* type = tensor_type(tvm::runtime::GetRef<tvm::RelayExpr>(pre));
        if (type == nullptr || type->shape.size() != 2 || fixed(type->shape[1]) < 0) {
            return unchanged;
        }
        const int64_t units = fixed(type->shape[1]);
        if (expanded == nullptr) {
            const Constant constant = tvm::runtime::Downcast<Constant>(bias);
            if (shape_of(constant) != std::vector<int64_t>{1, units}) {
                return unchanged;
            }
            return bias_add(post->args[side], vector_of(constant), 1, pre->checked_type_);
        }
        const auto* attrs = expanded->attrs.as<ExpandDimsAttrs>();
        const auto* vector_type = tensor_type(expanded->args[0]);
        // A vector of one value broadcast over the units is no bias_add.
        if (attrs == nullptr || attrs->axis != 0 || attrs->num_newaxis != 1 || vector_type == nullptr ||
            vector_type->shape.size() != 1 || fixed(vector_type->shape[0]) != units) {
            return unchanged;
        }
        static const tvm::Op& bias_add_op = tvm::Op::Get("nn.bias_add");
        auto bias_attrs = tvm::runtime::make_object<BiasAddAttrs>();
        bias_attrs->axis = 1;
        const tvm::RelayExpr vector = post->args[1 - side].as<CallNode>()->args[0];
        return typed_call(bias_add_op, {post->args[side], vector}, tvm::Attrs(bias_attrs), pre->checked_type_);
    }

    const Users& users_;
};

class ChannelBiasAdds : public ExprRewriter {
public:
    using ExprRewriter::Rewrite_;

    tvm::RelayExpr Rewrite_(const CallNode* pre, const tvm::RelayExpr& post) final {
        static const tvm::Op& add = tvm::Op::Get("add");
        if (!pre->op.same_as(add) || pre->args.size() != 2) {
            return post;
        }
        // The matcher takes the constant on the right first.
        const int side = pre->args[1]->IsInstance<ConstantNode>() ? 0 : 1;
        const auto* bias = pre->args[1 - side].as<ConstantNode>();
        const tvm::RelayExpr& data = pre->args[side];
        if (bias == nullptr || data->IsInstance<ConstantNode>()) {
            return post;
        }
        const std::vector<int64_t> shape = shape_of(tvm::runtime::GetRef<Constant>(bias));
        const auto* data_type = tensor_type(data);
        if (shape.size() != 4 || shape[0] != 1 || shape[1] != 1 || shape[2] != 1 || data_type == nullptr ||
            data_type->shape.size() != 4 || fixed(data_type->shape[3]) != shape[3] ||
            data_type->dtype != bias->data.DataType()) {
            return post;
        }
        return bias_add(post.as<CallNode>()->args[side], vector_of(tvm::runtime::GetRef<Constant>(bias)), 3,
                        pre->checked_type_);
    }
};

template <typename Rewriter>
Function rewritten_with_users(const Function& function) {
    const Users users(function);
    Rewriter rewriter(users);
    return tvm::runtime::Downcast<Function>(PostOrderRewrite(function, &rewriter));
}

}  // namespace

std::optional<Function> expand_bias_adds(const Function& function) {
    BiasAddExpansion rewriter;
    try {
        return tvm::runtime::Downcast<Function>(PostOrderRewrite(function, &rewriter));
    } catch (const Untyped&) {
        return std::nullopt;
    }
}

Function requantized_relu_clips(const Function& function) {
    return rewritten_with_users<RequantizedReluToClip>(function);
}

Function quantized_bias_adds(const Function& function) { return rewritten_with_users<QuantizedBiasAdds>(function); }

Function channel_bias_adds(const Function& function) {
    ChannelBiasAdds rewriter;
    return tvm::runtime::Downcast<Function>(PostOrderRewrite(function, &rewriter));
}

}  // namespace vexa_host
