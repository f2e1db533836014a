#include "patterns/checks/define.hpp"

#include "common/fast_function.hpp"
#include "patterns/checks/reasons.hpp"

namespace vexa::patterns::checks {

void define_check(py::module_& m, const std::shared_ptr<Context>& context, const Check& check) {
    const Context* shared = context.get();
    const Check* defined = &check;
    py::object function =
        def_function(m, check.name, check.doc, {{check.parameter}}, [context, shared, defined](const py::handle* args) {
            const Value argument = Value::of(args[0]);
            return run_check(defined->name, argument, [&] { return defined->body(*shared, argument); });
        });
    context->own(check, std::move(function));
}

}  // namespace vexa::patterns::checks
