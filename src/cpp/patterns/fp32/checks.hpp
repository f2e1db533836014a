// The check predicates of the float32 table, in the order the module
// defines them.
#pragma once

#include <array>

#include "patterns/checks/context.hpp"

namespace vexa::patterns::fp32 {

extern const std::array<const checks::Check*, 9> kChecks;

}  // namespace vexa::patterns::fp32
