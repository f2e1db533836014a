// The quantized pooling, activation, resize, dense, clip and mean entries.
// The chains are those the importers emit for integer networks: dequantize,
// float work, quantize; or cast, integer pooling, cast.  Each pattern covers
// the whole chain, the conversions at its ends included.
#include <memory>

#include "common/fast_function.hpp"
#include "patterns/definitions.hpp"
#include "patterns/checks/define.hpp"
#include "patterns/pattern_language.hpp"
#include "patterns/quantized/checks.hpp"

namespace vexa::patterns {

namespace {

using Lang = PatternLanguage;

// qnn.dequantize(data, scale, zero point), all three new wildcards.
py::object dequantize_of_anything(const Lang& lang) {
    return lang.op("qnn.dequantize", {lang.wildcard(), lang.wildcard(), lang.wildcard()});
}

// cast(adaptive_avg_pool2d(cast(*))), tried first, or
// cast(avg_pool2d(cast(pad(pad(*, *), *)))).
py::object make_avg_pooling_2d_pattern(const Lang& lang) {
    py::object avg_pool_ptrn_tflite = lang.op("nn.pad", {lang.wildcard(), lang.wildcard()});
    avg_pool_ptrn_tflite = lang.op("nn.pad", {avg_pool_ptrn_tflite, lang.wildcard()});
    avg_pool_ptrn_tflite = lang.op("cast", {avg_pool_ptrn_tflite});
    avg_pool_ptrn_tflite = lang.op("nn.avg_pool2d", {avg_pool_ptrn_tflite});
    py::object avg_pool_ptrn_pt = lang.op("nn.adaptive_avg_pool2d", {lang.op("cast", {lang.wildcard()})});
    return lang.op("cast", {Lang::either(avg_pool_ptrn_pt, avg_pool_ptrn_tflite)});
}

// max_pool2d of a pad of the input, or of the input itself (one object).
py::object make_max_pool2d_pattern(const Lang& lang) {
    py::object data = lang.wildcard();
    py::object pad = lang.op("nn.pad", {data, lang.wildcard()});
    return lang.op("nn.max_pool2d", {Lang::either(pad, data)});
}

// quantize(leaky_relu(dequantize(*)))
py::object make_leaky_relu_pattern(const Lang& lang) {
    py::object dequantized = dequantize_of_anything(lang);
    return lang.global("make_qnn_quantize_pattern")(lang.op("nn.leaky_relu", {dequantized}));
}

// x * clip(x + 3) / 6 in float between dequantize and quantize (the
// constants are wildcards), one dequantize node feeding add and multiply;
// optionally requantized.
py::object make_tflite_hswish_pattern(const Lang& lang) {
    py::object data = lang.wildcard();
    py::object dequantized = lang.op("qnn.dequantize", {data, lang.wildcard(), lang.wildcard()});
    py::object add = lang.op("add", {dequantized, lang.wildcard()});
    py::object clip = lang.op("clip", {add});
    py::object mul = lang.op("multiply", {dequantized, clip});
    py::object div = lang.op("divide", {mul, lang.wildcard()});
    py::object quantized = lang.global("make_qnn_quantize_pattern")(div);
    // quantized.optional(make_requantize_pattern), that is p | f(p).
    return Lang::either(quantized, lang.global("make_requantize_pattern")(quantized));
}

// qnn.mul(x, quantize(sigmoid(dequantize(x)))), x one object.
py::object make_tflite_silu_pattern(const Lang& lang) {
    py::object data = lang.wildcard();
    py::object dequantized = lang.op("qnn.dequantize", {data, lang.wildcard(), lang.wildcard()});
    py::object sigmoid = lang.op("sigmoid", {dequantized});
    py::object quantized = lang.global("make_qnn_quantize_pattern")(sigmoid);
    return lang.global("make_qnn_mul_pattern")(data, quantized);
}

// quantize(resize2d(dequantize(*)))
py::object make_upsampling_pattern(const Lang& lang) {
    py::object dequantized = dequantize_of_anything(lang);
    return lang.global("make_qnn_quantize_pattern")(lang.op("image.resize2d", {dequantized}));
}

// resize2d of a requantized input (tried first) or of any input.
py::object make_upsampling_nearest_pattern(const Lang& lang) {
    py::object requantized = lang.global("make_requantize_pattern")(lang.wildcard());
    py::object input = Lang::either(requantized, lang.wildcard());
    return lang.op("image.resize2d", {input});
}

// requantize(mean(cast(*)))
py::object make_mean_pattern(const Lang& lang) {
    py::object cast = lang.op("cast", {lang.wildcard()});
    py::object mean = lang.op("mean", {cast});
    return lang.global("make_requantize_pattern")(mean);
}

py::object make_clip_pattern(const Lang& lang) { return lang.op("clip", {lang.wildcard()}); }

// Q(*) | *: a quantized constant first, any expression second.
py::object quantized_or_anything(const Lang& lang, const py::object& quantize) {
    py::object quantized = quantize(lang.wildcard());
    return Lang::either(quantized, lang.wildcard());
}

// requantize(bias_add(qnn.dense(input, weight, ...), bias)), optionally
// followed by clip and cast (that form tried first).  The input is
// squeeze(reshape(*)) or reshape(reshape(transpose(*))).
py::object make_qnn_fc_pattern(const Lang& lang) {
    py::object quantize = lang.global("make_qnn_quantize_pattern");
    py::object fc_ptrn = lang.op("squeeze", {lang.op("reshape", {lang.wildcard()})});
    py::object tflite_fc_ptrn = lang.op("reshape", {lang.op("reshape", {lang.op("transpose", {lang.wildcard()})})});
    py::object weight = quantized_or_anything(lang, quantize);
    py::object data = Lang::either(fc_ptrn, tflite_fc_ptrn);
    py::object dense =
        lang.op("qnn.dense", {data, weight, lang.wildcard(), lang.wildcard(), lang.wildcard(), lang.wildcard()});
    py::object bias = quantized_or_anything(lang, quantize);
    py::object bias_add = lang.op("nn.bias_add", {dense, bias});
    py::object base = lang.global("make_requantize_pattern")(bias_add);
    py::object tail = lang.op("cast", {lang.op("clip", {base})});
    return Lang::either(tail, base);
}

using Maker = py::object (*)(const Lang&);

struct MakerEntry {
    const char* name;
    Maker maker;
    const char* doc;
};

}  // namespace

void define_quantized_ops(py::module_& m, const std::shared_ptr<checks::Context>& context) {
    auto lang = std::make_shared<Lang>(m);

    static constexpr MakerEntry kMakers[] = {
        {"make_avg_pooling_2d_pattern", make_avg_pooling_2d_pattern,
         "Pattern of \"vexa.avg_pooling2d\": cast(adaptive_avg_pool2d(cast(*))), or\n"
         "cast(avg_pool2d(cast(pad(pad(*)))))."},
        {"make_max_pool2d_pattern", make_max_pool2d_pattern,
         "Pattern of \"vexa.maxpool2d\": max_pool2d of a pad of the input, or of the input."},
        {"make_leaky_relu_pattern", make_leaky_relu_pattern,
         "Pattern of \"vexa.leaky_relu\": qnn.quantize(leaky_relu(qnn.dequantize(*)))."},
        {"make_tflite_hswish_pattern", make_tflite_hswish_pattern,
         "Pattern of \"vexa.tflite_hswish\": x * clip(x + c) / d in float between dequantize and\n"
         "quantize, one dequantized x; optionally requantized."},
        {"make_tflite_silu_pattern", make_tflite_silu_pattern,
         "Pattern of \"vexa.tflite_silu\": qnn.mul(x, qnn.quantize(sigmoid(qnn.dequantize(x)))), optionally\n"
         "clipped."},
        {"make_upsampling_pattern", make_upsampling_pattern,
         "Pattern of \"vexa.upsampling\": qnn.quantize(image.resize2d(qnn.dequantize(*)))."},
        {"make_upsampling_nearest_pattern", make_upsampling_nearest_pattern,
         "Pattern of \"vexa.upsampling_nearest\": image.resize2d of a requantized input or of any input."},
        {"make_mean_pattern", make_mean_pattern, "Pattern of \"vexa.mean\": qnn.requantize(mean(cast(*)))."},
        {"make_clip_pattern", make_clip_pattern, "Pattern of \"vexa.clip\": clip(*)."},
        {"make_qnn_fc_pattern", make_qnn_fc_pattern,
         "Pattern of \"vexa.qnn_fc\": requantize(bias_add(qnn.dense(input, weight), bias)), optionally\n"
         "followed by clip and cast; the input is squeeze(reshape(*)) or reshape(reshape(transpose(*)))."},
    };
    for (const MakerEntry& entry : kMakers) {
        def_function(m, entry.name, entry.doc, {},
                     [lang, maker = entry.maker](const py::handle*) { return maker(*lang); });
    }
    checks::define_check(m, context, quantized::kCheckUpsamplingNearest);
}

}  // namespace vexa::patterns
