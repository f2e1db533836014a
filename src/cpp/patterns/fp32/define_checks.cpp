#include "patterns/checks/define.hpp"
#include "patterns/definitions.hpp"
#include "patterns/fp32/checks.hpp"

namespace vexa::patterns {

void define_fp32_checks(py::module_& m, const Checks& context) {
    for (const checks::Check* check : fp32::kChecks) {
        checks::define_check(m, context, *check);
    }
}

}  // namespace vexa::patterns
