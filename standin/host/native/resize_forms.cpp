// Nearest-neighbour upsamplings in the one form the integer nearest resize
// entry accepts: half-pixel coordinates rounded half up.
#include <tvm/relay/attrs/image.h>
#include <tvm/relay/attrs/transform.h>
#include <tvm/runtime/registry.h>

#include <algorithm>

#include "dataflow_rewrite.hpp"
#include "form_rules.hpp"

namespace vexa_host {
namespace {

using namespace tvm::relay;

std::optional<std::vector<int64_t>> shape_of(const tvm::RelayExpr& expr) { return fixed_shape(expr->checked_type_); }

// The nearest resize of `data` in the entry's form, as Relay's maker builds it.
tvm::RelayExpr half_pixel_resize(const tvm::RelayExpr& data, const tvm::Array<tvm::FloatImm>& roi,
                                 const tvm::Array<tvm::PrimExpr>& size, const tvm::String& layout,
                                 const tvm::runtime::TVMRetValue& out_dtype, const tvm::Type& type) {
    static const auto* make_resize = tvm::runtime::Registry::Get("relay.op.image._make.resize2d");
    tvm::RelayExpr resize =
        (*make_resize)(data, size, roi, layout, tvm::String("nearest_neighbor"), tvm::String("half_pixel"),
                       tvm::String("round_prefer_ceil"), -0.5, 0, 0.0, out_dtype);
    return with_type(resize, type);
}

std::optional<InnerNodes> resize_root(const CallNode* root) {
    return call_of(tvm::runtime::GetRef<Call>(root), "image.resize2d", 1) != nullptr ? std::optional(InnerNodes{})
                                                                                     : std::nullopt;
}

// A nearest-neighbour resize by whole factors reads the same input pixels
// with `asymmetric` coordinates rounded down (ONNX and PyTorch upsampling) as
// with `half_pixel` coordinates rounded half up: output index o = k * s + r
// (0 <= r < s) maps to k in the first form and to k + (r + 0.5) / s - 0.5 in
// the second, which lies strictly between k - 0.5 and k + 0.5.
bool whole_factors(const CallNode* resize, const std::string& layout) {
    std::string axes = layout;
    std::sort(axes.begin(), axes.end());
    const auto in_shape = shape_of(resize->args[0]);
    const auto out_shape = shape_of(tvm::runtime::GetRef<Call>(resize));
    if (axes != "CHNW" || !in_shape || !out_shape || in_shape->size() != 4 || out_shape->size() != 4) {
        return false;
    }
    for (char axis : {'H', 'W'}) {
        const std::size_t at = layout.find(axis);
        if ((*in_shape)[at] <= 0 || (*out_shape)[at] % (*in_shape)[at] != 0) {
            return false;
        }
    }
    return true;
}

tvm::RelayExpr half_pixel_coordinates(const CallNode* pre, const Call& post, const PostOf&) {
    const auto* attrs = post->attrs.as<Resize2DAttrs>();
    if (attrs == nullptr || attrs->method != "nearest_neighbor" ||
        attrs->coordinate_transformation_mode != "asymmetric" || attrs->rounding_method != "floor" ||
        !whole_factors(pre, attrs->layout)) {
        return post;
    }
    tvm::runtime::TVMRetValue out_dtype;
    out_dtype = attrs->out_dtype;
    return half_pixel_resize(post->args[0], attrs->roi, attrs->size, attrs->layout, out_dtype, pre->checked_type_);
}

// TensorFlow's converter writes Keras' nearest `UpSampling2D` as repetitions:
// along the height, expand_dims, tile and reshape, then the same along the
// width.  Repeating every pixel s times down and t times across is the
// nearest resize by those whole factors, which reads exactly the same pixels.
struct Repetition {
    const CallNode* expand;
    const CallNode* tile;
    const CallNode* reshape;
};

std::optional<Repetition> repetition_at(const tvm::RelayExpr& expr) {
    const CallNode* reshape = call_of(expr, "reshape", 1);
    const CallNode* tile = reshape != nullptr ? call_of(reshape->args[0], "tile", 1) : nullptr;
    const CallNode* expand = tile != nullptr ? call_of(tile->args[0], "expand_dims", 1) : nullptr;
    return expand != nullptr ? std::optional(Repetition{expand, tile, reshape}) : std::nullopt;
}

std::optional<InnerNodes> repetitions(const CallNode* root) {
    const auto across = repetition_at(tvm::runtime::GetRef<Call>(root));
    const auto down = across ? repetition_at(across->expand->args[0]) : std::nullopt;
    if (!down) {
        return std::nullopt;
    }
    return InnerNodes{across->tile, across->expand, down->reshape, down->tile, down->expand};
}

// The factor of one repetition along `axis` of an NHWC tensor, or nullopt
// when the step repeats something else.
std::optional<int64_t> repeats(const Repetition& step, int axis) {
    const auto* expand = step.expand->attrs.as<ExpandDimsAttrs>();
    const auto* tile = step.tile->attrs.as<TileAttrs>();
    if (expand == nullptr || tile == nullptr || expand->axis != axis + 1 || expand->num_newaxis != 1) {
        return std::nullopt;
    }
    std::vector<int64_t> reps;
    for (const auto& r : tile->reps) {
        reps.push_back(r->value);
    }
    if (reps.size() != 5) {
        return std::nullopt;
    }
    for (int i = 0; i < 5; ++i) {
        if (i != axis + 1 && reps[i] != 1) {
            return std::nullopt;
        }
    }
    auto expected = shape_of(step.expand->args[0]);
    const auto after = shape_of(tvm::runtime::GetRef<Call>(step.reshape));
    const int64_t factor = reps[axis + 1];
    if (!expected || !after || static_cast<int>(expected->size()) <= axis) {
        return std::nullopt;
    }
    (*expected)[axis] *= factor;
    return *after == *expected ? std::optional(factor) : std::nullopt;
}

tvm::RelayExpr tiles_as_resize(const CallNode* pre, const Call& post, const PostOf& post_of) {
    const Repetition across = *repetition_at(tvm::runtime::GetRef<Call>(pre));
    const Repetition down = *repetition_at(across.expand->args[0]);
    const auto input_shape = shape_of(down.expand->args[0]);
    const auto output_shape = shape_of(tvm::runtime::GetRef<Call>(pre));
    if (!input_shape || input_shape->size() != 4 || !repeats(down, 1) || !repeats(across, 2) || !output_shape ||
        output_shape->size() != 4) {
        return post;
    }
    const tvm::Array<tvm::FloatImm> roi(4, tvm::FloatImm(tvm::DataType::Float(32), 0.0));
    const tvm::Array<tvm::PrimExpr> size{tvm::IntImm(tvm::DataType::Int(32), (*output_shape)[1]),
                                         tvm::IntImm(tvm::DataType::Int(32), (*output_shape)[2])};
    tvm::runtime::TVMRetValue out_dtype;  // none: the input's type
    return half_pixel_resize(post_of(down.expand->args[0]), roi, size, tvm::String("NHWC"), out_dtype,
                             pre->checked_type_);
}

}  // namespace

const FormRule kNearestResizeHalfPixel{
    "nearest_resize_half_pixel", {"image.resize2d"}, resize_root, half_pixel_coordinates};
const FormRule kTiledUpsamplingToResize{
    "tiled_upsampling_to_resize", {"reshape", "tile", "expand_dims"}, repetitions, tiles_as_resize};

}  // namespace vexa_host
