// The quantized building blocks (quantize, requantize, add, multiply,
// variable-length tuples) and the addition and concatenation entries.
#include "patterns/quantized/blocks.hpp"

#include <optional>

#include "patterns/checks/define.hpp"
#include "patterns/definitions.hpp"
#include "patterns/language/define.hpp"
#include "patterns/quantized/checks.hpp"

namespace vexa::patterns::quantized {

namespace {

// qnn.quantize(x, scale, zero point)
Pattern quantize_call(const PatternLanguage& p, const Pattern& x) {
    Op quantize = p.op("qnn.quantize");
    Pattern scale = p.wildcard();
    Pattern zero_point = p.wildcard();
    return quantize(x, scale, zero_point);
}

// R(x): qnn.requantize(x, input scale, input zero point, output scale,
// output zero point).
Pattern requantize(const PatternLanguage& p, const Pattern& x) {
    Op requantize = p.op("qnn.requantize");
    Pattern input_scale = p.wildcard();
    Pattern input_zero_point = p.wildcard();
    Pattern output_scale = p.wildcard();
    Pattern output_zero_point = p.wildcard();
    return requantize(x, input_scale, input_zero_point, output_scale, output_zero_point);
}

// The quantized binary operator `op_name` of (lhs, rhs), each a new wildcard
// when None, with its six quantization parameters, optionally clipped.
Pattern binary(const PatternLanguage& p, const char* op_name, py::handle lhs, py::handle rhs) {
    Pattern left = lhs.is_none() ? p.wildcard() : Pattern::of(lhs);
    Pattern right = rhs.is_none() ? p.wildcard() : Pattern::of(rhs);
    Pattern lhs_scale = p.wildcard();
    Pattern lhs_zero_point = p.wildcard();
    Pattern rhs_scale = p.wildcard();
    Pattern rhs_zero_point = p.wildcard();
    Pattern output_scale = p.wildcard();
    Pattern output_zero_point = p.wildcard();
    Pattern call = p.op(op_name)(left, right, lhs_scale, lhs_zero_point, rhs_scale, rhs_zero_point, output_scale,
                                 output_zero_point);
    return call.optional(p.op("clip"));
}

// Tuples of `start` to `end - 1` fields, shortest first, each field a new
// pattern from `ptrn_gen(index)`; None when the range is empty.
Pattern tuple_alternatives(const PatternLanguage& p, py::handle start, py::handle end, py::handle ptrn_gen) {
    std::optional<Pattern> pattern;
    for (py::handle length : py::module_::import("builtins").attr("range")(start, end)) {
        py::list fields;
        for (Py_ssize_t i = 0; i < py::cast<Py_ssize_t>(length); ++i) {
            fields.append(ptrn_gen(py::int_(i)));
        }
        Pattern alternative = p.tuple(fields);
        pattern = pattern ? *pattern | alternative : alternative;
    }
    return pattern ? *pattern : Pattern(py::none());
}

// A concatenation of 2 to 7 inputs, each requantized (tried first) or not,
// with scales, zero points and output quantization left open.
Pattern concat(const PatternLanguage& p) {
    constexpr int kConcatInputLimit = 8;
    // One input, whatever its index: requantized first, anything second.  Made
    // once; it lives as long as the process.
    static const py::object* in_ptrn = new py::object(py::cpp_function(
        [language = p](py::object /*index*/) {
            Pattern requantized = language.maker("make_requantize_pattern")(language.wildcard());
            return (requantized | language.wildcard()).object();
        },
        py::name("in_ptrn"), py::arg("i")));
    Pattern tuple_inputs = p.maker("tuple_multi_input_pattern")(py::int_(2), py::int_(kConcatInputLimit), *in_ptrn);
    Pattern tuple_scales = p.tuple(py::none());
    Pattern tuple_zero_points = p.tuple(py::none());
    Op concatenate = p.op("qnn.concatenate");
    Pattern output_scale = p.wildcard();
    Pattern output_zero_point = p.wildcard();
    return concatenate(tuple_inputs, tuple_scales, tuple_zero_points, output_scale, output_zero_point);
}

}  // namespace

}  // namespace vexa::patterns::quantized

namespace vexa::patterns {

void define_quantized_blocks(py::module_& m, const Language& p, const Checks& context) {
    using namespace quantized;
    const py::object none = py::none();
    define_makers(
        m, p,
        {
            {"make_qnn_quantize_pattern",
             {{"x"}},
             "Pattern of a \"qnn.quantize\" of `x` (any scale and zero point).",
             [](const PatternLanguage& l, const py::handle* a) { return quantize_call(l, Pattern::of(a[0])); }},
            {"make_requantize_pattern",
             {{"x"}},
             "Pattern of a \"qnn.requantize\" of `x` (any input and output scales and zero points).",
             [](const PatternLanguage& l, const py::handle* a) { return requantize(l, Pattern::of(a[0])); }},
            {"make_qnn_add_pattern",
             {{"lhs", none}, {"rhs", none}},
             "Pattern of a \"qnn.add\" of `lhs` and `rhs` (new wildcards when None), optionally clipped.",
             [](const PatternLanguage& l, const py::handle* a) { return binary(l, "qnn.add", a[0], a[1]); }},
            {"make_qnn_mul_pattern",
             {{"lhs", none}, {"rhs", none}},
             "Pattern of a \"qnn.mul\" of `lhs` and `rhs` (new wildcards when None), optionally clipped.",
             [](const PatternLanguage& l, const py::handle* a) { return binary(l, "qnn.mul", a[0], a[1]); }},
        });
    checks::define_check(m, context, kCheckAddCall);
    checks::define_check(m, context, kCheckAdd);
    define_makers(
        m, p,
        {
            {"tuple_multi_input_pattern",
             {{"start"}, {"end"}, {"ptrn_gen"}},
             "Alternative of tuple patterns of start to end - 1 fields, shortest first, each field\n"
             "built by its own call ptrn_gen(index); None when start is not below end.",
             [](const PatternLanguage& l, const py::handle* a) { return tuple_alternatives(l, a[0], a[1], a[2]); }},
            {"make_qnn_concat_with_req_pattern",
             "Pattern of \"vexa.concat\": a \"qnn.concatenate\" of 2 to 7 inputs, each optionally requantized.",
             concat},
        });
    checks::define_check(m, context, kCheckConcat);
}

}  // namespace vexa::patterns
