// get_current_arch_value: the architecture of the active build configuration
// as the YAML text that the native library reads.
#include <memory>

#include "common/fast_function.hpp"
#include "common/module_globals.hpp"
#include "patterns/checks/python.hpp"
#include "patterns/definitions.hpp"

namespace vexa::patterns {

namespace {

constexpr const char* kDoc =
    "YAML text of the target architecture of the active build configuration.\n"
    "When its arch_config entry \"arch\" is text, the whole arch_config is dumped;\n"
    "otherwise only the value under \"arch\".  Read anew on every call.";

struct ArchNames {
    explicit ArchNames(const py::module_& m) : globals(m) {}
    ModuleGlobals globals;
    py::str build_config = interned("BuildConfig");
    py::str yaml = interned("yaml");
    py::str current = interned("current");
    py::str arch_config = interned("arch_config");
    py::str arch = interned("arch");
    py::str safe_dump = interned("safe_dump");
};

py::object current_arch_value(const ArchNames& names) {
    // Every read goes through Python, in the order a caller can observe: the
    // configuration may be any object with these attributes and item access.
    py::object cfg = names.globals[names.build_config].attr(names.current);
    py::object arch = cfg.attr(names.arch_config)[names.arch];
    const bool is_text = python::isinstance(arch, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    arch = py::object();
    // As in `yaml.safe_dump(...)`, the dumper is looked up before its argument is read.
    py::object safe_dump = names.globals[names.yaml].attr(names.safe_dump);
    if (is_text) {
        return safe_dump(cfg.attr(names.arch_config));
    }
    return safe_dump(cfg.attr(names.arch_config)[names.arch]);
}

}  // namespace

void define_arch_lookup(py::module_& m) {
    auto names = std::make_shared<ArchNames>(m);
    def_function(m, "get_current_arch_value", kDoc, {},
                 [names](const py::handle*) { return current_arch_value(*names); });
}

}  // namespace vexa::patterns
