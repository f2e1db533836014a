// The quantized building blocks that other makers compose.
#pragma once

#include "patterns/language/pattern.hpp"

namespace vexa::patterns::quantized {

// Q(x): qnn.quantize(x, scale, zero point).
Pattern quantize(const PatternLanguage& p, const Pattern& x);

}  // namespace vexa::patterns::quantized
