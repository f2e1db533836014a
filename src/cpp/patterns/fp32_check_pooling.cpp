// The average pooling check: a global average (output 1 x 1) whose input
// height and width do not exceed the target's channel count, which is asked
// anew on every call once the output has passed.
#include <tvm/relay/expr.h>

#include <climits>

#include "patterns/fp32_check_bodies.hpp"
#include "relay/access.hpp"

namespace vexa::patterns {

namespace {

// Input height and width of the pooling, when both shapes were read natively
// and the output is 1 x 1.
struct NativeSizes {
    int64_t height;
    int64_t width;
};

// Reads both shapes natively: nullopt when something must be read through
// Python, a rejection (false) when the output is not 1 x 1, the input sizes
// otherwise.
std::optional<std::optional<NativeSizes>> native_read(const CheckValue& extract) {
    const relay::CallNode* call = relay::as_call(extract.node());
    if (call == nullptr || call->args.empty()) {
        return std::nullopt;
    }
    const tvm::TensorTypeNode* input = tensor_type(call->args[0].get());
    const tvm::TensorTypeNode* output = tensor_type(extract.node());
    const auto out_height = fixed_dim(output, 1);
    const auto out_width = fixed_dim(output, 2);
    const auto in_height = fixed_dim(input, 1);
    const auto in_width = fixed_dim(input, 2);
    if (!out_height || !out_width || !in_height || !in_width) {
        return std::nullopt;
    }
    if (*out_height != 1 || *out_width != 1) {
        return std::optional<NativeSizes>();
    }
    return std::optional<NativeSizes>(NativeSizes{*in_height, *in_width});
}

py::object python_shape(const py::handle& value) { return value.attr("checked_type").attr("shape"); }

// int(hwinquire_parameter(get_current_arch_value(), "channels"))
py::object query_channels(const Fp32Context& context) {
    static const py::str* channels = new py::str(interned("channels"));
    py::object query = context.global(context.query_name);
    py::object arch = context.global(context.arch_name)();
    py::object answer = query(arch, *channels);
    PyObject* number = PyNumber_Long(answer.ptr());
    if (number == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(number);
}

// The channel count as a machine integer when it is small enough for the
// shape arithmetic of TVM to compare it exactly.
std::optional<int64_t> small_int(const py::object& number) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow != 0 || value < INT_MIN || value > INT_MAX) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

py::object check_avg_pool2d(const Fp32Context& context, py::handle argument) {
    const CheckValue extract = CheckValue::of(argument);
    std::optional<std::optional<NativeSizes>> native = native_read(extract);
    py::object input_shape;
    if (native) {
        if (!*native) {
            return py::bool_(false);
        }
    } else {
        input_shape = python_shape(python_item(extract.python().attr("args"), 0));
        py::object output_shape = python_shape(extract.python());
        const py::int_ one(1);
        if (python_ne(python_item(output_shape, 1), one) || python_ne(python_item(output_shape, 2), one)) {
            return py::bool_(false);
        }
    }
    const py::object arch_channels = query_channels(context);
    const std::optional<int64_t> limit = small_int(arch_channels);
    if (native && limit) {
        if ((*native)->height > *limit || (*native)->width > *limit) {
            return py::bool_(false);
        }
    } else {
        if (!input_shape) {
            // Read natively before the query; its dimensions are compared
            // through Python only for an out-of-range channel count.
            input_shape = python_shape(python_item(extract.python().attr("args"), 0));
        }
        if (python_gt(python_item(input_shape, 1), arch_channels) ||
            python_gt(python_item(input_shape, 2), arch_channels)) {
            return py::bool_(false);
        }
    }
    return context.check_fp32(extract);
}

}  // namespace vexa::patterns
