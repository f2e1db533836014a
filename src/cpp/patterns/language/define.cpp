#include "patterns/language/define.hpp"

namespace vexa::patterns {

void define_makers(py::module_& m, const std::shared_ptr<const PatternLanguage>& language,
                   std::initializer_list<Maker> makers) {
    for (const Maker& maker : makers) {
        def_function(
            m, maker.name, maker.doc, maker.parameters,
            [language, body = maker.body](const py::handle* arguments) { return body(*language, arguments).object(); });
    }
}

py::tuple build_entry(const ModuleGlobals& globals, const TableEntry& entry) {
    py::str composite(entry.composite);
    py::object pattern = globals[entry.maker]();
    if (entry.check == nullptr) {
        return py::make_tuple(composite, pattern);
    }
    return py::make_tuple(composite, pattern, globals[entry.check]);
}

void define_table(py::module_& m, const char* registry_name, const char* function_name, const char* doc,
                  std::function<py::object(const ModuleGlobals&)> body) {
    const ModuleGlobals globals(m);
    py::object decorator = globals["register_pattern_table"](registry_name);
    py::object function = def_function(m, function_name, doc, {},
                                       [globals, body = std::move(body)](const py::handle*) { return body(globals); });
    py::delattr(m, function_name);
    m.attr(function_name) = decorator(function);
}

}  // namespace vexa::patterns
