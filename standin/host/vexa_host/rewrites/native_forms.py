"""The rewrites of small forms that the native module makes
(`_native.rewrite_forms`; each rule's reasoning is with its code in
`standin/host/native/*_forms.cpp`).  Each gives the module that TVM's
pattern rewriter gives with the rule as a callback, typed, in passes linear
in the network: a step of the preparation made of a few rules costs a few
walks of the network, where the rewriter infers the types of the whole
network before each of its passes."""

from vexa_host import _native
from vexa_host.folding import typed


class NativeForms:
    """A step of the NHWC rewrites: the named native rules, one after the
    other, each until it changes nothing more."""

    def __init__(self, *names):
        self.names = names

    def __call__(self, mod):
        # The rules check the types on their own walk: a typed module (the
        # usual case) costs no separate walk to find that out.
        rewritten = _native.rewrite_forms(mod, list(self.names))
        return rewritten if rewritten is not None else _native.rewrite_forms(typed(mod), list(self.names))

    def __repr__(self):
        return f"NativeForms{self.names}"


# A quantize of a scalar constant folded to its integer.
SCALAR_QUANTIZE_FOLDED = NativeForms("scalar_quantize_folded")

# The layout transforms and quantizations that the NHWC conversion leaves
# between the operators the entries take together, and the upsamplings in
# the form of the nearest resize entry.
LAYOUT_FORMS = NativeForms(
    "layout_transform_pair_cancelled",
    "layout_transform_outside_quantization",
    "pad_inside_layout_transform",
    "max_pool_after_quantize",
    "nearest_resize_half_pixel",
    "tiled_upsampling_to_resize",
)

# A concatenation joined in NHWC instead of between transforms to NCHW.
CONCATENATE_INSIDE_LAYOUT_TRANSFORMS = NativeForms("concatenate_inside_layout_transforms")
