// The quantized pooling, activation, resize, dense, clip and mean entries.
// The chains are those the importers emit for integer networks: dequantize,
// float work, quantize; or cast, integer pooling, cast.  Each pattern covers
// the whole chain, the conversions at its ends included.
#include "patterns/checks/define.hpp"
#include "patterns/definitions.hpp"
#include "patterns/language/define.hpp"
#include "patterns/quantized/blocks.hpp"
#include "patterns/quantized/checks.hpp"

namespace vexa::patterns::quantized {

namespace {

// qnn.dequantize(data, scale, zero point)
Pattern dequantize(const PatternLanguage& p, const Pattern& data) {
    Op dequantize = p.op("qnn.dequantize");
    Pattern scale = p.wildcard();
    Pattern zero_point = p.wildcard();
    return dequantize(data, scale, zero_point);
}

// cast(adaptive_avg_pool2d(cast(*))), tried first, or
// cast(avg_pool2d(cast(pad(pad(*, *), *)))).
Pattern avg_pooling_2d(const PatternLanguage& p) {
    Pattern data = p.wildcard();
    Pattern avg_pool_ptrn_tflite = p.op("nn.pad")(data, p.wildcard());
    avg_pool_ptrn_tflite = p.op("nn.pad")(avg_pool_ptrn_tflite, p.wildcard());
    avg_pool_ptrn_tflite = p.op("cast")(avg_pool_ptrn_tflite);
    avg_pool_ptrn_tflite = p.op("nn.avg_pool2d")(avg_pool_ptrn_tflite);
    Pattern avg_pool_ptrn_pt = p.op("cast")(p.wildcard());
    avg_pool_ptrn_pt = p.op("nn.adaptive_avg_pool2d")(avg_pool_ptrn_pt);
    return p.op("cast")(avg_pool_ptrn_pt | avg_pool_ptrn_tflite);
}

// max_pool2d of a pad of the input, or of the input itself (one object).
Pattern max_pool2d(const PatternLanguage& p) {
    Pattern data = p.wildcard();
    Pattern padded = p.op("nn.pad")(data, p.wildcard());
    return p.op("nn.max_pool2d")(padded | data);
}

// quantize(leaky_relu(dequantize(*)))
Pattern leaky_relu(const PatternLanguage& p) {
    Pattern dequantized = dequantize(p, p.wildcard());
    Pattern activated = p.op("nn.leaky_relu")(dequantized);
    return quantize(p, activated);
}

// x * clip(x + 3) / 6 in float between dequantize and quantize (the
// constants are wildcards), one dequantize node feeding add and multiply;
// optionally requantized.
Pattern tflite_hswish(const PatternLanguage& p) {
    Pattern data = p.wildcard();
    Pattern dequantized = dequantize(p, data);
    Pattern add = p.op("add")(dequantized, p.wildcard());
    Pattern clip = p.op("clip")(add);
    Pattern mul = p.op("multiply")(dequantized, clip);
    Pattern div = p.op("divide")(mul, p.wildcard());
    Pattern quantized = quantize(p, div);
    return quantized.optional(p.maker("make_requantize_pattern"));
}

// qnn.mul(x, quantize(sigmoid(dequantize(x)))), x one object.
Pattern tflite_silu(const PatternLanguage& p) {
    Pattern data = p.wildcard();
    Pattern dequantized = dequantize(p, data);
    Pattern sigmoid = p.op("sigmoid")(dequantized);
    Pattern quantized = quantize(p, sigmoid);
    return p.maker("make_qnn_mul_pattern")(data, quantized);
}

// quantize(resize2d(dequantize(*)))
Pattern upsampling(const PatternLanguage& p) {
    Pattern dequantized = dequantize(p, p.wildcard());
    Pattern resized = p.op("image.resize2d")(dequantized);
    return quantize(p, resized);
}

// resize2d of a requantized input (tried first) or of any input.
Pattern upsampling_nearest(const PatternLanguage& p) {
    Pattern requantized = p.maker("make_requantize_pattern")(p.wildcard());
    Pattern input = requantized | p.wildcard();
    return p.op("image.resize2d")(input);
}

// requantize(mean(cast(*)))
Pattern mean(const PatternLanguage& p) {
    Pattern cast = p.op("cast")(p.wildcard());
    Pattern mean = p.op("mean")(cast);
    return p.maker("make_requantize_pattern")(mean);
}

Pattern clip(const PatternLanguage& p) { return p.op("clip")(p.wildcard()); }

// Q(*) | *: a quantized value first, any expression second.
Pattern quantized_or_anything(const PatternLanguage& p) {
    Pattern quantized = quantize(p, p.wildcard());
    return quantized | p.wildcard();
}

// requantize(bias_add(qnn.dense(input, weight, ...), bias)), optionally
// followed by clip and cast (that form tried first).  The input is
// squeeze(reshape(*)) or reshape(reshape(transpose(*))).
Pattern qnn_fc(const PatternLanguage& p) {
    Pattern fc_ptrn = p.op("reshape")(p.wildcard());
    fc_ptrn = p.op("squeeze")(fc_ptrn);
    Pattern tflite_fc_ptrn = p.op("transpose")(p.wildcard());
    tflite_fc_ptrn = p.op("reshape")(tflite_fc_ptrn);
    tflite_fc_ptrn = p.op("reshape")(tflite_fc_ptrn);
    Pattern weight = quantized_or_anything(p);
    Pattern data = fc_ptrn | tflite_fc_ptrn;
    Pattern input_zero_point = p.wildcard();
    Pattern kernel_zero_point = p.wildcard();
    Pattern input_scale = p.wildcard();
    Pattern kernel_scale = p.wildcard();
    Pattern dense = p.op("qnn.dense")(data, weight, input_zero_point, kernel_zero_point, input_scale, kernel_scale);
    Pattern bias = quantized_or_anything(p);
    Pattern bias_add = p.op("nn.bias_add")(dense, bias);
    Pattern base = p.maker("make_requantize_pattern")(bias_add);
    Pattern tail = p.op("clip")(base);
    tail = p.op("cast")(tail);
    return tail | base;
}

}  // namespace

}  // namespace vexa::patterns::quantized

