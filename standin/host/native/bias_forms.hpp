// The bias forms of the preparation, rewritten on TVM's own objects with
// the types that type inference would give the result (so the module is
// never inferred again after them).
//
// The NHWC layout conversion needs every `nn.bias_add` as a broadcast add
// (TVM's CanonicalizeOps); once layouts are converted and constants folded,
// the tables' entries want the `nn.bias_add` back where a convolution or a
// dense takes a constant bias, and a requantized ReLU as a clip after the
// requantize.  Each rewrite takes the same matches as the dataflow-pattern
// rewrite it replaces: an operator inside a form (the convolution of a
// biased convolution, say) is taken only when the form is its sole
// consumer, as TVM's pattern rewriter takes it.
#pragma once

#include <tvm/relay/function.h>

#include <optional>

namespace vexa_host {

// `function` with every `nn.bias_add` written as `add(data, bias expanded to
// the data's rank)`, as TVM's CanonicalizeOps writes it; nullopt when a
// bias_add's operands are untyped (the pass must run then).  The same
// function object when it calls no bias_add.
std::optional<tvm::relay::Function> expand_bias_adds(const tvm::relay::Function& function);

// `qnn.requantize(maximum(x, zp_in), ...)` as `clip(qnn.requantize(x, ...),
// zp_out, the output type's maximum)` where the two are equal: bound and
// zero points constants of one value each, the bound the input zero point,
// an integer output.
tvm::relay::Function requantized_relu_clips(const tvm::relay::Function& function);

// `add(NHWC qnn.conv2d, constant of shape (C,) or (1, 1, 1, C))` and
// `add(qnn.dense, expand_dims(vector, 0) or constant of shape (1, units))`
// as the `nn.bias_add` of the convolution (axis 3) or the dense (axis 1).
tvm::relay::Function quantized_bias_adds(const tvm::relay::Function& function);

// `add(NHWC data of C channels, constant of shape (1, 1, 1, C))` of float32
// networks as `nn.bias_add(data, vector of C, axis=3)`.
tvm::relay::Function channel_bias_adds(const tvm::relay::Function& function);

}  // namespace vexa_host
