#include "relay/native_object.hpp"

#include <cstring>
#include <unordered_map>

#include "relay/bridge.hpp"

namespace vexa::relay {

namespace {

// Whether instances of `type` are TVM's own.  Answers are cached per type
// (the interpreter lock guards the cache); the cache keeps the types alive so
// that an address is never reused by another type.
bool tvm_own_type(PyTypeObject* type) {
    static auto* cache = new std::unordered_map<PyTypeObject*, bool>();
    auto found = cache->find(type);
    if (found != cache->end()) {
        return found->second;
    }
    bool own = false;
    py::object module_name = py::getattr(py::handle(reinterpret_cast<PyObject*>(type)), "__module__", py::none());
    if (PyUnicode_Check(module_name.ptr())) {
        const char* text = PyUnicode_AsUTF8(module_name.ptr());
        if (text == nullptr) {
            throw py::error_already_set();
        }
        own = std::strncmp(text, "tvm.", 4) == 0;
    }
    Py_INCREF(type);
    cache->emplace(type, own);
    return own;
}

}  // namespace

tvm::runtime::ObjectRef native_object(py::handle value) {
    if (!value || !tvm_own_type(Py_TYPE(value.ptr()))) {
        return {};
    }
    return object_of(value);
}

}  // namespace vexa::relay