namespace vexa::patterns {

void define_quantized_ops(py::module_& m, const Language& p, const Checks& context) {
    using namespace quantized;
    define_makers(
        m, p,
        {
            {"make_avg_pooling_2d_pattern",
             "Pattern of \"vexa.avg_pooling2d\": cast(adaptive_avg_pool2d(cast(*))), or\n"
             "cast(avg_pool2d(cast(pad(pad(*))))).",
             avg_pooling_2d},
            {"make_max_pool2d_pattern",
             "Pattern of \"vexa.maxpool2d\": max_pool2d of a pad of the input, or of the input.", max_pool2d},
            {"make_leaky_relu_pattern", "Pattern of \"vexa.leaky_relu\": qnn.quantize(leaky_relu(qnn.dequantize(*))).",
             leaky_relu},
            {"make_tflite_hswish_pattern",
             "Pattern of \"vexa.tflite_hswish\": x * clip(x + c) / d in float between dequantize and\n"
             "quantize, one dequantized x; optionally requantized.",
             tflite_hswish},
            {"make_tflite_silu_pattern",
             "Pattern of \"vexa.tflite_silu\": qnn.mul(x, qnn.quantize(sigmoid(qnn.dequantize(x)))), optionally\n"
             "clipped.",
             tflite_silu},
            {"make_upsampling_pattern",
             "Pattern of \"vexa.upsampling\": qnn.quantize(image.resize2d(qnn.dequantize(*))).", upsampling},
            {"make_upsampling_nearest_pattern",
             "Pattern of \"vexa.upsampling_nearest\": image.resize2d of a requantized input or of any input.",
             upsampling_nearest},
            {"make_mean_pattern", "Pattern of \"vexa.mean\": qnn.requantize(mean(cast(*))).", mean},
            {"make_clip_pattern", "Pattern of \"vexa.clip\": clip(*).", clip},
            {"make_qnn_fc_pattern",
             "Pattern of \"vexa.qnn_fc\": requantize(bias_add(qnn.dense(input, weight), bias)), optionally\n"
             "followed by clip and cast; the input is squeeze(reshape(*)) or reshape(reshape(transpose(*))).",
             qnn_fc},
        });
    checks::define_check(m, context, kCheckUpsamplingNearest);
}

}  // namespace vexa::patterns
