// The rules that several checks share, each written once with its varying
// parts as parameters.  A rule returns whether the match passes it; when it
// does not, the rule has said why (see reasons.hpp).
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "patterns/checks/context.hpp"
#include "patterns/checks/value.hpp"

namespace vexa::patterns::checks {

// The anchor of a multi-operator match: the call of `op` reached from
// `extract` along first arguments.  Raises what Python's reads raise where
// the walk meets something else (not a call, no argument).
Value walk_to_anchor(const Value& extract, const char* op);

// Two computed operands of one four-dimensional shape: neither operand is a
// constant, their shapes are equal and have four dimensions.
bool operands_fit(const Context& context, const Value& call);

// What a resize may be.
struct ResizeLimits {
    std::vector<const char*> dtypes;  // of the input; empty: any
    std::vector<const char*> methods;
    std::vector<const char*> roundings;
    bool attributes_first;  // the call's attributes are read before its arguments
};

// A resize of a computed input of an accepted dtype, with an accepted
// method and rounding.
bool resize_fits(const Context& context, const Value& call, const ResizeLimits& limits);

// None of the consumers leads to a grouped convolution of `conv_op`: for
// each consumer the host finds at most one such call (asserted), and its
// "groups" must not exceed 1.
bool no_grouped_conv_behind(const Context& context, const Value& match, const py::object& consumers,
                            const char* conv_op);

// int(hwinquire_parameter(get_current_arch_value(), "channels")), asked anew.
py::object channel_width(const Context& context);

// `a == b` for expressions: the same node when both are TVM's, otherwise
// Python's equality.
bool same_expr(const Value& a, const Value& b);

// Whether the target runs a grouped convolution of these counts (Python
// ints): one group or depthwise always; otherwise a power-of-two group count
// dividing both channel counts, and a channel width (asked only then) that
// each per-group count divides and that the input channels reach.
bool grouped_conv_fits(const Context& context, const Value& conv, const py::object& groups,
                       const py::object& out_channels, const py::object& in_channels);

}  // namespace vexa::patterns::checks
