#include "network_runs.hpp"

#include <atomic>
#include <utility>
#include <vector>

namespace vexa_host {

namespace {

struct NetworkRun {
    tvm::RelayExpr network;
    std::unique_ptr<ConsumerIndex> index;  // built on the first query
};

std::vector<NetworkRun>& runs() {
    thread_local std::vector<NetworkRun> thread_runs;
    return thread_runs;
}

// Counted for the whole process: the partition driver runs on a thread of
// its own (see relay/big_stack.hpp), not on the thread that asks.
std::atomic<std::size_t> built{0};

}  // namespace

void enter_network(tvm::RelayExpr network) { runs().push_back(NetworkRun{std::move(network), nullptr}); }

bool leave_network() {
    if (runs().empty()) {
        return false;
    }
    runs().pop_back();
    return true;
}

const ConsumerIndex* current_index() {
    if (runs().empty()) {
        return nullptr;
    }
    NetworkRun& run = runs().back();
    if (!run.index) {
        run.index = std::make_unique<ConsumerIndex>(run.network);
        ++built;
    }
    return run.index.get();
}

std::size_t indexes_built() { return built; }

}  // namespace vexa_host
