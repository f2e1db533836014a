#include "graphmeld/passes.hpp"

#include <tvm/ir/op.h>
#include <tvm/relay/analysis.h>
#include <tvm/relay/function.h>
#include <tvm/relay/qnn/attrs.h>
#include <tvm/runtime/registry.h>

#include <cstring>
#include <optional>
#include <string>
#include <unordered_set>

#include "graphmeld/expr_rewriter.hpp"
#include "graphmeld/name_set.hpp"
#include "relay/access.hpp"
#include "relay/bridge.hpp"

namespace vexa::meld {

using namespace tvm::relay;
using tvm::Optional;

namespace {

// Looked up as the module loads, for the reason given in expr_rewriter.cpp.
const tvm::runtime::PackedFunc* const make_function = tvm::runtime::Registry::Get("relay.ir.Function");

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

// The type of tensor an input node hands its consumers: a variable's, or for
// a quantize call of one, the variable's shape in the quantized dtype.
// Undefined when the network is untyped there.
tvm::Type input_type(const Expr& node) {
    if (node->checked_type_.defined()) {
        return node->checked_type_;
    }
    if (const auto* var = node.as<VarNode>()) {
        return var->type_annotation;
    }
    const auto* call = node.as<CallNode>();
    const auto* attrs = call == nullptr ? nullptr : call->attrs.as<qnn::QuantizeAttrs>();
    if (attrs != nullptr && !call->args.empty()) {
        if (const auto* data = input_type(call->args[0]).as<TensorTypeNode>()) {
            return TensorType(data->shape, attrs->out_dtype);
        }
    }
    return {};
}

// The network a variable belongs to, told by the number fusion appends to
// its name: " of network 2 (mod_list[1])"; empty for other names.
std::string network_of(const VarNode* var) {
    const std::string name = var->name_hint();
    const std::size_t separator = name.rfind('_');
    const std::string number = separator == std::string::npos ? "" : name.substr(separator + 1);
    if (number.empty() || number.size() > 9 || number.find_first_not_of("0123456789") != std::string::npos ||
        number[0] == '0') {
        return "";
    }
    return " of network " + number + " (mod_list[" + std::to_string(std::stoi(number) - 1) + "])";
}

// The variable a quantize call quantizes; null for other nodes.
const VarNode* quantized_var(const Expr& node) {
    const auto* call = node.as<CallNode>();
    return call == nullptr || call->args.empty() ? nullptr : call->args[0].as<VarNode>();
}

// "data_2 of network 2 (mod_list[1]), Tensor[(2, 3), float32]", or for a
// quantize call "qnn.quantize of data_2 ..., quantized to Tensor[...]".
std::string describe_input(const Expr& node) {
    std::string type = PrettyPrint(input_type(node));
    if (const auto* var = node.as<VarNode>()) {
        return std::string(var->name_hint()) + network_of(var) + ", " + type;
    }
    if (const VarNode* var = quantized_var(node)) {
        return "qnn.quantize of " + describe_input(tvm::runtime::GetRef<Var>(var)) + ", quantized to " + type;
    }
    return type;
}

bool same_type(const Expr& a, const Expr& b) {
    tvm::Type type_a = input_type(a), type_b = input_type(b);
    return !type_a.defined() || !type_b.defined() || tvm::StructuralEqual()(type_a, type_b);
}

// One input read in place of another must be of the same type, or the
// network would silently compute on other data (type inference re-types
// the network around the shared input, broadcasting included).  Quantize
// calls are compared on their inputs too.
void refuse_other_type(const Expr& shared, const Expr& replaced) {
    bool same = same_type(shared, replaced);
    const VarNode* shared_data = quantized_var(shared);
    const VarNode* replaced_data = quantized_var(replaced);
    if (same && shared_data != nullptr && replaced_data != nullptr) {
        same = same_type(tvm::runtime::GetRef<Var>(shared_data), tvm::runtime::GetRef<Var>(replaced_data));
    }
    if (!same) {
        std::string text = "share_input: the input " + describe_input(replaced) +
                           " cannot be replaced by the shared input " + describe_input(shared) + ": their types differ";
        PyErr_SetString(PyExc_TypeError, text.c_str());
        throw py::error_already_set();
    }
}

class InputMerger : public ExprRewriter {
public:
    // Only the free variables of `func` (its parameters) are inputs:
    // variables bound inside it, by a let or as parameters of an inner
    // function, stand for values the network computes.
    InputMerger(py::handle pass_object, const Function& func)
        : pass_object_(pass_object),
          shared_input_(pass_object, "shared_input"),
          shared_quantized_input_(pass_object, "shared_quantized_input") {
        for (const Var& param : func->params) {
            free_vars_.insert(param.get());
        }
        for (const Var& var : FreeVars(func)) {
            free_vars_.insert(var.get());
        }
    }

protected:
    Optional<Expr> enter_call(const Call& call) override {
        if (call->args.empty()) {
            raise_index_error(0);
        }
        const Expr& arg = call->args[0];
        if (const auto* var = arg.as<VarNode>()) {
            if (is_input(var)) {
                return redirect(call, shared_input_.take(arg), arg);
            }
        } else if (const auto* inner = arg.as<CallNode>()) {
            if (vexa::relay::is_call_of(inner, "qnn.quantize")) {
                if (inner->args.empty()) {
                    raise_index_error(0);
                }
                const auto* quantized = inner->args[0].as<VarNode>();
                if (quantized != nullptr && is_input(quantized)) {
                    return redirect(call, shared_quantized_input_.take(arg), arg);
                }
            }
        }
        return tvm::NullOpt;
    }

private:
    bool is_input(const VarNode* var) {
        if (free_vars_.count(var) == 0) {
            return false;
        }
        if (!param_names_) {
            param_names_.emplace(pass_object_.attr("param_names"));
        }
        const tvm::runtime::String& name = var->name_hint();
        return !param_names_->contains(std::string_view(name.data(), name.size()));
    }

    static Expr redirect(const Call& call, const Expr& shared, const Expr& replaced) {
        if (!shared.same_as(replaced)) {
            refuse_other_type(shared, replaced);
        }
        tvm::Array<Expr> args = call->args;
        args.Set(0, shared);
        return Call(call->op, args, call->attrs, call->type_args);
    }

    py::handle pass_object_;
    SharedNode shared_input_;
    SharedNode shared_quantized_input_;
    std::optional<NameSet> param_names_;  // read at the first test
    std::unordered_set<const VarNode*> free_vars_;
};

}  // namespace

py::object rename_variables(py::handle pass_object, py::handle func) {
    Expr expr = expression_of(func);
    return vexa::call_guarded([&] { return vexa::to_python(VarRenamer(pass_object).rewrite(expr)); });
}

py::object merge_inputs(py::handle pass_object, py::handle func) {
    Expr expr = expression_of(func);
    return vexa::call_guarded([&] {
        const auto* given = expr.as<FunctionNode>();
        Function scope = given != nullptr ? tvm::runtime::GetRef<Function>(given) : Function({}, expr, Type(), {});
        Expr merged = InputMerger(pass_object, scope).rewrite(expr);
        const auto* function = merged.as<FunctionNode>();
        if (function == nullptr) {
            py::object value = vexa::to_python(merged);
            std::string text = py::str(py::type::handle_of(value)).cast<std::string>() + " has no attribute body";
            PyErr_SetString(PyExc_AttributeError, text.c_str());
            throw py::error_already_set();
        }
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
