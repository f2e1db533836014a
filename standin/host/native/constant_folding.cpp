#include "constant_folding.hpp"

#include <tvm/ir/op.h>
#include <tvm/relay/attrs/transform.h>
#include <tvm/relay/function.h>
#include <tvm/relay/qnn/attrs.h>
#include <tvm/runtime/ndarray.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "dataflow_rewrite.hpp"
#include "relay/node_tables.hpp"

namespace vexa_host {
namespace {

using namespace tvm::relay;
using tvm::runtime::NDArray;

using vexa_host::as;

struct Refused {};

std::vector<int64_t> shape_of(const NDArray& array) {
    return std::vector<int64_t>(array->shape, array->shape + array->ndim);
}

int64_t element_count(const std::vector<int64_t>& shape) {
    int64_t count = 1;
    for (int64_t dim : shape) {
        count *= dim;
    }
    return count;
}

// The shape and element type of a typed call's result, when fixed.
std::optional<std::pair<std::vector<int64_t>, tvm::DataType>> result_type(const CallNode* call) {
    const auto shape = fixed_shape(call->checked_type_);
    if (!shape.has_value()) {
        return std::nullopt;
    }
    return std::make_pair(*shape, static_cast<const tvm::TensorTypeNode*>(call->checked_type_.get())->dtype);
}

NDArray empty(const std::vector<int64_t>& shape, tvm::DataType dtype) {
    return NDArray::Empty(tvm::runtime::ShapeTuple(shape), dtype, DLDevice{kDLCPU, 0});
}

std::size_t element_bytes(const NDArray& array) { return (array->dtype.bits * array->dtype.lanes + 7) / 8; }

// The same elements under another shape: reshape, expand_dims, squeeze.
NDArray reshaped(const NDArray& data, const std::vector<int64_t>& shape) {
    NDArray result = empty(shape, data.DataType());
    std::memcpy(result->data, data->data, element_count(shape) * element_bytes(data));
    return result;
}

// Output axis i reads input axis permutation[i].
NDArray permuted(const NDArray& data, const std::vector<int>& permutation) {
    const std::vector<int64_t> in_shape = shape_of(data);
    const std::size_t rank = in_shape.size();
    std::vector<int64_t> in_strides(in_shape.size());
    int64_t stride = 1;
    for (std::size_t i = rank; i-- > 0;) {
        in_strides[i] = stride;
        stride *= in_shape[i];
    }
    std::vector<int64_t> out_shape(rank);
    std::vector<int64_t> strides(rank);  // input stride of each output axis
    for (std::size_t i = 0; i < rank; ++i) {
        out_shape[i] = in_shape[permutation[i]];
        strides[i] = in_strides[permutation[i]];
    }
    NDArray result = empty(out_shape, data.DataType());
    const std::size_t bytes = element_bytes(data);
    const auto* in = static_cast<const char*>(data->data);
    auto* out = static_cast<char*>(result->data);
    const int64_t count = element_count(out_shape);
    std::vector<int64_t> index(rank, 0);
    int64_t offset = 0;
    for (int64_t n = 0; n < count; ++n) {
        std::memcpy(out + n * bytes, in + offset * bytes, bytes);
        for (std::size_t axis = rank; axis-- > 0;) {
            offset += strides[axis];
            if (++index[axis] < out_shape[axis]) {
                break;
            }
            offset -= strides[axis] * out_shape[axis];
            index[axis] = 0;
        }
    }
    return result;
}

std::optional<std::vector<int>> layout_permutation(const std::string& src, const std::string& dst) {
    if (src.size() != dst.size()) {
        return std::nullopt;
    }
    std::vector<int> permutation;
    for (char axis : dst) {
        const std::size_t at = src.find(axis);
        if (!std::isupper(static_cast<unsigned char>(axis)) || at == std::string::npos || src.rfind(axis) != at) {
            return std::nullopt;  // split axes (NCHW4c) or a malformed layout
        }
        permutation.push_back(static_cast<int>(at));
    }
    return permutation;
}

std::vector<int> transpose_permutation(const TransposeAttrs* attrs, int rank) {
    std::vector<int> permutation;
    if (!attrs->axes.defined() || attrs->axes.empty()) {
        for (int axis = rank - 1; axis >= 0; --axis) {
            permutation.push_back(axis);
        }
        return permutation;
    }
    for (const auto& axis : attrs->axes) {
        const int64_t value = axis->value < 0 ? axis->value + rank : axis->value;
        permutation.push_back(static_cast<int>(value));
    }
    return permutation;
}

template <typename Signed, typename Unsigned, typename Visit>
bool visit_integer(bool is_signed, Visit&& visit) {
    if (is_signed) {
        visit(Signed{});
    } else {
        visit(Unsigned{});
    }
    return true;
}

// Element types, by DLPack code and bits, for the casts and the arithmetic.
template <typename Visit>
bool with_element_type(tvm::DataType dtype, Visit&& visit) {
    if (dtype.lanes() != 1) {
        return false;
    }
    if (dtype.is_float()) {
        if (dtype.bits() == 32) return visit(float{}), true;
        if (dtype.bits() == 64) return visit(double{}), true;
        return false;
    }
    if (!dtype.is_int() && !dtype.is_uint()) {
        return false;
    }
    switch (dtype.bits()) {
        case 8:
            return visit_integer<int8_t, uint8_t>(dtype.is_int(), visit);
        case 16:
            return visit_integer<int16_t, uint16_t>(dtype.is_int(), visit);
        case 32:
            return visit_integer<int32_t, uint32_t>(dtype.is_int(), visit);
        case 64:
            return visit_integer<int64_t, uint64_t>(dtype.is_int(), visit);
    }
    return false;
}

// A float that converts to To without leaving its range (LLVM's conversion,
// like C++'s, has no defined result outside it).
template <typename To, typename From>
bool converts(From value) {
    if constexpr (std::is_floating_point_v<From> && std::is_integral_v<To>) {
        if (std::isnan(value)) {
            return false;
        }
        const long double truncated = std::trunc(static_cast<long double>(value));
        return truncated >= static_cast<long double>(std::numeric_limits<To>::min()) &&
               truncated <= static_cast<long double>(std::numeric_limits<To>::max());
    } else {
        return true;
    }
}

std::optional<NDArray> cast(const NDArray& data, tvm::DataType to) {
    std::optional<NDArray> result;
    bool known = with_element_type(data.DataType(), [&](auto from_tag) {
        using From = decltype(from_tag);
        with_element_type(to, [&](auto to_tag) {
            using To = decltype(to_tag);
            const std::vector<int64_t> shape = shape_of(data);
            NDArray out = empty(shape, to);
            const auto* in = static_cast<const From*>(data->data);
            auto* values = static_cast<To*>(out->data);
            for (int64_t i = 0, n = element_count(shape); i < n; ++i) {
                if (!converts<To>(in[i])) {
                    return;
                }
                values[i] = static_cast<To>(in[i]);
            }
            result = out;
        });
    });
    return known ? result : std::nullopt;
}

// The input offset of every output element for numpy broadcasting.
std::vector<int64_t> broadcast_strides(const std::vector<int64_t>& in_shape, const std::vector<int64_t>& out_shape) {
    const std::size_t rank = out_shape.size();
    std::vector<int64_t> strides(rank, 0);
    int64_t stride = 1;
    for (std::size_t i = 0; i < in_shape.size(); ++i) {
        const std::size_t in_axis = in_shape.size() - 1 - i;
        const std::size_t out_axis = rank - 1 - i;
        strides[out_axis] = in_shape[in_axis] == 1 ? 0 : stride;
        stride *= in_shape[in_axis];
    }
    return strides;
}

template <typename Apply>
NDArray broadcast_binary(const NDArray& lhs, const NDArray& rhs, const std::vector<int64_t>& shape, Apply&& apply) {
    NDArray result = empty(shape, lhs.DataType());
    const auto lhs_strides = broadcast_strides(shape_of(lhs), shape);
    const auto rhs_strides = broadcast_strides(shape_of(rhs), shape);
    const auto* a = static_cast<const float*>(lhs->data);
    const auto* b = static_cast<const float*>(rhs->data);
    auto* out = static_cast<float*>(result->data);
    const std::size_t rank = shape.size();
    std::vector<int64_t> index(rank, 0);
    int64_t at_a = 0;
    int64_t at_b = 0;
    for (int64_t n = 0, count = element_count(shape); n < count; ++n) {
        out[n] = apply(a[at_a], b[at_b]);
        for (std::size_t axis = rank; axis-- > 0;) {
            at_a += lhs_strides[axis];
            at_b += rhs_strides[axis];
            if (++index[axis] < shape[axis]) {
                break;
            }
            at_a -= lhs_strides[axis] * shape[axis];
            at_b -= rhs_strides[axis] * shape[axis];
            index[axis] = 0;
        }
    }
    return result;
}

bool is_float32(const NDArray& array) { return array.DataType() == tvm::DataType::Float(32); }

std::optional<NDArray> arithmetic(const std::string& name, const std::vector<NDArray>& args,
                                  const std::vector<int64_t>& shape) {
    if (args.size() == 2 && is_float32(args[0]) && is_float32(args[1])) {
        if (name == "add") return broadcast_binary(args[0], args[1], shape, [](float a, float b) { return a + b; });
        if (name == "subtract")
            return broadcast_binary(args[0], args[1], shape, [](float a, float b) { return a - b; });
        if (name == "multiply")
            return broadcast_binary(args[0], args[1], shape, [](float a, float b) { return a * b; });
        if (name == "divide") return broadcast_binary(args[0], args[1], shape, [](float a, float b) { return a / b; });
    }
    if (args.size() == 1 && is_float32(args[0]) && (name == "sqrt" || name == "negative")) {
        NDArray result = empty(shape, args[0].DataType());
        const auto* in = static_cast<const float*>(args[0]->data);
        auto* out = static_cast<float*>(result->data);
        const bool root = name == "sqrt";
        for (int64_t i = 0, n = element_count(shape); i < n; ++i) {
            out[i] = root ? std::sqrt(in[i]) : -in[i];
        }
        return result;
    }
    return std::nullopt;
}

// Which scale and zero point each element of a tensor takes: per tensor, or
// per channel along the quantization's axis.
struct Channels {
    int64_t inner = 1;
    int64_t count = 1;
    int64_t scales = 1;
    int64_t zero_points = 1;

