// The quantized building blocks (quantize, requantize, add, multiply,
// variable-length tuples) and the addition and concatenation entries.
#include <memory>

#include "common/fast_function.hpp"
#include "patterns/checks/define.hpp"
#include "patterns/definitions.hpp"
#include "patterns/pattern_language.hpp"
#include "patterns/quantized/checks.hpp"

namespace vexa::patterns {

namespace {

// is_op(name)(args...), with the operator looked up before the arguments
// are built, as in the Python expression.
class OpCall {
public:
    OpCall(const PatternLanguage& lang, const char* name) : callee_(lang.global("is_op")(name)) {}
    template <typename... Args>
    py::object operator()(const Args&... args) const {
        return callee_(args...);
    }

private:
    py::object callee_;
};

py::object operand_or_wildcard(const PatternLanguage& lang, py::handle operand) {
    return operand.is_none() ? lang.wildcard() : py::reinterpret_borrow<py::object>(operand);
}

py::object quantize_pattern(const PatternLanguage& lang, py::handle x) {
    OpCall quantize(lang, "qnn.quantize");
    py::object scale = lang.wildcard();
    py::object zero_point = lang.wildcard();
    return quantize(x, scale, zero_point);
}

py::object requantize_pattern(const PatternLanguage& lang, py::handle x) {
    OpCall requantize(lang, "qnn.requantize");
    py::object input_scale = lang.wildcard();
    py::object input_zero_point = lang.wildcard();
    py::object output_scale = lang.wildcard();
    py::object output_zero_point = lang.wildcard();
    return requantize(x, input_scale, input_zero_point, output_scale, output_zero_point);
}

// The quantized binary operator `op_name` of (lhs, rhs) with its six
// quantization parameters, optionally followed by a clip.
py::object binary_pattern(const PatternLanguage& lang, const char* op_name, py::handle lhs, py::handle rhs) {
    py::object left = operand_or_wildcard(lang, lhs);
    py::object right = operand_or_wildcard(lang, rhs);
    py::object lhs_scale = lang.wildcard();
    py::object lhs_zero_point = lang.wildcard();
    py::object rhs_scale = lang.wildcard();
    py::object rhs_zero_point = lang.wildcard();
    py::object output_scale = lang.wildcard();
    py::object output_zero_point = lang.wildcard();
    py::object call = OpCall(lang, op_name)(left, right, lhs_scale, lhs_zero_point, rhs_scale, rhs_zero_point,
                                            output_scale, output_zero_point);
    return lang.optional_op(call, "clip");
}

// Alternative of tuples of `start` to `end - 1` fields, shortest first; each
// field is a new pattern from `ptrn_gen(index)`.  None when the range is empty.
py::object tuple_alternatives(const PatternLanguage& lang, py::handle start, py::handle end, py::handle ptrn_gen) {
    py::object lengths = py::module_::import("builtins").attr("range")(start, end);
    py::object pattern = py::none();
    for (py::handle length : lengths) {
        const Py_ssize_t count = py::cast<Py_ssize_t>(length);
        py::list fields;
        for (Py_ssize_t i = 0; i < count; ++i) {
            fields.append(ptrn_gen(py::int_(i)));
        }
        py::object alternative = lang.tuple(fields);
        pattern = pattern.is_none() ? alternative : PatternLanguage::either(pattern, alternative);
    }
    return pattern;
}

// A concatenation of 2 to 7 inputs, each requantized or not, with scales,
// zero points and output quantization left open.
py::object concat_pattern(const PatternLanguage& lang, const py::object& input_pattern) {
    constexpr int kConcatInputLimit = 8;
    py::object tuple_inputs = lang.global("tuple_multi_input_pattern")(2, kConcatInputLimit, input_pattern);
    py::object tuple_scales = lang.tuple(py::none());
    py::object tuple_zero_points = lang.tuple(py::none());
    OpCall concatenate(lang, "qnn.concatenate");
    py::object output_scale = lang.wildcard();
    py::object output_zero_point = lang.wildcard();
    return concatenate(tuple_inputs, tuple_scales, tuple_zero_points, output_scale, output_zero_point);
}

}  // namespace

void define_quantized_blocks(py::module_& m, const std::shared_ptr<checks::Context>& context) {
    auto lang = std::make_shared<PatternLanguage>(m);
    const py::object none = py::none();

    def_function(m, "make_qnn_quantize_pattern", "Pattern of a \"qnn.quantize\" of `x` (any scale and zero point).",
                 {{"x"}}, [lang](const py::handle* a) { return quantize_pattern(*lang, a[0]); });
    def_function(m, "make_requantize_pattern",
                 "Pattern of a \"qnn.requantize\" of `x` (any input and output scales and zero points).", {{"x"}},
                 [lang](const py::handle* a) { return requantize_pattern(*lang, a[0]); });
    def_function(m, "make_qnn_add_pattern",
                 "Pattern of a \"qnn.add\" of `lhs` and `rhs` (new wildcards when None), optionally clipped.",
                 {{"lhs", none}, {"rhs", none}},
                 [lang](const py::handle* a) { return binary_pattern(*lang, "qnn.add", a[0], a[1]); });
    def_function(m, "make_qnn_mul_pattern",
                 "Pattern of a \"qnn.mul\" of `lhs` and `rhs` (new wildcards when None), optionally clipped.",
                 {{"lhs", none}, {"rhs", none}},
                 [lang](const py::handle* a) { return binary_pattern(*lang, "qnn.mul", a[0], a[1]); });

    checks::define_check(m, context, quantized::kCheckAddCall);
    checks::define_check(m, context, quantized::kCheckAdd);

    def_function(m, "tuple_multi_input_pattern",
                 "Alternative of tuple patterns of start to end - 1 fields, shortest first, each field\n"
                 "built by its own call ptrn_gen(index); None when start is not below end.",
                 {{"start"}, {"end"}, {"ptrn_gen"}},
                 [lang](const py::handle* a) { return tuple_alternatives(*lang, a[0], a[1], a[2]); });

    // One input of the concatenation: requantized first, anything second.
    py::object input_pattern = py::cpp_function(
        [lang](py::object /*index*/) {
            py::object requantized = lang->global("make_requantize_pattern")(lang->wildcard());
            return PatternLanguage::either(requantized, lang->wildcard());
        },
        py::name("in_ptrn"), py::arg("i"));
    def_function(m, "make_qnn_concat_with_req_pattern",
                 "Pattern of \"vexa.concat\": a \"qnn.concatenate\" of 2 to 7 inputs, each optionally requantized.", {},
                 [lang, input_pattern](const py::handle*) { return concat_pattern(*lang, input_pattern); });

    checks::define_check(m, context, quantized::kCheckConcat);
}

}  // namespace vexa::patterns
