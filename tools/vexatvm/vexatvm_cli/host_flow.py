"""Runs the host's partition flow with a pattern table whose checks are
wrapped for recording: NHWC preparation, the partition driver entry by
entry (so that progress can be shown per entry), then target annotation
and graph partitioning."""
import time

import tvm
from tvm import relay

from vexatvm_cli.canonicalize import canonicalize_conv_bias
from vexatvm_cli.preparation import is_quantized
from vexatvm_cli.progress import native_log_silenced

# Operators moved to NHWC: the float32 checks read channels and sizes from
# NHWC dimensions, and the quantized convolution pattern expects the bias in
# the form the NHWC conversion gives it.
_NHWC_LAYOUTS = {
    "nn.conv2d": ["NHWC", "default"],
    "qnn.conv2d": ["NHWC", "default"],
    "nn.max_pool2d": ["NHWC"],
    "nn.avg_pool2d": ["NHWC"],
    "nn.global_avg_pool2d": ["NHWC"],
    "nn.adaptive_avg_pool2d": ["NHWC"],
}


def nhwc_preparation(mod, params):
    """Binds parameters, folds constants and converts to NHWC (the biases of
    quantized convolutions first become adds of expanded biases, so that the
    conversion gives them the layout transform their entry expects).  The
    host's own preparation is used where it provides one."""
    import vexa_host

    host_prepare = getattr(getattr(vexa_host, "flow", None), "prepare_for_vexa", None)
    if host_prepare is not None:
        return host_prepare(mod, params)
    if params:
        mod["main"] = relay.build_module.bind_params_by_name(mod["main"], params)
    passes = [relay.transform.InferType(), relay.transform.SimplifyInference(), relay.transform.FoldConstant()]
    if not is_quantized(mod):
        # Batch norms into convolution weights.  (It would also turn the
        # bias_add of a quantized dense into an add, which its entry misses.)
        passes.append(relay.transform.FoldScaleAxis())
    if _has_nchw_convolution(mod):
        mod = canonicalize_conv_bias(mod)
        passes += [relay.transform.ConvertLayout(_NHWC_LAYOUTS)]
    passes += [relay.transform.FoldConstant(), relay.transform.InferType()]
    with tvm.transform.PassContext(opt_level=3), native_log_silenced():
        return tvm.transform.Sequential(passes)(mod)


def _has_nchw_convolution(mod):
    found = []

    def visit(node):
        if isinstance(node, relay.Call) and isinstance(node.op, tvm.ir.Op) and node.op.name in ("nn.conv2d", "qnn.conv2d"):
            found.append(node.attrs.data_layout == "NCHW")

    relay.analysis.post_order_visit(mod["main"], visit)
    return any(found)


def compiler_name(table_name):
    return table_name


def partition(mod, table_name, entries, progress):
    """Composite regions of `entries`, then the regions annotated for the
    table's compiler and split off into external functions."""
    from vexa_host.partition import partition as driver

    for position, entry in enumerate(entries, start=1):
        started = time.perf_counter()
        mod = driver(mod, [entry])
        progress.say(f"table entry {position}/{len(entries)} {entry[0]} applied ({time.perf_counter() - started:.2f} s)")
    mod = relay.transform.AnnotateTarget(compiler_name(table_name))(mod)
    mod = relay.transform.MergeCompilerRegions()(mod)
    return relay.transform.PartitionGraph()(mod)
