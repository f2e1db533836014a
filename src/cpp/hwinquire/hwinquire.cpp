// hwinquire: asks the native library for a named parameter of a target
// architecture, given as YAML text.
#include <memory>

#include "common/arg_checks.hpp"
#include "common/fast_function.hpp"
#include "common/module_globals.hpp"
#include "common/module_init.hpp"
#include "hwinquire/native_query.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kRawDoc =
    "Ask the native library for `param_name` of the architecture `arch` (YAML text).\n"
    "Returns the answer as text when the library reports success, None otherwise.";
constexpr const char* kPublicDoc =
    "Value of the architecture parameter `param_name` for the architecture text\n"
    "`arch_val`, as text.  Raises RuntimeError when the library gives no answer.";

struct QueryModule {
    explicit QueryModule(const py::module_& m) : globals(m) {}
    vexa::ModuleGlobals globals;
    const py::str cpp_lib_name = vexa::interned("_cpp_lib");
    const py::str ctypes_name = vexa::interned("ctypes");
    const py::str raw_query_name = vexa::interned("_hwinquire_parameter");
    const py::str entry_point_name = vexa::interned("HwinquireParameter_Py");
    // The module's own `_hwinquire_parameter`, so that the public function can
    // skip the Python call while nobody has replaced it.
    py::object raw_query;
};

std::string_view utf8_of(py::handle text) {
    if (text.is_none()) {
        PyErr_SetString(PyExc_TypeError, "descriptor 'encode' for 'str' objects doesn't apply to a 'NoneType' object");
        throw py::error_already_set();
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) {
        throw py::error_already_set();
    }
    return {data, static_cast<std::size_t>(size)};
}

py::object raw_query(const QueryModule& module, py::handle arch, py::handle param_name) {
    vexa::require_str_or_none(arch, "arch");
    vexa::require_str_or_none(param_name, "param_name");
    const std::string_view arch_utf8 = utf8_of(arch);
    const std::string_view name_utf8 = utf8_of(param_name);
    py::object entry = module.globals[module.cpp_lib_name].attr(module.entry_point_name);
    return vexa::call_entry_point(entry, module.globals[module.ctypes_name], arch_utf8, name_utf8);
}

py::object public_query(const QueryModule& module, py::handle arch_val, py::handle param_name) {
    vexa::require_str_or_none(arch_val, "arch_val");
    vexa::require_str_or_none(param_name, "param_name");
    py::str arch_text(arch_val);
    py::str name_text(param_name);

    py::object current = module.globals[module.raw_query_name];
    py::object answer =
        current.is(module.raw_query) ? raw_query(module, arch_text, name_text) : current(arch_text, name_text);
    if (answer.is_none() || !py::bool_(answer)) {
        py::object message = py::str("Architecture query for ") + name_text + py::str(" failed");
        PyErr_SetObject(PyExc_RuntimeError, message.ptr());
        throw py::error_already_set();
    }
    return answer;
}

}  // namespace

VEXA_PYMODULE(hwinquire, m) {
    py::object dynbind = py::module_::import("importlib").attr("import_module")("._dynbind", m.attr("__package__"));
    m.attr("_cpp_lib") = dynbind.attr("_cpp_lib");
    py::module_ ctypes = py::module_::import("ctypes");
    m.attr("ctypes") = ctypes;
    m.attr("RES_BUF_SIZE") = py::int_(vexa::RES_BUF_SIZE);

    py::object entry = m.attr("_cpp_lib").attr("HwinquireParameter_Py");
    entry.attr("argtypes") = py::make_tuple(ctypes.attr("c_char_p"), ctypes.attr("c_char_p"), ctypes.attr("c_char_p"),
                                            ctypes.attr("c_size_t"));
    entry.attr("restype") = ctypes.attr("c_int");

    auto module = std::make_shared<QueryModule>(m);
    module->raw_query =
        vexa::def_function(m, "_hwinquire_parameter", kRawDoc, {{"arch"}, {"param_name"}},
                           [module](const py::handle* args) { return raw_query(*module, args[0], args[1]); });
    vexa::def_function(m, "hwinquire_parameter", kPublicDoc, {{"arch_val"}, {"param_name"}},
                       [module](const py::handle* args) { return public_query(*module, args[0], args[1]); });
}