    int64_t scale_at(int64_t element) const { return scales == 1 ? 0 : (element / inner) % count; }
    int64_t zero_point_at(int64_t element) const { return zero_points == 1 ? 0 : (element / inner) % count; }
};

std::optional<Channels> channels_of(const std::vector<int64_t>& shape, int axis, const NDArray& scale,
                                    const NDArray& zero_point) {
    const int rank = static_cast<int>(shape.size());
    axis = axis < 0 ? axis + rank : axis;
    Channels channels;
    channels.scales = element_count(shape_of(scale));
    channels.zero_points = element_count(shape_of(zero_point));
    const bool per_tensor = channels.scales == 1 && channels.zero_points == 1;
    if (!per_tensor && (axis < 0 || axis >= rank)) {
        return std::nullopt;
    }
    for (int i = axis + 1; i < rank; ++i) {
        channels.inner *= shape[i];
    }
    channels.count = axis >= 0 && axis < rank ? shape[axis] : 1;
    if ((channels.scales != 1 && channels.scales != channels.count) ||
        (channels.zero_points != 1 && channels.zero_points != channels.count)) {
        return std::nullopt;
    }
    return channels;
}

// qnn.quantize as TVM lowers it: the data divided by the scale, rounded to
// the nearest integer (ties away from zero), the zero point added in int32, clipped
// to the output type, cast.  Per-tensor or per-channel scale and zero point.
std::optional<NDArray> quantize(const CallNode* call, const std::vector<NDArray>& args, tvm::DataType out_dtype) {
    const auto* attrs = call->attrs.as<tvm::relay::qnn::QuantizeAttrs>();
    const NDArray& data = args[0];
    if (attrs == nullptr || !is_float32(data) || !is_float32(args[1]) || args[2].DataType() != tvm::DataType::Int(32)) {
        return std::nullopt;
    }
    const std::vector<int64_t> shape = shape_of(data);
    const auto channels = channels_of(shape, attrs->axis, args[1], args[2]);
    if (!channels.has_value()) {
        return std::nullopt;
    }
    int64_t low = 0;
    int64_t high = 0;
    if (!with_element_type(out_dtype,
                           [&](auto tag) {
                               using To = decltype(tag);
                               low = static_cast<int64_t>(std::numeric_limits<To>::min());
                               high = static_cast<int64_t>(std::numeric_limits<To>::max());
                           }) ||
        (!out_dtype.is_int() && !out_dtype.is_uint())) {
        return std::nullopt;
    }
    const auto* in = static_cast<const float*>(data->data);
    const auto* scale = static_cast<const float*>(args[1]->data);
    const auto* zero_point = static_cast<const int32_t*>(args[2]->data);
    std::vector<int64_t> values(element_count(shape));
    for (int64_t i = 0, n = static_cast<int64_t>(values.size()); i < n; ++i) {
        const float rounded = std::round(in[i] / scale[channels->scale_at(i)]);
        if (!converts<int32_t>(rounded)) {
            return std::nullopt;
        }
        const int32_t shifted = static_cast<int32_t>(rounded) + zero_point[channels->zero_point_at(i)];
        values[i] = std::min<int64_t>(std::max<int64_t>(shifted, low), high);
    }
    NDArray result = empty(shape, out_dtype);
    with_element_type(out_dtype, [&](auto tag) {
        using To = decltype(tag);
        auto* out = static_cast<To*>(result->data);
        for (std::size_t i = 0; i < values.size(); ++i) {
            out[i] = static_cast<To>(values[i]);
        }
    });
    return result;
}

// qnn.dequantize to float32 as TVM lowers it: the data cast to int32 less
// the zero point, cast to float32, times the scale.
std::optional<NDArray> dequantize(const CallNode* call, const std::vector<NDArray>& args, tvm::DataType out_dtype) {
    const auto* attrs = call->attrs.as<tvm::relay::qnn::DequantizeAttrs>();
    const NDArray& data = args[0];
    if (attrs == nullptr || out_dtype != tvm::DataType::Float(32) || !is_float32(args[1]) ||
        args[2].DataType() != tvm::DataType::Int(32) || (!data.DataType().is_int() && !data.DataType().is_uint()) ||
        data.DataType().bits() > 32) {
        return std::nullopt;
    }
    const std::vector<int64_t> shape = shape_of(data);
    const auto channels = channels_of(shape, attrs->axis, args[1], args[2]);
    if (!channels.has_value()) {
        return std::nullopt;
    }
    const auto* scale = static_cast<const float*>(args[1]->data);
    const auto* zero_point = static_cast<const int32_t*>(args[2]->data);
    NDArray result = empty(shape, out_dtype);
    auto* out = static_cast<float*>(result->data);
    with_element_type(data.DataType(), [&](auto tag) {
        using From = decltype(tag);
        const auto* in = static_cast<const From*>(data->data);
        for (int64_t i = 0, n = element_count(shape); i < n; ++i) {
            // int32 arithmetic wraps as the lowered subtraction does.
            const auto shifted = static_cast<int32_t>(static_cast<uint32_t>(static_cast<int32_t>(in[i])) -
                                                      static_cast<uint32_t>(zero_point[channels->zero_point_at(i)]));
            out[i] = static_cast<float>(shifted) * scale[channels->scale_at(i)];
        }
    });
    return result;
}

// The folded value of a call of `op` on constant arguments, when this file
// covers it.
std::optional<NDArray> fold_call(const CallNode* call, const std::string& op, const std::vector<NDArray>& args) {
    const auto type = result_type(call);
    if (!type.has_value()) {
        return std::nullopt;
    }
    const auto& [shape, dtype] = *type;
    if (op == "reshape" || op == "expand_dims" || op == "squeeze") {
        return reshaped(args[0], shape);
    }
    if (op == "layout_transform") {
        const auto* attrs = call->attrs.as<LayoutTransformAttrs>();
        auto permutation = attrs != nullptr ? layout_permutation(attrs->src_layout, attrs->dst_layout) : std::nullopt;
        if (!permutation.has_value() || static_cast<int>(permutation->size()) != args[0]->ndim) {
            return std::nullopt;
        }
        return permuted(args[0], *permutation);
    }
    if (op == "transpose") {
        const auto* attrs = call->attrs.as<TransposeAttrs>();
        return attrs != nullptr ? std::optional<NDArray>(permuted(args[0], transpose_permutation(attrs, args[0]->ndim)))
                                : std::nullopt;
    }
    if (op == "cast") {
        return cast(args[0], dtype);
    }
    if (op == "qnn.quantize") {
        return quantize(call, args, dtype);
    }
    if (op == "qnn.dequantize") {
        return dequantize(call, args, dtype);
    }
    return arithmetic(op, args, shape);
}

// FoldConstant folds these from the types of non-constant operands: only it
// does that.
bool folded_from_types(const std::string& op) {
    return op == "shape_of" || op == "vm.shape_of" || op == "ndarray_size";
}

class Folder {
public:
    explicit Folder(bool fold_qnn) : fold_qnn_(fold_qnn) {}

