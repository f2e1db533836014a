// Quantizations the entries expect elsewhere: a quantize of a scalar
// constant folded, a float max pool moved behind its quantize.
#include <tvm/relay/attrs/nn.h>

#include "constant_folding.hpp"
#include "form_rules.hpp"

namespace vexa_host {
namespace {

using namespace tvm::relay;

bool constant_operands(const CallNode* call, std::size_t from) {
    for (std::size_t i = from; i < call->args.size(); ++i) {
        if (!call->args[i]->IsInstance<ConstantNode>()) {
            return false;
        }
    }
    return true;
}

// Constant folding leaves every `qnn.quantize` alone, since the quantized
// weight entries expect their weights as quantize calls of constants.  A
// quantize of a scalar constant (the 3 of a hard-swish, for instance) is no
// weight: it becomes the integer TVM computes for it, a constant node of its
// own for each call, as folding each call gives.  Where the folder does not
// cover the data (not float32, or beyond int32 once divided) the call stays.
std::optional<InnerNodes> quantize_of_constants(const CallNode* root) {
    const CallNode* quantize = call_of(tvm::runtime::GetRef<Call>(root), "qnn.quantize", 3);
    return quantize != nullptr && constant_operands(quantize, 0) ? std::optional(InnerNodes{}) : std::nullopt;
}

tvm::RelayExpr fold_scalar_quantize(const CallNode* pre, const Call& post, const PostOf&) {
    for (const auto& arg : post->args) {
        if (!scalar(arg).has_value()) {
            return post;
        }
    }
    std::optional<tvm::runtime::NDArray> value = quantized_constant(pre);
    if (!value.has_value()) {
        return post;
    }
    return with_type(Constant(*value), pre->checked_type_);
}

// A float `nn.max_pool2d` between a per-tensor dequantize and quantize (the
// TFLite importer's and FakeQuantizationToInteger's leftovers) would be
// offloaded by the integer max pool entry as it is, a float operator.
// Quantization with one scale is monotonic (non-decreasing), so the maximum
// of quantized values is the quantized maximum: the pool moves after the
// quantize and works on integers.  Where the dequantize and the quantize have
// the same scale, zero point and type, the two cancel exactly (the value
// (q - zp) * s / s rounds back to q - zp) and the pool reads the integers
// directly.
std::optional<InnerNodes> float_pool_between_quantizations(const CallNode* root) {
    const CallNode* quantize = call_of(tvm::runtime::GetRef<Call>(root), "qnn.quantize", 3);
    if (quantize == nullptr || !constant_operands(quantize, 1)) {
        return std::nullopt;
    }
    const CallNode* pool = call_of(quantize->args[0], "nn.max_pool2d", 1);
    const CallNode* dequantize = pool != nullptr ? call_of(pool->args[0], "qnn.dequantize", 3) : nullptr;
    if (dequantize == nullptr || !constant_operands(dequantize, 1)) {
        return std::nullopt;
    }
    return InnerNodes{pool, dequantize};
}

std::optional<std::vector<int64_t>> integers(const tvm::Array<tvm::PrimExpr>& values) {
    std::vector<int64_t> result;
    for (const auto& value : values) {
        const auto* integer = value.as<tvm::IntImmNode>();
        if (integer == nullptr) {
            return std::nullopt;
        }
        result.push_back(integer->value);
    }
    return result;
}

// The pool's own padding (the lowest float before, the lowest integer after)
// is never the maximum as long as every window holds a value of the input,
// which holds when each padding is smaller than the window.
bool windows_hold_input(const MaxPool2DAttrs* attrs) {
    const auto pool = integers(attrs->pool_size);
    const auto padding = integers(attrs->padding);
    const auto dilation = integers(attrs->dilation);
    if (!pool || !padding || !dilation || pool->size() < 2) {
        return false;
    }
    for (int64_t d : *dilation) {
        if (d != 1) {
            return false;
        }
    }
    for (std::size_t i = 0; i < padding->size(); ++i) {
        if ((*padding)[i] >= (*pool)[i % 2]) {
            return false;
        }
    }
    return true;
}

bool same_scalars(const tvm::RelayExpr& a, const tvm::RelayExpr& b) {
    const auto left = scalar(a);
    const auto right = scalar(b);
    return left.has_value() && right.has_value() && *left == *right;
}

tvm::DataType dtype_of(const tvm::RelayExpr& expr) { return expr->checked_type_.as<tvm::TensorTypeNode>()->dtype; }

tvm::RelayExpr pool_after_quantize(const CallNode* pre, const Call& post, const PostOf& post_of) {
    const auto* pool = pre->args[0].as<CallNode>();
    const auto* dequantize = pool->args[0].as<CallNode>();
    for (const auto* quantization : {dequantize, post.get()}) {
        if (!scalar(quantization->args[1]).has_value() || !scalar(quantization->args[2]).has_value()) {
            return post;
        }
    }
    const auto* attrs = pool->attrs.as<MaxPool2DAttrs>();
    if (attrs == nullptr || !windows_hold_input(attrs)) {
        return post;
    }
    tvm::RelayExpr data = post_of(dequantize->args[0]);
    const bool same_quantization = same_scalars(dequantize->args[1], post->args[1]) &&
                                   same_scalars(dequantize->args[2], post->args[2]) &&
                                   dtype_of(tvm::runtime::GetRef<Call>(pre)) == dtype_of(dequantize->args[0]);
    if (!same_quantization) {
        const Call dequantized = typed_call(dequantize->op, {data, dequantize->args[1], dequantize->args[2]},
                                            dequantize->attrs, dequantize->checked_type_);
        const auto* float_type = dequantize->checked_type_.as<tvm::TensorTypeNode>();
        data = typed_call(post->op, {dequantized, post->args[1], post->args[2]}, post->attrs,
                          tvm::TensorType(float_type->shape, dtype_of(tvm::runtime::GetRef<Call>(pre))));
    }
    return typed_call(pool->op, {data}, pool->attrs, pre->checked_type_);
}

}  // namespace

const FormRule kScalarQuantizeFolded{
    "scalar_quantize_folded", {"qnn.quantize"}, quantize_of_constants, fold_scalar_quantize};
const FormRule kMaxPoolAfterQuantize{"max_pool_after_quantize",
                                     {"qnn.quantize", "nn.max_pool2d", "qnn.dequantize"},
                                     float_pool_between_quantizations,
                                     pool_after_quantize};

}  // namespace vexa_host
