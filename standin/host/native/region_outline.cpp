#include "region_outline.hpp"

#include <tvm/ir/attrs.h>
#include <tvm/ir/op.h>
#include <tvm/ir/type.h>
#include <tvm/relay/expr.h>
#include <tvm/relay/function.h>

#include <algorithm>
#include <cctype>
#include <list>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "dataflow_rewrite.hpp"
#include "relay/node_tables.hpp"

namespace vexa_host {
namespace {

using namespace tvm::relay;
using tvm::runtime::GetRef;

using vexa_host::as;

// Thrown while reading the network when the walk cannot stand in for TVM's
// passes; caught by outline_regions.
struct Refusal {
    std::string reason;
};

constexpr int kHost = -1;

// The dataflow of "main": its nodes in post-order (operands first, left to
// right: the order of TVM's own visitors), each with its operands and the
// compiler its call is offloaded to.
struct Network {
    std::vector<const tvm::Object*> nodes;
    std::vector<std::vector<int>> operands;
    std::vector<int> compiler;           // index into the compiler names, or kHost
    std::vector<std::size_t> edge_base;  // first edge number of a node's operands
    int body = -1;
    std::size_t root_edge = 0;  // the edge from the body to the function's result

    bool offloaded(int node) const { return compiler[node] != kHost; }
    // A node that TVM's region analysis gives a region of its own: a call
    // with operands.
    bool has_region(int node) const {
        const auto* call = as<CallNode>(nodes[node]);
        return call != nullptr && !call->args.empty();
    }
    std::size_t edge(int consumer, std::size_t position) const { return edge_base[consumer] + position; }
};

int composite_compiler(const FunctionNode* function, const std::vector<std::string>& compilers) {
    auto composite = function->GetAttr<tvm::String>("Composite");
    if (!composite.defined()) {
        throw Refusal{"a call of a function that is not a composite"};
    }
    const std::string name = composite.value();
    const std::size_t dot = name.find('.');
    if (dot == std::string::npos) {
        return kHost;
    }
    auto found = std::find(compilers.begin(), compilers.end(), name.substr(0, dot));
    return found == compilers.end() ? kHost : static_cast<int>(found - compilers.begin());
}

// The operands of a node, checking that it is a kind of node the walk
// reproduces TVM's handling of.
std::vector<const tvm::Object*> operands_of(const tvm::Object* node) {
    if (const auto* call = as<CallNode>(node)) {
        std::vector<const tvm::Object*> result;
        for (const auto& argument : call->args) {
            result.push_back(argument.get());
        }
        return result;
    }
    if (const auto* tuple = as<TupleNode>(node)) {
        std::vector<const tvm::Object*> result;
        for (const auto& field : tuple->fields) {
            result.push_back(field.get());
        }
        return result;
    }
    if (const auto* item = as<TupleGetItemNode>(node)) {
        return {item->tuple.get()};
    }
    if (as<VarNode>(node) != nullptr || as<ConstantNode>(node) != nullptr) {
        return {};
    }
    throw Refusal{std::string("a node of kind ") + node->GetTypeKey() + " in the network"};
}

int call_compiler(const CallNode* call, const std::vector<std::string>& compilers) {
    if (const auto* op = as<tvm::OpNode>(call->op.get())) {
        if (std::string(op->name).rfind("annotation.compiler_", 0) == 0) {
            throw Refusal{"the network already carries compiler annotations"};
        }
        return kHost;
    }
    const auto* function = as<FunctionNode>(call->op.get());
    if (function == nullptr) {
        throw Refusal{"a call of something other than an operator or a composite"};
    }
    const int compiler = composite_compiler(function, compilers);
    if (compiler != kHost) {
        if (call->args.empty()) {
            throw Refusal{"an offloaded composite call without arguments"};
        }
        if (as<tvm::TensorTypeNode>(call->checked_type_.get()) == nullptr) {
            throw Refusal{"an offloaded composite whose result is not one tensor"};
        }
    }
    return compiler;
}

Network read_network(const Function& main, const std::vector<std::string>& compilers) {
    Network network;
    vexa::NodeMap<int> index;
    std::vector<std::pair<const tvm::Object*, bool>> stack{{main->body.get(), false}};
    while (!stack.empty()) {
        auto [node, expanded] = stack.back();
        if (index.count(node) != 0) {
            stack.pop_back();
            continue;
        }
        std::vector<const tvm::Object*> operands = operands_of(node);
        if (!expanded) {
            stack.back().second = true;
            for (auto it = operands.rbegin(); it != operands.rend(); ++it) {
                if (index.count(*it) == 0) {
                    stack.emplace_back(*it, false);
                }
            }
            continue;
        }
        stack.pop_back();
        const int id = static_cast<int>(network.nodes.size());
        index.emplace(node, id);
        network.nodes.push_back(node);
        std::vector<int> numbers;
        for (const tvm::Object* operand : operands) {
            numbers.push_back(index.at(operand));
        }
        network.operands.push_back(std::move(numbers));
        const auto* call = as<CallNode>(node);
        network.compiler.push_back(call != nullptr ? call_compiler(call, compilers) : kHost);
    }
    network.body = index.at(main->body.get());
    std::size_t edges = 0;
    for (const auto& operands : network.operands) {
        network.edge_base.push_back(edges);
        edges += operands.size();
    }
    network.root_edge = edges;
    return network;
}

// MergeCompilerRegions: every call with operands starts as a region of its
// own (host calls too), and regions are visited in post-order.  A region's
// restrictions are the restrictions of its parents' groups plus its parents
// of another compiler; it absorbs every parent group of its own compiler
// that is not among them, and a merge renames the absorbed group to the
// absorbing region everywhere.  A group's restrictions are those of the
// region that absorbed last, which need not lie upstream of the consumer
// that reads them: that is how TVM's merge behaves, and what this class
// reproduces.  Instead of carrying restriction sets (quadratic in a long
// network), it records where each group was met as a parent of another
// compiler, and whether a group restricts a region is asked by a walk back
// from that region along the groups its parents belonged to, bounded by the
// earliest such record.
class RegionMerger {
public:
    // `through_every_node`: restrictions also pass through tuples and tuple
    // items, which TVM's merge does not see.
    RegionMerger(const Network& network, bool through_every_node)
        : network_(network),
          through_every_node_(through_every_node),
          group_(network.nodes.size()),
          read_from_(network.nodes.size()),
          met_as_foreign_(network.nodes.size()),
          earliest_(network.nodes.size(), 0),
          marked_(network.nodes.size(), 0),
          visited_(network.nodes.size(), 0) {
        for (std::size_t i = 0; i < group_.size(); ++i) {
            group_[i] = static_cast<int>(i);
        }
    }

