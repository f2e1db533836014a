"""`partition_for_vexa`: a Relay module partitioned for the vexa accelerator
in one call, following TVM's `partition_for_*` convention."""

import importlib

import tvm
from tvm.relay import transform
from tvm.relay.op.contrib.register import get_pattern_table

from vexa_host import _native
from vexa_host.bias_forms import channel_bias_adds, expand_bias_adds
from vexa_host.canonicalize import canonicalize_nhwc, integer_form
from vexa_host.deep_stack import on_big_stack
from vexa_host.folding import fold_constants, typed
from vexa_host.outline import outline
from vexa_host.param_binding import bind_params
from vexa_host.partition import partition

FP32_TABLE = "vexa_fp32"

# The tables expect NHWC data wherever an operator has a layout.  "default"
# lets each convolution pick the kernel layout that goes with NHWC data (HWIO,
# HWOI for depthwise).
NHWC_LAYOUTS = {
    "qnn.conv2d": ["NHWC", "default"],
    "nn.conv2d": ["NHWC", "default"],
    "nn.max_pool2d": ["NHWC"],
    "nn.avg_pool2d": ["NHWC"],
    "qnn.avg_pool2d": ["NHWC"],
    "nn.global_max_pool2d": ["NHWC"],
    "nn.global_avg_pool2d": ["NHWC"],
    "image.resize2d": ["NHWC"],
}


class PreparationError(RuntimeError):
    """A step of the preparation failed: `step` names it, the cause is the
    error of the step."""

    def __init__(self, step):
        super().__init__(f"preparing the network failed in {step}")
        self.step = step


def _step(step, transform_function, mod):
    try:
        return transform_function(mod)
    except Exception as error:
        raise PreparationError(step) from error


# The passes of the float32 preparation that rewrite only some operators,
# and those operators.  On a network without any such call a pass changes
# nothing, and it is skipped: their type inference grows faster than a deep
# network.
_SIMPLIFIED = {"nn.batch_norm", "nn.dropout", "nn.layer_norm", "nn.group_norm", "nn.instance_norm", "nn.l2_normalize"}
_SCALES = {"multiply", "divide"}


def _operators(function):
    return set(_native.operator_names(function))


def _rewrites(mod, operators):
    """Whether a pass that rewrites only `operators` has work in `mod`."""
    return any(operators & _operators(func) for _, func in _native.optimizable_functions(mod))


def _nhwc_layouts(mod):
    """`transform.ConvertLayout(NHWC_LAYOUTS)(mod)`, typed.  A network whose
    converted operators already have their layouts (TFLite networks) gets
    the pass's few changes natively: the pass infers the types of the whole
    module, in time that grows faster than a deep network."""
    updates = []
    for global_var, function in _native.optimizable_functions(mod):
        normalized = _native.layouts_normalized(function, NHWC_LAYOUTS)
        if normalized is None:
            return transform.ConvertLayout(NHWC_LAYOUTS)(mod)
        if not normalized.same_as(function):
            updates.append((global_var, normalized))
    return _native.module_with(mod, updates) if updates else mod


@on_big_stack("mod")
def prepare_quantized(mod):
    """The network in the form the quantized tables expect (see partition_for_vexa)."""
    mod = _step("type inference of the imported network", typed, mod)
    mod = _step("integer operators for QDQ regions (FakeQuantizationToInteger)", integer_form, mod)
    mod = _step("CanonicalizeOps", expand_bias_adds, mod)
    mod = _step("the NHWC layout conversion (ConvertLayout)", _nhwc_layouts, mod)
    return _step("the rewrites of the NHWC network", canonicalize_nhwc, mod)


def _fold_scale_axis(mod):
    """`transform.FoldScaleAxis()(mod)`, typed: TVM's backward, then forward
    scale folding, then FoldConstant, which compiles every product of a
    weight and its scale with LLVM (two seconds on a MobileNetV2); the
    products are folded on the data instead.  Run as a sequence, the passes
    would infer the types of the whole module before each; here that
    happens only where a pass left something untyped."""
    mod = typed(transform.BackwardFoldScaleAxis()(mod))
    return fold_constants(transform.ForwardFoldScaleAxis()(mod))


