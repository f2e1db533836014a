#include "patterns/checks/context.hpp"

#include <tvm/ir/op.h>
#include <tvm/relay/expr.h>
#include <tvm/relay/function.h>

#include "patterns/checks/python.hpp"
#include "patterns/checks/reasons.hpp"

namespace vexa::patterns::checks {

namespace {

constexpr std::array<const char*, static_cast<std::size_t>(ClassName::kCount)> kClassNames{"Call", "Constant",
                                                                                           "Function", "Op", "Tuple"};

// Whether `node` is an instance of the TVM class that the module binds
// under `name` at import.
bool native_instance(const tvm::Object* node, ClassName name) {
    switch (name) {
        case ClassName::kCall:
            return node->IsInstance<tvm::relay::CallNode>();
        case ClassName::kConstant:
            return node->IsInstance<tvm::relay::ConstantNode>();
        case ClassName::kFunction:
            return node->IsInstance<tvm::relay::FunctionNode>();
        case ClassName::kOp:
            return node->IsInstance<tvm::OpNode>();
        case ClassName::kTuple:
            return node->IsInstance<tvm::relay::TupleNode>();
        case ClassName::kCount:
            break;
    }
    return false;
}

}  // namespace

Context::Context(const py::module_& m) : globals_(m) {
    for (std::size_t i = 0; i < kClassNames.size(); ++i) {
        class_names_[i] = interned(kClassNames[i]);
        bound_at_import_[i] = globals_[class_names_[i]];
    }
}

bool Context::is_instance(const Value& value, ClassName name) const {
    const auto i = static_cast<std::size_t>(name);
    py::object bound = globals_[class_names_[i]];
    if (value.node() != nullptr && bound.is(bound_at_import_[i])) {
        return native_instance(value.node(), name);
    }
    return python::isinstance(value.python(), bound);
}

py::object Context::call(const Check& check, const Value& argument) const {
    for (const Own& own : own_) {
        if (own.check != &check) {
            continue;
        }
        py::object bound = globals_[own.name];
        if (bound.is(own.function)) {
            return check.body(*this, argument);
        }
        py::object verdict = bound(argument.python());
        return explained(verdict, argument, [&] {
            return std::string(check.name) + " returned " + py::repr(verdict).cast<std::string>();
        });
    }
    return globals_[check.name](argument.python());
}

void Context::own(const Check& check, py::object function) {
    own_.push_back(Own{&check, interned(check.name), std::move(function)});
}

}  // namespace vexa::patterns::checks