    void run() {
        const int count = static_cast<int>(network_.nodes.size());
        for (int region = 0; region < count; ++region) {
            if (counts(region)) {
                visit(region);
            }
        }
    }

    int group(int node) {
        while (group_[node] != node) {
            group_[node] = group_[group_[node]];
            node = group_[node];
        }
        return node;
    }

private:
    bool counts(int node) const {
        return network_.has_region(node) || (through_every_node_ && !network_.operands[node].empty());
    }

    void visit(int region) {
        const int compiler = network_.compiler[region];
        std::vector<int>& parents = read_from_[region];
        for (int operand : network_.operands[region]) {
            if (counts(operand)) {
                const int parent = group(operand);
                if (std::find(parents.begin(), parents.end(), parent) == parents.end()) {
                    parents.push_back(parent);
                }
            }
        }
        std::vector<int> absorbed;
        for (int parent : parents) {
            if (network_.compiler[parent] != compiler) {
                meet_as_foreign(parent, region);
            } else if (!restricted(parent, region)) {
                absorbed.push_back(parent);
            }
        }
        for (int parent : absorbed) {
            unite(region, group(parent));
        }
    }

    void meet_as_foreign(int group_id, int region) {
        auto& met = met_as_foreign_[group_id];
        if (met.empty() || region < earliest_[group_id]) {
            earliest_[group_id] = region;
        }
        met.push_back(region);
    }

