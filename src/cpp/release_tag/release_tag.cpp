// release_tag: the package version, read from the last "## Version" header
// of CHANGELOG.md, three directory levels above this module's file.
#include "common/fast_function.hpp"
#include "common/module_globals.hpp"
#include "common/module_init.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kReleaseTagDoc =
    "Version of the package: the last space-separated piece of the last line of\n"
    "CHANGELOG.md that begins with '## Version'.  The file is read on every call.";

py::object release_tag(const vexa::ModuleGlobals& globals) {
    PyObject* path = PyNumber_TrueDivide(globals["__here__"].ptr(), py::str("CHANGELOG.md").ptr());  // __here__ / "..."
    if (path == nullptr) {
        throw py::error_already_set();
    }
    auto changelog = py::reinterpret_steal<py::object>(path);
    py::list lines = changelog.attr("read_text")().attr("splitlines")();
    py::object last_header = py::none();
    const py::str prefix("## Version");
    for (py::handle line : lines) {
        if (py::bool_(line.attr("startswith")(prefix))) {
            last_header = py::reinterpret_borrow<py::object>(line);
        }
    }
    if (last_header.is_none()) {
        throw py::index_error("list index out of range");
    }
    py::list pieces = last_header.attr("split")(" ");
    return pieces[py::len(pieces) - 1];
}

}  // namespace

VEXA_PYMODULE(release_tag, m) {
    py::object path_type = py::module_::import("pathlib").attr("Path");
    m.attr("Path") = path_type;
    m.attr("__here__") = path_type(m.attr("__file__")).attr("resolve")().attr("parent").attr("parent").attr("parent");

    vexa::ModuleGlobals globals(m);
    vexa::def_function(m, "release_tag", kReleaseTagDoc, {},
                       [globals](const py::handle*) { return release_tag(globals); });

    // Program entry (console script): prints the version and one line break.
    vexa::def_function(m, "_main", "Print the package version followed by a line break.", {},
                       [globals](const py::handle*) {
                           py::print(globals["release_tag"]());
                           return py::none();
                       });
}
