// How makers, checks and tables become functions of the module `patterns`.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

#include "common/fast_function.hpp"
#include "patterns/language/pattern.hpp"

namespace vexa::patterns {

namespace py = pybind11;

// A pattern maker of the module.
struct Maker {
    using Body = std::function<Pattern(const PatternLanguage&, const py::handle* arguments)>;

    // A maker without parameters.
    Maker(const char* maker_name, const char* maker_doc, Pattern (*nullary)(const PatternLanguage&))
        : name(maker_name),
          doc(maker_doc),
          body([nullary](const PatternLanguage& p, const py::handle*) { return nullary(p); }) {}
    // A maker with parameters, given to `maker_body` in order.
    Maker(const char* maker_name, std::vector<Parameter> maker_parameters, const char* maker_doc, Body maker_body)
        : name(maker_name), parameters(std::move(maker_parameters)), doc(maker_doc), body(std::move(maker_body)) {}

    const char* name;
    std::vector<Parameter> parameters;
    const char* doc;
    Body body;
};

// Defines the makers in order, each building its pattern with `language`.
void define_makers(py::module_& m, const std::shared_ptr<const PatternLanguage>& language,
                   std::initializer_list<Maker> makers);

// One entry of a pattern table: the composite name, the module-level name
// of its maker and of its check (null: none).
struct TableEntry {
    const char* composite;
    const char* maker;
    const char* check;
};

// (composite, maker(), check): the maker runs first, then the check is
// looked up, so that an entry holds the module's bindings of the moment.
py::tuple build_entry(const ModuleGlobals& globals, const TableEntry& entry);

// A new list of the entries, built in order.
template <typename Entries>
py::list build_table(const ModuleGlobals& globals, const Entries& entries) {
    py::list table;
    for (const TableEntry& entry : entries) {
        table.append(build_entry(globals, entry));
    }
    return table;
}

// Defines the table function `function_name` and registers it with TVM's
// pattern-table registry under `registry_name` in the decorator form: the
// decorator is made first, then applied to the new function, and the module
// name is bound to what it returns.
void define_table(py::module_& m, const char* registry_name, const char* function_name, const char* doc,
                  std::function<py::object(const ModuleGlobals&)> body);

}  // namespace vexa::patterns
