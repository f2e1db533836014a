// One call of the native entry point HwinquireParameter_Py.
#pragma once

#include <pybind11/pybind11.h>

namespace vexa {

namespace py = pybind11;

// Size of the result buffer handed to the library, terminating zero included.
constexpr std::size_t RES_BUF_SIZE = 40;

// Calls `entry` (the library's HwinquireParameter_Py, normally a ctypes
// function) with the UTF-8 texts `arch` and `param_name`, a fresh zeroed
// buffer of RES_BUF_SIZE bytes and that size.  Returns the answer decoded as
// UTF-8 (the bytes up to the first zero, or all of them) when the status is 0,
// None otherwise.
//
// A ctypes function with a native address is called directly, with the
// interpreter lock released for the duration of the native call; any other
// callable is called through Python with bytes, a ctypes string buffer and the
// size, as ctypes itself would be.
py::object call_entry_point(const py::object& entry, const py::object& ctypes_module, std::string_view arch,
                            std::string_view param_name);

}  // namespace vexa
