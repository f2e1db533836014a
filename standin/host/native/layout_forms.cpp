// The layout transforms that TVM's NHWC conversion leaves where the entries
// expect none: pairs that cancel, transforms inside a quantization, a pad
// behind a transform, a concatenation between transforms.
#include <tvm/ir/op.h>
#include <tvm/relay/attrs/nn.h>
#include <tvm/relay/attrs/transform.h>
#include <tvm/runtime/registry.h>

#include <algorithm>
#include <map>

#include "form_rules.hpp"

namespace vexa_host {
namespace {

using namespace tvm::relay;

const LayoutTransformAttrs* layouts(const CallNode* transform) { return transform->attrs.as<LayoutTransformAttrs>(); }

const CallNode* transform_of(const tvm::RelayExpr& expr) { return call_of(expr, "layout_transform", 1); }

bool inverse(const CallNode* inner, const CallNode* outer) {
    return layouts(inner)->src_layout == layouts(outer)->dst_layout &&
           layouts(inner)->dst_layout == layouts(outer)->src_layout;
}

// Whether a transform only permutes plain axes (NCHW to NHWC, not NCHW4c).
bool permutes_axes(const CallNode* transform) {
    std::string src = layouts(transform)->src_layout;
    std::string dst = layouts(transform)->dst_layout;
    if (!plain_layout(src)) {
        return false;
    }
    std::sort(src.begin(), src.end());
    std::sort(dst.begin(), dst.end());
    return src == dst;
}

const tvm::TensorTypeNode* tensor_type(const tvm::RelayExpr& expr) {
    return expr->checked_type_.as<tvm::TensorTypeNode>();
}

bool quantized_per_tensor(const CallNode* quantization) {
    return scalar(quantization->args[1]).has_value() && scalar(quantization->args[2]).has_value();
}

std::optional<InnerNodes> transform_root(const CallNode* root) {
    return call_of(tvm::runtime::GetRef<tvm::RelayExpr>(root), "layout_transform", 1) != nullptr
               ? std::optional(InnerNodes{})
               : std::nullopt;
}

// The NHWC conversion leaves operators it has no layout rule for in NCHW,
// wrapped in a transform each way: NHWC to NCHW, dequantize, divide,
// quantize, NCHW to NHWC (the division by 6 of a QDQ hard-swish, for
// instance).  Where every operator between the two works element by element
// with single-valued operands, it gives the same values in either layout and
// the two transforms cancel.
bool elementwise_step(const tvm::RelayExpr& node) {
    static const char* const kElementwise[] = {"qnn.dequantize", "qnn.quantize", "divide", "multiply", "add",
                                               "subtract",       "clip",         "cast"};
    const auto* call = node.as<CallNode>();
    const auto* op = call != nullptr ? call->op.as<tvm::OpNode>() : nullptr;
    if (op == nullptr || call->args.empty() ||
        std::none_of(std::begin(kElementwise), std::end(kElementwise),
                     [op](const char* name) { return op->name == name; })) {
        return false;
    }
    return std::all_of(call->args.begin() + 1, call->args.end(),
                       [](const tvm::RelayExpr& arg) { return scalar(arg).has_value(); });
}

tvm::RelayExpr cancel_pair(const CallNode* pre, const Call& post, const PostOf&) {
    // Walked on the rebuilt operands: an inner transform may itself have been
    // cancelled already, and then nothing is left to cancel it with.
    std::vector<const CallNode*> chain;
    tvm::RelayExpr node = post->args[0];
    while (elementwise_step(node)) {
        chain.push_back(node.as<CallNode>());
        node = chain.back()->args[0];
    }
    const CallNode* inner = transform_of(node);
    if (chain.empty() || inner == nullptr || !inverse(inner, pre)) {
        return post;
    }
    tvm::RelayExpr value = inner->args[0];
    for (auto step = chain.rbegin(); step != chain.rend(); ++step) {
        tvm::Array<tvm::RelayExpr> args{value};
        args.insert(args.end(), (*step)->args.begin() + 1, (*step)->args.end());
        const bool root = std::next(step) == chain.rend();
        const tvm::Type type =
            root ? pre->checked_type_
                 : tvm::TensorType(tensor_type(value)->shape, tensor_type(tvm::runtime::GetRef<Call>(*step))->dtype);
        value = typed_call((*step)->op, args, (*step)->attrs, type);
    }
    return value;
}

// The NHWC conversion of a float operator between a dequantize and a
// quantize (a resize, in PyTorch networks) leaves the transforms inside:
// dequantize, layout_transform, operator, layout_transform, quantize.  The
// entries expect the dequantize and quantize right at the operator.  With a
// single scale and zero point, quantization commutes with a transform, so
// the transforms move outside.
std::optional<InnerNodes> transform_at_quantization(const CallNode* root) {
    const tvm::RelayExpr expr = tvm::runtime::GetRef<Call>(root);
    if (transform_of(expr) != nullptr) {
        const CallNode* dequantize = call_of(root->args[0], "qnn.dequantize", 3);
        if (dequantize != nullptr && dequantize->args[1]->IsInstance<ConstantNode>() &&
            dequantize->args[2]->IsInstance<ConstantNode>()) {
            return InnerNodes{dequantize};
        }
        return std::nullopt;
    }
    const CallNode* quantize = call_of(expr, "qnn.quantize", 3);
    if (quantize == nullptr || !quantize->args[1]->IsInstance<ConstantNode>() ||
        !quantize->args[2]->IsInstance<ConstantNode>()) {
        return std::nullopt;
    }
    const CallNode* transform = transform_of(quantize->args[0]);
    return transform != nullptr ? std::optional(InnerNodes{transform}) : std::nullopt;
}

tvm::RelayExpr move_transform_outside(const CallNode* pre, const Call& post, const PostOf&) {
    const bool transform_last = transform_of(tvm::runtime::GetRef<Call>(pre)) != nullptr;
    const CallNode* transform = transform_last ? post.get() : post->args[0].as<CallNode>();
    const CallNode* quantization = transform_last ? post->args[0].as<CallNode>() : post.get();
    if (!quantized_per_tensor(quantization)) {
        return post;
    }
    const tvm::RelayExpr& data = transform_last ? quantization->args[0] : transform->args[0];
    const auto* data_type = tensor_type(data);
    const auto* pre_type = tensor_type(tvm::runtime::GetRef<Call>(pre));
    const tvm::Array<tvm::RelayExpr> scale_and_zero{quantization->args[1], quantization->args[2]};
    if (transform_last) {
        const Call moved =
            typed_call(transform->op, {data}, transform->attrs, tvm::TensorType(pre_type->shape, data_type->dtype));
        return typed_call(quantization->op, {moved, scale_and_zero[0], scale_and_zero[1]}, quantization->attrs,
                          pre->checked_type_);
    }
    const Call quantized = typed_call(quantization->op, {data, scale_and_zero[0], scale_and_zero[1]},
                                      quantization->attrs, tvm::TensorType(data_type->shape, pre_type->dtype));
    return typed_call(transform->op, {quantized}, transform->attrs, pre->checked_type_);
}

// Where the NHWC conversion meets a padded NCHW input (the first convolution
// of a PyTorch network), it puts the transform between the pad and the
// convolution, and the pad falls out of the convolution entry, which takes an
// optional pad right at the convolution.  A pad commutes with a transform
// once its widths follow the axes, so the transform goes first.
std::optional<InnerNodes> pad_under_transform(const CallNode* root) {
    if (transform_of(tvm::runtime::GetRef<Call>(root)) == nullptr) {
        return std::nullopt;
    }
    const CallNode* pad = call_of(root->args[0], "nn.pad", 2);
    return pad != nullptr ? std::optional(InnerNodes{pad}) : std::nullopt;
}

tvm::RelayExpr pad_after_transform(const CallNode* pre, const Call& post, const PostOf&) {
    const auto* pad = post->args[0].as<CallNode>();
    const auto* attrs = pad->attrs.as<PadAttrs>();
    const std::string src = layouts(pre)->src_layout;
    const std::string dst = layouts(pre)->dst_layout;
    if (!permutes_axes(pre) || attrs == nullptr || attrs->pad_mode != "constant") {
        return post;
    }
    std::map<char, tvm::Array<tvm::Integer>> widths;
    for (std::size_t i = 0; i < src.size() && i < attrs->pad_width.size(); ++i) {
        tvm::Array<tvm::Integer> width;
        for (const auto& w : attrs->pad_width[i]) {
            width.push_back(tvm::Integer(static_cast<int>(w->value)));
        }
        widths[src[i]] = width;
    }
    tvm::Array<tvm::Array<tvm::Integer>> moved_widths;
    for (char axis : dst) {
        if (widths.count(axis) == 0) {
            return post;
        }
        moved_widths.push_back(widths.at(axis));
    }
    const tvm::RelayExpr& data = pad->args[0];
    tvm::Array<tvm::PrimExpr> shape;
    for (char axis : dst) {
        shape.push_back(tensor_type(data)->shape[src.find(axis)]);
    }
    const Call moved = typed_call(pre->op, {data}, pre->attrs, tvm::TensorType(shape, tensor_type(data)->dtype));
    static const auto* make_pad = tvm::runtime::Registry::Get("relay.op.nn._make.pad");
    tvm::RelayExpr padded = (*make_pad)(moved, moved_widths, pad->args[1], tvm::String("constant"));
    return with_type(padded, pre->checked_type_);
}

// The NHWC conversion has no layout rule for `qnn.concatenate`: it joins NHWC
// tensors by transforming each to NCHW, concatenating on the channels and
// transforming the result back.  A concatenation commutes with a permutation
// of the axes, so the NHWC tensors are joined directly on the axis the
// channels have there, and the concatenation entry sees its inputs.
std::optional<InnerNodes> concatenate_under_transform(const CallNode* root) {
    if (transform_of(tvm::runtime::GetRef<Call>(root)) == nullptr) {
        return std::nullopt;
    }
    const CallNode* joined = call_of(root->args[0], "qnn.concatenate", 5);
    return joined != nullptr ? std::optional(InnerNodes{joined}) : std::nullopt;
}

tvm::RelayExpr concatenate_before_transforms(const CallNode* pre, const Call& post, const PostOf&) {
    const auto* joined = post->args[0].as<CallNode>();
    const auto* fields = joined->args[0].as<TupleNode>();
    const auto* scales = joined->args[1].as<TupleNode>();
    const auto* zero_points = joined->args[2].as<TupleNode>();
    if (fields == nullptr || scales == nullptr || zero_points == nullptr || !permutes_axes(pre)) {
        return post;
    }
    const std::string inner_layout = layouts(pre)->src_layout;
    const std::string outer_layout = layouts(pre)->dst_layout;
    tvm::Array<tvm::RelayExpr> inputs;
    tvm::Array<tvm::Type> input_types;
    for (const auto& field : fields->fields) {
        // The rebuilt fields: one that was rewritten is no transform any more.
        const CallNode* transform = transform_of(field);
        if (transform == nullptr || layouts(transform)->src_layout != outer_layout ||
            layouts(transform)->dst_layout != inner_layout) {
            return post;
        }
        inputs.push_back(transform->args[0]);
        input_types.push_back(transform->args[0]->checked_type_);
    }
    const int rank = static_cast<int>(inner_layout.size());
    const int inner_axis = ((joined->attrs.as<ConcatenateAttrs>()->axis % rank) + rank) % rank;
    const int axis = static_cast<int>(outer_layout.find(inner_layout[inner_axis]));
    const Tuple data = tvm::runtime::Downcast<Tuple>(with_type(Tuple(inputs), tvm::TupleType(input_types)));
    static const auto* make_concatenate = tvm::runtime::Registry::Get("relay.qnn.op._make.concatenate");
    tvm::RelayExpr result =
        (*make_concatenate)(data, tvm::runtime::GetRef<Tuple>(scales), tvm::runtime::GetRef<Tuple>(zero_points),
                            joined->args[3], joined->args[4], axis);
    return with_type(result, pre->checked_type_);
}

}  // namespace

const FormRule kLayoutTransformPairCancelled{
    "layout_transform_pair_cancelled", {"layout_transform"}, transform_root, cancel_pair};
const FormRule kLayoutTransformOutsideQuantization{
    "layout_transform_outside_quantization", {"layout_transform"}, transform_at_quantization, move_transform_outside};
const FormRule kPadInsideLayoutTransform{
    "pad_inside_layout_transform", {"layout_transform", "nn.pad"}, pad_under_transform, pad_after_transform};
const FormRule kConcatenateInsideLayoutTransforms{"concatenate_inside_layout_transforms",
                                                  {"layout_transform", "qnn.concatenate"},
                                                  concatenate_under_transform,
                                                  concatenate_before_transforms};

}  // namespace vexa_host
