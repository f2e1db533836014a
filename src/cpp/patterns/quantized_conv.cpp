// The quantized convolution entries: "vexa.qnn_conv" (pad, convolution,
// bias, requantize, clip, cast) with its check, the same convolution under a
// quantized hard-swish, and the looser TFLite chain.
#include <memory>

#include "common/fast_function.hpp"
#include "patterns/checks/define.hpp"
#include "patterns/definitions.hpp"
#include "patterns/pattern_language.hpp"
#include "patterns/quantized/checks.hpp"

namespace vexa::patterns {

namespace {

// The two ways a quantized per-channel bias reaches an NHWC convolution
// output: expand_dims twice and a layout transform (tried first), or a single
// expand_dims for one channel.
py::object layout_transform_bias(const PatternLanguage& lang, const py::object& bias_var) {
    py::object normal = lang.op("layout_transform", {lang.op("expand_dims", {lang.op("expand_dims", {bias_var})})});
    py::object single_channel = lang.op("expand_dims", {bias_var});
    return PatternLanguage::either(normal, single_channel);
}

// Optional pad, convolution with a quantized (optionally layout-transformed)
// weight, optional bias in either form, requantize, clip, cast, optional clip.
py::object make_qnn_conv_pattern(const PatternLanguage& lang) {
    py::object quantize = lang.global("make_qnn_quantize_pattern");
    py::object data = lang.wildcard();
    py::object weight_var = quantize(lang.wildcard());
    py::object bias_var = quantize(lang.wildcard());
    py::object pad = lang.op("nn.pad", {data, lang.wildcard()});
    py::object inp = PatternLanguage::either(pad, data);
    weight_var = lang.optional_op(weight_var, "layout_transform");
    py::object input_zero_point = lang.wildcard();
    py::object kernel_zero_point = lang.wildcard();
    py::object input_scale = lang.wildcard();
    py::object kernel_scale = lang.wildcard();
    py::object qnn_conv =
        lang.op("qnn.conv2d", {inp, weight_var, input_zero_point, kernel_zero_point, input_scale, kernel_scale});
    py::object nhwc_bias_add = lang.op("add", {qnn_conv, lang.global("layout_transform_bias")(bias_var)});
    py::object bias_add = lang.op("nn.bias_add", {qnn_conv, bias_var});
    py::object conv_out = PatternLanguage::either(PatternLanguage::either(bias_add, nhwc_bias_add), qnn_conv);
    py::object requantized = lang.global("make_requantize_pattern")(conv_out);
    py::object clip = lang.op("clip", {requantized});
    py::object cast = lang.op("cast", {clip});
    return lang.optional_op(cast, "clip");
}

// The convolution output multiplied by a clip of itself (or of its
// requantized, shifted, clipped and cast form): one convolution pattern
// object at all three places, so all bind the same convolution.
py::object make_qnn_conv_hswish_pattern(const PatternLanguage& lang) {
    py::object clip_inp = lang.global("make_qnn_conv_pattern")();
    py::object requantized = lang.global("make_requantize_pattern")(clip_inp);
    py::object add = lang.op("add", {requantized, lang.wildcard()});
    py::object clip = lang.op("clip", {add});
    py::object clip_inp_requant = lang.op("cast", {clip});
    clip = lang.op("clip", {PatternLanguage::either(clip_inp, clip_inp_requant)});
    return lang.global("make_qnn_mul_pattern")(clip_inp, clip);
}

// Optional pad (or any input), convolution with any weight, optional
// nn.bias_add, requantize, optional clip.
py::object make_qnn_tflite_conv_pattern(const PatternLanguage& lang) {
    py::object pattern = lang.wildcard();
    py::object pad = lang.op("nn.pad", {pattern, lang.wildcard()});
    pattern = PatternLanguage::either(pad, lang.wildcard());
    pattern = lang.op("qnn.conv2d",
                      {pattern, lang.wildcard(), lang.wildcard(), lang.wildcard(), lang.wildcard(), lang.wildcard()});
    // pattern.optional(lambda p: is_op("nn.bias_add")(p, wildcard())), that is p | f(p).
    py::object bias_add = lang.op("nn.bias_add", {pattern, lang.wildcard()});
    pattern = PatternLanguage::either(pattern, bias_add);
    pattern = lang.global("make_requantize_pattern")(pattern);
    return lang.optional_op(pattern, "clip");
}

}  // namespace

void define_quantized_conv(py::module_& m, const std::shared_ptr<checks::Context>& context) {
    auto lang = std::make_shared<PatternLanguage>(m);

    def_function(m, "layout_transform_bias",
                 "Pattern of the bias reshaped for an NHWC convolution output: layout_transform(expand_dims(\n"
                 "expand_dims(bias_var))), or expand_dims(bias_var) for a single channel.",
                 {{"bias_var"}}, [lang](const py::handle* args) {
                     return layout_transform_bias(*lang, py::reinterpret_borrow<py::object>(args[0]));
                 });
    def_function(m, "make_qnn_conv_pattern",
                 "Pattern of \"vexa.qnn_conv\": optional pad, qnn.conv2d with a quantized weight, optional bias,\n"
                 "requantize, clip, cast, optional clip.",
                 {}, [lang](const py::handle*) { return make_qnn_conv_pattern(*lang); });
    checks::define_check(m, context, quantized::kCheckConvPattern);
    checks::define_check(m, context, quantized::kCheckConv);
    def_function(m, "make_qnn_conv_hswish_pattern",
                 "Pattern of \"vexa.qnn_conv_hswish_requant\": a \"vexa.qnn_conv\" chain multiplied (qnn.mul) by a\n"
                 "clip of itself or of its requantized, shifted, clipped and cast form.",
                 {}, [lang](const py::handle*) { return make_qnn_conv_hswish_pattern(*lang); });
    def_function(m, "make_qnn_tflite_conv_pattern",
                 "Pattern of \"vexa.qnn_tflite_qconv\": optional pad, qnn.conv2d with any weight, optional\n"
                 "nn.bias_add, requantize, optional clip.",
                 {}, [lang](const py::handle*) { return make_qnn_tflite_conv_pattern(*lang); });
}

}  // namespace vexa::patterns