    void unite(int keep, int other) {
        if (keep == other) {
            return;
        }
        auto& kept = met_as_foreign_[keep];
        auto& moved = met_as_foreign_[other];
        if (!moved.empty()) {
            earliest_[keep] = kept.empty() ? earliest_[other] : std::min(earliest_[keep], earliest_[other]);
        }
        if (kept.size() < moved.size()) {
            kept.swap(moved);
        }
        kept.insert(kept.end(), moved.begin(), moved.end());
        moved.clear();
        moved.shrink_to_fit();
        group_[other] = keep;
    }

    // Whether `parent`'s group is among `region`'s restrictions: whether a
    // region that met it as a parent of another compiler passed its
    // restrictions on to `region`.
    bool restricted(int parent, int region) {
        const auto& met = met_as_foreign_[parent];
        if (met.empty()) {
            return false;
        }
        ++stamp_;
        for (int where : met) {
            marked_[where] = stamp_;
        }
        const int earliest = earliest_[parent];
        std::vector<int> stack{region};
        while (!stack.empty()) {
            const int node = stack.back();
            stack.pop_back();
            for (int source : read_from_[node]) {
                if (source < earliest || visited_[source] == stamp_) {
                    continue;
                }
                if (marked_[source] == stamp_) {
                    return true;
                }
                visited_[source] = stamp_;
                stack.push_back(source);
            }
        }
        return false;
    }

    const Network& network_;
    const bool through_every_node_;
    std::vector<int> group_;
    std::vector<std::vector<int>> read_from_;  // the groups of a region's parents when it was visited
    std::vector<std::vector<int>> met_as_foreign_;
    std::vector<int> earliest_;
    std::vector<unsigned> marked_;
    std::vector<unsigned> visited_;
    unsigned stamp_ = 0;
};

// Whether outlining the groups keeps the network acyclic.  TVM's merge does
// not see paths through tuples, so it can merge two regions that such a path
// joins; what PartitionGraph makes of that is left to it.
bool groups_acyclic(const Network& network, RegionMerger& merger) {
    const int count = static_cast<int>(network.nodes.size());
    auto unit = [&](int node) { return network.offloaded(node) ? merger.group(node) : node; };
    std::vector<std::vector<int>> consumers(count);
    std::vector<int> waiting(count, 0);
    for (int node = 0; node < count; ++node) {
        for (int operand : network.operands[node]) {
            const int from = unit(operand);
            const int to = unit(node);
            if (from != to) {
                consumers[from].push_back(to);
                ++waiting[to];
            }
        }
    }
    std::vector<int> ready;
    int units = 0;
    for (int node = 0; node < count; ++node) {
        if (unit(node) == node) {
            ++units;
            if (waiting[node] == 0) {
                ready.push_back(node);
            }
        }
    }
    int done = 0;
    while (!ready.empty()) {
        const int node = ready.back();
        ready.pop_back();
        ++done;
        for (int consumer : consumers[node]) {
            if (--waiting[consumer] == 0) {
                ready.push_back(consumer);
            }
        }
    }
    return done == units;
}

// The annotated network after MergeCompilerRegions and the removal of host
// annotations, without building it: an operand edge into an offloaded call
// from outside its group carries a region begin, an edge out of an offloaded
// call to anything outside its group a region end.
enum class Kind { Node, Begin, End };

struct Visit {
    Kind kind;
    int node;          // Node: the node; Begin: the consumer; End: the producer
    std::size_t edge;  // Begin, End: the operand edge
};

struct Region {
    int compiler = kHost;
    int absorbed_by = -1;
    std::list<std::size_t> begins;  // edges, in TVM's order of the region's inputs
    std::list<std::size_t> ends;    // edges, in TVM's order of the region's outputs
};

class Outliner {
public:
    Outliner(const tvm::IRModule& mod, const Function& main, const Network& network, RegionMerger& merger,
             const std::vector<std::string>& compilers)
        : mod_(mod),
          main_(main),
          network_(network),
          merger_(merger),
          compilers_(compilers),
          begin_region_(network.root_edge + 1, -1),
          node_region_(network.nodes.size(), -1),
          values_(network.nodes.size()),
          begin_values_(network.root_edge + 1),
          end_values_(network.root_edge + 1) {}

