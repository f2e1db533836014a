#include "relay/big_stack.hpp"

#include <pthread.h>
#include <tvm/ir/module.h>
#include <tvm/ir/transform.h>
#include <tvm/relay/expr.h>
#include <tvm/target/target.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "common/module_init.hpp"
#include "relay/graph_walk.hpp"
#include "relay/node_tables.hpp"

namespace vexa {

namespace {

// Room for everything on the thread besides the network's recursion: the
// Python frames of the work, TVM's own fixed overhead.
constexpr std::size_t kBaseStack = std::size_t{64} << 20;

thread_local bool on_big_stack = false;

std::size_t largest_stack() {
    // A quarter of the memory: the stack is only reserved, and pages are
    // taken as the recursion reaches them, but a network that deep takes
    // memory of its own besides.
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) {
        return std::size_t{1} << 30;
    }
    return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page_size) / 4;
}

std::size_t expression_depth(const tvm::RelayExpr& expr) {
    NodeMap<std::size_t> depth;
    std::size_t deepest = 0;
    relay::post_order_walk(
        expr.get(), [](const tvm::relay::FunctionNode*) { return true; },
        [&](const tvm::Object* node) {
            std::size_t below = 0;
            relay::for_each_operand(
                node, [](const tvm::relay::FunctionNode*) { return true; },
                [&](const tvm::Object* operand) {
                    auto known = depth.find(operand);
                    if (known != depth.end()) {
                        below = std::max(below, known->second);
                    }
                });
            depth[node] = below + 1;
            deepest = std::max(deepest, below + 1);
        });
    return deepest;
}

struct Job {
    const std::function<py::object()>* body;
    tvm::transform::PassContext pass_context;
    tvm::Target target;
    py::object context;  // the caller's contextvars.Context
    py::object result;
    PyObject* error_type = nullptr;
    PyObject* error_value = nullptr;
    PyObject* error_traceback = nullptr;
};

void run_job(Job& job) {
    if (PyContext_Enter(job.context.ptr()) != 0) {
        return;
    }
    try {
        // TVM keeps the current pass context and target per thread.
        tvm::With<tvm::transform::PassContext> pass_scope(job.pass_context);
        std::optional<tvm::With<tvm::Target>> target_scope;
        if (job.target.defined()) {
            target_scope.emplace(job.target);
        }
        job.result = (*job.body)();
    } catch (...) {
        restore_python_error();
    }
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (PyContext_Exit(job.context.ptr()) != 0) {
        PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

void* thread_main(void* raw) {
    Job& job = *static_cast<Job*>(raw);
    on_big_stack = true;
    PyGILState_STATE state = PyGILState_Ensure();
    run_job(job);
    if (PyErr_Occurred()) {
        PyErr_Fetch(&job.error_type, &job.error_value, &job.error_traceback);
    }
    PyGILState_Release(state);
    return nullptr;
}

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

// What the largest stack holds, or fewer levels when VEXA_MAX_NESTING asks
// for fewer (to keep a process's stacks small).
std::size_t deepest_accepted() {
    std::size_t deepest = (largest_stack() - kBaseStack) / kStackPerLevel;
    if (const char* limit = std::getenv("VEXA_MAX_NESTING")) {
        char* end = nullptr;
        const unsigned long long value = std::strtoull(limit, &end, 10);
        if (end != limit && *end == '\0') {
            deepest = std::min<std::size_t>(deepest, value);
        }
    }
    return deepest;
}

// Settled when the module loads: a lazily initialised static would be a
// guard that concurrent first calls wait on.
const std::size_t kDeepestNetwork = deepest_accepted();

}  // namespace

std::size_t deepest_network() { return kDeepestNetwork; }

std::size_t nesting_depth(const tvm::runtime::ObjectRef& network) {
    if (!network.defined()) {
        return 0;
    }
    if (const auto* mod = network.as<tvm::IRModuleNode>()) {
        std::size_t deepest = 0;
        for (const auto& entry : mod->functions) {
            if (entry.second->IsInstance<tvm::relay::FunctionNode>()) {
                deepest = std::max(deepest, expression_depth(tvm::runtime::Downcast<tvm::RelayExpr>(entry.second)));
            }
        }
        return deepest;
    }
    if (network->IsInstance<tvm::RelayExprNode>()) {
        return expression_depth(tvm::runtime::Downcast<tvm::RelayExpr>(network));
    }
    return 0;
}

std::size_t refuse_too_deep(const tvm::runtime::ObjectRef& network, const std::string& what) {
    const std::size_t depth = nesting_depth(network);
    if (depth > deepest_network()) {
        raise(PyExc_ValueError, what + " is nested " + std::to_string(depth) +
                                    " levels deep; TVM's passes handle at most " + std::to_string(deepest_network()) +
                                    " on this machine");
    }
    return depth;
}

py::object run_on_big_stack(std::size_t depth, const std::function<py::object()>& body) {
    if (on_big_stack) {
        return body();
    }
    Job job{&body, tvm::transform::PassContext::Current(), tvm::Target::Current(true), py::object(), py::object()};
    job.context = py::reinterpret_steal<py::object>(PyContext_CopyCurrent());
    if (!job.context) {
        throw py::error_already_set();
    }
    const std::size_t levels = std::min(depth, deepest_network());
    const std::size_t stack = kBaseStack + levels * kStackPerLevel;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    int status = pthread_attr_setstacksize(&attributes, stack);
    pthread_t thread;
    if (status == 0) {
        status = pthread_create(&thread, &attributes, &thread_main, &job);
    }
    pthread_attr_destroy(&attributes);
    if (status != 0) {
        raise(PyExc_RuntimeError, "cannot start a thread with a " + std::to_string(stack >> 20) +
                                      " MB stack for TVM's passes: " + std::strerror(status));
    }
    {
        py::gil_scoped_release unlocked;
        pthread_join(thread, nullptr);
    }
    if (job.error_type != nullptr) {
        PyErr_Restore(job.error_type, job.error_value, job.error_traceback);
        throw py::error_already_set();
    }
    return std::move(job.result);
}

}  // namespace vexa
