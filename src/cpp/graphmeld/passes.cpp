#include "graphmeld/passes.hpp"

#include <tvm/ir/op.h>
#include <tvm/relay/analysis.h>
#include <tvm/relay/function.h>
#include <tvm/runtime/registry.h>

#include <cstring>
#include <optional>
#include <string>

#include "graphmeld/expr_rewriter.hpp"
#include "graphmeld/name_set.hpp"
#include "relay/access.hpp"
#include "relay/bridge.hpp"

namespace vexa::meld {

using namespace tvm::relay;
using tvm::Optional;

namespace {

// The expression a pass is applied to.  A value that is no Relay expression
// fails as the Python mutator's dispatch fails on it: unhashable values with
// the hash's TypeError, everything else as an unhandled case.
Expr expression_of(py::handle value) {
    if (PyObject_Hash(value.ptr()) == -1) {
        throw py::error_already_set();
    }
    tvm::runtime::ObjectRef ref = vexa::object_of(value);
    if (!ref.defined() || !ref->IsInstance<tvm::RelayExprNode>()) {
        std::string text = "warning unhandled case: " + py::str(py::type::handle_of(value)).cast<std::string>();
        PyErr_SetString(PyExc_Exception, text.c_str());
        throw py::error_already_set();
    }
    return tvm::runtime::Downcast<Expr>(ref);
}

// Text sent to TVM as a C string: it ends at the first zero character.
std::string c_string(std::string text) {
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::string utf8_of(py::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) {
        throw py::error_already_set();
    }
    return {data, static_cast<std::size_t>(size)};
}

class VarRenamer : public ExprRewriter {
public:
    explicit VarRenamer(py::handle pass_object) : pass_object_(pass_object) {}

protected:
    Expr rewrite_var(const Var& var) override {
        if (!suffix_) {
            suffix_ = "_" + utf8_of(py::str(pass_object_.attr("suffix")));
        }
        return Var(c_string(std::string(var->name_hint()) + *suffix_), var->type_annotation);
    }

private:
    py::handle pass_object_;
    std::optional<std::string> suffix_;  // "_" + str(suffix), made at the first variable
};

[[noreturn]] void raise_index_error(std::size_t size) {
    std::string text = "Index out of range. size: " + std::to_string(size) + ", got index 0";
    PyErr_SetString(PyExc_IndexError, text.c_str());
    throw py::error_already_set();
}

// One of the two shared nodes: the Python attribute of the pass object and
// its C++ value, set at the first match and kept from then on.
class SharedNode {
public:
    SharedNode(py::handle pass_object, const char* attribute) : pass_object_(pass_object), attribute_(attribute) {
        py::object current = pass_object.attr(attribute);
        if (!current.is_none()) {
            preset_ = current;
        }
    }

    // The shared node, becoming `candidate` if there is none yet.
    Expr take(const Expr& candidate) {
        if (node_) {
            return node_.value();
        }
        if (preset_) {
            tvm::runtime::ObjectRef ref = vexa::object_of(preset_);
            if (!ref.defined() || !ref->IsInstance<tvm::RelayExprNode>()) {
                std::string text = std::string(attribute_) + " is not a Relay expression";
                PyErr_SetString(PyExc_TypeError, text.c_str());
                throw py::error_already_set();
            }
            node_ = tvm::runtime::Downcast<Expr>(ref);
        } else {
            pass_object_.attr(attribute_) = vexa::to_python(candidate);
            node_ = candidate;
        }
        return node_.value();
    }

private:
    py::handle pass_object_;
    const char* attribute_;
    py::object preset_;
    Optional<Expr> node_;
};

class InputMerger : public ExprRewriter {
public:
    explicit InputMerger(py::handle pass_object)
        : pass_object_(pass_object),
          shared_input_(pass_object, "shared_input"),
          shared_quantized_input_(pass_object, "shared_quantized_input") {}

protected:
    Optional<Expr> enter_call(const Call& call) override {
        if (call->args.empty()) {
            raise_index_error(0);
        }
        const Expr& arg = call->args[0];
        if (const auto* var = arg.as<VarNode>()) {
            if (is_input(var)) {
                return redirect(call, shared_input_.take(arg));
            }
        } else if (const auto* inner = arg.as<CallNode>()) {
            if (vexa::relay::is_call_of(inner, "qnn.quantize")) {
                if (inner->args.empty()) {
                    raise_index_error(0);
                }
                const auto* quantized = inner->args[0].as<VarNode>();
                if (quantized != nullptr && is_input(quantized)) {
                    return redirect(call, shared_quantized_input_.take(arg));
                }
            }
        }
        return tvm::NullOpt;
    }

private:
    bool is_input(const VarNode* var) {
        if (!param_names_) {
            param_names_.emplace(pass_object_.attr("param_names"));
        }
        const tvm::runtime::String& name = var->name_hint();
        return !param_names_->contains(std::string_view(name.data(), name.size()));
    }

    static Expr redirect(const Call& call, const Expr& shared) {
        tvm::Array<Expr> args = call->args;
        args.Set(0, shared);
        return Call(call->op, args, call->attrs, call->type_args);
    }

    py::handle pass_object_;
    SharedNode shared_input_;
    SharedNode shared_quantized_input_;
    std::optional<NameSet> param_names_;  // read at the first test
};

}  // namespace

py::object rename_variables(py::handle pass_object, py::handle func) {
    Expr expr = expression_of(func);
    return vexa::call_guarded([&] { return vexa::to_python(VarRenamer(pass_object).rewrite(expr)); });
}

py::object merge_inputs(py::handle pass_object, py::handle func) {
    Expr expr = expression_of(func);
    return vexa::call_guarded([&] {
        InputMerger merger(pass_object);
        Expr merged = merger.rewrite(expr);
        const auto* function = merged.as<FunctionNode>();
        if (function == nullptr) {
            py::object value = vexa::to_python(merged);
            std::string text = py::str(py::type::handle_of(value)).cast<std::string>() + " has no attribute body";
            PyErr_SetString(PyExc_AttributeError, text.c_str());
            throw py::error_already_set();
        }
        static const tvm::runtime::PackedFunc* make_function = tvm::runtime::Registry::Get("relay.ir.Function");
        ICHECK(make_function != nullptr) << "TVM lacks relay.ir.Function";
        Expr rebuilt =
            (*make_function)(FreeVars(function->body), function->body, nullptr, tvm::Array<TypeVar>(), nullptr, nullptr)
                .AsObjectRef<Function>();
        return vexa::to_python(rebuilt);
    });
}

bool var_is_input(py::handle pass_object, py::handle var_name) {
    int found = PySequence_Contains(pass_object.attr("param_names").ptr(), var_name.ptr());
    if (found < 0) {
        throw py::error_already_set();
    }
    return found == 0;
}

}  // namespace vexa::meld