    OutlineResult run() {
        walk(root(), [this](const Visit& visit) { form_region(visit); });
        number_inputs();
        done_.assign(network_.nodes.size(), 0);
        walk(root(), [this](const Visit& visit) { rewrite(visit); });
        const tvm::RelayExpr body =
            network_.offloaded(network_.body) ? end_values_[network_.root_edge] : values_[network_.body];
        tvm::IRModule copy = mod_->ShallowCopy();
        if (!body.same_as(main_->body)) {
            Function main(main_->params, body, main_->ret_type, main_->type_params, main_->attrs, main_->span);
            main->checked_type_ = main_->checked_type_;
            copy->AddUnchecked(mod_->GetGlobalVar("main"), main);
        }
        for (const auto& [global, function] : outlined_) {
            copy->AddUnchecked(global, function);
        }
        return {copy, "", static_cast<int>(outlined_.size()), transitions_, ""};
    }

private:
    Visit root() const {
        const int body = network_.body;
        return network_.offloaded(body) ? Visit{Kind::End, body, network_.root_edge} : Visit{Kind::Node, body, 0};
    }

    bool internal(int consumer, int producer) const {
        return network_.offloaded(consumer) && network_.offloaded(producer) &&
               merger_.group(consumer) == merger_.group(producer);
    }

    std::vector<Visit> children(const Visit& visit) const {
        if (visit.kind == Kind::End) {
            return {{Kind::Node, visit.node, 0}};
        }
        if (visit.kind == Kind::Begin) {
            const int producer = producer_of(visit.edge, visit.node);
            return {network_.offloaded(producer) ? Visit{Kind::End, producer, visit.edge}
                                                 : Visit{Kind::Node, producer, 0}};
        }
        std::vector<Visit> result;
        const auto& operands = network_.operands[visit.node];
        for (std::size_t i = 0; i < operands.size(); ++i) {
            const int operand = operands[i];
            const std::size_t edge = network_.edge(visit.node, i);
            if (network_.offloaded(visit.node)) {
                result.push_back(internal(visit.node, operand) ? Visit{Kind::Node, operand, 0}
                                                               : Visit{Kind::Begin, visit.node, edge});
            } else {
                result.push_back(network_.offloaded(operand) ? Visit{Kind::End, operand, edge}
                                                             : Visit{Kind::Node, operand, 0});
            }
        }
        return result;
    }

    int producer_of(std::size_t edge, int consumer) const {
        return network_.operands[consumer][edge - network_.edge_base[consumer]];
    }

