#include "patterns/checks/reasons.hpp"

#include <mutex>
#include <utility>
#include <vector>

namespace vexa::patterns::checks {

namespace {

struct Record {
    std::string check;
    std::string op;
    std::vector<int64_t> shape;
    std::string reason;
};

// What the running checks of one thread have said so far.  Plain C++ data
// only: it may outlive the interpreter's state of the thread.
struct ThreadState {
    int depth = 0;
    bool noted = false;
    std::string op;
    std::vector<int64_t> shape;
    std::string reason;
};

ThreadState& thread_state() {
    static thread_local ThreadState state;
    return state;
}

std::mutex& records_mutex() {
    static auto* mutex = new std::mutex();
    return *mutex;
}

std::vector<Record>& records() {
    static auto* kept = new std::vector<Record>();
    return *kept;
}

}  // namespace

bool rejects(const py::object& verdict) {
    const int truth = PyObject_IsTrue(verdict.ptr());
    if (truth < 0) {
        PyErr_Clear();
        return false;
    }
    return truth == 0;
}

namespace detail {

std::atomic<bool> recording{false};

void note(const Value& anchor, std::string reason) {
    ThreadState& state = thread_state();
    state.noted = true;
    state.op = kind_of(anchor);
    state.shape = dims_of(anchor);
    state.reason = std::move(reason);
}

Scope::Scope() {
    ThreadState& state = thread_state();
    if (state.depth++ == 0) {
        state.noted = false;
    }
}

Scope::~Scope() { --thread_state().depth; }

bool Scope::outermost() const { return thread_state().depth == 1; }

void keep(const char* name, const Value& argument, const py::object& verdict) {
    if (!rejects(verdict)) {
        return;
    }
    ThreadState& state = thread_state();
    Record record;
    record.check = name;
    if (state.noted) {
        record.op = std::move(state.op);
        record.shape = std::move(state.shape);
        record.reason = std::move(state.reason);
    } else {
        record.op = kind_of(argument);
        record.shape = dims_of(argument);
        record.reason = "no reason recorded";
    }
    state.noted = false;
    std::lock_guard<std::mutex> lock(records_mutex());
    records().push_back(std::move(record));
}

}  // namespace detail

bool record_reasons(bool on) { return detail::recording.exchange(on); }

py::list take_reasons() {
    std::vector<Record> taken;
    {
        std::lock_guard<std::mutex> lock(records_mutex());
        taken.swap(records());
    }
    py::list result;
    for (const Record& record : taken) {
        py::dict entry;
        entry["check"] = record.check;
        entry["operator"] = record.op;
        py::list shape;
        for (const int64_t dim : record.shape) {
            shape.append(py::int_(dim));
        }
        entry["shape"] = std::move(shape);
        entry["reason"] = record.reason;
        result.append(std::move(entry));
    }
    return result;
}

}  // namespace vexa::patterns::checks
