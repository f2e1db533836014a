// The float32 check predicates, added to the module in this order:
// check_fp32, is_captured, check_fp32_bias_add, check_fp32_relu,
// check_fp32_res_add, check_fp32_concatenate, check_fp32_upsampling,
// check_avg_pool2d, check_fp32_hardtanh.
#include <memory>

#include "common/fast_function.hpp"
#include "patterns/definitions.hpp"
#include "patterns/fp32_check_bodies.hpp"

namespace vexa::patterns {

namespace {

using Body = py::object (*)(const Fp32Context&, py::handle);

py::object define_check(py::module_& m, const std::shared_ptr<Fp32Context>& context, const char* name,
                        const char* parameter, const char* doc, Body body) {
    return def_function(m, name, doc, {{parameter}},
                        [context, body](const py::handle* arguments) { return body(*context, arguments[0]); });
}

py::object check_fp32(const Fp32Context& context, py::handle extract) {
    return check_fp32_body(context, CheckValue::of(extract));
}

py::object is_captured(const Fp32Context& context, py::handle extract) {
    return is_captured_body(context, CheckValue::of(extract));
}

}  // namespace

void define_fp32_checks(py::module_& m) {
    auto context = std::make_shared<Fp32Context>(m);
    py::object own_check_fp32 = define_check(m, context, "check_fp32", "extract",
                                             "Whether the matched call's result is a float32 tensor.", check_fp32);
    py::object own_is_captured =
        define_check(m, context, "is_captured", "extract",
                     "Whether the expression is a call of a Relay function (a composite call).", is_captured);
    context->set_own(own_check_fp32, own_is_captured);
    struct Check {
        const char* name;
        const char* parameter;
        const char* doc;
        Body body;
    };
    const Check checks[] = {
        {"check_fp32_bias_add", "extract",
         "Accepts a float32 bias add of a vector with one entry per channel to NHWC data that a composite call "
         "produces.",
         check_fp32_bias_add},
        {"check_fp32_relu", "extract", "Accepts a float32 ReLU directly after a composite call.", check_fp32_relu},
        {"check_fp32_res_add", "expr",
         "Accepts a float32 add of two computed four-dimensional tensors of identical shape.", check_fp32_res_add},
        {"check_fp32_concatenate", "extract",
         "Accepts a float32 concatenation of computed tensors whose consumers are all composite calls, none leading "
         "to a grouped convolution.",
         check_fp32_concatenate},
        {"check_fp32_upsampling", "extract",
         "Accepts a float32 resize of a computed tensor by nearest neighbour, bilinear or linear interpolation, "
         "with rounding '' or 'round'.",
         check_fp32_upsampling},
        {"check_avg_pool2d", "extract",
         "Accepts a float32 global average pooling (output 1 x 1) whose input height and width do not exceed the "
         "target's channel count.",
         check_avg_pool2d},
        {"check_fp32_hardtanh", "extract", "Accepts a float32 clip whose lower bound is 0.", check_fp32_hardtanh},
    };
    for (const Check& check : checks) {
        define_check(m, context, check.name, check.parameter, check.doc, check.body);
    }
}

}  // namespace vexa::patterns
