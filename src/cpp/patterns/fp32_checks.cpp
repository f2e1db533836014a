// The float32 check predicates, added to the module in their order.
#include "patterns/checks/define.hpp"
#include "patterns/definitions.hpp"
#include "patterns/fp32/checks.hpp"

namespace vexa::patterns {

void define_fp32_checks(py::module_& m, const std::shared_ptr<checks::Context>& context) {
    for (const checks::Check* check : fp32::kChecks) {
        checks::define_check(m, context, *check);
    }
}

}  // namespace vexa::patterns