    FoldResult run(const tvm::RelayExpr& expr) {
        const auto* function = as<FunctionNode>(expr.get());
        const tvm::Object* root = function != nullptr ? function->body.get() : expr.get();
        walk(root);
        add_root(root);
        tvm::RelayExpr body = value_of(root);
        if (function == nullptr) {
            return {body, left_};
        }
        if (body.same_as(function->body)) {
            return {expr, left_};
        }
        return {with_body(function, body), left_};
    }

private:
    struct State {
        tvm::RelayExpr value;   // undefined while the node is unchanged: most are
        bool constant = false;  // its value depends on constants only
        bool deferred = false;  // constant, but left for FoldConstant
    };

    static std::vector<const tvm::Object*> operands(const tvm::Object* node) {
        if (as<CallNode>(node) == nullptr && as<TupleNode>(node) == nullptr && as<TupleGetItemNode>(node) == nullptr &&
            as<VarNode>(node) == nullptr && as<ConstantNode>(node) == nullptr) {
            throw Refused{};  // functions, let, if...: FoldConstant handles them
        }
        return dataflow_operands(node);
    }

    void walk(const tvm::Object* root) {
        post_order(root, states_, operands,
                   [this](const tvm::Object* node, const std::vector<const tvm::Object*>& children) {
                       State state = visit(node, children);
                       if (!state.constant) {
                           // Where a constant subgraph meets the rest, what was
                           // left of it goes to FoldConstant.
                           for (const tvm::Object* child : children) {
                               add_root(child);
                           }
                       }
                       return state;
                   });
    }