    // Post-order over the annotated network, operands left to right, each
    // node once: the order of TVM's MixedModeVisitor and MixedModeMutator.
    // `on_leaf` may ask for more nodes to be walked first (a region's outputs
    // before its function is made) through `before_leaf_`.
    template <typename OnLeaf>
    void walk(const Visit& start, OnLeaf&& on_leaf) {
        struct Frame {
            Visit visit;
            int state;
        };
        std::vector<Frame> stack{{start, 0}};
        std::vector<char> seen(network_.nodes.size(), 0);
        while (!stack.empty()) {
            Frame& frame = stack.back();
            const Visit visit = frame.visit;
            if (visit.kind == Kind::Node && frame.state == 0 && (seen[visit.node] || done(visit.node))) {
                stack.pop_back();
                continue;
            }
            if (frame.state == 0) {
                frame.state = 1;
                if (visit.kind == Kind::Node) {
                    seen[visit.node] = 1;
                }
                std::vector<Visit> next = children(visit);
                for (auto it = next.rbegin(); it != next.rend(); ++it) {
                    stack.push_back({*it, 0});
                }
                continue;
            }
            if (frame.state == 1) {
                frame.state = 2;
                std::vector<int> first = before_leaf(visit);
                if (!first.empty()) {
                    for (auto it = first.rbegin(); it != first.rend(); ++it) {
                        stack.push_back({{Kind::Node, *it, 0}, 0});
                    }
                    continue;
                }
            }
            stack.pop_back();
            on_leaf(visit);
        }
    }

    bool done(int node) const { return !done_.empty() && done_[node]; }

    // In the rewrite, a region's function is made at its first end, and its
    // outputs are rewritten first.
    std::vector<int> before_leaf(const Visit& visit) {
        if (done_.empty() || visit.kind != Kind::End) {
            return {};
        }
        const int region = find(node_region_[visit.node]);
        if (functions_.count(region) != 0) {
            return {};
        }
        std::vector<int> outputs;
        for (std::size_t edge : regions_[region].ends) {
            outputs.push_back(end_producer(edge));
        }
        return outputs;
    }

    int end_producer(std::size_t edge) const { return end_producers_.at(edge); }

    int find(int region) {
        while (regions_[region].absorbed_by >= 0) {
            region = regions_[region].absorbed_by;
        }
        return region;
    }

    // AnnotatedRegionSet: a region for every begin, in walk order; a call
    // joins the regions of its operands into the first one; an end is an
    // output of its producer's region.
    void form_region(const Visit& visit) {
        if (visit.kind == Kind::Begin) {
            const int id = static_cast<int>(regions_.size());
            regions_.emplace_back();
            regions_.back().compiler = network_.compiler[visit.node];
            regions_.back().begins.push_back(visit.edge);
            begin_region_[visit.edge] = id;
            return;
        }
        if (visit.kind == Kind::End) {
            end_producers_[visit.edge] = visit.node;
            regions_[find(node_region_[visit.node])].ends.push_back(visit.edge);
            return;
        }
        const int node = visit.node;
        if (!network_.offloaded(node)) {
            return;
        }
        int survivor = -1;
        const auto& operands = network_.operands[node];
        for (std::size_t i = 0; i < operands.size(); ++i) {
            const std::size_t edge = network_.edge(node, i);
            const int region = find(internal(node, operands[i]) ? node_region_[operands[i]] : begin_region_[edge]);
            if (survivor < 0) {
                survivor = region;
            } else if (region != survivor) {
                Region& kept = regions_[survivor];
                Region& moved = regions_[region];
                kept.begins.splice(kept.begins.end(), moved.begins);
                kept.ends.splice(kept.ends.end(), moved.ends);
                moved.absorbed_by = survivor;
            }
        }
        node_region_[node] = survivor;
    }

    // The position of every begin among its region's inputs, which names
    // the function parameter it becomes.
    void number_inputs() {
        for (auto& region : regions_) {
            if (region.absorbed_by >= 0) {
                continue;
            }
            int position = 0;
            for (std::size_t edge : region.begins) {
                begin_position_[edge] = position++;
            }
        }
    }

    std::string unmangled_name(int region) const {
        return compilers_[regions_[region].compiler] + "_main_" + std::to_string(region);
    }

    std::string function_name(int region) const {
        std::string name = "tvmgen_default_" + unmangled_name(region);
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') {
                c = '_';
            }
        }
        return name;
    }

