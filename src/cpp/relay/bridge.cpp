#include "relay/bridge.hpp"

#include <tvm/runtime/c_runtime_api.h>
#include <tvm/runtime/registry.h>

#include <atomic>
#include <cstdint>

namespace vexa {

namespace {

// Python objects the bridge needs on every call, fetched once.  They are
// deliberately never released: they must outlive every module that uses the
// bridge, including during interpreter shutdown.
struct PythonSide {
    PyObject* object_base = nullptr;    // tvm.runtime.object.ObjectBase
    PyObject* handle_slot = nullptr;    // its `handle` descriptor
    PyObject* object_types = nullptr;   // ctypes FFI: type index -> class (null under Cython)
    PyObject* default_class = nullptr;  // ctypes FFI: class for unregistered type indices
    PyObject* native_base = nullptr;    // ctypes FFI: PyNativeObject
    PyObject* void_pointer = nullptr;   // ctypes.c_void_p
    PyObject* object_at = nullptr;      // the PackedFunc registered below, as a Python callable
    PyObject* tvm_error = nullptr;      // tvm.error.TVMError
};

constexpr const char* kObjectAtName = "vexatvm_internal.bridge.object_at";

// Any FFI can turn a C++ object into its Python object when it is the return
// value of a PackedFunc; this one returns the object at an address the caller
// keeps alive.  Registered with override allowed: every module that links the
// bridge carries the same function.
const bool object_at_registered = [] {
    tvm::runtime::Registry::Register(kObjectAtName, true).set_body_typed([](int64_t address) {
        auto* object = reinterpret_cast<tvm::runtime::Object*>(static_cast<intptr_t>(address));
        return tvm::runtime::GetRef<tvm::runtime::ObjectRef>(object);
    });
    return true;
}();

PyObject* new_reference(const py::object& value) { return value.inc_ref().ptr(); }

PythonSide fetch_python_side() {
    PythonSide s;
    py::module_ object_module = py::module_::import("tvm.runtime.object");
    s.object_base = new_reference(object_module.attr("ObjectBase"));
    s.handle_slot = new_reference(object_module.attr("ObjectBase").attr("__dict__")["handle"]);
    py::module_ ctypes_objects = py::module_::import("tvm._ffi._ctypes.object");
    if (object_module.attr("ObjectBase").is(ctypes_objects.attr("ObjectBase"))) {
        s.object_types = new_reference(ctypes_objects.attr("OBJECT_TYPE"));
        s.default_class = new_reference(py::module_::import("tvm.runtime.object").attr("Object"));
        s.native_base = new_reference(ctypes_objects.attr("PyNativeObject"));
    }
    s.void_pointer = new_reference(py::module_::import("ctypes").attr("c_void_p"));
    s.object_at = new_reference(py::module_::import("tvm").attr("get_global_func")(kObjectAtName));
    s.tvm_error = new_reference(py::module_::import("tvm.error").attr("TVMError"));
    return s;
}

std::atomic<const PythonSide*> fetched_side{nullptr};

// Not a function-local static: its guard would be held while the look-ups
// above call into TVM through ctypes, which lets go of the interpreter lock;
// a second thread would then wait on the guard holding the lock that the
// first needs back, and neither would ever return.  Threads that arrive
// together each fetch a copy and the first published is kept; the others
// are dropped (a few references leaked, once).
const PythonSide& python_side() {
    if (const PythonSide* side = fetched_side.load(std::memory_order_acquire)) {
        return *side;
    }
    auto* fetched = new PythonSide(fetch_python_side());
    const PythonSide* expected = nullptr;
    if (!fetched_side.compare_exchange_strong(expected, fetched, std::memory_order_acq_rel)) {
        delete fetched;
        return *expected;
    }
    return *fetched;
}

// Under the ctypes FFI a Python TVM object is an instance of its class whose
// `handle` slot holds a ctypes pointer that owns one reference: build that
// directly, as TVM's own return path does.  Null when the class needs TVM's
// general conversion (Python-native subclasses such as runtime strings).
py::object ctypes_object(const PythonSide& side, tvm::runtime::Object* object) {
    if (side.object_types == nullptr) {
        return py::object();
    }
    py::object index = py::int_(object->type_index());
    PyObject* cls = PyDict_GetItemWithError(side.object_types, index.ptr());  // borrowed
    if (cls == nullptr) {
        if (PyErr_Occurred()) {
            throw py::error_already_set();
        }
        cls = side.default_class;
    }
    if (PyType_Check(cls) && PyObject_IsSubclass(cls, side.native_base) != 0) {
        PyErr_Clear();
        return py::object();
    }
    py::handle type(cls);
    py::object instance = type.attr("__new__")(type);
    py::object pointer = py::handle(side.void_pointer)(py::int_(reinterpret_cast<uintptr_t>(object)));
    TVMObjectRetain(object);
    try {
        instance.attr("handle") = pointer;
    } catch (...) {
        TVMObjectFree(object);
        throw;
    }
    return instance;
}

}  // namespace

tvm::runtime::ObjectRef object_of(py::handle value) {
    if (!value || value.is_none()) {
        return {};
    }
    const PythonSide& side = python_side();
    // The object's real type decides, not isinstance(): a mock that claims a
    // TVM class through __class__ must not have its attributes taken for an
    // address.  The handle is read from the ObjectBase slot itself, and only a
    // ctypes pointer (or a plain integer, as TVM's Cython core stores it) is
    // taken as one.
    if (!PyObject_TypeCheck(value.ptr(), reinterpret_cast<PyTypeObject*>(side.object_base))) {
        return {};
    }
    PyObject* raw_handle = Py_TYPE(side.handle_slot)->tp_descr_get(side.handle_slot, value.ptr(), nullptr);
    if (raw_handle == nullptr) {  // the slot was never set
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        return {};
    }
    py::object handle = py::reinterpret_steal<py::object>(raw_handle);
    py::object address;
    if (PyLong_CheckExact(handle.ptr())) {
        address = handle;
    } else if (PyObject_TypeCheck(handle.ptr(), reinterpret_cast<PyTypeObject*>(side.void_pointer))) {
        address = handle.attr("value");
    }
    if (!address || address.is_none()) {
        return {};
    }
    auto* object = reinterpret_cast<tvm::runtime::Object*>(address.cast<uintptr_t>());
    return tvm::runtime::GetRef<tvm::runtime::ObjectRef>(object);
}

py::object to_python(const tvm::runtime::ObjectRef& ref) {
    if (!ref.defined()) {
        return py::none();
    }
    const PythonSide& side = python_side();
    auto* object = const_cast<tvm::runtime::Object*>(ref.get());
    py::object result = ctypes_object(side, object);
    if (result) {
        return result;
    }
    return py::handle(side.object_at)(py::int_(reinterpret_cast<intptr_t>(object)));
}

void raise_tvm_error(const char* message) {
    PyErr_SetString(python_side().tvm_error, message);
    throw py::error_already_set();
}

}  // namespace vexa
