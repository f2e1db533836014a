// The quantized building blocks that other makers compose.
#pragma once

#include "patterns/language/pattern.hpp"

namespace vexa::patterns::quantized {

// Q(x): the quantize pattern of x, from the module's current
// `make_qnn_quantize_pattern`, as the other makers use the building blocks.
inline Pattern quantize(const PatternLanguage& p, const Pattern& x) { return p.maker("make_qnn_quantize_pattern")(x); }

}  // namespace vexa::patterns::quantized
