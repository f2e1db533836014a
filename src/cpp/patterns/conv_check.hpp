// The grouped-convolution check of "vexa.qnn_conv": `check_qnn_conv_pattern`
// walks from the matched root to the "qnn.conv2d" call, `_check_conv` decides
// from its group count, its channel counts and, for grouped convolutions that
// are not depthwise, the channel width of the target.
#pragma once

#include <pybind11/pybind11.h>

#include "common/module_globals.hpp"

namespace vexa::patterns {

namespace py = pybind11;

class ConvCheck {
public:
    explicit ConvCheck(const py::module_& m);

    // check_qnn_conv_pattern(extract)
    py::object check_pattern(py::handle extract) const;
    // _check_conv(call)
    py::object check_conv(py::handle call) const;

    // The module's own `_check_conv`: while the module still binds it, the
    // pattern check decides without a Python call.
    void set_own_check_conv(py::object function) { own_check_conv_ = std::move(function); }

private:
    // Group count, output channels, input channels, as Python ints.
    struct Counts {
        py::object groups;
        py::object out_channels;
        py::object in_channels;
    };

    static Counts python_counts(py::handle call);
    bool decide(const Counts& counts) const;

    ModuleGlobals globals_;
    py::str check_conv_name_;
    py::str arch_value_name_;
    py::str query_name_;
    py::str channels_;
    py::str conv_op_;
    py::object own_check_conv_;
};

}  // namespace vexa::patterns