    tvm::RelayExpr value_of(const tvm::Object* node) const {
        const tvm::RelayExpr& value = states_.at(node).value;
        return value.defined() ? value
                               : tvm::runtime::GetRef<tvm::RelayExpr>(static_cast<const tvm::RelayExprNode*>(node));
    }

    // A node left for FoldConstant (once, though several nodes may use it).
    void add_root(const tvm::Object* node) {
        const State& state = states_.at(node);
        if (state.deferred && roots_.insert(node).second) {
            left_.push_back(value_of(node));
        }
    }

    State visit(const tvm::Object* node, const std::vector<const tvm::Object*>& children) {
        if (as<ConstantNode>(node) != nullptr) {
            return {{}, true, false};
        }
        if (as<VarNode>(node) != nullptr) {
            return {{}, false, false};
        }
        tvm::Array<tvm::RelayExpr> values;
        bool all_constant = true;
        bool any_deferred = false;
        bool any_changed = false;
        for (const tvm::Object* child : children) {
            const State& state = states_.at(child);
            all_constant = all_constant && state.constant;
            any_deferred = any_deferred || state.deferred;
            any_changed = any_changed || state.value.defined();
        }
        // The operand values are gathered only where a node may change or
        // fold: most of a network's calls read a variable somewhere.
        if (any_changed || all_constant) {
            for (const tvm::Object* child : children) {
                values.push_back(value_of(child));
            }
        }
        const tvm::RelayExpr value = any_changed ? rebuilt(node, values) : tvm::RelayExpr();
        if (as<TupleNode>(node) != nullptr) {
            return {value, all_constant, all_constant && any_deferred};
        }
        if (as<TupleGetItemNode>(node) != nullptr) {
            return {value, all_constant, all_constant};
        }
        const auto* call = static_cast<const CallNode*>(node);
        const auto* op = as<tvm::OpNode>(call->op.get());
        if (op == nullptr) {
            return {value, false, false};
        }
        const std::string name = op->name;
        if (folded_from_types(name)) {
            throw Refused{};
        }
        if (!all_constant || (!fold_qnn_ && name.rfind("qnn.", 0) == 0)) {
            return {value, false, false};
        }
        if (!any_deferred && !values.empty()) {
            std::vector<NDArray> data;
            for (const auto& arg : values) {
                const auto* constant = arg.as<ConstantNode>();
                if (constant == nullptr) {
                    return {value, true, true};  // a tuple of constants: left for FoldConstant
                }
                data.push_back(constant->data);
            }
            if (std::optional<NDArray> folded = fold_call(call, name, data)) {
                Constant constant(*folded, call->span);
                constant->checked_type_ = call->checked_type_;
                return {constant, true, false};
            }
        }
        return {value, true, true};
    }

