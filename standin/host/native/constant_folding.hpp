// Constant folding on the constant data itself, for the operators the
// preparation leaves on constants: layout transforms, transposes, reshapes,
// expand_dims, squeezes, casts, quantize, and element-wise arithmetic of
// float32.  TVM's FoldConstant compiles every constant call it folds with
// LLVM (tenths of a second each); these are computed here with the same
// numerics as TVM's own kernels.  Constant subgraphs holding any other
// operator are left for FoldConstant, which then sees only them.
#pragma once

#include <tvm/relay/expr.h>
#include <tvm/runtime/ndarray.h>

#include <optional>
#include <vector>

namespace vexa_host {

struct FoldResult {
    tvm::RelayExpr expr;
    // Roots of the constant subgraphs left for FoldConstant (each node of the
    // result, to be replaced by its folded form).
    std::vector<tvm::RelayExpr> left;
    bool refused = false;  // operators whose folding FoldConstant alone does (shape_of...)
};

// Folds the constant calls of `expr` (a typed function) that the operators
// above cover; qnn operators only when `fold_qnn`.
FoldResult fold_constants(const tvm::RelayExpr& expr, bool fold_qnn);

// The value of a typed `qnn.quantize` call of constants, as TVM computes it;
// nullopt where the data is not float32 or leaves int32 once divided.
std::optional<tvm::runtime::NDArray> quantized_constant(const tvm::relay::CallNode* call);

// `expr` with the nodes of `from` replaced by those of `to`.
tvm::RelayExpr replace_nodes(const tvm::RelayExpr& expr, const std::vector<tvm::RelayExpr>& from,
                             const std::vector<tvm::RelayExpr>& to);

}  // namespace vexa_host
