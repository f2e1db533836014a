#include "patterns/definitions.hpp"

namespace vexa::patterns {

void define_quantized_conv(py::module_&) {}

}  // namespace vexa::patterns
