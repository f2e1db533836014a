// Why a check rejected its match.
//
// Every check decides through the steps in this folder, and the step that
// rejects says why: the operator it looked at, the values it read, the limit
// broken.  While recording is off (the default) that costs one relaxed
// atomic load per rejection and no text is made.  While it is on, the
// outermost check running on a thread keeps one record per rejected match:
// {"check", "operator", "shape", "reason"}, taken in order by
// `_take_check_reasons()`.  Records are made without the interpreter lock
// and kept under a mutex of their own, so checks may run on several threads.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <exception>
#include <string>
#include <utility>

#include "patterns/checks/value.hpp"

namespace vexa::patterns::checks {

namespace py = pybind11;

namespace detail {
extern std::atomic<bool> recording;
void note(const Value& anchor, std::string reason);
}  // namespace detail

inline bool recording() { return detail::recording.load(std::memory_order_relaxed); }

// Whether a verdict as Python gives it rejects the match.  A verdict whose
// truth cannot be read is left to the partitioner, which raises: not a
// rejection.
bool rejects(const py::object& verdict);

// Switches recording on or off; returns the previous setting.
bool record_reasons(bool on);

// The records made since the last take, as a list of dicts, oldest first.
py::list take_reasons();

// Says why the running check rejects, at `anchor`; `reason()` runs only
// while recording, and a value it cannot describe never turns the verdict
// into an error.  Returns false, the verdict of the step.
template <typename Reason>
bool refuse(const Value& anchor, Reason&& reason) {
    if (recording()) {
        std::string text;
        try {
            text = reason();
        } catch (const std::exception&) {
            text = "the values read could not be described";
        }
        detail::note(anchor, std::move(text));
    }
    return false;
}

// refuse() as a check's verdict: Python's False.
template <typename Reason>
py::object reject(const Value& anchor, Reason&& reason) {
    refuse(anchor, std::forward<Reason>(reason));
    return py::bool_(false);
}

// Passes on `verdict`, whatever Python gave; when it rejects, says why.
template <typename Reason>
py::object explained(py::object verdict, const Value& anchor, Reason&& reason) {
    if (recording() && rejects(verdict)) {
        refuse(anchor, std::forward<Reason>(reason));
    }
    return verdict;
}

// Runs a check registered under `name` on `argument`: when it is the
// outermost check of this thread and returns a false verdict, its record is
// kept (the reason its steps gave, or a plain one when none did).
template <typename Body>
py::object run_check(const char* name, const Value& argument, Body&& body);

namespace detail {
struct Scope {
    Scope();
    ~Scope();
    bool outermost() const;
};
void keep(const char* name, const Value& argument, const py::object& verdict);
}  // namespace detail

template <typename Body>
py::object run_check(const char* name, const Value& argument, Body&& body) {
    detail::Scope scope;
    py::object verdict = body();
    if (scope.outermost() && recording()) {
        detail::keep(name, argument, verdict);
    }
    return verdict;
}

}  // namespace vexa::patterns::checks
