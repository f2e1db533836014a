// The float32 pattern makers.  No pattern constrains attributes or dtypes:
// the checks judge those.  Every call builds new pattern objects.
#include "common/fast_function.hpp"
#include "patterns/definitions.hpp"
#include "patterns/pattern_language.hpp"

namespace vexa::patterns {

namespace {

using Maker = py::object (*)(const PatternLanguage&);

// "nn.conv2d"(*, constant weights)
py::object conv2d(const PatternLanguage& p) { return p.op("nn.conv2d", {p.wildcard(), p.constant()}); }

// "add"(*, C) | "nn.bias_add"(*, C)
py::object bias_add(const PatternLanguage& p) {
    py::object add = p.op("add", {p.wildcard(), p.constant()});
    return PatternLanguage::either(add, p.op("nn.bias_add", {p.wildcard(), p.constant()}));
}

// "nn.max_pool2d" of a pad by 0.0 (inside the composite) or of anything else.
py::object maxpool2d(const PatternLanguage& p) {
    py::object pad = p.op("nn.pad", {p.wildcard(), p.scalar(0.0)});
    py::object data = PatternLanguage::either(pad, p.wildcard());
    return p.op("nn.max_pool2d", {data});
}

py::object leaky_relu(const PatternLanguage& p) { return p.op("nn.leaky_relu", {p.wildcard()}); }

// x * sigmoid(x), the same x on both sides.
py::object silu(const PatternLanguage& p) {
    py::object x = p.wildcard();
    return p.op("multiply", {x, p.op("sigmoid", {x})});
}

// x * (clip(x + 3) / 6)
py::object hswish(const PatternLanguage& p) {
    py::object x = p.wildcard();
    py::object shifted = p.op("add", {x, p.scalar(3.0)});
    py::object clipped = p.op("clip", {shifted});
    py::object scaled = p.op("divide", {clipped, p.scalar(6.0)});
    return p.op("multiply", {x, scaled});
}

// x * clip(0.5 + x * (1/6)), the hard-sigmoid form.
py::object hswish_onnx(const PatternLanguage& p) {
    py::object x = p.wildcard();
    py::object scaled = p.op("multiply", {x, p.scalar(0.16666666666666666)});
    py::object shifted = p.op("add", {p.scalar(0.5), scaled});
    py::object clipped = p.op("clip", {shifted});
    return p.op("multiply", {x, clipped});
}

py::object res_add(const PatternLanguage& p) { return p.op("add", {p.wildcard(), p.wildcard()}); }

py::object relu(const PatternLanguage& p) { return p.op("nn.relu", {p.wildcard()}); }

// Adaptive average pooling tried first.
py::object avg_pool2d(const PatternLanguage& p) {
    py::object adaptive = p.op("nn.adaptive_avg_pool2d", {p.wildcard()});
    return PatternLanguage::either(adaptive, p.op("nn.avg_pool2d", {p.wildcard()}));
}

py::object avg_pool2d_onnx(const PatternLanguage& p) { return p.op("nn.global_avg_pool2d", {p.wildcard()}); }

py::object upsampling(const PatternLanguage& p) { return p.op("image.resize2d", {p.wildcard()}); }

py::object hardtanh(const PatternLanguage& p) { return p.op("clip", {p.wildcard()}); }

// "concatenate" of a tuple of 2 to 7 arbitrary inputs.
py::object concatenate(const PatternLanguage& p) {
    constexpr int CONCAT_INPUT_LIMIT = 8;
    py::cpp_function in_ptrn([p](py::object /*slot*/) { return p.wildcard(); }, py::name("in_ptrn"), py::arg("i"));
    py::object inputs = p.global("tuple_multi_input_pattern")(2, CONCAT_INPUT_LIMIT, in_ptrn);
    return p.op("concatenate", {inputs});
}

void define_maker(py::module_& m, const char* name, const char* doc, Maker maker) {
    PatternLanguage language(m);
    def_function(m, name, doc, {}, [language, maker](const py::handle*) { return maker(language); });
}

}  // namespace

void define_fp32_patterns(py::module_& m) {
    define_maker(m, "make_fp32_conv2d_pat", "Pattern of a convolution with constant weights.", conv2d);
    define_maker(m, "make_fp32_bias_add_pat", "Pattern of an add or bias add of a constant.", bias_add);
    define_maker(m, "make_fp32_maxpool2d_pat", "Pattern of a max pooling, with a preceding pad by 0.0 if any.",
                 maxpool2d);
    define_maker(m, "make_fp32_leaky_relu_pat", "Pattern of a leaky ReLU.", leaky_relu);
    define_maker(m, "make_fp32_silu_pat", "Pattern of x * sigmoid(x).", silu);
    define_maker(m, "make_fp32_hswish_pat", "Pattern of the hard swish x * clip(x + 3) / 6.", hswish);
    define_maker(m, "make_fp32_hswish_onnx_pat", "Pattern of the hard swish x * clip(x * 1/6 + 0.5).", hswish_onnx);
    define_maker(m, "make_fp32_res_add_pat", "Pattern of an add of any two expressions.", res_add);
    define_maker(m, "make_fp32_relu_pat", "Pattern of a ReLU.", relu);
    define_maker(m, "make_fp32_avg_pool2d_pat", "Pattern of an adaptive or plain average pooling.", avg_pool2d);
    define_maker(m, "make_fp32_avg_pool2d_onnx_pat", "Pattern of a global average pooling.", avg_pool2d_onnx);
    define_maker(m, "make_fp32_upsampling_pat", "Pattern of a resize.", upsampling);
    define_maker(m, "make_fp32_hardtanh_pat", "Pattern of a clip.", hardtanh);
    define_maker(m, "make_f32_concatenate_pat", "Pattern of a concatenation of 2 to 7 inputs.", concatenate);
}

}  // namespace vexa::patterns
