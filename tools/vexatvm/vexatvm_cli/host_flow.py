"""Runs the host's partition flow with a pattern table whose checks are
wrapped for recording: NHWC preparation, the partition driver entry by
entry (so that progress can be shown per entry), then target annotation
and graph partitioning."""

import time

import tvm

from vexatvm_cli.progress import native_log_silenced

# The preparation's passes that can take long, named as a user reads them.
_STEPS = {
    "FakeQuantizationToInteger": "QDQ regions to integer operators",
    "SimplifyInference": "batch norms simplified",
    "BackwardFoldScaleAxis": "scales folded into the weights",
    "CanonicalizeOps": "bias adds canonicalised",
    "ConvertLayout": "layouts converted to NHWC",
    "FoldConstant": "constants folded",
}


@tvm.instrument.pass_instrument
class _StepReporter:
    """A progress line as each long step of the preparation starts; what
    TVM's C++ side logs while a pass runs is silenced (the progress lines
    between passes must get through)."""

    def __init__(self, progress, name):
        self.progress = progress
        self.name = name
        self._depth = 0
        self._silence = None

    def run_before_pass(self, mod, info):
        if self._depth == 0:
            step = _STEPS.get(info.name)
            if step is not None:
                self.progress.say(f"{self.name}: preparing: {step}")
            self._silence = native_log_silenced()
            self._silence.__enter__()
        self._depth += 1

    def run_after_pass(self, mod, info):
        self._depth -= 1
        if self._depth == 0:
            self._silence.__exit__(None, None, None)


def nhwc_preparation(mod, params, table_name, progress, name=""):
    """Binds parameters, then prepares the network the way the host flow
    prepares it for the table (NHWC layouts; for the float32 table also
    constants folded and batch norms folded into the weights)."""
    from vexa_host import deep_stack, flow

    return deep_stack.run_on_big_stack(mod, _prepare, flow, mod, params, table_name, progress, name)


def _prepare(flow, mod, params, table_name, progress, name):
    from vexa_host.param_binding import bind_params

    if params:
        mod = bind_params(mod, params)
    prepare = flow.prepare_fp32 if table_name == flow.FP32_TABLE else flow.prepare_quantized
    with tvm.transform.PassContext(instruments=[_StepReporter(progress, name)]):
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
    """Composite regions of `entries`, entry by entry."""
    from vexa_host import deep_stack

    return deep_stack.run_on_big_stack(mod, _partition, mod, entries, progress)


def _partition(mod, entries, progress):
    from vexa_host.partition import partition as driver

    for position, entry in enumerate(entries, start=1):
        started = time.perf_counter()
        mod = driver(mod, [entry])
        progress.say(
            f"table entry {position}/{len(entries)} {entry[0]} applied ({time.perf_counter() - started:.2f} s)"
        )
    return mod


def outline(mod, entries):
    """The regions of the table's compiler split off into external
    functions (a `vexa_host.outline.Outlined`)."""
    from vexa_host.outline import outline as outline_regions

    return outline_regions(mod, compiler_names(entries))