    tvm::RelayExpr value_of(const Visit& child) const {
        switch (child.kind) {
            case Kind::Begin:
                return begin_values_[child.edge];
            case Kind::End:
                return end_values_[child.edge];
            default:
                return values_[child.node];
        }
    }

    void rewrite(const Visit& visit) {
        if (visit.kind == Kind::Begin) {
            rewrite_begin(visit);
        } else if (visit.kind == Kind::End) {
            const int region = find(node_region_[visit.node]);
            if (functions_.count(region) == 0) {
                make_function(region);
            }
            end_values_[visit.edge] = outputs_[region].at(visit.node);
        } else {
            rewrite_node(visit);
            done_[visit.node] = 1;
        }
    }

    void rewrite_begin(const Visit& visit) {
        const int producer = producer_of(visit.edge, visit.node);
        const tvm::RelayExpr input = value_of(children(visit).front());
        if (input->IsInstance<ConstantNode>()) {
            begin_values_[visit.edge] = input;  // constants are bound into the function
            return;
        }
        const int region = find(begin_region_[visit.edge]);
        auto& known = region_inputs_[region];
        auto found = known.find(producer);
        if (found != known.end()) {
            begin_values_[visit.edge] = found->second;
            return;
        }
        const tvm::Object* original = network_.nodes[producer];
        std::string name;
        if (const auto* var = as<VarNode>(original)) {
            name = var->name_hint();
        } else {
            name = compilers_[regions_[region].compiler] + "_" + std::to_string(region) + "_i" +
                   std::to_string(begin_position_.at(visit.edge));
        }
        const tvm::Type type = static_cast<const tvm::RelayExprNode*>(original)->checked_type_;
        if (!type.defined()) {
            throw Refusal{"an untyped input of an offloaded region"};
        }
        Var param(name, type);
        param->checked_type_ = type;
        known.emplace(producer, param);
        params_[region].emplace_back(param, input);
        begin_values_[visit.edge] = param;
    }

    void rewrite_node(const Visit& visit) {
        tvm::Array<tvm::RelayExpr> values;
        for (const Visit& operand : children(visit)) {
            values.push_back(value_of(operand));
        }
        values_[visit.node] = rebuilt(network_.nodes[visit.node], values);
    }

    void make_function(int region) {
        tvm::Array<tvm::RelayExpr> fields;
        tvm::Array<tvm::Type> field_types;
        std::unordered_map<int, int> output_index;
        for (std::size_t edge : regions_[region].ends) {
            const int producer = end_producer(edge);
            if (output_index.emplace(producer, static_cast<int>(fields.size())).second) {
                fields.push_back(values_[producer]);
                field_types.push_back(static_cast<const tvm::RelayExprNode*>(network_.nodes[producer])->checked_type_);
            }
        }
        tvm::Array<Var> params;
        tvm::Array<tvm::RelayExpr> inputs;
        for (const auto& [param, input] : params_[region]) {
            params.push_back(param);
            inputs.push_back(input);
        }
        const std::string name = function_name(region);
        // Set in the order PartitionGraph and its name mangling set them,
        // which is the order they print in.
        tvm::Map<tvm::String, tvm::ObjectRef> attrs;
        attrs.Set("global_symbol", tvm::String(unmangled_name(region)));
        attrs.Set("Primitive", tvm::Integer(1));
        attrs.Set("Compiler", tvm::String(compilers_[regions_[region].compiler]));
        attrs.Set("Inline", tvm::Integer(1));
        attrs = tvm::Map<tvm::String, tvm::ObjectRef>(attrs.begin(), attrs.end());
        attrs.Set("global_symbol", tvm::String(name));
        // Typed as type inference types them: the outlined nodes keep their
        // types, so the module needs no whole-module inference afterwards.
        const bool single = fields.size() == 1;
        const tvm::Type result_type = single ? field_types[0] : tvm::Type(tvm::TupleType(field_types));
        tvm::RelayExpr body = fields.size() == 1 ? fields[0] : tvm::RelayExpr(Tuple(fields));
        body->checked_type_ = result_type;
        tvm::Array<tvm::Type> param_types;
        for (const auto& param : params) {
            param_types.push_back(param->type_annotation);
        }
        Function function(params, body, result_type, {}, tvm::DictAttrs(attrs));
        function->checked_type_ = tvm::FuncType(param_types, result_type, {}, {});
        tvm::GlobalVar global(name);
        global->checked_type_ = function->checked_type_;
        outlined_.emplace_back(global, function);
        transitions_ += static_cast<int>(params.size() + fields.size());
        functions_.emplace(region, global);
        Call call(global, inputs);
        call->checked_type_ = result_type;
        auto& outputs = outputs_[region];
        for (const auto& [producer, index] : output_index) {
            if (single) {
                outputs.emplace(producer, call);
            } else {
                TupleGetItem item(call, index);
                item->checked_type_ = field_types[index];
                outputs.emplace(producer, item);
            }
        }
    }

