#include "common/fast_function.hpp"

#include <array>
#include <stdexcept>

#include "common/module_init.hpp"

namespace vexa {

namespace {

constexpr const char* kCapsuleName = "vexatvm_internal.function";

struct FunctionRecord {
    std::string name;
    std::string doc;
    std::vector<Parameter> parameters;
    FunctionBody body;
    PyMethodDef method{};
};

[[noreturn]] void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw py::error_already_set();
}

std::string quoted_list(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        }
        text += "'" + names[i] + "'";
    }
    return text;
}

using BoundArguments = std::array<py::handle, kMaxParameters>;

BoundArguments bind_arguments(const FunctionRecord& record, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    const std::size_t count = record.parameters.size();
    BoundArguments bound{};
    if (static_cast<std::size_t>(nargs) > count) {
        raise_type_error(record.name + "() takes " + std::to_string(count) + " positional argument" +
                         (count == 1 ? "" : "s") + " but " + std::to_string(nargs) + (nargs == 1 ? " was" : " were") +
                         " given");
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound[static_cast<std::size_t>(i)] = args[i];
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t slot = count;
        for (std::size_t i = 0; i < count; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, record.parameters[i].name) == 0) {
                slot = i;
                break;
            }
        }
        if (slot == count) {
            // Formatted by Python itself: a name with a lone surrogate has no
            // UTF-8 form, and must still give the TypeError of a bad call.
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", record.name.c_str(), key);
            throw py::error_already_set();
        }
        if (bound[slot]) {
            raise_type_error(record.name + "() got multiple values for argument '" + record.parameters[slot].name +
                             "'");
        }
        bound[slot] = args[nargs + k];
    }
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < count; ++i) {
        if (!bound[i]) {
            if (record.parameters[i].default_value) {
                bound[i] = record.parameters[i].default_value;
            } else {
                missing.emplace_back(record.parameters[i].name);
            }
        }
    }
    if (!missing.empty()) {
        raise_type_error(record.name + "() missing " + std::to_string(missing.size()) +
                         " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                         quoted_list(missing));
    }
    return bound;
}

PyObject* trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto* record = static_cast<FunctionRecord*>(PyCapsule_GetPointer(self, kCapsuleName));
    if (record == nullptr) {
        return nullptr;
    }
    try {
        const auto bound = bind_arguments(*record, args, PyVectorcall_NARGS(nargsf), kwnames);
        return record->body(bound.data()).release().ptr();
    } catch (...) {
        restore_python_error();
        return nullptr;
    }
}

// "name(a, b=None)\n--\n\n": the header from which inspect.signature() reads
// a builtin function's parameters.
std::string text_signature(const char* name, const std::vector<Parameter>& parameters) {
    std::string signature = std::string(name) + "(";
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        signature += (i > 0 ? ", " : "") + std::string(parameters[i].name);
        if (parameters[i].default_value) {
            signature += "=" + py::repr(parameters[i].default_value).cast<std::string>();
        }
    }
    return signature + ")\n--\n\n";
}

void destroy_record(PyObject* capsule) {
    delete static_cast<FunctionRecord*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

}  // namespace

py::object def_function(py::module_& module, const char* name, const char* doc, std::vector<Parameter> parameters,
                        FunctionBody body) {
    if (parameters.size() > kMaxParameters) {
        throw std::invalid_argument("too many parameters");
    }
    auto record = std::make_unique<FunctionRecord>();
    record->name = name;
    record->doc = text_signature(name, parameters) + doc;
    record->parameters = std::move(parameters);
    record->body = std::move(body);
    record->method.ml_name = record->name.c_str();
    record->method.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&trampoline));
    record->method.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    record->method.ml_doc = record->doc.c_str();

    py::capsule owner(record.get(), kCapsuleName, &destroy_record);
    PyMethodDef* method = &record.release()->method;
    py::object module_name = module.attr("__name__");
    PyObject* function = PyCFunction_NewEx(method, owner.ptr(), module_name.ptr());
    if (function == nullptr) {
        throw py::error_already_set();
    }
    auto result = py::reinterpret_steal<py::object>(function);
    module.attr(name) = result;
    return result;
}

}  // namespace vexa
