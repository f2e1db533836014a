// _dynbind: finds the maker's native library libvexakdr in TVM's library
// directories and loads it once, at import, as `_cpp_lib`.
#include <array>

#include "common/fast_function.hpp"
#include "common/module_globals.hpp"
#include "common/module_init.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kFindLibDoc =
    "Path of the libvexakdr file to load: the first existing candidate, directory by\n"
    "directory in the order of TVM's library directories, and within one directory the\n"
    "variants full, host-only, runtime.  Raises RuntimeError listing every candidate\n"
    "when none exists.  Loads nothing.";

bool is_one_of(const py::object& name, std::initializer_list<const char*> choices) {
    for (const char* choice : choices) {
        if (name.equal(py::str(choice))) {
            return true;
        }
    }
    return false;
}

// "x86" or "aarch64".  The processor name decides; where the platform cannot
// tell it (an empty name, as on Debian's x86_64), the machine name does.
std::string host_arch() {
    py::module_ platform = py::module_::import("platform");
    py::object processor = platform.attr("processor")();
    if (py::bool_(processor)) {
        return is_one_of(processor, {"x86_64", "i386", "AMD64", "x86"}) ? "x86" : "aarch64";
    }
    py::object machine = platform.attr("machine")();
    return is_one_of(machine, {"x86_64", "i386", "i686", "AMD64", "x86"}) ? "x86" : "aarch64";
}

py::object find_lib(const vexa::ModuleGlobals& globals) {
    py::object dll_path = globals["get_dll_directories"]();
    const std::string lib_name_base = "libvexakdr";
    const std::array<const char*, 3> lib_variants{"full", "host-only", "runtime"};
    const std::string arch = host_arch();

    py::list lib_names;
    for (const char* variant : lib_variants) {
        lib_names.append(py::str(lib_name_base + "-" + variant + "." + arch + ".so"));
    }

    py::object os_path = globals["os"].attr("path");
    py::object join = os_path.attr("join");
    py::list all_paths;
    for (py::handle directory : dll_path) {
        for (py::handle name : lib_names) {
            all_paths.append(join(directory, name));
        }
    }

    py::object exists = os_path.attr("exists");
    py::list found;
    for (py::handle candidate : all_paths) {
        if (py::bool_(exists(candidate))) {
            found.append(candidate);
        }
    }
    if (!found.empty()) {
        return py::str(found[0]);
    }
    py::object message =
        py::str("Could not find internal vexa lib. List of candidates:\n") + py::str("\n * ").attr("join")(all_paths);
    PyErr_SetObject(PyExc_RuntimeError, message.ptr());
    throw py::error_already_set();
}

}  // namespace

VEXA_PYMODULE(_dynbind, m) {
    m.attr("os") = py::module_::import("os");
    m.attr("cdll") = py::module_::import("ctypes").attr("cdll");
    m.attr("get_dll_directories") = py::module_::import("tvm._ffi.libinfo").attr("get_dll_directories");

    vexa::ModuleGlobals globals(m);
    vexa::def_function(m, "_find_lib", kFindLibDoc, {}, [globals](const py::handle*) { return find_lib(globals); });

    m.attr("_cpp_lib") = globals["cdll"].attr("LoadLibrary")(globals["_find_lib"]());
}
