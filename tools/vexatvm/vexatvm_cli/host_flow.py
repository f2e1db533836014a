"""Runs the host's partition flow with a pattern table whose checks are
wrapped for recording: NHWC preparation, the partition driver entry by
entry (so that progress can be shown per entry), then target annotation
and graph partitioning."""
import time

from tvm import relay

from vexatvm_cli.progress import native_log_silenced


def nhwc_preparation(mod, params, table_name):
    """Binds parameters, then prepares the network the way the host flow
    prepares it for the table (NHWC layouts; for the float32 table also
    constants folded and batch norms folded into the weights)."""
    from vexa_host import deep_stack, flow

    return deep_stack.run_on_big_stack(mod, _prepare, flow, mod, params, table_name)


def _prepare(flow, mod, params, table_name):
    if params:
        mod["main"] = relay.build_module.bind_params_by_name(mod["main"], params)
    prepare = flow.prepare_fp32 if table_name == flow.FP32_TABLE else flow.prepare_quantized
    with native_log_silenced():
        return prepare(mod)


def compiler_names(entries):
    """The external compilers of a table: the text of each composite name
    before its first dot, which AnnotateTarget matches against."""
    names = []
    for entry in entries:
        name = entry[0].split(".", 1)[0]
        if name not in names:
            names.append(name)
    return names


def partition(mod, entries, progress):
    """Composite regions of `entries`, then the regions annotated for the
    table's compiler and split off into external functions."""
    from vexa_host import deep_stack

    return deep_stack.run_on_big_stack(mod, _partition, mod, entries, progress)


def _partition(mod, entries, progress):
    from vexa_host.partition import partition as driver

    for position, entry in enumerate(entries, start=1):
        started = time.perf_counter()
        mod = driver(mod, [entry])
        progress.say(f"table entry {position}/{len(entries)} {entry[0]} applied ({time.perf_counter() - started:.2f} s)")
    mod = relay.transform.AnnotateTarget(compiler_names(entries), False)(mod)
    mod = relay.transform.MergeCompilerRegions()(mod)
    return relay.transform.PartitionGraph()(mod)
