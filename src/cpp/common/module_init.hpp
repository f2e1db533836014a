// Module entry point for the package's extension modules.
//
// pybind11's own PYBIND11_MODULE wraps every error raised while the module
// body runs into ImportError("initialization failed").  The package's modules
// must fail their import with the original error instead (the loader's
// OSError, the search's RuntimeError, a missing dependency's
// ModuleNotFoundError), exactly as a Python module body would.  This macro
// uses multi-phase initialisation, so that __file__, __spec__ and __package__
// are set before the body runs, and re-raises whatever the body raised.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>

namespace vexa {

// Sets the Python error for the exception being handled (call it inside a
// catch block): a pending Python error is handed on unchanged, C++ exceptions
// get pybind11's usual translation.  Returns -1 for the caller's convenience.
inline int restore_python_error() noexcept {
    try {
        throw;
    } catch (pybind11::error_already_set& e) {
        e.restore();
    } catch (...) {
        try {
            pybind11::detail::try_translate_exceptions();
        } catch (...) {
            PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
        }
    }
    return -1;
}

}  // namespace vexa

#define VEXA_PYMODULE(name, variable)                                                                         \
    static void vexa_init_##name(::pybind11::module_&);                                                       \
    static int vexa_exec_##name(PyObject* pm) {                                                               \
        try {                                                                                                 \
            ::pybind11::detail::ensure_internals();                                                           \
            auto m = ::pybind11::reinterpret_borrow<::pybind11::module_>(pm);                                 \
            vexa_init_##name(m);                                                                              \
            return 0;                                                                                         \
        } catch (...) {                                                                                       \
            return ::vexa::restore_python_error();                                                            \
        }                                                                                                     \
    }                                                                                                         \
    PYBIND11_PLUGIN_IMPL(name) {                                                                              \
        PYBIND11_CHECK_PYTHON_VERSION                                                                         \
        try {                                                                                                 \
            ::pybind11::detail::ensure_internals();                                                           \
            static ::pybind11::detail::slots_array slots = ::pybind11::detail::init_slots(&vexa_exec_##name); \
            static PyModuleDef def{PyModuleDef_HEAD_INIT, #name,   nullptr, 0,      nullptr,                  \
                                   slots.data(),          nullptr, nullptr, nullptr};                         \
            return PyModuleDef_Init(&def);                                                                    \
        } catch (...) {                                                                                       \
            ::vexa::restore_python_error();                                                                   \
            return nullptr;                                                                                   \
        }                                                                                                     \
    }                                                                                                         \
    void vexa_init_##name(::pybind11::module_& variable)
