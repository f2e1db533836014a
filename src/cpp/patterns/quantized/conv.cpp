// The quantized convolution entries: "vexa.qnn_conv" (pad, convolution,
// bias, requantize, clip, cast) with its check, the same convolution under a
// quantized hard-swish, and the looser TFLite chain.
#include "patterns/checks/define.hpp"
#include "patterns/definitions.hpp"
#include "patterns/language/define.hpp"
#include "patterns/quantized/blocks.hpp"
#include "patterns/quantized/checks.hpp"

namespace vexa::patterns::quantized {

namespace {

// The two ways a quantized per-channel bias reaches an NHWC convolution
// output: expand_dims twice and a layout transform (tried first), or a single
// expand_dims for one channel.
Pattern layout_transform_bias(const PatternLanguage& p, const Pattern& bias_var) {
    Pattern expanded = p.op("expand_dims")(bias_var);
    Pattern batched = p.op("expand_dims")(expanded);
    Pattern normal = p.op("layout_transform")(batched);
    Pattern single_channel = p.op("expand_dims")(bias_var);
    return normal | single_channel;
}

// Optional pad, convolution with a quantized (optionally layout-transformed)
// weight, optional bias in either form, requantize, clip, cast, optional clip.
Pattern conv(const PatternLanguage& p) {
    Pattern data = p.wildcard();
    Pattern weight_var = quantize(p, p.wildcard());
    Pattern bias_var = quantize(p, p.wildcard());
    Pattern inp = p.op("nn.pad")(data, p.wildcard()) | data;
    weight_var = weight_var.optional(p.op("layout_transform"));
    Pattern input_zero_point = p.wildcard();
    Pattern kernel_zero_point = p.wildcard();
    Pattern input_scale = p.wildcard();
    Pattern kernel_scale = p.wildcard();
    Pattern qnn_conv =
        p.op("qnn.conv2d")(inp, weight_var, input_zero_point, kernel_zero_point, input_scale, kernel_scale);
    Pattern nhwc_bias_add = p.op("add")(qnn_conv, layout_transform_bias(p, bias_var));
    Pattern conv_out = p.op("nn.bias_add")(qnn_conv, bias_var) | nhwc_bias_add | qnn_conv;
    Pattern requantized = p.maker("make_requantize_pattern")(conv_out);
    Pattern clip = p.op("clip")(requantized);
    Pattern cast = p.op("cast")(clip);
    return cast.optional(p.op("clip"));
}

// The convolution output multiplied by a clip of itself (or of its
// requantized, shifted, clipped and cast form): one convolution pattern
// object at all three places, so all bind the same convolution.
Pattern conv_hswish(const PatternLanguage& p) {
    Pattern clip_inp = conv(p);
    Pattern requantized = p.maker("make_requantize_pattern")(clip_inp);
    Pattern add = p.op("add")(requantized, p.wildcard());
    Pattern clip = p.op("clip")(add);
    Pattern clip_inp_requant = p.op("cast")(clip);
    clip = p.op("clip")(clip_inp | clip_inp_requant);
    return p.maker("make_qnn_mul_pattern")(clip_inp, clip);
}

// Optional pad (or any input), convolution with any weight, optional
// nn.bias_add, requantize, optional clip.
Pattern tflite_conv(const PatternLanguage& p) {
    Pattern pattern = p.wildcard();
    Pattern pad = p.op("nn.pad")(pattern, p.wildcard());
    pattern = pad | p.wildcard();
    Pattern weight = p.wildcard();
    Pattern input_zero_point = p.wildcard();
    Pattern kernel_zero_point = p.wildcard();
    Pattern input_scale = p.wildcard();
    Pattern kernel_scale = p.wildcard();
    pattern = p.op("qnn.conv2d")(pattern, weight, input_zero_point, kernel_zero_point, input_scale, kernel_scale);
    pattern = pattern.optional([&p](const Pattern& conv2d) { return p.op("nn.bias_add")(conv2d, p.wildcard()); });
    pattern = p.maker("make_requantize_pattern")(pattern);
    return pattern.optional(p.op("clip"));
}

}  // namespace

}  // namespace vexa::patterns::quantized

namespace vexa::patterns {

void define_quantized_conv(py::module_& m, const Language& p, const Checks& context) {
    using namespace quantized;
    define_makers(
        m, p,
        {
            {"layout_transform_bias",
             {{"bias_var"}},
             "Pattern of the bias reshaped for an NHWC convolution output: layout_transform(expand_dims(\n"
             "expand_dims(bias_var))), or expand_dims(bias_var) for a single channel.",
             [](const PatternLanguage& l, const py::handle* a) { return layout_transform_bias(l, Pattern::of(a[0])); }},
            {"make_qnn_conv_pattern",
             "Pattern of \"vexa.qnn_conv\": optional pad, qnn.conv2d with a quantized weight, optional bias,\n"
             "requantize, clip, cast, optional clip.",
             conv},
        });
    checks::define_check(m, context, kCheckConvPattern);
    checks::define_check(m, context, kCheckConv);
    define_makers(
        m, p,
        {
            {"make_qnn_conv_hswish_pattern",
             "Pattern of \"vexa.qnn_conv_hswish_requant\": a \"vexa.qnn_conv\" chain multiplied (qnn.mul) by a\n"
             "clip of itself or of its requantized, shifted, clipped and cast form.",
             conv_hswish},
            {"make_qnn_tflite_conv_pattern",
             "Pattern of \"vexa.qnn_tflite_qconv\": optional pad, qnn.conv2d with any weight, optional\n"
             "nn.bias_add, requantize, optional clip.",
             tflite_conv},
        });
}

}  // namespace vexa::patterns
