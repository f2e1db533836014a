// The float32 pattern makers.  No pattern constrains attributes or dtypes:
// the checks judge those.  Every call builds new pattern objects.
#include "patterns/definitions.hpp"
#include "patterns/language/define.hpp"

namespace vexa::patterns::fp32 {

namespace {

// "nn.conv2d"(*, constant weights)
Pattern conv2d(const PatternLanguage& p) {
    Pattern data = p.wildcard();
    return p.op("nn.conv2d")(data, p.constant());
}

// "add"(*, C) | "nn.bias_add"(*, C)
Pattern bias_add(const PatternLanguage& p) {
    Pattern data = p.wildcard();
    Pattern add = p.op("add")(data, p.constant());
    Pattern bias_data = p.wildcard();
    Pattern bias_add = p.op("nn.bias_add")(bias_data, p.constant());
    return add | bias_add;
}

// "nn.max_pool2d" of a pad by 0.0 (inside the composite) or of anything else.
Pattern maxpool2d(const PatternLanguage& p) {
    Pattern padded = p.wildcard();
    Pattern pad = p.op("nn.pad")(padded, p.scalar(0.0));
    Pattern data = pad | p.wildcard();
    return p.op("nn.max_pool2d")(data);
}

Pattern leaky_relu(const PatternLanguage& p) { return p.op("nn.leaky_relu")(p.wildcard()); }

// x * sigmoid(x), the same x on both sides.
Pattern silu(const PatternLanguage& p) {
    Pattern x = p.wildcard();
    Pattern sigmoid = p.op("sigmoid")(x);
    return p.op("multiply")(x, sigmoid);
}

// x * (clip(x + 3) / 6)
Pattern hswish(const PatternLanguage& p) {
    Pattern x = p.wildcard();
    Pattern shifted = p.op("add")(x, p.scalar(3.0));
    Pattern clipped = p.op("clip")(shifted);
    Pattern scaled = p.op("divide")(clipped, p.scalar(6.0));
    return p.op("multiply")(x, scaled);
}

// x * clip(0.5 + x * (1/6)), the hard-sigmoid form.
Pattern hswish_onnx(const PatternLanguage& p) {
    Pattern x = p.wildcard();
    Pattern scaled = p.op("multiply")(x, p.scalar(0.16666666666666666));
    Pattern shifted = p.op("add")(p.scalar(0.5), scaled);
    Pattern clipped = p.op("clip")(shifted);
    return p.op("multiply")(x, clipped);
}

Pattern res_add(const PatternLanguage& p) {
    Pattern left = p.wildcard();
    Pattern right = p.wildcard();
    return p.op("add")(left, right);
}

Pattern relu(const PatternLanguage& p) { return p.op("nn.relu")(p.wildcard()); }

// Adaptive average pooling tried first.
Pattern avg_pool2d(const PatternLanguage& p) {
    Pattern adaptive = p.op("nn.adaptive_avg_pool2d")(p.wildcard());
    Pattern plain = p.op("nn.avg_pool2d")(p.wildcard());
    return adaptive | plain;
}

Pattern avg_pool2d_onnx(const PatternLanguage& p) { return p.op("nn.global_avg_pool2d")(p.wildcard()); }

Pattern upsampling(const PatternLanguage& p) { return p.op("image.resize2d")(p.wildcard()); }

Pattern hardtanh(const PatternLanguage& p) { return p.op("clip")(p.wildcard()); }

// "concatenate" of a tuple of 2 to 7 arbitrary inputs.
Pattern concatenate(const PatternLanguage& p) {
    constexpr int CONCAT_INPUT_LIMIT = 8;
    // A new wildcard, whatever the slot.  Made once; it lives as long as the process.
    static const py::object* in_ptrn =
        new py::object(py::cpp_function([language = p](py::object /*slot*/) { return language.wildcard().object(); },
                                        py::name("in_ptrn"), py::arg("i")));
    Pattern inputs = p.maker("tuple_multi_input_pattern")(py::int_(2), py::int_(CONCAT_INPUT_LIMIT), *in_ptrn);
    return p.op("concatenate")(inputs);
}

}  // namespace

}  // namespace vexa::patterns::fp32

namespace vexa::patterns {

void define_fp32_makers(py::module_& m, const Language& p) {
    using namespace fp32;
    define_makers(
        m, p,
        {
            {"make_fp32_conv2d_pat", "Pattern of a convolution with constant weights.", conv2d},
            {"make_fp32_bias_add_pat", "Pattern of an add or bias add of a constant.", bias_add},
            {"make_fp32_maxpool2d_pat", "Pattern of a max pooling, with a preceding pad by 0.0 if any.", maxpool2d},
            {"make_fp32_leaky_relu_pat", "Pattern of a leaky ReLU.", leaky_relu},
            {"make_fp32_silu_pat", "Pattern of x * sigmoid(x).", silu},
            {"make_fp32_hswish_pat", "Pattern of the hard swish x * clip(x + 3) / 6.", hswish},
            {"make_fp32_hswish_onnx_pat", "Pattern of the hard swish x * clip(x * 1/6 + 0.5).", hswish_onnx},
            {"make_fp32_res_add_pat", "Pattern of an add of any two expressions.", res_add},
            {"make_fp32_relu_pat", "Pattern of a ReLU.", relu},
            {"make_fp32_avg_pool2d_pat", "Pattern of an adaptive or plain average pooling.", avg_pool2d},
            {"make_fp32_avg_pool2d_onnx_pat", "Pattern of a global average pooling.", avg_pool2d_onnx},
            {"make_fp32_upsampling_pat", "Pattern of a resize.", upsampling},
            {"make_fp32_hardtanh_pat", "Pattern of a clip.", hardtanh},
            {"make_f32_concatenate_pat", "Pattern of a concatenation of 2 to 7 inputs.", concatenate},
        });
}

}  // namespace vexa::patterns