@on_big_stack("mod")
def prepare_fp32(mod):
    """The network in the form the float32 table expects (see partition_for_vexa)."""
    # FoldScaleAxis is a sequence of passes of optimisation level 3, which
    # run only when the context allows that level.  The caller's pass
    # instruments (progress, timing) carry over.
    outer = tvm.transform.PassContext.current()
    with tvm.transform.PassContext(opt_level=3, instruments=list(outer.instruments)):
        mod = typed(mod)
        if _rewrites(mod, _SIMPLIFIED):
            mod = transform.SimplifyInference()(mod)
        mod = fold_constants(mod)
        if _rewrites(mod, _SCALES):
            mod = _fold_scale_axis(mod)
        # Layout transforms go only around the operators converted.
        mod = _nhwc_layouts(expand_bias_adds(mod))
        mod = fold_constants(mod)
    return channel_bias_adds(mod)


def _registered_table(name):
    table = get_pattern_table(name)
    if table is None:
        # The package registers its tables when its pattern module is imported.
        importlib.import_module("vexatvm_internal.patterns")
        table = get_pattern_table(name)
    if table is None:
        raise ValueError(f"no pattern table is registered under the name {name!r}")
    return table


def _compilers(table):
    """The external compiler names of a table's composites, in order: the
    text of each composite name before its first dot ("vexa.qnn_conv" ->
    "vexa", "vexa_fp32.conv2d" -> "vexa_fp32"), which is how AnnotateTarget
    assigns a composite call to a target."""
    names = []
    for entry in table:
        compiler = entry[0].split(".", 1)[0]
        if compiler not in names:
            names.append(compiler)
    return names or ["vexa"]


@on_big_stack("mod")
def partition_for_vexa(mod, params=None, table="vexa"):
    """Partitions a Relay module for the vexa accelerator.

    Parameters
    ----------
    mod : tvm.IRModule
        The network, as a frontend imported it (NCHW or NHWC).
    params : Optional[Dict[str, NDArray]]
        Values bound by name to the parameters of "main" as constants.
    table : str
        The name of a registered pattern table: "vexa", "vexa_with_clip" or
        "vexa_with_fc" for quantized networks, "vexa_fp32" for float32 ones
        (registered when `vexatvm_internal.patterns` is imported, which this
        function does when the name is not yet registered).

    Returns
    -------
    tvm.IRModule
        A new module in which every region accepted by the table is a function
        for the external compiler ("Compiler" attribute), called from "main".

    The flow:

    1. Bind `params` into "main" (when given and not empty).
    2. Prepare the network the way the table's patterns expect it, in NHWC
       layout:
       - quantized tables: InferType; QuantizeLinear / DequantizeLinear
         regions (ONNX QDQ models) through FakeQuantizationToInteger, and a
         requantized ReLU turned into the clip the entries expect
         (`vexa_host.canonicalize`); CanonicalizeOps (a bias add becomes a
         broadcast add, which the layout conversion turns into the
         expand_dims / expand_dims / layout_transform chain of the NHWC bias;
         done natively, `vexa_host.bias_forms`), then ConvertLayout to NHWC
         for convolutions ("qnn.conv2d", "nn.conv2d"), pools and resizes
         (natively where they already have those layouts); then constants folded except the
         "qnn.quantize" calls (the quantized weight patterns expect them),
         constant convolution and dense biases back to "nn.bias_add", layout
         transforms moved outside per-tensor dequantize / quantize pairs and
         a pad moved after the layout transform of a network input, so that
         those chains stay whole (`canonicalize_nhwc`).
       - "vexa_fp32": SimplifyInference, FoldConstant, FoldScaleAxis (batch
         norm scales folded into the convolution weights), ConvertLayout to
         NHWC, FoldConstant (the convolution pattern expects constant
         weights), then every broadcast add of a constant shaped
         (1, 1, 1, C) to NHWC data of C channels becomes
         nn.bias_add(data, vector of C, axis=3), the only bias form the
         float32 bias entry accepts.  FoldScaleAxis runs at optimisation
         level 3, without which it does nothing.
    3. Form the composites with the partition driver
       (`vexa_host.partition.partition`), so that the checks can ask for
       consumers in the network being partitioned.
    4. AnnotateTarget for the compiler names that the table's composite names
       carry (the text before the first dot: "vexa" for the quantized tables,
       "vexa_fp32" for the float32 one; AnnotateTarget offloads a composite
       call only to the target its name starts with), offloading composite
       calls only (no tuples or other non-call nodes on their own),
       MergeCompilerRegions, PartitionGraph: the module these passes give,
       made in one walk of the network (`vexa_host.outline`).
    """
    _native.refuse_foreign_attrs(mod)
    if params:
        mod = bind_params(mod, params)
    entries = _registered_table(table)
    mod = prepare_fp32(mod) if table == FP32_TABLE else prepare_quantized(mod)
    mod = partition(mod, entries)
    return outline(mod, _compilers(entries)).mod
