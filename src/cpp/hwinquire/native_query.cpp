#include "hwinquire/native_query.hpp"

#include <cstring>
#include <optional>

namespace vexa {

namespace {

using EntryPoint = int (*)(const char*, const char*, char*, std::size_t);

// The native address behind a ctypes function object, read through the
// buffer protocol that every ctypes instance supports; nothing when `entry` is
// not a ctypes function.  A ctypes function without an address raises
// ValueError: calling it would jump to address zero.
std::optional<EntryPoint> native_address(const py::object& entry, const py::object& ctypes_module) {
    static PyObject* const cfuncptr_name = PyUnicode_InternFromString("_CFuncPtr");  // lives as long as the process
    py::object cfuncptr = ctypes_module.attr(cfuncptr_name);
    const int is_cfunc = PyObject_IsInstance(entry.ptr(), cfuncptr.ptr());
    if (is_cfunc < 0) {
        throw py::error_already_set();
    }
    if (is_cfunc == 0) {
        return std::nullopt;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(entry.ptr(), &view, PyBUF_SIMPLE) != 0) {
        throw py::error_already_set();
    }
    void* address = nullptr;
    if (view.len == static_cast<Py_ssize_t>(sizeof address)) {
        std::memcpy(&address, view.buf, sizeof address);
    }
    PyBuffer_Release(&view);
    if (address == nullptr) {
        throw py::value_error("HwinquireParameter_Py is a NULL function pointer");
    }
    return reinterpret_cast<EntryPoint>(address);
}

py::object decode_answer(const char* data, std::size_t size) {
    PyObject* text = PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "strict");
    if (text == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(text);
}

py::object call_native(EntryPoint function, std::string_view arch, std::string_view param_name) {
    char result[RES_BUF_SIZE] = {};
    int status = 0;
    {
        py::gil_scoped_release unlocked;
        status = function(arch.data(), param_name.data(), result, RES_BUF_SIZE);
    }
    if (status != 0) {
        return py::none();
    }
    const void* end = std::memchr(result, '\0', RES_BUF_SIZE);
    const std::size_t length = end ? static_cast<const char*>(end) - result : RES_BUF_SIZE;
    return decode_answer(result, length);
}

py::object call_through_python(const py::object& entry, const py::object& ctypes_module, std::string_view arch,
                               std::string_view param_name) {
    py::object result = ctypes_module.attr("create_string_buffer")(RES_BUF_SIZE);
    py::object status = entry(py::bytes(arch.data(), arch.size()), py::bytes(param_name.data(), param_name.size()),
                              result, RES_BUF_SIZE);
    if (!status.equal(py::int_(0))) {
        return py::none();
    }
    py::bytes answer = result.attr("value");
    const std::string_view raw = answer;
    return decode_answer(raw.data(), raw.size());
}

}  // namespace

py::object call_entry_point(const py::object& entry, const py::object& ctypes_module, std::string_view arch,
                            std::string_view param_name) {
    if (auto function = native_address(entry, ctypes_module)) {
        return call_native(*function, arch, param_name);
    }
    return call_through_python(entry, ctypes_module, arch, param_name);
}

}  // namespace vexa