    const bool fold_qnn_;
    vexa::NodeMap<State> states_;
    vexa::NodeSet roots_;
    std::vector<tvm::RelayExpr> left_;
};

}  // namespace

FoldResult fold_constants(const tvm::RelayExpr& expr, bool fold_qnn) {
    try {
        return Folder(fold_qnn).run(expr);
    } catch (const Refused&) {
        return {expr, {}, true};
    }
}

std::optional<NDArray> quantized_constant(const CallNode* call) {
    const auto type = result_type(call);
    std::vector<NDArray> args;
    for (const auto& arg : call->args) {
        const auto* constant = arg.as<ConstantNode>();
        if (constant == nullptr) {
            return std::nullopt;
        }
        args.push_back(constant->data);
    }
    if (!type.has_value() || args.size() != 3) {
        return std::nullopt;
    }
    return quantize(call, args, type->second);
}

tvm::RelayExpr replace_nodes(const tvm::RelayExpr& expr, const std::vector<tvm::RelayExpr>& from,
                             const std::vector<tvm::RelayExpr>& to) {
    vexa::NodeMap<tvm::RelayExpr> values;
    for (std::size_t i = 0; i < from.size(); ++i) {
        values.emplace(from[i].get(), to[i]);
    }
    const auto* function = as<FunctionNode>(expr.get());
    const tvm::Object* root = function != nullptr ? function->body.get() : expr.get();
    post_order(root, values, dataflow_operands,
               [&values](const tvm::Object* node, const std::vector<const tvm::Object*>& children) {
                   tvm::Array<tvm::RelayExpr> operands;
                   for (const tvm::Object* child : children) {
                       operands.push_back(values.at(child));
                   }
                   return rebuilt(node, operands);
               });
    const tvm::RelayExpr& body = values.at(root);
    if (function == nullptr) {
        return body;
    }
    return with_body(function, body);
}

}  // namespace vexa_host
