// The check predicates of the quantized tables.
#pragma once

#include "patterns/checks/context.hpp"

namespace vexa::patterns::quantized {

// check_qnn_conv_pattern: walks to the "qnn.conv2d" call, then _check_conv.
extern const checks::Check kCheckConvPattern;
// _check_conv: the grouped-convolution limits of the target.
extern const checks::Check kCheckConv;
// _check_qnn_add: two computed four-dimensional operands of one shape.
extern const checks::Check kCheckAddCall;
// check_qnn_add: walks to the "qnn.add" call, then _check_qnn_add.
extern const checks::Check kCheckAdd;
// check_concat_pattern: no consumer leads to a grouped quantized convolution.
extern const checks::Check kCheckConcat;
// check_upsampling_nearest: an integer nearest-neighbour resize.
extern const checks::Check kCheckUpsamplingNearest;

}  // namespace vexa::patterns::quantized
