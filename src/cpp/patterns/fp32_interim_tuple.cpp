// Interim tuple_multi_input_pattern for the float32 concatenation pattern,
// bound only while the module does not define its own.
#include "common/fast_function.hpp"
#include "patterns/pattern_language.hpp"

namespace vexa::patterns {

void define_fp32_interim_tuple(py::module_& m) {
    if (py::hasattr(m, "tuple_multi_input_pattern")) {
        return;
    }
    PatternLanguage language(m);
    def_function(m, "tuple_multi_input_pattern", "Alternative of tuple patterns of start to end - 1 fields.",
                 {{"start"}, {"end"}, {"ptrn_gen"}}, [language](const py::handle* a) {
                     py::object pattern = py::none();
                     for (long k = a[0].cast<long>(); k < a[1].cast<long>(); ++k) {
                         py::list fields;
                         for (long i = 0; i < k; ++i) {
                             fields.append(a[2](i));
                         }
                         py::object p = language.tuple(fields);
                         pattern = pattern.is_none() ? p : PatternLanguage::either(pattern, p);
                     }
                     return pattern;
                 });
}

}  // namespace vexa::patterns
