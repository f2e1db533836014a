// The node behind an object pointer as one kind of Relay node, or null.
#pragma once

#include <tvm/runtime/object.h>

namespace vexa_host {

template <typename Node>
const Node* as(const tvm::Object* node) {
    return node != nullptr && node->IsInstance<Node>() ? static_cast<const Node*>(node) : nullptr;
}

}  // namespace vexa_host