    const tvm::IRModule& mod_;
    const Function& main_;
    const Network& network_;
    RegionMerger& merger_;
    const std::vector<std::string>& compilers_;
    std::vector<Region> regions_;
    std::vector<int> begin_region_;
    std::vector<int> node_region_;
    std::unordered_map<std::size_t, int> end_producers_;
    std::unordered_map<std::size_t, int> begin_position_;
    std::vector<char> done_;
    std::vector<tvm::RelayExpr> values_;
    std::vector<tvm::RelayExpr> begin_values_;
    std::vector<tvm::RelayExpr> end_values_;
    std::unordered_map<int, std::unordered_map<int, Var>> region_inputs_;
    std::unordered_map<int, std::vector<std::pair<Var, tvm::RelayExpr>>> params_;
    std::unordered_map<int, tvm::GlobalVar> functions_;
    std::unordered_map<int, std::unordered_map<int, tvm::RelayExpr>> outputs_;
    std::vector<std::pair<tvm::GlobalVar, Function>> outlined_;
    int transitions_ = 0;
};

void check_module(const tvm::IRModule& mod, const std::vector<std::string>& compilers) {
    if (mod->functions.size() != 1 || !mod->ContainGlobalVar("main")) {
        throw Refusal{"the module has functions besides \"main\""};
    }
    for (const auto& compiler : compilers) {
        if (tvm::Op::HasAttrMap("target." + compiler)) {
            throw Refusal{"operators carry annotation rules of their own for " + compiler};
        }
    }
}

}  // namespace

OutlineResult outline_regions(const tvm::IRModule& mod, const std::vector<std::string>& compilers) {
    try {
        check_module(mod, compilers);
        const auto* main = as<FunctionNode>(mod->Lookup("main").get());
        if (main == nullptr) {
            throw Refusal{"\"main\" is not a Relay function"};
        }
        const Function function = GetRef<Function>(main);
        const Network network = read_network(function, compilers);
        RegionMerger merger(network, false);
        merger.run();
        if (groups_acyclic(network, merger)) {
            return Outliner(mod, function, network, merger, compilers).run();
        }
        // TVM's passes would join two regions that a path through a tuple
        // connects, and crash on the cycle that makes.  Such regions are kept
        // apart instead.
        RegionMerger sound(network, true);
        sound.run();
        if (!groups_acyclic(network, sound)) {
            throw std::runtime_error("outlining the regions would make the network cyclic");
        }
        OutlineResult result = Outliner(mod, function, network, sound, compilers).run();
        result.deviation = "regions joined only through a tuple are kept apart (TVM's merge would make a cycle)";
        return result;
    } catch (const Refusal& refusal) {
        return {tvm::IRModule(tvm::runtime::ObjectPtr<tvm::Object>(nullptr)), refusal.reason, 0, 0, ""};
    }
}

}  // namespace vexa_host
